#ifndef PELORIN_TRAY_RESOURCE_H
#define PELORIN_TRAY_RESOURCE_H

// The hidden dialog that owns the notification icon.
#define IDD_TRAY 220

// The program's icon (also the notification icon) and the state icons.
#define IDI_TRAY 201
#define IDI_RUNNING 202
#define IDI_STOPPED 203
// Our own error icon takes the name of the system's stock one, which this
// program never loads.
#undef IDI_ERROR
#define IDI_ERROR 204
#define IDI_PENDING 205

#endif
