#include "query_thread.h"

#include <process.h>

#include "control_pipe.h"
#include "log.h"
#include "settings.h"
#include "vbox_session.h"
#include "vm_queries.h"

// One request on its way through the query thread. Both the asking
// connection and the query thread hold it; the last to let go frees it, so a
// connection that gave up waiting leaves nothing behind for the answer to hit.
struct QueryRequest {
    volatile LONG references;
    DWORD code;
    DWORD reply;
    HANDLE answered;
};

// The requests are answered one at a time in one apartment that lives as
// long as the process. Under Wine every apartment that hands VirtualBox an
// object opens an RPC endpoint that stays open after the apartment ends; past
// 63 of them the process's RPC server thread gives up, and from then on every
// COM call of the service, its stop included, waits for ever. Apartments that
// come and go at once have also deadlocked Wine's RPC runtime.
static CRITICAL_SECTION QueryLock;
static HANDLE QueryTurn;     // semaphore of one: the request that the query thread has
static HANDLE QueryAsked;    // auto-reset: QueryPending is set
static HANDLE QueryClosing;  // auto-reset: let the connection go
static HANDLE QueryOpening;  // auto-reset: connect now
static HANDLE QueryLetGo;    // manual-reset: closed for good, the connection let go
static QueryRequest *volatile QueryPending;
static volatile LONG QueryClosed;
static int QueryThreadRunning;

// The query thread's own connection, used on that thread only, and the
// objects that every question needs, found once and kept with it: a question
// costs the calls that answer it and no lookups.
static IVirtualBox *QueryVirtualBox;
static ISession *QuerySession;
static KeptQueryObjects QueryKept;

static int InitializeQueryLock(void)
{
    InitializeCriticalSection(&QueryLock);
    return 1;
}

static int QueryLockReady = InitializeQueryLock();

static void ReleaseQueryRequest(QueryRequest *request)
{
    if (InterlockedDecrement(&request->references) == 0) {
        CloseHandle(request->answered);
        HeapFree(GetProcessHeap(), 0, request);
    }
}

static void DropQueryObjects(void)
{
    LetGoOfQueryObjects(&QueryKept, QuerySession);
}

static void DropQueryConnection(void)
{
    DropQueryObjects();
    if (QuerySession != NULL) {
        QuerySession->Release();
        QuerySession = NULL;
    }
    if (QueryVirtualBox != NULL)
        DisconnectVirtualBox(&QueryVirtualBox);
}

static DWORD AskVirtualBox(DWORD code, HRESULT *result)
{
    if (QueryKept.machine == NULL && !FindMachine(QueryVirtualBox, ServiceSettings.VmName, &QueryKept.machine, result))
        return 0;
    DWORD reply = 0;
    if (code == VrdeEnabled)
        reply = ReadVrdeEnabled(&QueryKept, result);
    else if (code == VrdePort)
        reply = ReadVrdePort(&QueryKept, QuerySession, result);
    else
        reply = ReadScreenResolution(&QueryKept, QuerySession, result);
    // A machine object that fails is found again by the next question (the
    // machine may have been unregistered and registered again).
    if (FAILED(*result))
        DropQueryObjects();
    return reply;
}

// Connects once; never after the close, which is for good.
static int EnsureQueryConnection(void)
{
    if (QueryVirtualBox != NULL)
        return 1;
    if (QueryClosed)
        return 0;
    HRESULT connected = ConnectVirtualBox(&QueryVirtualBox);
    if (FAILED(connected) || QueryVirtualBox == NULL) {
        // Also without an object: ConnectVirtualBox initialised COM.
        DisconnectVirtualBox(&QueryVirtualBox);
        return 0;
    }
    return 1;
}

// Through the kept connection; a connection whose server has gone (VirtualBox
// restarted) is replaced once and the question asked again.
static DWORD AnswerThroughConnection(DWORD code)
{
    DWORD reply = 0;
    for (int attempt = 0; attempt < 2; attempt++) {
        if (!EnsureQueryConnection())
            return 0;
        // A session that could not be made is tried again by the next request.
        if (QuerySession == NULL && code != VrdeEnabled)
            CreateSession(&QuerySession);
        HRESULT result = S_OK;
        reply = AskVirtualBox(code, &result);
        if (!IsServerGone(result))
            break;
        DropQueryConnection();
    }
    return reply;
}

