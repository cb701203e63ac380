#ifndef PELORIN_LIFECYCLE_H
#define PELORIN_LIFECYCLE_H

#include <windows.h>

extern SERVICE_STATUS ServiceStatus;
extern SERVICE_STATUS_HANDLE StatusHandle;

void WINAPI ServiceMain(DWORD argc, char **argv);
DWORD WINAPI ServiceControlHandler(DWORD control, DWORD eventType, void *eventData, void *context);

#endif
