#include "owner_draw_recorder.h"

DLGPROC OwnerDrawInner;
std::map<UINT, OwnerDrawnItem> OwnerDrawnItems;

INT_PTR CALLBACK RecordOwnerDrawing(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG)
        return FALSE;
    INT_PTR result = OwnerDrawInner(window, message, wParam, lParam);
    if (message == WM_MEASUREITEM) {
        const MEASUREITEMSTRUCT *item = (const MEASUREITEMSTRUCT *)lParam;
        OwnerDrawnItems[item->itemID].width = item->itemWidth;
        OwnerDrawnItems[item->itemID].height = item->itemHeight;
    } else if (message == WM_DRAWITEM) {
        const DRAWITEMSTRUCT *item = (const DRAWITEMSTRUCT *)lParam;
        int y = (item->rcItem.top + item->rcItem.bottom) / 2;
        OwnerDrawnItems[item->itemID].inner = GetPixel(item->hDC, item->rcItem.left - 8, y);
        OwnerDrawnItems[item->itemID].outer = GetPixel(item->hDC, item->rcItem.left - 12, y);
    }
    return result;
}
