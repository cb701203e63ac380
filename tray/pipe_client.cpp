#include "pipe_client.h"

#include <stdlib.h>
#include <string.h>

#include "control_pipe.h"

// Identification only: a program squatting on the pipe's name learns who
// asks but cannot act as the user. Overlapped, so that every wait is bounded.
#define PIPE_OPEN_FLAGS (FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION)

// With more pipes under way than one wait can hold, each group of them is
// waited for this long in turn, so that a write that ends, or a reply that
// comes in parts, in a later group is followed up while an earlier group waits.
#define PIPE_GROUP_SLICE_MS 20

// One question's connection while it is under way. The records of the
// write and the read, and their buffers, must outlive the operations; the
// two are never under way together and share one event.
enum ExchangePhase { ExchangeDone, ExchangeWriting, ExchangeReading };

struct PipeExchange {
    char Name[PIPE_NAME_SIZE];
    HANDLE Pipe; // null when there is nothing to ask
    HANDLE Event;
    OVERLAPPED Write;
    OVERLAPPED Read;
    DWORD Request;
    BYTE Reply[4];
    DWORD Received;
    int Sent;  // all four bytes of the request were written
    int Phase; // an ExchangePhase
    int Busy;  // every instance was taken at the first open
};

typedef BOOL(WINAPI *PipeServerProcessIdFunction)(HANDLE, PULONG);

// Whether the pipe is served by the service's own process.
static int IsServedBy(HANDLE pipe, DWORD processId)
{
    if (processId == ANY_PIPE_SERVER)
        return 1;
    // Windows XP lacks the function: there a pipe cannot be told from
    // another program's, as before. The detour through a plain function type
    // tells the compiler that the change of type is meant.
    static PipeServerProcessIdFunction serverProcessId = (PipeServerProcessIdFunction)(void (*)(void))GetProcAddress(
        GetModuleHandleA("kernel32.dll"), "GetNamedPipeServerProcessId");
    if (serverProcessId == NULL)
        return 1;
    ULONG server = 0;
    return serverProcessId(pipe, &server) && server == processId;
}

// Opens the question's pipe; returns its Opened result. A pipe of another
// process counts as opened and gets no question: it gives no reply.
static int OpenExchange(const PipeQuestion *question, PipeExchange *exchange)
{
    HANDLE pipe = CreateFileA(exchange->Name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, PIPE_OPEN_FLAGS,
                              NULL);
    if (pipe == INVALID_HANDLE_VALUE) {
        // Every instance is taken while the service hands a client to its
        // thread and makes the next one.
        exchange->Busy = GetLastError() == ERROR_PIPE_BUSY;
        return -1;
    }
    exchange->Busy = 0;
    if (!IsServedBy(pipe, question->ServiceProcessId))
        CloseHandle(pipe);
    else
        exchange->Pipe = pipe;
    return 1;
}

// Reads on until the four bytes of the reply have come or a read is under
// way; anything else (a closed connection after a short reply) ends it.
static void ContinueRead(PipeExchange *exchange)
{
    exchange->Phase = ExchangeDone;
    while (exchange->Received < sizeof(exchange->Reply)) {
        DWORD moved = 0;
        if (!ReadFile(exchange->Pipe, exchange->Reply + exchange->Received,
                      sizeof(exchange->Reply) - exchange->Received, NULL, &exchange->Read)) {
            if (GetLastError() == ERROR_IO_PENDING)
                exchange->Phase = ExchangeReading;
            return;
        }
        if (!GetOverlappedResult(exchange->Pipe, &exchange->Read, &moved, FALSE) || moved == 0)
            return;
        exchange->Received += moved;
    }
}

// The write has ended: the read follows when all four bytes went.
static void FinishWrite(PipeExchange *exchange)
{
    DWORD moved = 0;
    exchange->Phase = ExchangeDone;
    exchange->Sent = GetOverlappedResult(exchange->Pipe, &exchange->Write, &moved, FALSE) &&
                     moved == sizeof(exchange->Request);
    if (exchange->Sent)
        ContinueRead(exchange);
}

static void FinishRead(PipeExchange *exchange)
{
    DWORD moved = 0;
    exchange->Phase = ExchangeDone;
    if (GetOverlappedResult(exchange->Pipe, &exchange->Read, &moved, FALSE) && moved > 0) {
        exchange->Received += moved;
        ContinueRead(exchange);
    }
}

static void StartExchange(const PipeQuestion *question, PipeExchange *exchange)
{
    exchange->Event = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (exchange->Event == NULL)
        return;
    exchange->Write.hEvent = exchange->Read.hEvent = exchange->Event;
    exchange->Request = question->Request;
    if (WriteFile(exchange->Pipe, &exchange->Request, sizeof(exchange->Request), NULL, &exchange->Write))
        FinishWrite(exchange);
    else if (GetLastError() == ERROR_IO_PENDING)
        exchange->Phase = ExchangeWriting;
}

