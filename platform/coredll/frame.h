// The handheld's window frame: a one-pixel border round a caption bar and the client
// area, with no minimum window size, and on request an OK button in the caption.
#ifndef COREDLL_FRAME_H
#define COREDLL_FRAME_H

#include "coredll.h"
#include "framegeom.h"

// The hit-test code of the caption OK button. The desktop does not use this code, so
// its default window procedure gives it no meaning of its own.
#define HTCAPTIONOK HTOBJECT

// The caption bar in window coordinates.
RECT CeCaptionRect(HWND hWnd);

// Handles the frame's non-client messages. Returns true and sets *result when the
// message was one of them.
bool CeFrameMessage(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam, LRESULT *result);

// Draws the border and caption; wParam-style active flag.
void CePaintFrame(HWND hWnd, BOOL active);

#endif
