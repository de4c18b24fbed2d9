# Sourced by make run, make view and make demo: which RegSave to run. BUILD=x86-64 (the
# default) is the desktop build under Wine; BUILD=arm the handheld's own image, which
# cedev runs on its ARM runner. Sets PROG and PROG_BUILD from the build folder $1.
PROG_BUILD=${REGSAVE_BUILD:-x86-64}
case $PROG_BUILD in
x86-64) PROG=$1/bin/RegSave.exe ;;
arm) PROG=$1/ce-arm/RegSave.exe ;;
*)
    echo "BUILD is x86-64 (the desktop build) or arm (the handheld's own image), not '$PROG_BUILD'" >&2
    exit 2
    ;;
esac
