# Installs, without prompting, the Debian packages that building and testing need and that
# this machine lacks. Sourced by test.sh and demo.sh.
QVL_PACKAGES="cmake ninja-build g++ clang libclang-rt-14-dev googletest libbenchmark-dev
libssl-dev g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64 wine32:i386 zip unzip procps systemd
util-linux mount iproute2 git fiu-utils libfiu0 prometheus prometheus-node-exporter msitools wixl
lintian dpkg-dev strace"

ensure_packages() {
    local missing="" p sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    for p in $QVL_PACKAGES; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
    done
    [ -z "$missing" ] && return 0
    echo "Installing:$missing"
    case "$missing" in *:i386*) $sudo dpkg --add-architecture i386 ;; esac
    $sudo apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >/dev/null
}
