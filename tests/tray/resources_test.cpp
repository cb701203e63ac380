// The tray program's resources (its dialog, icons and version block), the
// state icons it loads, and the start-up steps before its dialog.
#include <gtest/gtest.h>

#include "buffered_paint.h"
#include "menu_icons.h"
#include "resource.h"
#include "service_list.h"
#include "test_support.h"
#include "tray_shell.h"
#include "tray_test_support.h"

namespace {

class ProgramResources : public ::testing::Test {
protected:
    HMODULE program = NULL;

    void SetUp() override
    {
        program = LoadLibraryExA(BuiltProgramPath("pelorintray.exe").c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_TRUE(program != NULL);
    }
    void TearDown() override { FreeLibrary(program); }

    const BYTE *Resource(WORD id, LPCSTR type, DWORD *size)
    {
        HRSRC found = FindResourceA(program, MAKEINTRESOURCEA(id), type);
        if (found == NULL)
            return NULL;
        *size = SizeofResource(program, found);
        return (const BYTE *)LockResource(LoadResource(program, found));
    }
};

std::string ReadUtf16(const BYTE **cursor)
{
    std::string text;
    const WCHAR *c = (const WCHAR *)*cursor;
    while (*c != 0)
        text += (char)*c++;
    *cursor = (const BYTE *)(c + 1);
    return text;
}

TEST_F(ProgramResources, DialogIsAHiddenEmptyExtendedTemplate)
{
    DWORD size = 0;
    const BYTE *data = Resource(IDD_TRAY, RT_DIALOG, &size);
    ASSERT_TRUE(data != NULL);
    ASSERT_GE(size, 26u);
    const WORD *words = (const WORD *)data;
    EXPECT_EQ(1, words[0]);      // dlgVer
    EXPECT_EQ(0xFFFF, words[1]); // signature: extended template
    DWORD exStyle = *(const DWORD *)(data + 8);
    DWORD style = *(const DWORD *)(data + 12);
    EXPECT_EQ((DWORD)WS_EX_APPWINDOW, exStyle);
    EXPECT_EQ((DWORD)(WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME | DS_CENTER | DS_SETFONT |
                      DS_FIXEDSYS),
              style);
    EXPECT_EQ(0, *(const WORD *)(data + 16)); // no controls
    const short *box = (const short *)(data + 18);
    EXPECT_EQ(0, box[0]);
    EXPECT_EQ(0, box[1]);
    EXPECT_EQ(120, box[2]);
    EXPECT_EQ(80, box[3]);
    const BYTE *cursor = data + 26;
    EXPECT_EQ("", ReadUtf16(&cursor)); // no menu
    EXPECT_EQ("", ReadUtf16(&cursor)); // the standard dialog class
    EXPECT_EQ("pelorin tray helper", ReadUtf16(&cursor));
    EXPECT_EQ(0, *(const WORD *)cursor); // font size
    cursor += 6;                          // size, weight, italic, charset
    EXPECT_EQ("", ReadUtf16(&cursor));   // no face name
}

TEST_F(ProgramResources, ManifestRunsTheHelperAsTheUserWithoutFileVirtualisation)
{
    DWORD size = 0;
    const BYTE *data = Resource(1, RT_MANIFEST, &size);
    ASSERT_TRUE(data != NULL);
    std::string manifest((const char *)data, size);
    EXPECT_NE(std::string::npos, manifest.find("<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>"))
        << manifest;
    EXPECT_NE(std::string::npos, manifest.find("<trustInfo xmlns=\"urn:schemas-microsoft-com:asm.v3\">")) << manifest;
}

TEST_F(ProgramResources, EachIconGroupHoldsA256ColourAndAnAlphaImage)
{
    for (WORD id = IDI_TRAY; id <= IDI_PENDING; id++) {
        DWORD size = 0;
        const BYTE *group = Resource(id, RT_GROUP_ICON, &size);
        ASSERT_TRUE(group != NULL) << id;
        const WORD *header = (const WORD *)group;
        ASSERT_EQ(2, header[2]) << id;
        bool seen8 = false, seen32 = false;
        for (int i = 0; i < 2; i++) {
            // GRPICONDIRENTRY: width, height, colours, reserved, planes, bit count, bytes, id.
            const BYTE *entry = group + 6 + 14 * i;
            EXPECT_EQ(16, entry[0]);
            EXPECT_EQ(16, entry[1]);
            WORD bitCount = *(const WORD *)(entry + 6);
            WORD imageId = *(const WORD *)(entry + 12);
            DWORD imageSize = 0;
            const BYTE *image = Resource(imageId, RT_ICON, &imageSize);
            ASSERT_TRUE(image != NULL);
            const BITMAPINFOHEADER *bitmap = (const BITMAPINFOHEADER *)image;
            EXPECT_EQ(bitCount, bitmap->biBitCount);
            EXPECT_EQ(16, bitmap->biWidth);
            if (bitCount == 8) {
                seen8 = true;
            } else if (bitCount == 32) {
                seen32 = true;
                // Real alpha: some pixels clear, some solid, some in between.
                const BYTE *pixels = image + bitmap->biSize;
                int clear = 0, solid = 0, partial = 0;
                for (int p = 0; p < 256; p++) {
                    BYTE alpha = pixels[p * 4 + 3];
                    clear += alpha == 0;
                    solid += alpha == 255;
                    partial += alpha != 0 && alpha != 255;
                }
                EXPECT_GT(solid, 100) << id;
                if (id != IDI_TRAY) {
                    EXPECT_GT(clear, 10) << id;
                    EXPECT_GT(partial, 10) << id;
                }
            }
        }
        EXPECT_TRUE(seen8 && seen32) << id;
    }
}

std::string VersionString(const std::vector<char> &block, const char *name)
{
    char *value = NULL;
    UINT length = 0;
    std::string path = std::string("\\StringFileInfo\\040904E4\\") + name;
    if (!VerQueryValueA(block.data(), path.c_str(), (void **)&value, &length) || value == NULL)
        return "(missing)";
    return value;
}

TEST(TrayVersionBlock, CarriesTheFileAndProductVersions)
{
    std::string exe = BuiltProgramPath("pelorintray.exe");
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeA(exe.c_str(), &handle);
    ASSERT_GT(size, 0u);
    std::vector<char> block(size);
    ASSERT_TRUE(GetFileVersionInfoA(exe.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\", (void **)&fixed, &length));
    EXPECT_EQ(MAKELONG(1, 0), (LONG)fixed->dwFileVersionMS);
    EXPECT_EQ(MAKELONG(112, 4), (LONG)fixed->dwFileVersionLS);
    EXPECT_EQ(MAKELONG(4, 0), (LONG)fixed->dwProductVersionMS);
    EXPECT_EQ(MAKELONG(112, 1), (LONG)fixed->dwProductVersionLS);
    EXPECT_EQ("0.1.4", VersionString(block, "FileVersion"));
    EXPECT_EQ("0.4.1", VersionString(block, "ProductVersion"));
    EXPECT_EQ("Pelorin Tray Helper", VersionString(block, "FileDescription"));
    EXPECT_EQ("pelorintray", VersionString(block, "InternalName"));
    EXPECT_EQ("pelorintray.exe", VersionString(block, "OriginalFilename"));
    EXPECT_EQ("Pelorin", VersionString(block, "ProductName"));
    WORD *translation = NULL;
    ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", (void **)&translation, &length));
    EXPECT_EQ(0x0409, translation[0]);
    EXPECT_EQ(1252, translation[1]);
}

// The 16 x 16 colour and mask bits of an icon, for comparing icons.
std::vector<DWORD> IconBits(HICON icon)
{
    std::vector<DWORD> bits;
    ICONINFO info;
    if (icon == NULL || !GetIconInfo(icon, &info))
        return bits;
    BITMAPINFO format = {};
    format.bmiHeader.biSize = sizeof(format.bmiHeader);
    format.bmiHeader.biWidth = 16;
    format.bmiHeader.biHeight = 16;
    format.bmiHeader.biPlanes = 1;
    format.bmiHeader.biBitCount = 32;
    bits.resize(512);
    HDC dc = CreateCompatibleDC(NULL);
    GetDIBits(dc, info.hbmColor, 0, 16, bits.data(), &format, DIB_RGB_COLORS);
    GetDIBits(dc, info.hbmMask, 0, 16, bits.data() + 256, &format, DIB_RGB_COLORS);
    DeleteDC(dc);
    DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
    return bits;
}

std::vector<DWORD> ResourceIconBits(WORD id)
{
    HICON icon = (HICON)LoadImageA(GetModuleHandleA(NULL), MAKEINTRESOURCEA(id), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR);
    std::vector<DWORD> bits = IconBits(icon);
    DestroyIcon(icon);
    return bits;
}

TEST(StateIcons, EachStateLoadsItsIconAndOthersNone)
{
    TrayInstance = GetModuleHandleA(NULL);
    const struct {
        int state;
        WORD icon; // 0: none
    } table[] = {
        { Stopped, IDI_STOPPED },        { StopPending, IDI_PENDING },    { StartPending, IDI_PENDING },
        { Running, IDI_RUNNING },        { ConfigNotFound, IDI_ERROR },   { ServiceNotFound, IDI_ERROR },
        { NotConfigured, IDI_ERROR },    { Undetermined, 0 },             { 0, 0 },
        { 5, 0 },                        { 10, 0 },                       { -1, 0 },
    };
    for (const auto &row : table) {
        HICON icon = LoadStateIcon(row.state);
        if (row.icon == 0) {
            EXPECT_TRUE(icon == NULL) << row.state;
        } else {
            ASSERT_TRUE(icon != NULL) << row.state;
            EXPECT_EQ(ResourceIconBits(row.icon), IconBits(icon)) << row.state;
            ICONINFO info;
            ASSERT_TRUE(GetIconInfo(icon, &info));
            BITMAP colour;
            GetObjectA(info.hbmColor, sizeof(colour), &colour);
            EXPECT_EQ(16, colour.bmWidth);
            EXPECT_EQ(16, colour.bmHeight);
            DeleteObject(info.hbmColor);
            DeleteObject(info.hbmMask);
        }
        DestroyIcon(icon);
    }
    EXPECT_NE(ResourceIconBits(IDI_RUNNING), ResourceIconBits(IDI_STOPPED));
    EXPECT_NE(ResourceIconBits(IDI_PENDING), ResourceIconBits(IDI_ERROR));
}

TEST(TrayStartUp, BufferedPaintIsLoadedOnVistaAndLaterOnly)
{
    UxBufferedPaintInit = NULL;
    UxBufferedPaintUninit = NULL;
    UxBeginBufferedPaint = NULL;
    UxGetBufferedPaintBits = NULL;
    UxEndBufferedPaint = NULL;
    LoadBufferedPaintFunctions(5);
    EXPECT_TRUE(UxBufferedPaintInit == NULL && UxBufferedPaintUninit == NULL && UxBeginBufferedPaint == NULL &&
                UxGetBufferedPaintBits == NULL && UxEndBufferedPaint == NULL);

    // Wine reports Windows 7 unless told otherwise.
    MenuBitmapCache[3] = (HBITMAP)1;
    StartTrayShell(GetModuleHandleA(NULL));
    EXPECT_EQ(6, WindowsMajorVersion);
    EXPECT_TRUE(UxBufferedPaintInit != NULL);
    EXPECT_TRUE(UxBufferedPaintUninit != NULL);
    EXPECT_TRUE(UxBeginBufferedPaint != NULL);
    EXPECT_TRUE(UxGetBufferedPaintBits != NULL);
    EXPECT_TRUE(UxEndBufferedPaint != NULL);
    EXPECT_TRUE(MenuBitmapCache[3] == NULL);
    EXPECT_TRUE(TrayInstance == GetModuleHandleA(NULL));
}

TEST(TrayStartUp, CleanupReleasesTheListAndTheBitmaps)
{
    HDC screen = GetDC(NULL);
    HBITMAP bitmaps[2] = { CreateCompatibleBitmap(screen, 16, 16), CreateCompatibleBitmap(screen, 16, 16) };
    ReleaseDC(NULL, screen);
    MenuBitmapCache[0] = bitmaps[0];
    MenuBitmapCache[9] = bitmaps[1];
    std::string folder = MakeTestFolder("tray cleanup");
    UseTrayFolder(folder);
    WriteTextFile(folder + "pelorintray.ini", "[a]\r\n[b]\r\n");
    ASSERT_EQ(PollSucceeded, LoadServiceList());
    ASSERT_TRUE(TrayEntries != NULL);

    CleanupTray();
    EXPECT_TRUE(TrayEntries == NULL);
    for (int i = 0; i < MENU_BITMAP_SLOTS; i++)
        EXPECT_TRUE(MenuBitmapCache[i] == NULL);
    EXPECT_EQ(0u, GetObjectType(bitmaps[0]));
    EXPECT_EQ(0u, GetObjectType(bitmaps[1]));
}

} // namespace
