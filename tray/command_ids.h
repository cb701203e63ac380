#ifndef PELORIN_COMMAND_IDS_H
#define PELORIN_COMMAND_IDS_H

// Menu command identifiers (the low word of WM_COMMAND's wParam).
#define IDM_CLOSE 301
#define IDM_RELOAD 302
#define IDM_LOGON_AUTOSTART 303
#define IDM_CHECK_UPDATES 304

// Each listed service owns the block IDM_SERVICE_BASE + 20 * index + offset.
#define IDM_SERVICE_BASE 1000
#define IDM_SERVICE_STRIDE 20

// Offsets within a service's block. The four stop methods equal their
// TrayStopMethod codes.
enum ServiceCommand {
    CommandStart = 1,
    CommandStop = 2,
    CommandAutostart = 3,
    CommandShowLog = 4,
    CommandVrdpConsole = 5,
    CommandPowerOff = 6,
    CommandAcpiPower = 7,
    CommandAcpiSleep = 8,
    CommandSaveState = 9,
    CommandOpenConfig = 10,
    CommandClearLog = 11
};

// Identifiers are 16-bit: this many services can be numbered (indexes 0 to 3226).
#define MAX_TRAY_ENTRIES ((0xFFFF - IDM_SERVICE_BASE - CommandClearLog) / IDM_SERVICE_STRIDE + 1)

inline unsigned int ServiceCommandId(int index, int offset)
{
    return IDM_SERVICE_BASE + IDM_SERVICE_STRIDE * index + offset;
}

#endif
