// Where the parts of the handheld's window frame are. COREDLL.dll draws and hit-tests
// the frame by these rules, and the device tool taps the caption OK button by them,
// so both read them from here. Rectangles are in window coordinates: (0, 0) is the
// window's top-left corner.
#ifndef COREDLL_FRAMEGEOM_H
#define COREDLL_FRAMEGEOM_H

#include <windows.h>

// A dialog whose extended style has this bit shows an OK button in its caption.
#ifndef WS_EX_CAPTIONOKBTN
#define WS_EX_CAPTIONOKBTN 0x80000000L
#endif

#define CE_BORDER 1
// Tall enough for the caption font; with it the main window's 88 pixels leave a
// 63-pixel client area, which its frame control fills to the last row.
#define CE_CAPTION_HEIGHT 23

// The caption OK button: this wide, and this far inside the caption bar's top,
// bottom and right edges.
#define CE_CAPTION_OK_WIDTH 27
#define CE_CAPTION_OK_INSET 2

// Whether a window gets the handheld's frame: top-level windows with a caption.
static inline bool HasCeFrame(HWND hWnd)
{
    LONG style = GetWindowLongW(hWnd, GWL_STYLE);
    return !(style & WS_CHILD) && (style & WS_CAPTION) == WS_CAPTION;
}

// Whether its caption also shows the OK button.
static inline bool HasCaptionOk(HWND hWnd)
{
    return HasCeFrame(hWnd) && (GetWindowLongW(hWnd, GWL_EXSTYLE) & WS_EX_CAPTIONOKBTN);
}

// The caption bar of a window this wide.
static inline RECT CeCaptionRectFor(int width)
{
    RECT rc = {CE_BORDER, CE_BORDER, width - CE_BORDER, CE_BORDER + CE_CAPTION_HEIGHT};
    return rc;
}

// The caption OK button of a window this wide, at the right end of the caption bar.
// A window too narrow for it gets a button cut at the caption's left edge.
static inline RECT CeCaptionOkRectFor(int width)
{
    RECT caption = CeCaptionRectFor(width);
    RECT rc;
    rc.right = caption.right - CE_CAPTION_OK_INSET;
    rc.left = rc.right - CE_CAPTION_OK_WIDTH;
    rc.top = caption.top + CE_CAPTION_OK_INSET;
    rc.bottom = caption.bottom - CE_CAPTION_OK_INSET;
    if (rc.left < caption.left)
        rc.left = caption.left;
    if (rc.right < rc.left)
        rc.right = rc.left;
    return rc;
}

#endif
