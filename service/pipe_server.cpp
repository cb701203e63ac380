#include "pipe_server.h"

#include <aclapi.h>
#include <process.h>

#include "control_pipe.h"
#include "log.h"
#include "settings.h"
#include "vbox_session.h"
#include "vm_queries.h"

volatile LONG PipeServerRunning;
// 1 while the accept loop runs, so that StopPipeServer knows whether a
// listening instance is still to come.
static volatile LONG PipeServerLooping;

// The pipe's DACL: INTERACTIVE and SYSTEM only, nothing inherited. The caller
// LocalFrees *acl and *descriptor, which are set only on success.
static int BuildPipeSecurity(PACL *acl, PSECURITY_DESCRIPTOR *descriptor)
{
    EXPLICIT_ACCESS_A entries[2];
    BuildExplicitAccessWithNameA(&entries[0], (char *)"INTERACTIVE", CONTROL_PIPE_ACCESS, SET_ACCESS, NO_INHERITANCE);
    BuildExplicitAccessWithNameA(&entries[1], (char *)"SYSTEM", CONTROL_PIPE_ACCESS, SET_ACCESS, NO_INHERITANCE);
    PACL newAcl = NULL;
    DWORD result = SetEntriesInAclA(2, entries, NULL, &newAcl);
    if (result != ERROR_SUCCESS) {
        WriteLog(1, "Error creating pipe (0x%08x)", (unsigned)result);
        return 0;
    }
    PSECURITY_DESCRIPTOR newDescriptor = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
    if (newDescriptor == NULL || !InitializeSecurityDescriptor(newDescriptor, SECURITY_DESCRIPTOR_REVISION)
        || !SetSecurityDescriptorDacl(newDescriptor, TRUE, newAcl, FALSE)) {
        WriteLog(1, "Error creating pipe (0x%08x)", (unsigned)GetLastError());
        LocalFree(newDescriptor);
        LocalFree(newAcl);
        return 0;
    }
    *acl = newAcl;
    *descriptor = newDescriptor;
    return 1;
}

void __cdecl PipeServerThread(void *)
{
    char name[PIPE_NAME_SIZE];
    if (!ComposePipeName(name, ServiceSettings.VmName)) {
        // A cut name could answer for another machine; the service runs on without the pipe.
        WriteLog(1, "ERROR: VmName '%s' is too long for the control pipe; remote display queries are not served",
                 ServiceSettings.VmName);
        return;
    }
    PACL acl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!BuildPipeSecurity(&acl, &descriptor))
        return;
    SECURITY_ATTRIBUTES attributes = { sizeof(attributes), descriptor, FALSE };

    InterlockedExchange(&PipeServerLooping, 1);
    while (PipeServerRunning) {
        HANDLE pipe = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, 16, 16, 0, &attributes);
        if (pipe == INVALID_HANDLE_VALUE) {
            WriteLog(1, "Error creating pipe (0x%08x)", (unsigned)GetLastError());
            break;
        }
        BOOL connected = ConnectNamedPipe(pipe, NULL) || GetLastError() == ERROR_PIPE_CONNECTED;
        if (!connected || _beginthread(PipeConnectionThread, 0, pipe) == (uintptr_t)-1L)
            CloseHandle(pipe);
    }
    InterlockedExchange(&PipeServerLooping, 0);
    LocalFree(descriptor);
    LocalFree(acl);
}

// A private VirtualBox connection for this one request, closed after the reply.
static void AnswerRequest(HANDLE pipe, DWORD request)
{
    IVirtualBox *virtualBox = NULL;
    ISession *session = NULL;
    if (SUCCEEDED(ConnectVirtualBox(&virtualBox)))
        CreateSession(&session);

    DWORD reply = 0;
    const char *name = ServiceSettings.VmName;
    if (virtualBox != NULL) {
        if (request == VrdeEnabled)
            reply = QueryVrdeEnabled(virtualBox, name);
        else if (session != NULL)
            reply = request == VrdePort ? QueryVrdePort(virtualBox, session, name)
                                        : QueryScreenResolution(virtualBox, session, name);
    }
    DWORD written = 0;
    WriteFile(pipe, &reply, sizeof(reply), &written, NULL);

    if (session != NULL)
        session->Release();
    DisconnectVirtualBox(&virtualBox);
}

