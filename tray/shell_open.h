#ifndef PELORIN_SHELL_OPEN_H
#define PELORIN_SHELL_OPEN_H

// Hands a file, a program or an address to the shell's "open" verb, shown
// normally. className, when not null, names the file class to open it as.
// The result is not reported: nothing the tray starts is watched.
void OpenWithShell(const char *file, const char *parameters, const char *className);

#endif