// One shared wait for the pipes that were busy at the first open: each
// waits for a free instance with what is left of it, then is opened once more.
static void RetryBusyPipes(PipeQuestion *questions, PipeExchange *exchanges, int count, DWORD waitEnd)
{
    for (int i = 0; i < count; i++) {
        if (!exchanges[i].Busy)
            continue;
        LONG left = (LONG)(waitEnd - GetTickCount());
        if (left > 0 && !WaitNamedPipeA(exchanges[i].Name, (DWORD)left))
            continue;
        questions[i].Opened = OpenExchange(&questions[i], &exchanges[i]);
        if (exchanges[i].Pipe != NULL)
            StartExchange(&questions[i], &exchanges[i]);
    }
}

// Waits for the writes and reads under way, WaitForMultipleObjects' limit
// of handles at a time, until all have ended or the deadline has come.
static void WaitForReplies(PipeExchange *exchanges, int count, DWORD deadline)
{
    HANDLE events[MAXIMUM_WAIT_OBJECTS];
    PipeExchange *owners[MAXIMUM_WAIT_OBJECTS];
    int next = 0;
    for (;;) {
        LONG left = (LONG)(deadline - GetTickCount());
        int pending = 0;
        for (int i = 0; i < count; i++)
            pending += exchanges[i].Phase != ExchangeDone;
        if (pending == 0 || left <= 0)
            return;
        DWORD group = 0;
        int i = next;
        for (int seen = 0; seen < count && group < MAXIMUM_WAIT_OBJECTS; seen++, i = (i + 1) % count) {
            if (exchanges[i].Phase != ExchangeDone) {
                events[group] = exchanges[i].Event;
                owners[group++] = &exchanges[i];
            }
        }
        next = i;
        DWORD wait = (int)group < pending && left > PIPE_GROUP_SLICE_MS ? PIPE_GROUP_SLICE_MS : (DWORD)left;
        DWORD woke = WaitForMultipleObjects(group, events, FALSE, wait);
        if (woke == WAIT_FAILED)
            return;
        // The first that ended; the others are found at the next wait.
        if (woke < WAIT_OBJECT_0 + group) {
            PipeExchange *exchange = owners[woke - WAIT_OBJECT_0];
            if (exchange->Phase == ExchangeWriting)
                FinishWrite(exchange);
            else
                FinishRead(exchange);
        }
    }
}

// Ends the exchange and gives the question its reply. What is unfinished
// is cancelled and waited for: until it has ended the system may still
// write into the exchange's records.
static void FinishExchange(PipeQuestion *question, PipeExchange *exchange)
{
    question->Reply = 0;
    if (exchange->Pipe == NULL)
        return;
    if (exchange->Phase != ExchangeDone) {
        DWORD moved = 0;
        CancelIo(exchange->Pipe);
        GetOverlappedResult(exchange->Pipe, exchange->Phase == ExchangeWriting ? &exchange->Write : &exchange->Read,
                            &moved, TRUE);
    }
    // A reply counts only whole: one of 1 to 3 bytes would be taken for another number.
    else if (exchange->Sent && exchange->Received == sizeof(exchange->Reply))
        memcpy(&question->Reply, exchange->Reply, sizeof(question->Reply));
    if (exchange->Event != NULL)
        CloseHandle(exchange->Event);
    CloseHandle(exchange->Pipe);
}

void AskServices(PipeQuestion *questions, int count)
{
    DWORD start = GetTickCount();
    PipeExchange *exchanges = count > 0 ? (PipeExchange *)calloc((size_t)count, sizeof(PipeExchange)) : NULL;
    for (int i = 0; i < count; i++) {
        questions[i].Opened = -1;
        questions[i].Reply = 0;
        if (exchanges == NULL)
            continue;
        if (!ComposePipeName(exchanges[i].Name, questions[i].VmName)) {
            questions[i].Opened = 0;
            continue;
        }
        questions[i].Opened = OpenExchange(&questions[i], &exchanges[i]);
        if (exchanges[i].Pipe != NULL)
            StartExchange(&questions[i], &exchanges[i]);
    }
    if (exchanges == NULL)
        return;
    RetryBusyPipes(questions, exchanges, count, start + PIPE_BUSY_WAIT_MS);
    WaitForReplies(exchanges, count, start + PIPE_DEADLINE_MS);
    for (int i = 0; i < count; i++)
        FinishExchange(&questions[i], &exchanges[i]);
    free(exchanges);
}

static int AskService(const char *vmName, DWORD serviceProcessId, DWORD request, DWORD *reply)
{
    PipeQuestion question = { vmName, serviceProcessId, request, 0, 0 };
    AskServices(&question, 1);
    *reply = question.Reply;
    return question.Opened;
}

int RequestVrdeEnabled(const char *vmName, DWORD serviceProcessId)
{
    DWORD reply;
    AskService(vmName, serviceProcessId, VrdeEnabled, &reply);
    return (int)reply;
}

int RequestVrdePort(const char *vmName, DWORD serviceProcessId)
{
    DWORD reply;
    if (AskService(vmName, serviceProcessId, VrdePort, &reply) < 0)
        return -1;
    return (int)reply;
}

int RequestScreenResolution(const char *vmName, int *width, int *height, DWORD serviceProcessId)
{
    DWORD reply;
    int opened = AskService(vmName, serviceProcessId, ScreenResolution, &reply);
    // Width in the low 16 bits, height in the high 16 bits.
    *width = (int)LOWORD(reply);
    *height = (int)HIWORD(reply);
    return opened;
}
