#include "pipe_server.h"

#include <errno.h>
#include <process.h>

#include "control_pipe.h"
#include "log.h"
#include "query_thread.h"
#include "settings.h"

volatile LONG PipeServerRunning;
static volatile LONG PipeConnections;
// Manual-reset: set by StopPipeServer, ends the accept loop and every
// connection's waits.
static HANDLE PipeStopEvent = CreateEventA(NULL, TRUE, FALSE, NULL);

// The user the process runs as: SYSTEM, or the account it was installed under.
static int ReadProcessUserSid(BYTE sid[SECURITY_MAX_SID_SIZE])
{
    HANDLE token = NULL;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return 0;
    union {
        TOKEN_USER user;
        BYTE bytes[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    } buffer;
    DWORD length = 0;
    int read = GetTokenInformation(token, TokenUser, &buffer, sizeof(buffer), &length)
        && CopySid(SECURITY_MAX_SID_SIZE, sid, buffer.user.User.Sid);
    CloseHandle(token);
    return read;
}

// Builds the pipe's DACL from SIDs (account names are translated on other
// Windows languages): INTERACTIVE may read and write; only SYSTEM and the
// process's own user, when that is another account, may also create
// instances (without it the service could not create its second one). The
// caller LocalFrees *acl and *descriptor, which are set only on success.
static int BuildPipeSecurity(PACL *acl, PSECURITY_DESCRIPTOR *descriptor)
{
    BYTE interactive[SECURITY_MAX_SID_SIZE];
    BYTE system[SECURITY_MAX_SID_SIZE];
    BYTE own[SECURITY_MAX_SID_SIZE];
    DWORD interactiveSize = sizeof(interactive);
    DWORD systemSize = sizeof(system);
    DWORD aclSize = 0;
    PACL newAcl = NULL;
    PSECURITY_DESCRIPTOR newDescriptor = NULL;
    int built = CreateWellKnownSid(WinInteractiveSid, NULL, interactive, &interactiveSize)
        && CreateWellKnownSid(WinLocalSystemSid, NULL, system, &systemSize) && ReadProcessUserSid(own);
    if (built) {
        int ownEntry = !EqualSid(own, system);
        DWORD entry = sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD);
        aclSize = sizeof(ACL) + 3 * entry + interactiveSize + systemSize + GetLengthSid(own);
        newAcl = (PACL)LocalAlloc(LPTR, aclSize);
        newDescriptor = LocalAlloc(LPTR, SECURITY_DESCRIPTOR_MIN_LENGTH);
        built = newAcl != NULL && newDescriptor != NULL && InitializeAcl(newAcl, aclSize, ACL_REVISION)
            && AddAccessAllowedAce(newAcl, ACL_REVISION, CONTROL_PIPE_CLIENT_ACCESS, interactive)
            && AddAccessAllowedAce(newAcl, ACL_REVISION, CONTROL_PIPE_ACCESS, system)
            && (!ownEntry || AddAccessAllowedAce(newAcl, ACL_REVISION, CONTROL_PIPE_ACCESS, own))
            && InitializeSecurityDescriptor(newDescriptor, SECURITY_DESCRIPTOR_REVISION)
            && SetSecurityDescriptorDacl(newDescriptor, TRUE, newAcl, FALSE);
    }
    if (!built) {
        WriteLog(1, "Error creating pipe (0x%08x)", (unsigned)GetLastError());
        LocalFree(newDescriptor);
        LocalFree(newAcl);
        return 0;
    }
    *acl = newAcl;
    *descriptor = newDescriptor;
    return 1;
}

// Waits for overlapped I/O on the pipe, at most waitMs and not past the stop.
// Returns 1 with *count when it completed; otherwise the I/O is cancelled and
// waited for, so that the OVERLAPPED may go.
static int FinishPipeIo(HANDLE pipe, OVERLAPPED *overlapped, BOOL started, DWORD waitMs, DWORD *count)
{
    *count = 0;
    if (!started && GetLastError() != ERROR_IO_PENDING)
        return 0;
    HANDLE events[2] = { overlapped->hEvent, PipeStopEvent };
    DWORD fired = WaitForMultipleObjects(2, events, FALSE, waitMs);
    if (fired != WAIT_OBJECT_0) {
        CancelIo(pipe);
        GetOverlappedResult(pipe, overlapped, count, TRUE);
        SetLastError(fired == WAIT_TIMEOUT ? WAIT_TIMEOUT : ERROR_OPERATION_ABORTED);
        return 0;
    }
    return GetOverlappedResult(pipe, overlapped, count, FALSE);
}

static int ReadPipe(HANDLE pipe, OVERLAPPED *overlapped, DWORD *request, DWORD *count)
{
    ResetEvent(overlapped->hEvent);
    BOOL started = ReadFile(pipe, request, sizeof(*request), NULL, overlapped);
    return FinishPipeIo(pipe, overlapped, started, PIPE_READ_TIMEOUT, count);
}

static int WritePipe(HANDLE pipe, OVERLAPPED *overlapped, const DWORD *reply)
{
    DWORD count = 0;
    ResetEvent(overlapped->hEvent);
    BOOL started = WriteFile(pipe, reply, sizeof(*reply), NULL, overlapped);
    return FinishPipeIo(pipe, overlapped, started, PIPE_WRITE_TIMEOUT, &count) && count == sizeof(*reply);
}

