#ifndef PELORIN_OWNER_DRAW_RECORDER_H
#define PELORIN_OWNER_DRAW_RECORDER_H

// A dialog procedure that hands every message but WM_INITDIALOG to
// OwnerDrawInner and records, by item identifier, what each WM_MEASUREITEM
// answered and two pixels that each WM_DRAWITEM drew left of the item's
// rectangle, at 8 and 12 pixels from it, on its middle line.
#include <windows.h>

#include <map>

struct OwnerDrawnItem {
    UINT width = 0, height = 0;
    COLORREF inner = CLR_INVALID, outer = CLR_INVALID; // 8 and 12 pixels left
};

extern DLGPROC OwnerDrawInner;
extern std::map<UINT, OwnerDrawnItem> OwnerDrawnItems;
INT_PTR CALLBACK RecordOwnerDrawing(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

#endif
