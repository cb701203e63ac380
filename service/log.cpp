#include "log.h"

#include <windows.h>
#include <stdarg.h>
#include <time.h>

#include "settings.h"

// Lines come from the dispatcher, the supervisor, the heartbeat and the pipe
// threads; one lock around open-write-close keeps them from interleaving.
static CRITICAL_SECTION LogLock;

static int InitializeLogLock(void)
{
    InitializeCriticalSection(&LogLock);
    return 1;
}

static int LogLockReady = InitializeLogLock();

void WriteLog(int level, const char *format, ...)
{
    signed char threshold = ServiceSettings.Loglevel;
    if ((signed char)level > threshold || threshold == 0 || !LogLockReady)
        return;

    EnterCriticalSection(&LogLock);
    // Opened per line so that the tray helper can open or delete the file at any time.
    FILE *file = fopen(ServiceSettings.LogPath, "a");
    if (file != NULL) {
        char stamp[80] = "";
        time_t now = time(NULL);
        struct tm *local = localtime(&now);
        if (local != NULL)
            strftime(stamp, sizeof(stamp), "%c", local);

        va_list arguments;
        va_start(arguments, format);
        fprintf(file, "[%s] ", stamp);
        vfprintf(file, format, arguments);
        fprintf(file, "\n");
        va_end(arguments);
        fclose(file);
    }
    LeaveCriticalSection(&LogLock);
}
