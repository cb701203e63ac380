#ifndef PELORIN_BUFFERED_PAINT_H
#define PELORIN_BUFFERED_PAINT_H

#include <windows.h>
#include <uxtheme.h>

// The buffered-paint functions of uxtheme.dll, looked up at run time because
// Windows before Vista lacks them. Each pointer stays null when the system is
// older, the library does not load or the name is missing.
typedef HRESULT(WINAPI *BufferedPaintInitFunction)(void);
typedef HRESULT(WINAPI *BufferedPaintUninitFunction)(void);
typedef HPAINTBUFFER(WINAPI *BeginBufferedPaintFunction)(HDC target, const RECT *rect, BP_BUFFERFORMAT format,
                                                          BP_PAINTPARAMS *params, HDC *paintDc);
typedef HRESULT(WINAPI *GetBufferedPaintBitsFunction)(HPAINTBUFFER buffer, RGBQUAD **bits, int *rowPixels);
typedef HRESULT(WINAPI *EndBufferedPaintFunction)(HPAINTBUFFER buffer, BOOL updateTarget);

extern BufferedPaintInitFunction UxBufferedPaintInit;
extern BufferedPaintUninitFunction UxBufferedPaintUninit;
extern BeginBufferedPaintFunction UxBeginBufferedPaint;
extern GetBufferedPaintBitsFunction UxGetBufferedPaintBits;
extern EndBufferedPaintFunction UxEndBufferedPaint;

// Loads uxtheme.dll (kept loaded for the life of the process) when the
// Windows major version is above 5, and resolves the five entry points.
void LoadBufferedPaintFunctions(int windowsMajorVersion);

#endif
