#!/usr/bin/env bash
# The handheld's image, checked as far as it can be without the handheld: its headers,
# imports, resources, instruction set and relocations (imagecheck), and the build's
# refusals of what would break it on the device.
set -euo pipefail
image=$1 elf=$2 desktop=$3 exports=$4 ldscript=$5
work=$(mktemp -d "${TMPDIR:-/tmp}/ce_image.XXXXXX")
trap 'rm -rf "$work"' EXIT

"$IMAGECHECK" "$image" "$elf" "$desktop" "$exports"

# The header's checksum, computed here rather than with the converter's own function
# (which imagecheck shares): the file's 16-bit words with their carries folded back,
# the checksum field counted as zero, plus the file's length.
python3 - "$image" <<'PY'
import struct, sys
data = bytearray(open(sys.argv[1], "rb").read())
field = struct.unpack_from("<I", data, 0x3C)[0] + 4 + 20 + 64
stored = struct.unpack_from("<I", data, field)[0]
data[field:field + 4] = bytes(4)
words = data + bytes(len(data) % 2)
total = 0
for (word,) in struct.iter_unpack("<H", words):
    total += word
    total = (total & 0xFFFF) + (total >> 16)
total += len(data)
if stored != total:
    sys.exit("FAIL header: checksum 0x%x, but the file's is 0x%x" % (stored, total))
print("ok   header: checksum 0x%x, computed independently" % total)
PY

# Refused, naming the fault: a call of a function the handheld's COREDLL.dll does not
# export, and a static constructor, which nothing would run.
fails_with() { # WHAT EXPECTED COMMAND...
    local what=$1 expected=$2 out
    shift 2
    if out=$("$@" 2>&1); then
        echo "FAIL $what: accepted"
        return 1
    fi
    grep -qF -- "$expected" <<<"$out" || { echo "FAIL $what: said '$out'"; return 1; }
    echo "ok   $what: $out"
}
cat >"$work/startup.cpp" <<'SRC'
extern "C" int GetStartupInfoW(void *);
extern "C" int RegCloseKey(void *);
extern "C" int WinMainCRTStartup(void *h, void *, void *, int) { RegCloseKey(h); return GetStartupInfoW(h); }
SRC
cat >"$work/ctor.cpp" <<'SRC'
extern "C" int RegCloseKey(void *);
static int s_closed = RegCloseKey(0);
extern "C" int WinMainCRTStartup(void *, void *, void *, int) { return s_closed; }
SRC
arm=(--target=armv4t-none-eabi -marm -ffreestanding -fno-exceptions -fno-rtti -fno-unwind-tables
    -fno-asynchronous-unwind-tables -Os)
"$CE_CLANG" "${arm[@]}" -c "$work/startup.cpp" -o "$work/startup.o"
"$CE_CLANG" "${arm[@]}" -c "$work/ctor.cpp" -o "$work/ctor.o"
fails_with "a function that is not exported" "GetStartupInfoW, which is not in" \
    "$ELF2PE" imports --allow "$exports" --dll COREDLL.dll -o "$work/imports.s" "$work/startup.o"
"$ELF2PE" imports --allow "$exports" --dll COREDLL.dll -o "$work/imports.s" "$work/ctor.o"
"$CE_CLANG" --target=armv4t-none-eabi -marm -c "$work/imports.s" -o "$work/imports.o"
"$CE_LLD" -T "$ldscript" --emit-relocs -nostdlib -o "$work/ctor.elf" "$work/ctor.o" "$work/imports.o" 2>/dev/null
: >"$work/empty.res"
fails_with "a static constructor" "has static constructors" \
    "$ELF2PE" image --res "$work/empty.res" --dll COREDLL.dll -o "$work/ctor.exe" "$work/ctor.elf"

# The core library's one list of functions: the desktop stand-in's .def file exports
# the same names (besides its desktop-only ones), the ARM runner's table is made from
# it, and a name on one and not the other is refused, named.
"$COREEXPORTS" check-def "$exports" "$COREDLL_DEF" || { echo "FAIL coredll.def disagrees with $exports"; exit 1; }
echo "ok   core library: coredll.def exports what $exports lists"
"$COREEXPORTS" table "$exports" -o "$work/table.inc"
diff <(sed -n 's/^ENTRY(\(.*\))$/\1/p' "$work/table.inc") <("$COREEXPORTS" names "$exports") >/dev/null ||
    { echo "FAIL core library: the runner's table is not the list's names in its order"; exit 1; }
[ "$(grep -c '^ENTRY(' "$work/table.inc")" = "$(grep -c '^[A-Za-z_]' "$exports")" ] ||
    { echo "FAIL core library: the runner's table does not have a line for each name"; exit 1; }
echo "ok   core library: the runner's table is the list's $(grep -c '^ENTRY(' "$work/table.inc") names"
sed 's/^\(    FindClose = .*\)$/\1\n    GetTickCount = kernel32.GetTickCount/' "$COREDLL_DEF" >"$work/extra.def"
fails_with "a .def name not on the list" "GetTickCount is not on" "$COREEXPORTS" check-def "$exports" "$work/extra.def"
{ cat "$exports"; echo "GetTickCount            a name the .def file lacks"; } >"$work/extra.exports"
fails_with "a listed name the .def file lacks" "GetTickCount is not exported by" \
    "$COREEXPORTS" check-def "$work/extra.exports" "$COREDLL_DEF"
grep -v '^    RegCloseKey = ' "$COREDLL_DEF" >"$work/moved.def"
printf '\n    ; desktop only, by mistake\n    RegCloseKey = advapi32.RegCloseKey\n' >>"$work/moved.def"
fails_with "a listed name marked desktop only" "RegCloseKey is marked desktop only" \
    "$COREEXPORTS" check-def "$exports" "$work/moved.def"
# A blank line ends a run of desktop-only names.
printf '\n    ; desktop only\n    Beep = kernel32.Beep\n\n    GetTickCount = kernel32.GetTickCount\n' \
    >"$work/run.def.tail"
cat "$COREDLL_DEF" "$work/run.def.tail" >"$work/run.def"
out=$("$COREEXPORTS" check-def "$exports" "$work/run.def" 2>&1) && { echo "FAIL a desktop-only run: accepted"; exit 1; }
[ "$out" = "coreexports: $work/run.def:$(($(wc -l <"$COREDLL_DEF") + 5)): GetTickCount is not on $exports (names for the desktop build alone follow a comment saying \"desktop only\")" ] ||
    { echo "FAIL a desktop-only run: said '$out'"; exit 1; }
echo "ok   a desktop-only run ends at a blank line: $out"
printf 'RegCloseKey ref x\nRegCloseKey ref y\n' >"$work/twice.exports"
fails_with "a name listed twice" "twice.exports:2: RegCloseKey is listed twice" "$COREEXPORTS" names "$work/twice.exports"
printf '# comment\n\nRegCloseKey\n' >"$work/bare.exports"
fails_with "a name without its reason" "bare.exports:3: RegCloseKey has no reason given" \
    "$COREEXPORTS" table "$work/bare.exports" -o "$work/bare.inc"
