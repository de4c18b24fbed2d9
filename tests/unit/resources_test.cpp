// The resources in the built program: strings, accelerators and the icon group.
#include "resource.h"
#include "support.h"

#include <gtest/gtest.h>

namespace {

HINSTANCE Self()
{
    return GetModuleHandleW(NULL);
}

const BYTE *Resource(LPCWSTR type, UINT id, DWORD *size)
{
    HRSRC res = FindResourceExW(Self(), type, MAKEINTRESOURCEW(id), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US));
    if (!res)
        return nullptr;
    *size = SizeofResource(Self(), res);
    return (const BYTE *)LockResource(LoadResource(Self(), res));
}

TEST(Resources, BothStringsLoadInFullIntoAHundredUnits)
{
    for (UINT id : {IDS_TITLE, IDS_CLASS}) {
        wchar_t buf[100];
        EXPECT_EQ(LoadStringW(Self(), id, buf, 100), 8);
        EXPECT_STREQ(buf, L"Registry");
    }
}

TEST(Resources, AcceleratorTableHasItsTwoEntriesWithExactFlagWords)
{
    // The raw resource: flags, key, command, padding; the last entry carries 0x80.
    DWORD size = 0;
    const BYTE *raw = Resource(RT_ACCELERATOR, IDR_ACCEL, &size);
    ASSERT_NE(raw, nullptr);
    ASSERT_EQ(size, 16u);
    const WORD *w = (const WORD *)raw;
    EXPECT_EQ(w[0], 0x12);  // FALT | FNOINVERT, a character
    EXPECT_EQ(w[1], '/');
    EXPECT_EQ(w[2], IDM_ABOUT);
    EXPECT_EQ(w[4], 0x93);  // FVIRTKEY | FNOINVERT | FALT | last
    EXPECT_EQ(w[5], VK_F4);
    EXPECT_EQ(w[6], IDM_EXIT);
}

TEST(Resources, AcceleratorsTranslateOnlyWithAlt)
{
    HWND wnd = CreateWindowExW(0, L"STATIC", L"accel", WS_OVERLAPPED, 0, 0, 10, 10, NULL, NULL, NULL, NULL);
    HACCEL accel = LoadAcceleratorsW(Self(), MAKEINTRESOURCEW(IDR_ACCEL));
    ASSERT_NE(accel, nullptr);
    struct {
        UINT msg;
        WPARAM key;
        LPARAM lParam;
        bool translated;
    } const cases[] = {
        {WM_SYSCHAR, '/', 0x20000000, true},   // Alt+/
        {WM_CHAR, '/', 0, false},              // '/' alone
        {WM_SYSKEYDOWN, VK_F4, 0x20000000, true},  // Alt+F4
        {WM_KEYDOWN, VK_F4, 0, false},         // F4 alone
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.msg);
        MSG msg = {wnd, c.msg, c.key, c.lParam, 0, {0, 0}};
        BYTE keys[256] = {};
        if (c.lParam & 0x20000000)
            keys[VK_MENU] = 0x80;
        SetKeyboardState(keys);
        EXPECT_EQ(TranslateAcceleratorW(wnd, accel, &msg) != 0, c.translated);
        MSG posted;
        while (PeekMessageW(&posted, wnd, 0, 0, PM_REMOVE)) {
        }
    }
    BYTE none[256] = {};
    SetKeyboardState(none);
    DestroyWindow(wnd);
}

TEST(Resources, IconGroupHoldsA32AndA16PixelImageIn16Colours)
{
    DWORD size = 0;
    const BYTE *raw = Resource(RT_GROUP_ICON, IDI_APP, &size);
    ASSERT_NE(raw, nullptr);
    const WORD *hdr = (const WORD *)raw;
    ASSERT_EQ(hdr[2], 2) << "image count";
    const BYTE *entry = raw + 6;
    int sizes[2];
    for (int i = 0; i < 2; ++i, entry += 14) {
        sizes[i] = entry[0];
        EXPECT_EQ(entry[0], entry[1]);                 // square
        EXPECT_EQ(entry[2], 16) << "colours";
        EXPECT_EQ(*(const WORD *)(entry + 4), 1) << "planes";
        EXPECT_EQ(*(const WORD *)(entry + 6), 4) << "bits per pixel";
    }
    EXPECT_EQ(sizes[0], 32);
    EXPECT_EQ(sizes[1], 16);
}

}  // namespace
