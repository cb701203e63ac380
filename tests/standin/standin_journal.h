#ifndef PELORIN_STANDIN_JOURNAL_H
#define PELORIN_STANDIN_JOURNAL_H

// The journal of calls that every process of the stand-in appends to: one line
// per call, "Interface::method" followed by " name=value" for each argument in
// declaration order (strings in double quotes, where a double quote is written
// \" and a carriage return or line feed \r or \n, backslashes left as they are;
// numbers in decimal; a missing string as (unset)), and " result=0x%08x" when
// the call fails. A named mutex keeps lines of different processes whole
// and in the order in which they were written.

#include <windows.h>

#include <string>
#include <vector>

struct JournalLine {
    char text[4096];
    size_t length;
};

void BeginJournalLine(JournalLine *line, const char *call);
void AddJournalString(JournalLine *line, const char *name, const char *value);
void AddJournalNumber(JournalLine *line, const char *name, long long value);
// Appends the line to the journal; a failing result is added to it.
void WriteJournalLine(JournalLine *line, HRESULT result);

int ReadJournalLines(std::vector<std::string> *entries);
int ClearJournal(void);
// C:\ProgramData\Pelorin Standin\journal.txt in a Wine prefix.
void ComposeJournalPath(char *path, size_t size);

#endif
