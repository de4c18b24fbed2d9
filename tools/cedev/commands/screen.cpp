// tap, pen, key, windows, box: what is on the device's screen, and input to it, through
// the resident helper (see the helper's screen.cpp and input.cpp). The device must be on.
#include "commands.h"

int CmdTap(Context &ctx, Args &args)
{
    return ScreenCommand(ctx, "tap", args);
}

int CmdPen(Context &ctx, Args &args)
{
    return ScreenCommand(ctx, "pen", args);
}

int CmdKey(Context &ctx, Args &args)
{
    return ScreenCommand(ctx, "key", args);
}

int CmdWindows(Context &ctx, Args &args)
{
    return ScreenCommand(ctx, "windows", args);
}

int CmdBox(Context &ctx, Args &args)
{
    return ScreenCommand(ctx, "box", args);
}
