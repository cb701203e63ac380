#ifndef PELORIN_ABI_SIZES_H
#define PELORIN_ABI_SIZES_H

// The shipped programs are 32-bit. These are the record sizes that the
// Windows functions they call expect there; the code itself always passes
// sizeof, so the 64-bit test build stays correct too.
#include <windows.h>
#include <stddef.h>
#include <accctrl.h>
#include <shellapi.h>
#include <uxtheme.h>

#ifndef _WIN64
static_assert(sizeof(OSVERSIONINFOEXA) == 156, "OSVERSIONINFOEXA");
static_assert(sizeof(STARTUPINFOA) == 68, "STARTUPINFOA");
static_assert(sizeof(PROCESS_INFORMATION) == 16, "PROCESS_INFORMATION");
static_assert(sizeof(SECURITY_ATTRIBUTES) == 12, "SECURITY_ATTRIBUTES");
static_assert(SECURITY_DESCRIPTOR_MIN_LENGTH == 20, "SECURITY_DESCRIPTOR");
static_assert(sizeof(EXPLICIT_ACCESS_A) == 32, "EXPLICIT_ACCESS_A");
static_assert(sizeof(SERVICE_STATUS) == 28, "SERVICE_STATUS");
static_assert(sizeof(SERVICE_TABLE_ENTRYA) == 8, "SERVICE_TABLE_ENTRYA");
static_assert(sizeof(SERVICE_DESCRIPTIONA) == 4, "SERVICE_DESCRIPTIONA");
static_assert(sizeof(SERVICE_PRESHUTDOWN_INFO) == 4, "SERVICE_PRESHUTDOWN_INFO");
static_assert(sizeof(VS_FIXEDFILEINFO) == 52, "VS_FIXEDFILEINFO");
static_assert(sizeof(SHELLEXECUTEINFOA) == 60, "SHELLEXECUTEINFOA");
static_assert(sizeof(MENUITEMINFOA) == 48, "MENUITEMINFOA");
static_assert(offsetof(NOTIFYICONDATAA, guidItem) == 488, "NOTIFYICONDATAA up to dwInfoFlags");
static_assert(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER");
static_assert(sizeof(BP_PAINTPARAMS) == 16, "BP_PAINTPARAMS");
#endif

#endif
