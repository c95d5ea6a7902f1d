# Sourced by test.sh and demo.sh: which width of the Windows build can run here. The product
# is 32-bit, but where Wine's 32-bit loader cannot run (not installed, or a kernel without
# IA-32 emulation: "Exec format error"), the same Windows code built at 64-bit width (preset
# win64) runs under Wine's 64-bit loader instead.
#   qvl_windows_width   sets QVL_WINDOWS (win32 or win64) and QVL_WINE32_WHY (why not win32)
# QVL_WINE32_LOADER names the 32-bit loader (/usr/lib/wine/wine; another path tries the
# fallback on a machine where it runs).
qvl_windows_width() {
    local loader=${QVL_WINE32_LOADER:-/usr/lib/wine/wine}
    QVL_WINDOWS=win32
    QVL_WINE32_WHY=""
    if [ ! -x "$loader" ]; then
        QVL_WINE32_WHY="Wine's 32-bit loader (wine32:i386) is not installed"
        QVL_WINDOWS=win64
    elif ! QVL_WINE32_WHY=$("$loader" --version 2>&1); then
        QVL_WINDOWS=win64
    else
        QVL_WINE32_WHY=""
    fi
}
# The 64-bit loader, which the win64 build runs under (Debian's wine wrapper would pick the
# 32-bit one whenever wine32 is installed).
QVL_WINE64_LOADER=/usr/lib/wine/wine64
