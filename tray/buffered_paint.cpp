#include "buffered_paint.h"

BufferedPaintInitFunction UxBufferedPaintInit;
BufferedPaintUninitFunction UxBufferedPaintUninit;
BeginBufferedPaintFunction UxBeginBufferedPaint;
GetBufferedPaintBitsFunction UxGetBufferedPaintBits;
EndBufferedPaintFunction UxEndBufferedPaint;

void LoadBufferedPaintFunctions(int windowsMajorVersion)
{
    if (windowsMajorVersion <= 5)
        return;
    HMODULE uxtheme = LoadLibraryA("uxtheme.dll");
    if (uxtheme == NULL)
        return;
    // GetProcAddress gives every export one type; the detour through a plain
    // function type tells the compiler that the change of type is meant.
    UxBufferedPaintInit = (BufferedPaintInitFunction)(void (*)(void))GetProcAddress(uxtheme, "BufferedPaintInit");
    // The export is spelt with a capital I; export names are matched exactly.
    UxBufferedPaintUninit = (BufferedPaintUninitFunction)(void (*)(void))GetProcAddress(uxtheme, "BufferedPaintUnInit");
    UxBeginBufferedPaint = (BeginBufferedPaintFunction)(void (*)(void))GetProcAddress(uxtheme, "BeginBufferedPaint");
    UxGetBufferedPaintBits =
        (GetBufferedPaintBitsFunction)(void (*)(void))GetProcAddress(uxtheme, "GetBufferedPaintBits");
    UxEndBufferedPaint = (EndBufferedPaintFunction)(void (*)(void))GetProcAddress(uxtheme, "EndBufferedPaint");
}
