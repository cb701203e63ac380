#ifndef PELORIN_LIFECYCLE_H
#define PELORIN_LIFECYCLE_H

#include <windows.h>

void WINAPI ServiceMain(DWORD argc, char **argv);
DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, void *eventData, void *context);

#endif
