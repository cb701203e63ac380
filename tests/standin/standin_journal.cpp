#include "standin_journal.h"

#include <shlobj.h>
#include <stdio.h>
#include <string.h>

namespace {

// Global\ so that a service's processes and the tests' share it.
const char JournalMutexName[] = "Global\\pelorin-standin-journal";

void AppendRaw(JournalLine *line, const char *text)
{
    size_t room = sizeof(line->text) - 1 - line->length;
    size_t count = strlen(text);
    if (count > room)
        count = room;
    memcpy(line->text + line->length, text, count);
    line->length += count;
    line->text[line->length] = '\0';
}

HANDLE TakeJournalMutex(void)
{
    HANDLE mutex = CreateMutexA(NULL, FALSE, JournalMutexName);
    if (mutex == NULL)
        return NULL;
    DWORD waited = WaitForSingleObject(mutex, 10000);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return NULL;
    }
    return mutex;
}

void GiveJournalMutex(HANDLE mutex)
{
    if (mutex == NULL)
        return;
    ReleaseMutex(mutex);
    CloseHandle(mutex);
}

}  // namespace

void ComposeJournalPath(char *path, size_t size)
{
    char folder[MAX_PATH];
    if (FAILED(SHGetFolderPathA(NULL, CSIDL_COMMON_APPDATA, NULL, SHGFP_TYPE_CURRENT, folder)))
        lstrcpynA(folder, "C:\\ProgramData", sizeof(folder));
    snprintf(path, size, "%s\\Pelorin Standin\\journal.txt", folder);
}

void BeginJournalLine(JournalLine *line, const char *call)
{
    line->length = 0;
    line->text[0] = '\0';
    AppendRaw(line, call);
}

void AddJournalString(JournalLine *line, const char *name, const char *value)
{
    AppendRaw(line, " ");
    AppendRaw(line, name);
    if (value == NULL) {
        AppendRaw(line, "=(unset)");
        return;
    }
    AppendRaw(line, "=\"");
    for (const char *c = value; *c != '\0'; c++) {
        char piece[3] = { *c, '\0', '\0' };
        if (*c == '"')
            strcpy(piece, "\\\"");
        else if (*c == '\r')
            strcpy(piece, "\\r");
        else if (*c == '\n')
            strcpy(piece, "\\n");
        AppendRaw(line, piece);
    }
    AppendRaw(line, "\"");
}

void AddJournalNumber(JournalLine *line, const char *name, long long value)
{
    char piece[300];
    snprintf(piece, sizeof(piece), " %s=%lld", name, value);
    AppendRaw(line, piece);
}

void WriteJournalLine(JournalLine *line, HRESULT result)
{
    if (FAILED(result)) {
        char piece[32];
        snprintf(piece, sizeof(piece), " result=0x%08lx", (unsigned long)result);
        AppendRaw(line, piece);
    }
    char path[MAX_PATH];
    ComposeJournalPath(path, sizeof(path));
    HANDLE mutex = TakeJournalMutex();
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        char folder[MAX_PATH];
        lstrcpynA(folder, path, sizeof(folder));
        *strrchr(folder, '\\') = '\0';
        CreateDirectoryA(folder, NULL);
        file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    }
    if (file != INVALID_HANDLE_VALUE) {
        char text[sizeof(line->text) + 2];
        int length = snprintf(text, sizeof(text), "%s\r\n", line->text);
        DWORD written = 0;
        WriteFile(file, text, (DWORD)length, &written, NULL);
        CloseHandle(file);
    }
    GiveJournalMutex(mutex);
}

int ReadJournalLines(std::vector<std::string> *entries)
{
    entries->clear();
    char path[MAX_PATH];
    ComposeJournalPath(path, sizeof(path));
    HANDLE mutex = TakeJournalMutex();
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    std::string text;
    int result = 1;
    if (file != INVALID_HANDLE_VALUE) {
        char buffer[4096];
        DWORD count = 0;
        while (ReadFile(file, buffer, sizeof(buffer), &count, NULL) && count > 0)
            text.append(buffer, count);
        CloseHandle(file);
    } else if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND) {
        result = 0;
    }
    GiveJournalMutex(mutex);

    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string entry = text.substr(start, end - start);
        if (!entry.empty() && entry.back() == '\r')
            entry.pop_back();
        entries->push_back(entry);
        start = end + 1;
    }
    return result;
}

int ClearJournal(void)
{
    char path[MAX_PATH];
    ComposeJournalPath(path, sizeof(path));
    HANDLE mutex = TakeJournalMutex();
    int cleared = DeleteFileA(path) || GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    GiveJournalMutex(mutex);
    return cleared;
}
