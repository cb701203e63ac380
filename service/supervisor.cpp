#include "supervisor.h"

HANDLE VmExitedEvent;

void CALLBACK OnVmProcessExit(void *, BOOLEAN)
{
    SetEvent(VmExitedEvent);
}
