#ifndef PELORIN_VERSION_INFO_H
#define PELORIN_VERSION_INFO_H

#include <windows.h>

// Reads the fixed product version (major, minor, build, revision) from the
// version resource of a program file. Returns 1 when it could be read, else 0.
int ReadProductVersion(const char *path, WORD version[4]);

#endif
