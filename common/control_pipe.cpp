#include "control_pipe.h"

#include <stdio.h>

int ComposePipeName(char *name, const char *vmName)
{
    int length = snprintf(name, PIPE_NAME_SIZE, "%s.%s", PIPE_NAME_PREFIX, vmName);
    if (length < 0 || length >= PIPE_NAME_SIZE) {
        name[0] = '\0';
        return 0;
    }
    return 1;
}
