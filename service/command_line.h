#ifndef PELORIN_COMMAND_LINE_H
#define PELORIN_COMMAND_LINE_H

// Exit codes of pelorin.exe; -i's failures are InstallService's results.
enum ExitCode {
    ExitSuccess = 0,
    ExitConfigIncomplete = 1,
    ExitInstallFailed = 2,
    ExitStillRunning = 2,   // -u: removal accepted, the service goes when it stops
    ExitUninstallFailed = 3
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
