// Modal dialogs as the handheld shows them. The desktop's dialog manager does the
// work (templates, controls, the modal loop, keyboard navigation); a captioned dialog
// gets the handheld's frame instead of the desktop's: a one-pixel border, the
// handheld's caption bar, and the caption OK button when the template's extended
// style has WS_EX_CAPTIONOKBTN.
//
// The program's dialog procedure is wrapped, not replaced: it sees every message
// first, as before, and only frame messages that it leaves unhandled get the
// handheld's handling in place of the desktop's default.
#include "frame.h"

namespace {

struct CeDialog {
    DLGPROC proc;  // the program's dialog procedure
    short cx, cy;  // the template's client size, in dialog units
};

}  // namespace

static const wchar_t kDialogProp[] = L"CeDialog";

// The dialog being created on this thread, until its first message claims it.
static thread_local CeDialog *t_creating;

// The client size a template asks for, from either template form.
static void TemplateSize(LPCDLGTEMPLATEW tmpl, short *cx, short *cy)
{
    const WORD *w = (const WORD *)tmpl;
    if (w[0] == 1 && w[1] == 0xFFFF) {
        // The extended form: version 1 and signature 0xFFFF, then help id, extended
        // style, style, item count, x and y before the size.
        *cx = (short)w[11];
        *cy = (short)w[12];
    } else {
        *cx = tmpl->cx;
        *cy = tmpl->cy;
    }
}

// The dialog manager sized the window for its own, thicker frame. The client area
// keeps the size the template gives it; the handheld's frame goes round that.
static void FitFrame(HWND hDlg, const CeDialog *d)
{
    RECT rc = {0, 0, d->cx, d->cy};
    MapDialogRect(hDlg, &rc);
    SetWindowPos(hDlg, NULL, 0, 0, rc.right + 2 * CE_BORDER, rc.bottom + CE_CAPTION_HEIGHT + 2 * CE_BORDER,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

static INT_PTR CALLBACK CeDialogProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam)
{
    CeDialog *d = (CeDialog *)GetPropW(hDlg, kDialogProp);
    if (!d) {
        d = t_creating;
        if (!d)
            return FALSE;
        t_creating = NULL;
        SetPropW(hDlg, kDialogProp, d);
    }
    // Before the program's procedure sees the dialog, so that it measures and places
    // the dialog as it will be shown.
    if (message == WM_INITDIALOG && HasCeFrame(hDlg))
        FitFrame(hDlg, d);

    INT_PTR handled = d->proc(hDlg, message, wParam, lParam);
    if (message == WM_NCDESTROY) {
        RemovePropW(hDlg, kDialogProp);
        return handled;
    }
    LRESULT result;
    if (!handled && IsWindow(hDlg) && HasCeFrame(hDlg) && CeFrameMessage(hDlg, message, wParam, lParam, &result)) {
        SetWindowLongPtrW(hDlg, DWLP_MSGRESULT, result);
        return TRUE;
    }
    return handled;
}

CEAPI INT_PTR WINAPI CeDialogBoxIndirectParamW(HINSTANCE hInstance, LPCDLGTEMPLATEW lpTemplate, HWND hWndParent,
                                               DLGPROC lpDialogFunc, LPARAM dwInitParam)
{
    // A template that could not be loaded fails the call, as on the handheld; the
    // desktop would read through the null pointer.
    if (!lpTemplate) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!lpDialogFunc)
        return DialogBoxIndirectParamW(hInstance, lpTemplate, hWndParent, lpDialogFunc, dwInitParam);
    CeDialog d;
    d.proc = lpDialogFunc;
    TemplateSize(lpTemplate, &d.cx, &d.cy);
    CeDialog *outer = t_creating;
    t_creating = &d;
    INT_PTR result = DialogBoxIndirectParamW(hInstance, lpTemplate, hWndParent, CeDialogProc, dwInitParam);
    // Unclaimed if the dialog could not be created.
    t_creating = outer;
    return result;
}