static void __cdecl QueryThread(void *)
{
    CoInitialize(NULL);
    // A close first: no request after it connects again.
    HANDLE events[3] = { QueryClosing, QueryAsked, QueryOpening };
    for (;;) {
        // An apartment that waits keeps its messages flowing: VirtualBox may call into it.
        DWORD fired = MsgWaitForMultipleObjects(3, events, FALSE, INFINITE, QS_ALLINPUT);
        if (fired == WAIT_OBJECT_0) {
            DropQueryConnection();
            SetEvent(QueryLetGo);
        } else if (fired == WAIT_OBJECT_0 + 2) {
            EnsureQueryConnection();
            if (QuerySession == NULL && QueryVirtualBox != NULL)
                CreateSession(&QuerySession);
        } else if (fired == WAIT_OBJECT_0 + 1) {
            QueryRequest *request = QueryPending;
            request->reply = AnswerThroughConnection(request->code);
            SetEvent(request->answered);
            ReleaseQueryRequest(request);
            ReleaseSemaphore(QueryTurn, 1, NULL);
        } else {
            MSG message;
            while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE))
                DispatchMessageA(&message);
        }
    }
}

// Starts the query thread once.
static int StartQueryThread(void)
{
    EnterCriticalSection(&QueryLock);
    if (!QueryThreadRunning) {
        if (QueryTurn == NULL)
            QueryTurn = CreateSemaphoreA(NULL, 1, 1, NULL);
        if (QueryAsked == NULL)
            QueryAsked = CreateEventA(NULL, FALSE, FALSE, NULL);
        if (QueryClosing == NULL)
            QueryClosing = CreateEventA(NULL, FALSE, FALSE, NULL);
        if (QueryOpening == NULL)
            QueryOpening = CreateEventA(NULL, FALSE, FALSE, NULL);
        if (QueryLetGo == NULL)
            QueryLetGo = CreateEventA(NULL, TRUE, FALSE, NULL);
        if (QueryTurn != NULL && QueryAsked != NULL && QueryClosing != NULL && QueryOpening != NULL
            && QueryLetGo != NULL && _beginthread(QueryThread, 0, NULL) != (uintptr_t)-1L)
            QueryThreadRunning = 1;
        else
            WriteLog(1, "ERROR starting the pipe's query thread (0x%08x)", (unsigned)GetLastError());
    }
    int running = QueryThreadRunning;
    LeaveCriticalSection(&QueryLock);
    return running;
}

enum WaitOutcome {
    WaitGotIt,
    WaitTimedOut,
    WaitStopped
};

// Waits for the object, at most waitMs from started. The stop wins when it
// comes first or with it, so that no request reaches the query thread after a stop.
static enum WaitOutcome WaitUntil(HANDLE object, HANDLE stop, DWORD started, DWORD waitMs)
{
    DWORD waited = GetTickCount() - started;
    HANDLE events[2] = { stop, object };
    DWORD fired = WaitForMultipleObjects(2, events, FALSE, waited < waitMs ? waitMs - waited : 0);
    if (fired == WAIT_OBJECT_0 + 1)
        return WaitGotIt;
    return fired == WAIT_OBJECT_0 ? WaitStopped : WaitTimedOut;
}

DWORD AnswerControlRequest(DWORD code, DWORD waitMs, HANDLE stop)
{
    DWORD started = GetTickCount();
    if (QueryClosed || !StartQueryThread())
        return 0;
    enum WaitOutcome turn = WaitUntil(QueryTurn, stop, started, waitMs);
    if (turn != WaitGotIt) {
        // A request cut short by the service's stop waited for nothing worth a line.
        if (turn == WaitTimedOut)
            WriteLog(3, "A control pipe request waited %u ms behind another one; answered 0",
                     (unsigned)(GetTickCount() - started));
        return 0;
    }
    QueryRequest *request = (QueryRequest *)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(QueryRequest));
    HANDLE answered = request != NULL ? CreateEventA(NULL, TRUE, FALSE, NULL) : NULL;
    if (answered == NULL) {
        HeapFree(GetProcessHeap(), 0, request);
        ReleaseSemaphore(QueryTurn, 1, NULL);
        return 0;
    }
    request->references = 2;
    request->code = code;
    request->answered = answered;
    QueryPending = request;
    SetEvent(QueryAsked);
    DWORD reply = 0;
    enum WaitOutcome answer = WaitUntil(answered, stop, started, waitMs);
    if (answer == WaitGotIt)
        reply = request->reply;
    else if (answer == WaitTimedOut)
        WriteLog(3, "A control pipe request got no answer within %u ms; answered 0", (unsigned)waitMs);
    ReleaseQueryRequest(request);
    return reply;
}

void OpenQueryConnection(void)
{
    if (!QueryClosed && StartQueryThread())
        SetEvent(QueryOpening);
}

void CloseQueryConnection(void)
{
    InterlockedExchange(&QueryClosed, 1);
    if (QueryClosing != NULL)
        SetEvent(QueryClosing);
}

void WaitForQueryThread(DWORD waitMs)
{
    EnterCriticalSection(&QueryLock);
    int running = QueryThreadRunning;
    LeaveCriticalSection(&QueryLock);
    if (running)
        WaitForSingleObject(QueryLetGo, waitMs);
}
