#!/usr/bin/env bash
# The signed apt repository for real, inside the namespace of systemd_namespace.sh whose /etc,
# /usr and /var are overlays of the machine's (QVL_NAMESPACE_OVERLAY=1): publish-repo.sh
# publishes the .deb with a throw-away key, apt (its only source this repository, its key
# given by signed-by) installs from it, upgrades from it to the next version and goes back
# while the job starter runs on (QVLADOPT=1), and refuses the repository once its Release or a package is
# altered after signing.
#   apt_repo_test.sh SOURCE_DIR BUILD_DIR NEXT_BUILD_DIR RESULT_XML
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/result_xml.sh"
src=$1 build=$2 next=$3 result=$4
suite=AptRepository
skip() {
    echo "skipped: $1"
    write_skipped_xml "$result" $suite InstallUpgradeAlteredRefused "$1"
    exit 0
}
[ "${QVL_TEST_OVERLAY_ROOT:-0}" = 1 ] || skip "not in a namespace whose /etc, /usr and /var are overlays"
ls "$build"/package/qvljobctl_*.deb >/dev/null 2>&1 || skip "no .deb in $build/package"
ls "$next"/package/qvljobctl_*.deb >/dev/null 2>&1 || skip "no .deb of a higher version in $next/package"
version() { dpkg-query -W -f '${Version}' qvljobctl 2>/dev/null; }
step() { echo "\$ $*"; "$@" 2>&1 | grep -v '^(Reading database'; return "${PIPESTATUS[0]}"; }
failure=""
fail() { failure="${failure}$1; "; echo "FAILED: $1"; }

work=$(mktemp -d)
chmod 0755 "$work"  # apt reads a file: repository as its own account, _apt
echo "== a throw-away signing key, as a file, and its public half for apt"
export GNUPGHOME=$work/gnupg
mkdir -m 0700 "$GNUPGHOME"
gpg --batch --quiet --passphrase '' --quick-gen-key 'qvljobctl test archive <archive@test.invalid>' \
    ed25519 sign 1d 2>/dev/null
gpg --batch --armor --export-secret-keys >"$work/archive-key.asc"
keyring=/etc/apt/keyrings/qvljobctl-archive-keyring.gpg
mkdir -p /etc/apt/keyrings && gpg --batch --export >"$keyring"
unset GNUPGHOME  # the publishing takes the key from its file, not from a home

# apt with this repository as its only source (the machine's own sources are not asked).
list=/etc/apt/sources.list.d/qvljobctl.list
apt=(apt-get -q -y -o Dir::Etc::SourceList="$list" -o Dir::Etc::SourceParts="$work/none"
    -o APT::Get::List-Cleanup=false -o Dpkg::Options::=--force-confold)
mkdir "$work/none"
source_to() { echo "deb [signed-by=$keyring] file:$1 stable main" >"$list"; }
publish() { step bash "$src/packaging/deb/publish-repo.sh" --key "$work/archive-key.asc" "$@"; }

echo "== publish $(basename "$build"/package/qvljobctl_*.deb) and install it from the repository"
repo=$work/repo
publish "$repo" "$build/package" || fail "publishing failed"
source_to "$repo"
step "${apt[@]}" update || fail "apt-get update refused the signed repository"
step "${apt[@]}" install qvljobctl || fail "apt-get install from the repository failed"
installed=$(version)
[ -n "$installed" ] || fail "qvljobctl is not installed"
installed_failure=$failure

echo "== an instance with QVLADOPT=1, then the next version published and upgraded to"
failure=""
/usr/lib/qvljobctl/qvlcrypt record DB 0 DB_SYSTEM Oracle >/etc/qvljobctl/QUARVELIN.INI
cp /usr/lib/qvljobctl/qvljobstr_sample /usr/local/bin/QVLJOBSTR_ORACLE.EXE
echo 'QVLADOPT=1' >>/etc/qvljobctl/QVLJOBCTL.INI
step qvljobctl -install 3 && step systemctl start QUARVELIN_JOB_CONTROLLER3 ||
    fail "instance 3 did not start"
