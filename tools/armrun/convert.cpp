// Messages on their way to a guest procedure. A structure a message points to is
// copied, in the handheld's 32-bit layout, onto the guest's stack, and what the guest
// changes in it is copied back. Any other value that does not fit 32 bits (a pointer
// into the host's memory) reaches the guest as a token: passed back to the default
// window procedure it becomes the host's value again, and read as memory it stops the
// program with a message naming the address and the message.
#include "runner.h"

#include <cstring>

namespace {

enum Kind {
    kPlain,         // values and handles
    kCreate,        // CREATESTRUCTW
    kMinMax,        // MINMAXINFO, the same on both sides
    kCalcSizeRect,  // WM_NCCALCSIZE without valid areas: one RECT
    kCalcSize,      // WM_NCCALCSIZE with NCCALCSIZE_PARAMS and its WINDOWPOS
    kWindowPos,     // WINDOWPOS
    kStyle,         // STYLESTRUCT, the same on both sides
    kStringIn,      // a string the guest reads
    kTextOut,       // WM_GETTEXT's buffer
    kNotify,        // NMHDR
};

struct CeCreateStruct {
    uint32_t lpCreateParams, hInstance, hMenu, hwndParent;
    int32_t cy, cx, y, x;
    int32_t style;
    uint32_t lpszName, lpszClass;
    uint32_t dwExStyle;
};
static_assert(sizeof(CeCreateStruct) == 48, "the handheld's CREATESTRUCTW");

struct CeWindowPos {
    uint32_t hwnd, hwndInsertAfter;
    int32_t x, y, cx, cy;
    uint32_t flags;
};
static_assert(sizeof(CeWindowPos) == 28, "the handheld's WINDOWPOS");

struct CeCalcSize {
    RECT rgrc[3];
    uint32_t lppos;
};
static_assert(sizeof(CeCalcSize) == 52, "the handheld's NCCALCSIZE_PARAMS");

struct CeNotify {
    uint32_t hwndFrom, idFrom, code;
};

// Tokens for host values: one pair of addresses per nesting depth, never mapped.
constexpr uint32_t kTokens = 0xF0000000;
std::vector<MessageFrame *> g_frames;

Kind KindOf(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (!lParam)
        return kPlain;
    switch (message) {
    case WM_NCCREATE:
    case WM_CREATE:
        return kCreate;
    case WM_GETMINMAXINFO:
        return kMinMax;
    case WM_NCCALCSIZE:
        return wParam ? kCalcSize : kCalcSizeRect;
    case WM_WINDOWPOSCHANGING:
    case WM_WINDOWPOSCHANGED:
        return kWindowPos;
    case WM_STYLECHANGING:
    case WM_STYLECHANGED:
        return kStyle;
    case WM_SETTEXT:
    case WM_SETTINGCHANGE:
    case WM_DEVMODECHANGE:
        return kStringIn;
    case WM_GETTEXT:
        // A buffer larger than the guest's stack could hold stays the host's.
        return wParam <= 0x8000 ? kTextOut : kPlain;
    case WM_NOTIFY:
        return kNotify;
    }
    return kPlain;
}

uint32_t SizeOf(Kind kind, WPARAM wParam, LPARAM lParam)
{
    switch (kind) {
    case kCreate:
        return sizeof(CeCreateStruct) + 2 * 2 * 256;  // and room for two names
    case kMinMax:
        return sizeof(MINMAXINFO);
    case kCalcSizeRect:
        return sizeof(RECT);
    case kCalcSize:
        return sizeof(CeCalcSize) + sizeof(CeWindowPos);
    case kWindowPos:
        return sizeof(CeWindowPos);
    case kStyle:
        return sizeof(STYLESTRUCT);
    case kStringIn:
        return 2 * uint32_t(lstrlenW(reinterpret_cast<const WCHAR *>(lParam)) + 1);
    case kTextOut:
        return 2 * uint32_t(wParam);
    case kNotify:
        return sizeof(CeNotify);
    default:
        return 0;
    }
}

void ToGuest(CeWindowPos *g, const WINDOWPOS *h)
{
    g->hwnd = uint32_t(reinterpret_cast<uintptr_t>(h->hwnd));
    g->hwndInsertAfter = uint32_t(reinterpret_cast<uintptr_t>(h->hwndInsertAfter));
    g->x = h->x, g->y = h->y, g->cx = h->cx, g->cy = h->cy;
    g->flags = h->flags;
}

void ToHost(WINDOWPOS *h, const CeWindowPos *g)
{
    h->x = g->x, h->y = g->y, h->cx = g->cx, h->cy = g->cy;
    h->flags = g->flags;
    h->hwndInsertAfter = reinterpret_cast<HWND>(Widen(g->hwndInsertAfter));
}

// A name in CREATESTRUCTW: an atom, a string the guest gave (its own memory), or a
// host string copied into ROOM (at most 255 characters, the rest cut).
uint32_t GuestName(const WCHAR *name, uint8_t *room, uint32_t roomAddress)
{
    uintptr_t v = reinterpret_cast<uintptr_t>(name);
    if (v < 0x10000 || (v < 0x80000000u && cpu::IsGuest(uint32_t(v), 2)))
        return uint32_t(v);
    WCHAR *out = reinterpret_cast<WCHAR *>(room);
    int n = 0;
    for (; n < 255 && name[n]; ++n)
        out[n] = name[n];
    out[n] = 0;
    return roomAddress;
}

}  // namespace