static void ServeConnection(HANDLE pipe, OVERLAPPED *overlapped)
{
    DWORD request = 0;
    DWORD read = 0;
    // One read: anything short of a whole request code is no request.
    if (!ReadPipe(pipe, overlapped, &request, &read)) {
        DWORD error = GetLastError();
        if (error == WAIT_TIMEOUT)
            WriteLog(3, "A control pipe client sent no request within %u ms; disconnected", PIPE_READ_TIMEOUT);
        else if (error != ERROR_OPERATION_ABORTED)
            WriteLog(1, "ERROR reading from client");
    } else if (read != sizeof(request)) {
        WriteLog(1, "ERROR reading from client");
    } else if (request == VrdeEnabled || request == VrdePort || request == ScreenResolution) {
        DWORD reply = AnswerControlRequest(request, PIPE_ANSWER_TIMEOUT, PipeStopEvent);
        // Closed without a disconnect, the reply stays readable for the
        // client however late it reads; a flush would wait for that reader.
        if (WritePipe(pipe, overlapped, &reply))
            return;
    }
    DisconnectNamedPipe(pipe);
}

unsigned __stdcall PipeConnectionThread(void *argument)
{
    HANDLE pipe = (HANDLE)argument;
    if (pipe == INVALID_HANDLE_VALUE)
        return 0;
    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof(overlapped));
    overlapped.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (overlapped.hEvent != NULL) {
        ServeConnection(pipe, &overlapped);
        CloseHandle(overlapped.hEvent);
    } else {
        DisconnectNamedPipe(pipe);
    }
    CloseHandle(pipe);
    InterlockedDecrement(&PipeConnections);
    return 0;
}

// Hands a connected instance to a thread of its own with a small stack; past
// the cap, or when no thread starts, the client is refused at once.
static void StartConnection(HANDLE pipe)
{
    if (InterlockedIncrement(&PipeConnections) > PIPE_MAX_CONNECTIONS) {
        WriteLog(3, "A control pipe client was refused: %d connections are served", PIPE_MAX_CONNECTIONS);
    } else {
        HANDLE thread = (HANDLE)_beginthreadex(NULL, PIPE_THREAD_STACK, PipeConnectionThread, pipe,
                                               STACK_SIZE_PARAM_IS_A_RESERVATION, NULL);
        if (thread != NULL) {
            CloseHandle(thread);
            return;
        }
        WriteLog(1, "ERROR starting a control pipe connection's thread (0x%08x); the client was refused",
                 (unsigned)errno);
    }
    InterlockedDecrement(&PipeConnections);
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
}

// Waits for a client on the instance; 0 when the server stops first.
static int AcceptClient(HANDLE pipe, HANDLE connected)
{
    OVERLAPPED overlapped;
    ZeroMemory(&overlapped, sizeof(overlapped));
    overlapped.hEvent = connected;
    ResetEvent(connected);
    if (ConnectNamedPipe(pipe, &overlapped) || GetLastError() == ERROR_PIPE_CONNECTED)
        return 1;
    DWORD count = 0;
    return FinishPipeIo(pipe, &overlapped, FALSE, INFINITE, &count);
}

static HANDLE CreatePipeInstance(const char *name, SECURITY_ATTRIBUTES *attributes, DWORD flags)
{
    return CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | flags,
                            PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 16, 16, 0,
                            attributes);
}

// The first instance must be the pipe's first: a name that exists already
// belongs to someone else, who would answer the trays. The instances of a
// service that has just ended may take a moment to go, so it is tried for a
// second before it counts as taken.
static HANDLE CreateFirstPipeInstance(const char *name, SECURITY_ATTRIBUTES *attributes)
{
    for (int attempt = 0;; attempt++) {
        HANDLE pipe = CreatePipeInstance(name, attributes, FILE_FLAG_FIRST_PIPE_INSTANCE);
        if (pipe != INVALID_HANDLE_VALUE)
            return pipe;
        DWORD error = GetLastError();
        if (error != ERROR_ACCESS_DENIED) {
            WriteLog(1, "Error creating pipe (0x%08x)", (unsigned)error);
            return pipe;
        }
        if (attempt == 10) {
            WriteLog(1, "ERROR: the control pipe '%s' exists already; remote display queries are not served", name);
            return pipe;
        }
        if (WaitForSingleObject(PipeStopEvent, 100) != WAIT_TIMEOUT)
            return pipe;
    }
}

static void RunAcceptLoop(const char *name, SECURITY_ATTRIBUTES *attributes, HANDLE connected)
{
    HANDLE pipe = CreateFirstPipeInstance(name, attributes);
    if (pipe == INVALID_HANDLE_VALUE)
        return;
    for (;;) {
        if (AcceptClient(pipe, connected))
            StartConnection(pipe);
        else
            CloseHandle(pipe);
        if (!PipeServerRunning)
            return;
        pipe = CreatePipeInstance(name, attributes, 0);
        if (pipe == INVALID_HANDLE_VALUE) {
            WriteLog(1, "Error creating pipe (0x%08x)", (unsigned)GetLastError());
            return;
        }
    }
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
    // Without its stop event no wait here could end.
    if (PipeStopEvent == NULL) {
        WriteLog(1, "Error creating pipe (0x%08x)", (unsigned)ERROR_INVALID_HANDLE);
        return;
    }
    // A stop that came before this point has cleared the flag already.
    ResetEvent(PipeStopEvent);
    if (!PipeServerRunning)
        return;
    PACL acl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (!BuildPipeSecurity(&acl, &descriptor))
        return;
    SECURITY_ATTRIBUTES attributes = { sizeof(attributes), descriptor, FALSE };
    HANDLE connected = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (connected != NULL)
        RunAcceptLoop(name, &attributes, connected);
    else
        WriteLog(1, "Error creating pipe (0x%08x)", (unsigned)GetLastError());
    if (connected != NULL)
        CloseHandle(connected);
    LocalFree(descriptor);
    LocalFree(acl);
}

void StopPipeServer(void)
{
    InterlockedExchange(&PipeServerRunning, 0);
    SetEvent(PipeStopEvent);
    CloseQueryConnection();
}
