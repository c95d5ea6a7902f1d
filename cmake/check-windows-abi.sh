#!/usr/bin/env bash
# A step of the Windows build: the entry points that Windows calls back, and the action
# DLL's export, are what Windows expects at the file's width. At 32-bit width a callback
# that is not __stdcall (WINAPI) corrupts the stack on its first call, which no compiler
# warning catches: its symbol must carry the __stdcall decoration "@BYTES" (the bytes of its
# arguments); an export must be named undecorated, as the installer looks it up.
#   check-windows-abi.sh OBJDUMP NM FILE FORMAT [NAME@BYTES | --export NAME]...
# FORMAT is the file format objdump must see (pei-i386, pei-x86-64); at 64-bit width there
# is one calling convention, so only the exports are checked.
set -u
objdump=$1 nm=$2 file=$3 format=$4
shift 4
name=$(basename "$file")
problems=""
seen=$("$objdump" -f "$file" | sed -n 's/.*file format //p')
[ "$seen" = "$format" ] || problems="$problems  its format is $seen, not $format"$'\n'
symbols=$("$nm" "$file" | awk '{ print $NF }')
exports=$("$objdump" -p "$file" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^.*\] //p')
while [ $# -gt 0 ]; do
    if [ "$1" = --export ]; then
        echo "$exports" | grep -qx "$2" ||
            problems="$problems  it does not export $2 undecorated (exports: $(echo $exports))"$'\n'
        shift 2
        continue
    fi
    callback=${1%@*} bytes=${1##*@}
    shift
    [ "$format" = pei-i386 ] || continue
    # A C function is _NAME@BYTES; a C++ one its mangled name (the name, then its
    # parameters after "E" inside a namespace) with the same ending.
    echo "$symbols" | grep -qE "(^_|[0-9])${callback}(E[A-Za-z0-9_]*)?@${bytes}\$" ||
        problems="$problems  $callback is not __stdcall with $bytes bytes of arguments (symbols: $(echo "$symbols" | grep -F "$callback" | tr '\n' ' '))"$'\n'
done
if [ -n "$problems" ]; then
    printf 'check-windows-abi.sh: %s:\n%s' "$name" "$problems" >&2
    exit 1
fi
