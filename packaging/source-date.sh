# Sourced by the package builders: exports SOURCE_DATE_EPOCH, the time a build's packages
# carry (their files' times, the MSI's summary), so that two builds of one commit, wherever
# and whenever they are made, give the same bytes. A time the caller gives holds; otherwise
# it is the time of the commit built, and in a tree without its history (an unpacked
# source archive) the time of its CMakeLists.txt.
#   . source-date.sh SOURCE_DIR
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$1" log -1 --format=%ct 2>/dev/null) ||
        SOURCE_DATE_EPOCH=$(stat -c %Y "$1/CMakeLists.txt")
fi
export SOURCE_DATE_EPOCH