MessageFrame::MessageFrame(HWND h, UINT m, WPARAM w, LPARAM l)
    : hwnd(h), message(m), wParam(w), lParam(l), kind_(KindOf(m, w, l)), room_(nullptr)
{
    const uint32_t token = kTokens + 16 * uint32_t(g_frames.size());
    wParam32_ = uint64_t(uint32_t(w)) == w ? uint32_t(w) : token;
    lParam32_ = Widen(uint32_t(l)) == uint64_t(l) ? uint32_t(l) : token + 8;
    uint32_t size = SizeOf(Kind(kind_), w, l);
    if (size) {
        room_ = new cpu::StackAlloc(size);
        lParam32_ = room_->address();
        CopyIn();
    }
    g_frames.push_back(this);
    cpu::PushMessage(h, m);
}

MessageFrame::~MessageFrame()
{
    cpu::PopMessage();
    g_frames.pop_back();
    delete room_;
}

void MessageFrame::CopyIn()
{
    if (!room_)
        return;
    uint8_t *g = static_cast<uint8_t *>(room_->host());
    switch (kind_) {
    case kCreate: {
        const CREATESTRUCTW *h = reinterpret_cast<const CREATESTRUCTW *>(lParam);
        CeCreateStruct *c = reinterpret_cast<CeCreateStruct *>(g);
        uintptr_t params = reinterpret_cast<uintptr_t>(h->lpCreateParams);
        c->lpCreateParams = params < 0x80000000u ? uint32_t(params) : kTokens + 16 * uint32_t(g_frames.size()) + 4;
        c->hInstance = h->hInstance == g_hostModule ? g_guestModule : uint32_t(reinterpret_cast<uintptr_t>(h->hInstance));
        c->hMenu = uint32_t(reinterpret_cast<uintptr_t>(h->hMenu));
        c->hwndParent = uint32_t(reinterpret_cast<uintptr_t>(h->hwndParent));
        c->cy = h->cy, c->cx = h->cx, c->y = h->y, c->x = h->x;
        c->style = h->style;
        c->dwExStyle = h->dwExStyle;
        uint32_t names = room_->address() + sizeof(CeCreateStruct);
        c->lpszName = h->lpszName ? GuestName(h->lpszName, g + sizeof(CeCreateStruct), names) : 0;
        c->lpszClass = h->lpszClass ? GuestName(h->lpszClass, g + sizeof(CeCreateStruct) + 512, names + 512) : 0;
        break;
    }
    case kMinMax:
        memcpy(g, reinterpret_cast<const void *>(lParam), sizeof(MINMAXINFO));
        break;
    case kCalcSizeRect:
        memcpy(g, reinterpret_cast<const void *>(lParam), sizeof(RECT));
        break;
    case kCalcSize: {
        const NCCALCSIZE_PARAMS *h = reinterpret_cast<const NCCALCSIZE_PARAMS *>(lParam);
        CeCalcSize *c = reinterpret_cast<CeCalcSize *>(g);
        memcpy(c->rgrc, h->rgrc, sizeof(c->rgrc));
        c->lppos = 0;
        if (h->lppos) {
            c->lppos = room_->address() + sizeof(CeCalcSize);
            ToGuest(reinterpret_cast<CeWindowPos *>(g + sizeof(CeCalcSize)), h->lppos);
        }
        break;
    }
    case kWindowPos:
        ToGuest(reinterpret_cast<CeWindowPos *>(g), reinterpret_cast<const WINDOWPOS *>(lParam));
        break;
    case kStyle:
        memcpy(g, reinterpret_cast<const void *>(lParam), sizeof(STYLESTRUCT));
        break;
    case kStringIn:
    case kTextOut:
        memcpy(g, reinterpret_cast<const void *>(lParam), SizeOf(Kind(kind_), wParam, lParam));
        break;
    case kNotify: {
        const NMHDR *h = reinterpret_cast<const NMHDR *>(lParam);
        CeNotify *c = reinterpret_cast<CeNotify *>(g);
        c->hwndFrom = uint32_t(reinterpret_cast<uintptr_t>(h->hwndFrom));
        c->idFrom = uint32_t(h->idFrom);
        c->code = h->code;
        break;
    }
    }
}

