#ifndef PELORIN_VBOX_THREAD_H
#define PELORIN_VBOX_THREAD_H

// The supervisor's VirtualBox connection lives on a thread of its own, so
// that no VirtualBox call can hold the supervisor: each piece of work is
// handed to that thread and waited for within a bound. Work that does not
// finish in time is left there (a VirtualBox server that hangs is real);
// the supervisor goes on without it.

#include <windows.h>

typedef void (*VboxWork)(void);

enum VboxWorkResult {
    VboxWorkDone,
    VboxWorkLate,          // not done within the bound; it may still finish
    VboxWorkMachineEnded   // the machine's process ended first; the work goes on
};

// Runs work() on the VirtualBox thread, which is started by the first call.
// Waits at most waitMs from the tick started, for the thread to be free of
// earlier work and for this work, and no longer than process (NULL: none)
// lives. Without work, only waits for the thread to be free: work that came
// late may still be reading its record, which is to be written only then.
enum VboxWorkResult RunVboxWork(VboxWork work, DWORD started, DWORD waitMs, HANDLE process);

#endif
