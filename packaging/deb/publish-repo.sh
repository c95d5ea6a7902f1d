#!/usr/bin/env bash
# Publishes .deb files into an apt repository that hosts install and upgrade from, signed
# with the operator's key (apt checks the signature of its InRelease, which holds the
# checksums of the package lists, which hold those of the packages):
#   publish-repo.sh --key KEY [--passphrase-file FILE] [--suite SUITE] REPO_DIR DEB|FOLDER...
# KEY is a file holding the secret key (imported into a GnuPG home of this run's own, which
# is deleted afterwards) or the id, fingerprint or user id of a key in the caller's GnuPG home
# (GNUPGHOME). The packages go to REPO_DIR/pool (earlier versions stay there, so that hosts
# can go back to one), the lists to REPO_DIR/dists/SUITE (stable unless given: a suite per
# stage of a roll-out), and the public key to REPO_DIR/qvljobctl-archive-keyring.gpg; the
# hosts should get that key from the operator, not from the repository, and check its
# fingerprint, which is printed. Needs apt-ftparchive (apt-utils) and gpg (gnupg).
set -eu
key="" passphrase="" suite=stable
while [ $# -gt 0 ]; do
    case "$1" in
        --key) key=$2; shift 2 ;;
        --passphrase-file) passphrase=$2; shift 2 ;;
        --suite) suite=$2; shift 2 ;;
        *) break ;;
    esac
done
if [ -z "$key" ]; then
    echo "publish-repo.sh: no key to sign with: --key (the build's QVL_REPO_KEY)" >&2
    exit 2
fi
if [ $# -lt 2 ]; then
    echo "usage: publish-repo.sh --key KEY [--passphrase-file FILE] [--suite SUITE] REPO_DIR DEB|FOLDER..." >&2
    exit 2
fi
case "$suite" in *[!A-Za-z0-9._-]*|'') echo "publish-repo.sh: not a suite's name: $suite" >&2; exit 2 ;; esac
repo=$1
shift
for tool in apt-ftparchive gpg dpkg-deb; do
    command -v "$tool" >/dev/null || { echo "publish-repo.sh: $tool is not installed" >&2; exit 1; }
done

# The packages given, each checked to be one of ours before anything is published.
debs=()
for arg in "$@"; do
    if [ -d "$arg" ]; then
        for f in "$arg"/qvljobctl_*.deb; do [ -f "$f" ] && debs+=("$f"); done
    else
        debs+=("$arg")
    fi
done
[ ${#debs[@]} -gt 0 ] || { echo "publish-repo.sh: no qvljobctl .deb in $*" >&2; exit 1; }
for f in "${debs[@]}"; do
    [ "$(dpkg-deb -f "$f" Package 2>/dev/null)" = qvljobctl ] ||
        { echo "publish-repo.sh: $f is not a qvljobctl package" >&2; exit 1; }
done

# The key: a file is imported into a home of this run's own; an id names one in the caller's.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -f "$key" ]; then
    export GNUPGHOME=$work/gnupg
    mkdir -m 0700 "$GNUPGHOME"
    gpg --batch --quiet --import "$key" 2>"$work/gpg.log" ||
        { cat "$work/gpg.log" >&2; echo "publish-repo.sh: $key holds no key gpg can import" >&2; exit 1; }
    key=$(gpg --batch --with-colons --list-secret-keys | awk -F: '$1 == "fpr" { print $10; exit }')
    [ -n "$key" ] || { echo "publish-repo.sh: the key file holds no secret key" >&2; exit 1; }
fi
fingerprint=$(gpg --batch --with-colons --list-secret-keys -- "$key" 2>/dev/null |
    awk -F: '$1 == "fpr" { print $10; exit }')
[ -n "$fingerprint" ] || { echo "publish-repo.sh: no secret key $key in ${GNUPGHOME:-~/.gnupg}" >&2; exit 1; }
sign=(gpg --batch --yes --quiet --local-user "$fingerprint" --digest-algo SHA512)
[ -z "$passphrase" ] || sign+=(--pinentry-mode loopback --passphrase-file "$passphrase")

# The pool, by the Debian layout; a version published before is replaced only by the same bytes.
pool=$repo/pool/main/q/qvljobctl
mkdir -p "$pool"
for f in "${debs[@]}"; do
    target=$pool/$(basename "$f")
    if [ -e "$target" ] && ! cmp -s "$f" "$target"; then
        echo "publish-repo.sh: $(basename "$f") is in the repository already, with other contents;" \
            "a release needs a version of its own" >&2
        exit 1
    fi
    install -m 0644 "$f" "$target"
done

# The lists of every architecture the pool holds, and the signed Release over them.
dists=$repo/dists/$suite
archs=$(for f in "$pool"/*.deb; do dpkg-deb -f "$f" Architecture; done | sort -u | tr '\n' ' ')
for arch in $archs; do
    mkdir -p "$dists/main/binary-$arch"
    (cd "$repo" && apt-ftparchive --arch "$arch" packages pool) >"$dists/main/binary-$arch/Packages"
    gzip -9nc "$dists/main/binary-$arch/Packages" >"$dists/main/binary-$arch/Packages.gz"
done
rm -f "$dists/Release" "$dists/InRelease" "$dists/Release.gpg"
apt-ftparchive -o APT::FTPArchive::Release::Origin=QUARVELIN \
    -o APT::FTPArchive::Release::Label=qvljobctl -o APT::FTPArchive::Release::Suite="$suite" \
    -o APT::FTPArchive::Release::Codename="$suite" -o APT::FTPArchive::Release::Components=main \
    -o APT::FTPArchive::Release::Architectures="${archs% }" release "$dists" >"$work/Release"
mv "$work/Release" "$dists/Release"
"${sign[@]}" --clearsign --output "$dists/InRelease" "$dists/Release"
"${sign[@]}" --armor --detach-sign --output "$dists/Release.gpg" "$dists/Release"
gpg --batch --export "$fingerprint" >"$repo/qvljobctl-archive-keyring.gpg"
chmod -R a+rX "$repo"
echo "published to $repo, suite $suite: $(cd "$pool" && ls -- *.deb | tr '\n' ' ')"
echo "signed by $fingerprint"
