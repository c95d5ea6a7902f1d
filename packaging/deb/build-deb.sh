#!/usr/bin/env bash
# Builds the Debian package of a Linux build with Debian's own tools (dpkg-shlibdeps for the
# dependencies, dpkg-deb for the package):
#   build-deb.sh BIN_DIR SOURCE_DIR VERSION OUT_DIR
# The programs go to /usr/lib/qvljobctl (qvljobctl, qvlping, qvlcrypt and qvlinstances on the
# path through /usr/bin), the INI
# to /etc/qvljobctl as a conffile (found beside the controller through a link, as the
# controller looks for it), the log and the state files to /var/log/qvljobctl.
# Two builds of one commit give the same bytes: the files' modes do not depend on the umask,
# and their times (dpkg-deb clamps the archive's to SOURCE_DATE_EPOCH) are the commit's.
set -eu
umask 022
bin=$1 src=$2 version=$3 out=$4
here=$src/packaging/deb
. "$src/packaging/source-date.sh" "$src"
stage=$(mktemp -d)
chmod 0755 "$stage"
trap 'rm -rf "$stage"' EXIT
lib=$stage/usr/lib/qvljobctl doc=$stage/usr/share/doc/qvljobctl
mkdir -p "$lib" "$stage/usr/bin" "$stage/etc/qvljobctl" "$doc" "$stage/usr/share/man/man8" \
    "$stage/usr/share/qvljobctl" "$stage/DEBIAN"

for p in qvljobctl KILL qvlcrypt qvlping qvlinstances qvljobstr_sample; do
    install -m 0755 "$bin/$p" "$lib/$p"
    strip --strip-unneeded --remove-section=.comment --remove-section=.note "$lib/$p"
done
for p in qvljobctl qvlping qvlcrypt qvlinstances; do  # the operator's programs, on the path
    ln -s ../lib/qvljobctl/$p "$stage/usr/bin/$p"
done
ln -s /etc/qvljobctl/QVLJOBCTL.INI "$lib/QVLJOBCTL.INI"
# The packaged INI, with the settings file, the log and the examples where a Debian system
# keeps them (node_exporter's textfile folder is Debian's); no Windows path may be left in it.
ini="$stage/etc/qvljobctl/QVLJOBCTL.INI"
sed -e 's|^QVLINI=.*|QVLINI=/etc/qvljobctl/QUARVELIN.INI|' \
    -e 's|^QVLLOG=.*|QVLLOG=/var/log/qvljobctl/QVLJOBCTL.LOG|' \
    -e 's|^;QVLLOG=\.\\QVLJOBCTL\([0-9]*\)\.LOG|;QVLLOG=/var/log/qvljobctl/QVLJOBCTL\1.LOG|' \
    -e 's|^;QVLMETRICSDIR=.*|;QVLMETRICSDIR=/var/lib/prometheus/node-exporter|' \
    -e 's|^;QVLDUMPDIR=.*|;QVLDUMPDIR=/var/lib/qvljobctl/hangs|' \
    -e 's|^;QVLJOBOUT=.*|;QVLJOBOUT=/var/log/qvljobctl/QVLJOBSTR.OUT|' \
    -e 's|^; It lies beside QVLJOBCTL.EXE.*|; Installed as /etc/qvljobctl/QVLJOBCTL.INI; the controller finds it through a link beside it.|' \
    -e 's|^; The MSI writes one with a log of its own .*|; Give each instance a log of its own there (under a service account, in a folder of\n; its own: see the guide), for example:|' \
    "$src/packaging/QVLJOBCTL.INI" >"$ini"
if grep -nE '[A-Za-z]:\\|\.\\|MSI' "$ini"; then
    echo "build-deb.sh: the packaged INI still names Windows paths or the MSI (above)" >&2
    exit 1
fi
chmod 0644 "$ini"

install -m 0644 "$here/copyright" "$doc/copyright"
sed "s/@VERSION@/$version/" "$here/changelog" | gzip -9n >"$doc/changelog.gz"
gzip -9nc "$src/docs/OPERATORS-GUIDE.md" >"$doc/OPERATORS-GUIDE.md.gz"
install -m 0644 "$src/packaging/prometheus/qvljobctl-rules.yml" \
    "$src/packaging/prometheus/alertmanager-example.yml" \
    "$src/packaging/prometheus/qvljobctl-dashboard.json" "$stage/usr/share/qvljobctl/"
sed "s/@VERSION@/$version/" "$here/qvljobctl.8" | gzip -9n >"$stage/usr/share/man/man8/qvljobctl.8.gz"
chmod 0644 "$doc"/* "$stage/usr/share/man/man8/qvljobctl.8.gz"

# The libraries' packages, as dpkg-shlibdeps finds them (it wants a debian/control).
mkdir -p "$stage/shlibs/debian"
printf 'Source: qvljobctl\n\nPackage: qvljobctl\nArchitecture: any\n' >"$stage/shlibs/debian/control"
depends=$(cd "$stage/shlibs" && dpkg-shlibdeps -O "$lib"/qvljobctl "$lib"/KILL "$lib"/qvlcrypt \
    "$lib"/qvlping "$lib"/qvlinstances "$lib"/qvljobstr_sample 2>/dev/null |
    sed -n 's/^shlibs:Depends=//p')
rm -rf "$stage/shlibs"
# Loaded only when their feature is first used (the journal's, and the hang reports'
# unwinder), so dpkg-shlibdeps cannot see them.
depends="$depends, libsystemd0, libdw1"

for s in prerm postinst postrm; do install -m 0755 "$here/$s" "$stage/DEBIAN/$s"; done
echo /etc/qvljobctl/QVLJOBCTL.INI >"$stage/DEBIAN/conffiles"
size=$(du -sk --apparent-size --exclude=DEBIAN "$stage" | cut -f1)  # not the file system's blocks
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$(dpkg --print-architecture)/" \
    -e "s/@SIZE@/$size/" -e "s/@DEPENDS@/$depends/" "$here/control.in" >"$stage/DEBIAN/control"
(cd "$stage" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z |
    xargs -0 md5sum) >"$stage/DEBIAN/md5sums"
mkdir -p "$out"
deb="$out/qvljobctl_${version}_$(dpkg --print-architecture).deb"
find "$stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "$deb"
