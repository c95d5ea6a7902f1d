#!/usr/bin/env bash
# Builds the MSI of a Windows build with Debian's msitools: wixl compiles qvljobctl.wxs, and
# msibuild then writes what wixl's subset of WiX has no words for:
#   - the INI's component is permanent and never overwritten: an uninstall keeps it, an
#     upgrade keeps the operator's edit (the settings file, logs and state files are no part
#     of the package, so nothing touches them);
#   - the old version is removed right after InstallValidate, in a transaction of its own,
#     once its running instances are stopped by the installed qvlinstances.exe (noting them;
#     nothing to do on a first installation, so its failure is ignored);
#   - deferred custom actions running the new qvlinstances.exe with the system's rights:
#     after the files, write the INI values given as public properties, install and start
#     INSTANCES (one whose settings file is missing is
#     registered only; a start that fails fails the installation, whose rollback action takes
#     back the instances it registered), and start the noted ones again; on an uninstall that
#     is no upgrade, stop and remove every instance of the installation.
#   - INSTANCES and the INI values' properties are secure custom properties.
#   build-msi.sh BIN_DIR SOURCE_DIR VERSION OUT_DIR ARCH(x86|x64) [signed]
# With "signed", every executable and the DLL are signed with Authenticode before they go into
# the MSI, the MSI is signed last, and the signed executables are left beside it
# (authenticode.sh names the certificate).
set -eu
bin=$1 src=$2 version=$3 out=$4 arch=$5 signed=${6:-}
here=$src/packaging/msi
if [ -n "$signed" ]; then
    . "$here/authenticode.sh"
    qvl_sign_check || { echo "build-msi.sh: cannot sign" >&2; exit 1; }
fi
case "$arch" in
    x86) programs=ProgramFilesFolder width=win32 ;;
    *) programs=ProgramFiles64Folder width=win64 ;;
esac
mkdir -p "$out"
msi="$out/qvljobctl-$version-$width.msi"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# wixl takes the files from the folder of the .wxs. Windows editors expect CR LF in the INI.
files="QVLJOBCTL.EXE KILL.EXE qvlcrypt.exe qvlping.exe qvlinstances.exe qvljobstr_sample.exe
qvlmsiaction.dll"
for f in $files; do
    cp "$bin/$f" "$work/"
    [ -z "$signed" ] || qvl_sign "$work/$f"
done
cp "$here/qvljobctl.wxs" "$src/docs/OPERATORS-GUIDE.md" "$src/packaging/prometheus/qvljobctl-rules.yml" \
    "$src/packaging/prometheus/alertmanager-example.yml" \
    "$src/packaging/prometheus/qvljobctl-dashboard.json" "$work/"
sed 's/$/\r/' "$src/packaging/QVLJOBCTL.INI" >"$work/QVLJOBCTL.INI"