void MessageFrame::CopyOut()
{
    if (!room_)
        return;
    const uint8_t *g = static_cast<const uint8_t *>(room_->host());
    switch (kind_) {
    case kMinMax:
        memcpy(reinterpret_cast<void *>(lParam), g, sizeof(MINMAXINFO));
        break;
    case kCalcSizeRect:
        memcpy(reinterpret_cast<void *>(lParam), g, sizeof(RECT));
        break;
    case kCalcSize: {
        NCCALCSIZE_PARAMS *h = reinterpret_cast<NCCALCSIZE_PARAMS *>(lParam);
        const CeCalcSize *c = reinterpret_cast<const CeCalcSize *>(g);
        memcpy(h->rgrc, c->rgrc, sizeof(h->rgrc));
        if (h->lppos && c->lppos)
            ToHost(h->lppos, reinterpret_cast<const CeWindowPos *>(g + sizeof(CeCalcSize)));
        break;
    }
    case kWindowPos:
        ToHost(reinterpret_cast<WINDOWPOS *>(lParam), reinterpret_cast<const CeWindowPos *>(g));
        break;
    case kStyle:
        memcpy(reinterpret_cast<void *>(lParam), g, sizeof(STYLESTRUCT));
        break;
    case kTextOut:
        memcpy(reinterpret_cast<void *>(lParam), g, SizeOf(kTextOut, wParam, lParam));
        break;
    default:
        break;
    }
}

void HostParams(HWND hwnd, UINT message, uint32_t w, uint32_t l, WPARAM *hostW, LPARAM *hostL, MessageFrame **frame,
                const char *forWhat)
{
    *frame = nullptr;
    *hostW = w;
    *hostL = LPARAM(Widen(l));
    for (size_t i = g_frames.size(); i-- > 0;) {
        MessageFrame *f = g_frames[i];
        if (f->hwnd == hwnd && f->message == message && f->guestWParam() == w && f->guestLParam() == l) {
            *hostW = f->wParam;
            *hostL = f->lParam;
            *frame = f;
            return;
        }
    }
    CheckGuestMessage(message, w, l, forWhat);
}

