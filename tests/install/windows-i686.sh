#!/bin/sh
# Installs the Windows bundle as an integrator would, from its files alone, in a
# fresh Wine prefix: unzips it into the host's folder C:\Tolvo, checks SHA256SUMS,
# writes the App Paths entry with the reg add line of INSTALL.txt, copies the sample
# settings into C:\Tolvo\tolvo and the bundle's arm simulator beside the module,
# then runs kestar-host.exe --version, the doctor and a short session (start-up,
# readings, shut-down), and a small C host linked against each import library.
#   windows-i686.sh <kestar-...-windows-i686.zip>
set -eu
archive=$(readlink -f "$1")
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/kestar-install-XXXXXX)
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winedbg.exe="
cleanup() {
  "$root/cmake/wine-prefix" stop-server >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
run() { "$root/cmake/wine-run" "$@" </dev/null | tr -d '\r'; }

"$root/cmake/wine-prefix" boot >"$work/boot.log" 2>&1 || { cat "$work/boot.log"; exit 1; }
"$root/cmake/wine-prefix" start-server
echo "OK a fresh Wine prefix"

host=$WINEPREFIX/drive_c/Tolvo
mkdir -p "$work/unzip" "$host"
unzip -q "$archive" -d "$work/unzip"
cp -R "$work/unzip"/*/. "$host/"
(cd "$host" && sha256sum --check --quiet SHA256SUMS)
echo "OK unzipped into C:\\Tolvo; SHA256SUMS match"

# The App Paths entry, exactly as INSTALL.txt gives it.
reg_line=$(tr -d '\r' <"$host/INSTALL.txt" | sed -n 's/^ *reg add /reg add /p')
[ -n "$reg_line" ] || { echo "FAIL INSTALL.txt has no reg add line"; exit 1; }
eval "set -- $reg_line"
run "$@" >/dev/null
echo "OK App Paths entry written: $reg_line"

printf 'MZ' >"$host/Tolvo6.exe"  # the host program, whose folder App Paths names
mkdir -p "$host/tolvo"
cp "$host/vodrane.ini" "$host/tolvo/vodrane.ini"
cp "$host/bench-arm-simulator/zuroz.dll" "$host/zuroz.dll"

version=$(run 'C:\Tolvo\kestar-host.exe' --version)
echo "$version"
commit=$(echo "$version" | sed -n 's/^kestar-host .*(commit \(.*\))$/\1/p')
echo "$version" | grep -q "^KESTAR.dll .*(commit $commit): " || { echo "FAIL --version does not name the module"; exit 1; }
doctor=$(run 'C:\Tolvo\kestar-host.exe' doctor --json --open --arm --bench) || { echo "$doctor"; exit 1; }
module=$(echo "$doctor" | grep '"check":"module"')
echo "$module"
echo "$module" | grep -q "\"commit\":\"$commit\"" || { echo "FAIL the module's version resource does not name commit $commit"; exit 1; }
echo "$doctor" | grep '"check":"verdict"'
echo "OK the doctor: InitializeCommunications would return 1; KESTAR.dll's version resource names commit $commit"

run 'C:\Tolvo\kestar-host.exe' C_READ_COORDS C_READ_COORDS
log=$(tr -d '\r' <"$host/tolvo/TolvoInterface.log")
echo "$log" | head -1 | grep -q 'Starting Interface DLL$'
echo "$log" | tail -1 | grep -q 'Ending Interface DLL$'
echo "OK a session with kestar-host.exe: start-up, readings, shut-down; the log starts and ends as it should"

# A host of the integrator's own, linked against each import library of the bundle.
for library in libKESTAR.dll.a KESTAR.lib; do
  i686-w64-mingw32-gcc -Wall -Werror -I"$host/include" "$root/tests/install/c_host.c" "$host/$library" \
    -o "$host/c-host.exe"
  rm -f "$host/tolvo/TolvoInterface.log"
  run 'C:\Tolvo\c-host.exe'
  grep -q 'Ending Interface DLL' "$host/tolvo/TolvoInterface.log"
  echo "OK a C host linked against $library runs a session"
  rm -f "$host/c-host.exe"
done
echo "OK the Windows bundle installs and runs"