# Two builds of one commit give the same bytes: the files carry the commit's time into the
# cabinet, and the codes wixl would make up are derived instead. The product code is one per
# version and width (a major upgrade needs a new one, and a rebuild must not make another);
# the package code names exactly these contents, so it is taken from their checksums.
. "$src/packaging/source-date.sh" "$src"
touch -d "@$SOURCE_DATE_EPOCH" "$work"/*
guid() {  # a name-based GUID (the RFC 4122 layout, version 5 bits) from the text given
    local h
    h=$(printf '%s' "$1" | sha256sum | cut -c1-32 | tr a-f A-F)
    printf '%s-%s-5%s-%X%s-%s' "${h:0:8}" "${h:8:4}" "${h:13:3}" $((0x${h:16:1} & 3 | 8)) \
        "${h:17:3}" "${h:20:12}"
}
product=$(guid "qvljobctl product $version $arch")
package=$(guid "qvljobctl package $version $arch $(cd "$work" && sha256sum -- * | sort)")
(cd "$work" && TZ=UTC faketime -f "@$(date -u -d "@$SOURCE_DATE_EPOCH" '+%Y-%m-%d %H:%M:%S')" \
    wixl -a "$arch" -o "$work/out.msi" -D Version="$version" -D ProgramFiles="$programs" \
    -D ProductCode="$product" qvljobctl.wxs) 2>"$work/wixl.log" || { cat "$work/wixl.log" >&2; exit 1; }
mv "$work/out.msi" "$msi"
# wixl has no word for the package code: written into the summary, beside what wixl put there.
summary() { msiinfo suminfo "$msi" | sed -n "s/^$1: //p"; }
msibuild "$msi" -s "$(summary Subject)" "$(summary Author)" "$(summary Template)" "{$package}"

# Custom action types: 34 runs a command line in a directory, 1 calls a DLL of the Binary
# table (qvlmsiaction.dll: it runs the command line handed to it and writes what it prints into
# the installer's log, failing when the command fails); 51 sets a property, here the command
# line a deferred action is handed (its CustomActionData, the property of the action's name).
# +1024 deferred (in the script), +2048 with the system's rights, +256 a rollback action, +64
# its result ignored.
deferred=$((1 + 1024 + 2048))
helper='"[INSTALLDIR]qvlinstances.exe"'
q() { msibuild "$msi" -q "$1"; }
q "UPDATE Component SET Attributes = 144 WHERE Component = 'Ini'"  # permanent, never overwrite
q "UPDATE InstallExecuteSequence SET Sequence = 1450 WHERE Action = 'RemoveExistingProducts'"
# The public properties reach the deferred actions also when the installation runs elevated
# (wixl has made the property already, for the upgrade's own properties): INSTANCES, and the
# INI values a deployment tool gives.
public='INSTANCES;QVLTIMEOUT;QVLRESTARTONEXIT;QVLADOPT;QVLMETRICSDIR'
secure=$(msiinfo export "$msi" Property | tr -d '\r' | sed -n 's/^SecureCustomProperties\t//p')
if [ -n "$secure" ]; then
    q "UPDATE Property SET Value = '$secure;$public' WHERE Property = 'SecureCustomProperties'"
else
    q "INSERT INTO Property (Property, Value) VALUES ('SecureCustomProperties', '$public')"
fi
sequence() {  # sequence ACTION CONDITION NUMBER
    q "INSERT INTO InstallExecuteSequence (Action, Condition, Sequence) VALUES ('$1', '$2', $3)"
}
# The one immediate action, before the old version's files go: its output has no log to go to.
q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('QvlStopInstances', $((34 + 64)), 'INSTALLDIR', '$helper stop')"
sequence QvlStopInstances 'NOT REMOVE' 1440
deferred() {  # deferred NAME TYPE COMMAND SEQUENCE CONDITION
    q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('$1.Command', 51, '$1', '$3')"
    q "INSERT INTO CustomAction (Action, Type, Source, Target) VALUES ('$1', $2, 'QvlMsiAction', 'QvlRunLogged')"
    sequence "$1.Command" "$5" $(($4 - 1))
    sequence "$1" "$5" "$4"
}
# A failed or cancelled installation takes back the instances it registered (a rollback
# action, scheduled before what it undoes), so no service is left for a program not there.
deferred QvlUnregisterInstances $((deferred + 256 + 64)) "$helper unregister \"[INSTANCES]\"" 4005 \
    'NOT REMOVE AND INSTANCES'
# The INI values given (QVLTIMEOUT=60000 on msiexec's command line), into [JOBATR] before the
# instances are checked and started; an empty one (not given) is left as it is, and a value
# the controller would refuse fails the installation. Each quoted argument ends with a blank,
# so that a folder's closing backslash cannot escape its quote (qvlinstances drops it).
values='"QVLTIMEOUT=[QVLTIMEOUT] " "QVLRESTARTONEXIT=[QVLRESTARTONEXIT] " "QVLADOPT=[QVLADOPT] "'
values="$values"' "QVLMETRICSDIR=[QVLMETRICSDIR] "'
deferred QvlSetValues "$deferred" "$helper set $values" 4008 'NOT REMOVE'
deferred QvlInstallInstances "$deferred" "$helper install \"[INSTANCES]\"" 4010 'NOT REMOVE AND INSTANCES'
deferred QvlStartInstances $((deferred + 64)) "$helper start" 4020 'NOT REMOVE'
deferred QvlRemoveInstances $((deferred + 64)) "$helper remove" 3400 'REMOVE ~= "ALL" AND NOT UPGRADINGPRODUCTCODE'
if [ -n "$signed" ]; then
    qvl_sign "$msi"
    for f in $files; do cp "$work/$f" "$out/"; done
fi
echo "$msi"
