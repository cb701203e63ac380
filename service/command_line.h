#ifndef PELORIN_COMMAND_LINE_H
#define PELORIN_COMMAND_LINE_H

// Exit codes of pelorin.exe.
enum ExitCode {
    ExitSuccess = 0,
    ExitConfigIncomplete = 1,
    ExitInstallFailed = 2,
    ExitStillRunning = 2,   // -u: removal accepted, the service goes when it stops
    ExitUninstallFailed = 3,
    // -i with ServiceAccount: the account is unknown, its password could not
    // be read, or it could not be granted the right to log on as a service.
    ExitAccountUnknown = 3,
    ExitPasswordUnread = 4,
    ExitGrantRefused = 5
};

// 1 when the start-up load found a complete settings file; -i and -u need it.
extern int ConfigComplete;
// Non-zero on Windows 6.0 (Vista, Server 2008) or later.
extern int VistaOrLater;

// Start-up and the four branches: no argument runs the service dispatcher,
// -i installs, -u removes, anything else prints the usage text.
int RunCommandLine(int argc, char **argv);

void SetVirtualBoxEnvironment(void);
int CheckWindowsVersion(void);

#endif
