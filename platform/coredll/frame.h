// The handheld's window frame: a one-pixel border round a caption bar and the client
// area, with no minimum window size.
#ifndef COREDLL_FRAME_H
#define COREDLL_FRAME_H

#include "coredll.h"

#define CE_BORDER 1
// Tall enough for the caption font; with it the main window's 88 pixels leave a
// 63-pixel client area, which its frame control fills to the last row.
#define CE_CAPTION_HEIGHT 23

// Whether a window gets the handheld's frame: top-level windows with a caption.
bool HasCeFrame(HWND hWnd);

// The caption bar in window coordinates.
RECT CeCaptionRect(HWND hWnd);

// Handles the frame's non-client messages. Returns true and sets *result when the
// message was one of them.
bool CeFrameMessage(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam, LRESULT *result);

// Draws the border and caption; wParam-style active flag.
void CePaintFrame(HWND hWnd, BOOL active);

#endif