job=""
for _ in $(seq 1 100); do  # its first pass starts the job starter
    job=$(sed -n 's/^job_starter_pid=//p' /var/log/qvljobctl/QVLJOBCTL3.STATE 2>/dev/null)
    [ "${job:-0}" != 0 ] && break
    sleep 0.1
done
publish "$repo" "$next/package" || fail "publishing the next version failed"
step "${apt[@]}" update || fail "apt-get update failed after the next version was published"
out=$(step "${apt[@]}" install qvljobctl) || fail "the upgrade from the repository failed"
echo "$out"
echo "$out" | tr -d '\r' | grep -q '^  verdict: the instance can start$' ||
    fail "the upgrade's -check did not look for the job starter on the services' PATH"
upgraded=$(version)
echo "installed $installed, upgraded to $upgraded"
dpkg --compare-versions "$upgraded" gt "$installed" || fail "apt did not upgrade ($upgraded)"
runs_on() {  # the job starter of before still runs, and is the one the instance watches
    [ "${job:-0}" != 0 ] && kill -0 "$job" 2>/dev/null && sleep 2 &&
        [ "$(sed -n 's/^job_starter_pid=//p' /var/log/qvljobctl/QVLJOBCTL3.STATE)" = "$job" ]
}
runs_on || fail "the job starter ${job:-none} did not run on through the upgrade"
upgraded_failure=$failure

echo "== back to $installed from the same repository (its pool keeps the earlier version)"
failure=""
step "${apt[@]}" install --allow-downgrades "qvljobctl=$installed" >/dev/null ||
    fail "apt-get did not go back to $installed"
[ "$(version)" = "$installed" ] || fail "$(version) is installed after going back to $installed"
runs_on || fail "the job starter ${job:-none} did not run on through the downgrade"
downgraded_failure=$failure

echo "== altered after signing: a Release, then a package; apt refuses each"
failure=""
cp -a "$repo" "$work/release-altered"
for f in Release InRelease; do
    sed -i 's/^Label: qvljobctl$/Label: qvljobctl-altered/' "$work/release-altered/dists/stable/$f"
done
source_to "$work/release-altered"
out=$(step "${apt[@]}" update) && fail "apt-get update took a repository whose Release was altered"
echo "$out"
echo "$out" | grep -qE 'BADSIG|signatures were invalid|is not signed' ||
    fail "apt did not name the bad signature"
cp -a "$repo" "$work/package-altered"
deb=$(ls "$work"/package-altered/pool/main/q/qvljobctl/*"$upgraded"*.deb)
printf 'X' | dd of="$deb" bs=1 seek=$(($(stat -c %s "$deb") / 2)) conv=notrunc status=none
source_to "$work/package-altered"
step "${apt[@]}" update || fail "apt-get update refused a repository whose lists are intact"
"${apt[@]}" clean
out=$(step "${apt[@]}" install --reinstall qvljobctl) && fail "apt installed an altered package"
echo "$out"
echo "$out" | grep -qiE 'hash sum mismatch|hashes' || fail "apt did not name the hash mismatch"
[ "$(version)" = "$installed" ] || fail "$(version) is installed after the altered package was refused"
altered_failure=$failure

echo "== purge"
source_to "$repo"
step "${apt[@]}" purge qvljobctl >/dev/null
rm -rf "$work" "$list" "$keyring" /etc/qvljobctl

write_results_xml "$result" $suite InstalledFromTheSignedRepository "$installed_failure" \
    UpgradedFromItWhileTheJobStarterRunsOn "$upgraded_failure" \
    DowngradedFromItWhileTheJobStarterRunsOn "$downgraded_failure" \
    AlteredReleaseOrPackageRefused "$altered_failure"
failure="$installed_failure$upgraded_failure$downgraded_failure$altered_failure"
[ -z "$failure" ] || { echo "FAILED: $failure"; exit 1; }
echo passed
