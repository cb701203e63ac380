#ifndef PELORIN_LOG_H
#define PELORIN_LOG_H

#include <stdio.h>

// Levels: 1 errors and installation results, 2 the machine's start and stop, 3 details.
// Appends "[<local time %c>] <message>" and a line end to the log beside the program.
void WriteLog(int level, const char *format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 2, 3)));

#endif
