// The About box: a modal dialog from the program's own resources, placed over the
// main window's client area and closed by its caption OK button or Esc.
#include "regsave.h"
#include "resource.h"

// Moves the dialog by the centring rule: half the difference between the parent's
// client size and the dialog's window size on each axis, never negative. The offset
// is used as the position as it stands, without mapping it to the screen, so the
// dialog sits at that offset from the screen's top-left corner.
static void CenterOnParent(HWND hDlg)
{
    RECT rcDlg;
    if (!GetWindowRect(hDlg, &rcDlg))
        return;

    int x = 0;
    int y = 0;
    RECT rcParent;
    // Without the parent's client area there is nothing to centre on; the dialog
    // then goes to the top-left corner.
    if (GetClientRect(GetParent(hDlg), &rcParent)) {
        x = ((rcParent.right - rcParent.left) - (rcDlg.right - rcDlg.left)) / 2;
        y = ((rcParent.bottom - rcParent.top) - (rcDlg.bottom - rcDlg.top)) / 2;
        if (x < 0)
            x = 0;
        if (y < 0)
            y = 0;
    }
    SetWindowPos(hDlg, NULL, x, y, 0, 0, SWP_NOZORDER | SWP_NOSIZE);
}

INT_PTR CALLBACK AboutDlgProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (message) {
    case WM_INITDIALOG:
        CenterOnParent(hDlg);
        // The platform then gives the default control the focus.
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
        case IDCANCEL:
            EndDialog(hDlg, LOWORD(wParam));
            return TRUE;
        }
        break;
    }
    return FALSE;
}

void ShowAboutBox(HWND hWndOwner)
{
    // On the handheld a loaded resource is the template itself; a missing one makes
    // the dialog call fail, and nothing is shown.
    HRSRC hRes = FindResourceW(g_hInstance, MAKEINTRESOURCEW(IDD_ABOUT), RT_DIALOG);
    HGLOBAL hTemplate = LoadResource(g_hInstance, hRes);
    DialogBoxIndirectParamW(g_hInstance, (LPCDLGTEMPLATEW)hTemplate, hWndOwner, AboutDlgProc, 0);
}
