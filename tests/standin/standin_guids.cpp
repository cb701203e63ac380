// Defines the stand-in's IIDs, CLSIDs and LIBID (declared by the generated header).
#include <initguid.h>

#include "standin.h"