// The requests are answered one at a time in one apartment that lives as
// long as the process. Under Wine every apartment that hands VirtualBox an
// object opens an RPC endpoint that stays open after the apartment ends; past
// 63 of them the process's RPC server thread gives up, and from then on every
// COM call of the service, its stop included, waits for ever. Apartments that
// come and go at once have also deadlocked Wine's RPC runtime.
static CRITICAL_SECTION QueryLock;
static HANDLE QueryAsked;
static HANDLE QueryAnswered;
static HANDLE QueryPipe;
static DWORD QueryCode;
static int QueryThreadRunning;

static int InitializeQueryLock(void)
{
    InitializeCriticalSection(&QueryLock);
    return 1;
}

static int QueryLockReady = InitializeQueryLock();

static void __cdecl QueryThread(void *)
{
    CoInitialize(NULL);
    for (;;) {
        // An apartment that waits keeps its messages flowing: VirtualBox may call into it.
        if (MsgWaitForMultipleObjects(1, &QueryAsked, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0) {
            AnswerRequest(QueryPipe, QueryCode);
            SetEvent(QueryAnswered);
            continue;
        }
        MSG message;
        while (PeekMessageA(&message, NULL, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
    }
}

// Starts the query thread once; called with QueryLock held.
static int StartQueryThread(void)
{
    if (QueryThreadRunning)
        return 1;
    if (QueryAsked == NULL)
        QueryAsked = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (QueryAnswered == NULL)
        QueryAnswered = CreateEventA(NULL, FALSE, FALSE, NULL);
    if (QueryAsked == NULL || QueryAnswered == NULL || _beginthread(QueryThread, 0, NULL) == (uintptr_t)-1L) {
        WriteLog(1, "ERROR starting the pipe's query thread (0x%08x)", (unsigned)GetLastError());
        return 0;
    }
    QueryThreadRunning = 1;
    return 1;
}

static void AnswerInQueryThread(HANDLE pipe, DWORD request)
{
    EnterCriticalSection(&QueryLock);
    if (StartQueryThread()) {
        QueryPipe = pipe;
        QueryCode = request;
        SignalObjectAndWait(QueryAsked, QueryAnswered, INFINITE, FALSE);
    } else {
        // Without it the request is still answered, in an apartment of its own.
        AnswerRequest(pipe, request);
    }
    LeaveCriticalSection(&QueryLock);
}

void __cdecl PipeConnectionThread(void *argument)
{
    HANDLE pipe = (HANDLE)argument;
    if (pipe == INVALID_HANDLE_VALUE)
        return;
    DWORD request = 0;
    DWORD read = 0;
    // One read: anything short of a whole request code is no request.
    if (!ReadFile(pipe, &request, sizeof(request), &read, NULL) || read != sizeof(request))
        WriteLog(1, "ERROR reading from client");
    else if (request == VrdeEnabled || request == VrdePort || request == ScreenResolution)
        AnswerInQueryThread(pipe, request);
    FlushFileBuffers(pipe);
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
}

void StopPipeServer(void)
{
    InterlockedExchange(&PipeServerRunning, 0);
    char name[PIPE_NAME_SIZE];
    if (!ComposePipeName(name, ServiceSettings.VmName))
        return;
    // The loop may be between two instances at this moment; while it still
    // runs, wait a little for its next one rather than leave it listening.
    for (int attempt = 0; attempt < 50; attempt++) {
        HANDLE pipe = CreateFileA(name, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (pipe != INVALID_HANDLE_VALUE) {
            DWORD wakeUp = 0;
            DWORD written = 0;
            WriteFile(pipe, &wakeUp, sizeof(wakeUp), &written, NULL);
            CloseHandle(pipe);
            return;
        }
        if (!PipeServerLooping)
            return;
        if (GetLastError() != ERROR_PIPE_BUSY || !WaitNamedPipeA(name, 100))
            Sleep(20);
    }
}
