#ifndef PELORIN_WINDOWS_XP_H
#define PELORIN_WINDOWS_XP_H

// Wine reports Windows 7 to the tests; a program named in its AppDefaults
// key with Version "winxp" sees Windows XP instead.
#include <string>

bool IsWindowsXp(void);
// Runs the current test alone in a copy of this program that Wine takes for
// Windows XP, and returns that run's exit code with its output.
int RunCurrentTestOnWindowsXp(std::string *output);

#endif
