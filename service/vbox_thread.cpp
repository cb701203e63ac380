#include "vbox_thread.h"

#include <process.h>

#include "log.h"

static CRITICAL_SECTION WorkLock;
static HANDLE WorkAsked;   // auto-reset: PendingWork is set
static HANDLE WorkIdle;    // manual-reset: the thread has no work
static VboxWork PendingWork;
static int ThreadRunning;

static int InitializeWorkLock(void)
{
    InitializeCriticalSection(&WorkLock);
    return 1;
}

static int WorkLockReady = InitializeWorkLock();

static void __cdecl VboxThread(void *)
{
    for (;;) {
        // The apartment that the work opens keeps its messages flowing while
        // it waits: VirtualBox may call into it.
        DWORD fired = MsgWaitForMultipleObjects(1, &WorkAsked, FALSE, INFINITE, QS_ALLINPUT);
        if (fired == WAIT_OBJECT_0) {
            PendingWork();
            SetEvent(WorkIdle);
        } else {
            MSG message;
            while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE))
                DispatchMessageA(&message);
        }
    }
}

static int StartVboxThread(void)
{
    EnterCriticalSection(&WorkLock);
    if (!ThreadRunning) {
        if (WorkAsked == NULL)
            WorkAsked = CreateEventA(NULL, FALSE, FALSE, NULL);
        if (WorkIdle == NULL)
            WorkIdle = CreateEventA(NULL, TRUE, TRUE, NULL);
        if (WorkAsked != NULL && WorkIdle != NULL && _beginthread(VboxThread, 0, NULL) != (uintptr_t)-1L)
            ThreadRunning = 1;
        else
            WriteLog(1, "ERROR starting the VirtualBox thread (0x%08x)", (unsigned)GetLastError());
    }
    int running = ThreadRunning;
    LeaveCriticalSection(&WorkLock);
    return running;
}

// Waits for the object within what is left of waitMs from started.
static enum VboxWorkResult WaitWithin(HANDLE object, HANDLE process, DWORD started, DWORD waitMs)
{
    DWORD waited = GetTickCount() - started;
    DWORD left = waitMs == INFINITE ? INFINITE : (waited < waitMs ? waitMs - waited : 0);
    HANDLE objects[2] = { object, process };
    DWORD fired = WaitForMultipleObjects(process != NULL ? 2 : 1, objects, FALSE, left);
    if (fired == WAIT_OBJECT_0)
        return VboxWorkDone;
    return fired == WAIT_OBJECT_0 + 1 ? VboxWorkMachineEnded : VboxWorkLate;
}

enum VboxWorkResult RunVboxWork(VboxWork work, DWORD started, DWORD waitMs, HANDLE process)
{
    if (!StartVboxThread())
        return VboxWorkLate;
    // Only the supervisor hands work over, one piece at a time: once the
    // thread is idle nobody else can take it.
    enum VboxWorkResult idle = WaitWithin(WorkIdle, process, started, waitMs);
    if (idle != VboxWorkDone || work == NULL)
        return idle;
    ResetEvent(WorkIdle);
    PendingWork = work;
    SetEvent(WorkAsked);
    return WaitWithin(WorkIdle, process, started, waitMs);
}
