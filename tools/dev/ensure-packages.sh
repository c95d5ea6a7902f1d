# Installs, without prompting, the Debian packages that a command needs and this machine
# lacks. Sourced by test.sh and demo.sh, each asking only for what it builds and runs.
#
# A package mirror can be caught mid-sync (an index of one architecture with an unexpected
# size): the index refresh then fails although every package may still be had. So a failed
# refresh never stops the install; a failed install is tried once more after a pause and a
# fresh refresh, and then package by package, so that the message names exactly the packages
# that could not be installed.

# What the native build needs: the demo builds this (its configure compiles GoogleTest's
# sources in), and so does everything else; the journal's API comes with libsystemd, the
# unwinder of the hang reports with elfutils' libdw.
QVL_PACKAGES_NATIVE="cmake ninja-build g++ googletest pkg-config libsystemd-dev libdw-dev"
# What the demo adds for --win32: the 32-bit MinGW compiler and Wine with its 32-bit loader.
QVL_PACKAGES_WIN32="g++-mingw-w64-i686-posix wine wine32:i386"
# What the test command needs on top of both: sanitizers, benchmarks and their baselines,
# the 64-bit Windows build, packaging and its signing, namespaces and systemd, fault
# injection, Prometheus, and the 32-bit Linux build with its emulator.
QVL_PACKAGES_TEST="clang libclang-rt-14-dev libbenchmark-dev libssl-dev g++-mingw-w64-x86-64-posix
wine64 zip unzip procps systemd util-linux mount iproute2 git fiu-utils libfiu0 prometheus
prometheus-node-exporter msitools wixl lintian dpkg-dev strace dbus
prometheus-alertmanager python3 curl jq elfutils binutils faketime apt-utils gnupg
osslsigncode openssl g++-multilib qemu-user-static"
# Run only where two builds of one commit differ, to show how: without its recommendations
# (desktop libraries), which it does not need for that (QVL_APT_OPTIONS=--no-install-recommends).
QVL_PACKAGES_TEST_NO_RECOMMENDS="diffoscope-minimal"

# Pause before the second try: long enough for a mirror's sync to move on.
QVL_APT_RETRY_SECONDS=${QVL_APT_RETRY_SECONDS:-10}

# Packages that ensure_packages could not install, separated by blanks (empty after success).
QVL_NOT_INSTALLED=""

qvl_missing_packages() {
    local p missing=""
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing="$missing $p"
    done
    echo "${missing# }"
}

qvl_apt_install() {
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $QVL_SUDO apt-get install -y -qq ${QVL_APT_OPTIONS:-} "$@" \
        >/dev/null 2>&1
}

# ensure_packages PACKAGE...: true when every one is installed afterwards. Otherwise false,
# with QVL_NOT_INSTALLED naming those that are not and a message saying so.
ensure_packages() {
    local missing p
    QVL_SUDO=""
    [ "$(id -u)" -eq 0 ] || QVL_SUDO="sudo"
    QVL_NOT_INSTALLED=""
    # shellcheck disable=SC2086
    missing=$(qvl_missing_packages $*)
    [ -z "$missing" ] && return 0
    echo "Installing: $missing"
    case "$missing" in *:i386*) $QVL_SUDO dpkg --add-architecture i386 ;; esac
    # shellcheck disable=SC2086
    $QVL_SUDO apt-get update -qq >/dev/null 2>&1 ||
        echo "The package index could not be refreshed; installing from the index there is."
    # shellcheck disable=SC2086
    qvl_apt_install $missing && return 0
    echo "The install failed; trying once more in ${QVL_APT_RETRY_SECONDS} s."
    sleep "$QVL_APT_RETRY_SECONDS"
    $QVL_SUDO apt-get update -qq >/dev/null 2>&1
    # shellcheck disable=SC2086
    qvl_apt_install $missing && return 0
    # One by one, so that one package that cannot be had does not keep the others out.
    for p in $missing; do
        qvl_apt_install "$p" || QVL_NOT_INSTALLED="$QVL_NOT_INSTALLED $p"
    done
    QVL_NOT_INSTALLED=${QVL_NOT_INSTALLED# }
    [ -z "$QVL_NOT_INSTALLED" ] && return 0
    echo "These packages could not be installed: $QVL_NOT_INSTALLED"
    return 1
}
