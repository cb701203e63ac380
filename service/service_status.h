#ifndef PELORIN_SERVICE_STATUS_H
#define PELORIN_SERVICE_STATUS_H

// The one place where the service's state is reported to the Service
// Control Manager; the control handler, the supervisor and the heartbeat all
// report through it.
#include <windows.h>

extern SERVICE_STATUS ServiceStatus;
extern SERVICE_STATUS_HANDLE StatusHandle;
// The checkpoint of the next pending report; it starts at 1 and only grows.
extern int CheckPointCounter;

// Fills the fixed fields of ServiceStatus: type, accepted controls, no exit code.
void InitServiceStatus(void);
// Reports a state to the Service Control Manager. Stopped is final, and once a
// stop is pending only further stop-pending reports and the final stop go out.
void ReportServiceStatus(DWORD state, DWORD win32ExitCode, DWORD waitHint);
// The final report: exit code 0, or 1066 with the given service-specific code.
void ReportServiceStopped(DWORD serviceSpecificExitCode);
// Reports stop pending once a second for as long as the service is stopping.
void __cdecl StopPendingHeartbeat(void *unused);

#endif
