// help: every command, its options and what comes out of a device.
#include "commands.h"

#include <cstdio>

extern const char kUsage[];
const char kUsage[] = R"(usage: cedev [--device DIR] COMMAND [ARGS]

The device is DIR, else $CEDEV_DEVICE, else build/handheld beside this tool. cedev's
own options come before the command; every word after it is the command's.

  init [--force] [--not-target] [LIMITS]
                                 create the target handheld (--not-target: one without
                                 its driver libraries and control-panel key)
  limits [LIMITS]                show the device's limits, or set them (from its next
                                 start): --memory SIZE, --processes N, --file-size SIZE,
                                 --disk SIZE, --files N, --log-size SIZE,
                                 --shared-memory SIZE (SIZE like 512M or 2G)
  run PROGRAM.exe [--detach] [ARGS] [-- ARGS]
                                 copy PROGRAM into "\Program Files" and run it; exit
                                 with its exit code (--detach: return once it started);
                                 a device path (\Windows\regedit.exe) runs in place,
                                 and a shortcut (\Windows\Programs\X.lnk) runs its
                                 target
  wait exit|window TITLE|nowindow TITLE|box|nobox|focus TEXT [--timeout SECONDS]
                                 wait for a detached program to end (exit code is its
                                 own), or for the screen to show or lose something;
                                 SECONDS is a plain number up to 3600 (default 30 for
                                 exit, 10 otherwise)
  tap TEXT|X,Y                   a pen tap on the control showing TEXT, or at a point
                                 (OK also finds a dialog's caption OK button)
  pen down|up X,Y|TEXT           the two halves of a tap
  key KEY                        a key press, e.g. alt+f4, alt+/, esc
  windows [--all] [--json]       the windows on screen, with their controls
  box [--json]                   the message box on screen: caption and text
  screenshot FILE.png            the screen as a PNG image
  view [--port N] [--listen ADDR] [--scale N]
                                 the screen in a web browser, until Ctrl+C or 'cedev
                                 stop': prints the address to open (port 6080 on
                                 127.0.0.1 unless given; the screen at N times its
                                 size, 2 unless given), whose token is the secret
                                 every client needs; mouse clicks are pen taps and
                                 keys are keys. --listen ADDR opens it to other
                                 machines (0.0.0.0: all of them), with a password that
                                 is made for this view and shown once (its traffic
                                 is not encrypted)
  reg query KEY [VALUE] [--json] the device's registry (KEY like HKLM\Comm; VALUE @
  reg set KEY VALUE TYPE DATA    is the default value; TYPE REG_DWORD, REG_SZ, ...)
  reg delete KEY [VALUE]
  reg export [KEY]               the registry in regedit's syntax, as UTF-8
  ls PATH                        the device's files ("\Flash Disk", "\Windows\x.dll")
  rm [-r] PATH                   remove a file, or a link itself (a folder, with -r:
                                 checked whole first, so a refusal removes nothing);
                                 the root and the device's own folders are refused
  put FILE PATH                  copy a host FILE into the device (PATH may be a
                                 folder); only a regular file is replaced
  install FILE.cab               install a handheld's install cabinet as the device does:
                                 its files, registry entries and shortcut, and its
                                 record; a cabinet it refuses changes nothing
  uninstall NAME                 remove an installed package ("PROVIDER APPNAME", as
                                 install said), leaving the device as it was before
  hive [PATH]                    check that the saved registry (default
                                 "\Flash Disk\registry.dat") reads back cleanly
  reset                          cold boot: programs end, and the registry becomes the
                                 saved one if it reads back cleanly, else the factory
                                 registry (exit 3 when it is damaged; it is kept)
  stop                           end every process of the device and its display
  help                           this text

--json prints one JSON object a line instead, strings in JSON's escapes (anything
outside printable ASCII as \uXXXX). windows: "type" ("window" or "control"),
"window" (a control's top-level window), "id", "text", "class", "x", "y", "w", "h"
(a control's within its parent), "screen_x", "screen_y", "style", "exstyle", and
"enabled", "visible", "active", "focus", "capture" as true or false. box: "caption",
"text", "x", "y", "w", "h". reg query: "name" ("" for the default value), "type" and
"data" (a number for REG_DWORD and REG_QWORD, a string for REG_SZ and REG_EXPAND_SZ,
a list of strings for REG_MULTI_SZ, hex digits otherwise) for each value, then
"subkey" for each subkey.

With $DISPLAY set (a local X display) the screen is a window on your desktop, and
the device's programs see that whole display: its other windows, and its keyboard and
mouse input. CEDEV_DISPLAY=private keeps the device sealed there too: it gets a
private Xvfb, as it does without $DISPLAY ('cedev view' shows that screen). The
device's processes run sealed in a sandbox until 'cedev stop' or 'cedev reset', as an
unprivileged uid (yours, or when cedev runs as root, uid 65533 or $CEDEV_UID), within
the device's limits; their own output goes to DIR/.cedev/log. Names and texts from the
device come out with their control and format characters escaped (\n, \x1b, \u202e,
...). Commands that must not overlap on one device wait for each other. Errors go to
stderr, one line, with a nonzero exit code.
)";

int CmdHelp(Context &, Args &)
{
    fputs(kUsage, stdout);
    return kExitOk;
}