namespace {

// How a message's parameters are read as memory, where they are.
enum PointerKind : uint8_t {
    kStringL,      // lParam: a string
    kTextBufferL,  // lParam: a buffer of wParam characters, written
    kPointerL,     // lParam: any other structure
    kPointerWL,    // wParam and lParam
};

const struct {
    UINT message;
    PointerKind kind;
} kPointerMessages[] = {
    {WM_CREATE, kPointerL}, {WM_SETTEXT, kStringL}, {WM_GETTEXT, kTextBufferL}, {WM_SETTINGCHANGE, kStringL},
    {WM_DEVMODECHANGE, kStringL}, {WM_GETMINMAXINFO, kPointerL}, {WM_DRAWITEM, kPointerL},
    {WM_MEASUREITEM, kPointerL}, {WM_DELETEITEM, kPointerL}, {WM_COMPAREITEM, kPointerL},
    {WM_WINDOWPOSCHANGING, kPointerL}, {WM_WINDOWPOSCHANGED, kPointerL}, {WM_COPYDATA, kPointerL},
    {WM_NOTIFY, kPointerL}, {WM_HELP, kPointerL}, {WM_STYLECHANGING, kPointerL}, {WM_STYLECHANGED, kPointerL},
    {WM_NCCREATE, kPointerL}, {WM_NCCALCSIZE, kPointerL}, {WM_GETDLGCODE, kPointerL},
    // A timer message's lParam is a procedure that dispatching it calls.
    {WM_TIMER, kPointerL}, {0x0118 /* WM_SYSTIMER */, kPointerL}, {WM_NEXTMENU, kPointerL}, {WM_SIZING, kPointerL},
    {WM_MOVING, kPointerL}, {WM_MDICREATE, kPointerL}, {WM_MDIGETACTIVE, kPointerL}, {WM_DEVICECHANGE, kPointerL},
    {WM_ASKCBFORMATNAME, kPointerL},
    // The standard controls' own messages.
    {EM_GETSEL, kPointerWL}, {EM_GETRECT, kPointerL}, {EM_SETRECT, kPointerL}, {EM_SETRECTNP, kPointerL},
    {EM_REPLACESEL, kStringL}, {EM_GETLINE, kPointerL}, {EM_SETTABSTOPS, kPointerL},
    {EM_SETWORDBREAKPROC, kPointerL}, {SBM_GETRANGE, kPointerWL}, {SBM_SETSCROLLINFO, kPointerL},
    {SBM_GETSCROLLINFO, kPointerL}, {SBM_GETSCROLLBARINFO, kPointerL}, {LB_ADDSTRING, kStringL},
    {LB_INSERTSTRING, kStringL}, {LB_GETTEXT, kPointerL}, {LB_SELECTSTRING, kStringL}, {LB_DIR, kStringL},
    {LB_FINDSTRING, kStringL}, {LB_GETSELITEMS, kPointerL}, {LB_SETTABSTOPS, kPointerL}, {LB_ADDFILE, kStringL},
    {LB_GETITEMRECT, kPointerL}, {LB_FINDSTRINGEXACT, kStringL}, {CB_GETEDITSEL, kPointerWL},
    {CB_ADDSTRING, kStringL}, {CB_DIR, kStringL}, {CB_GETLBTEXT, kPointerL}, {CB_INSERTSTRING, kStringL},
    {CB_FINDSTRING, kStringL}, {CB_SELECTSTRING, kStringL}, {CB_GETDROPPEDCONTROLRECT, kPointerL},
    {CB_FINDSTRINGEXACT, kStringL}, {CB_GETCOMBOBOXINFO, kPointerL},
};

}  // namespace

void CheckGuestMessage(UINT message, uint32_t w, uint32_t l, const char *forWhat)
{
    for (const auto &m : kPointerMessages) {
        if (m.message != message)
            continue;
        switch (m.kind) {
        case kStringL:
            if (l)
                cpu::HostString(l, forWhat);
            return;
        case kTextBufferL:
            // A count too large to double is too large for any memory.
            if (l && w)
                cpu::Host(l, w > 0x7FFFFFFFu ? 0xFFFFFFFFu : 2 * w, true, forWhat);
            return;
        case kPointerL:
        case kPointerWL:
            if (l || (m.kind == kPointerWL && w))
                Fault("%s was given %s (0x%04x) with a pointer the program made, which this runner does not pass on",
                      forWhat, MessageName(message), message);
            return;
        }
    }
}

uint32_t Narrow(uint64_t v, const char *what)
{
    if (Widen(uint32_t(v)) != v)
        Fault("%s gave the program a value that does not fit 32 bits (0x%llx)", what, (unsigned long long)v);
    return uint32_t(v);
}
