#!/bin/sh
# The Windows Installer package under Wine, in one fresh prefix whose steps build on
# each other: refused without App Paths entry or HOSTFOLDER (nothing written);
# installed with the entry (module in the host folder, tools in their own); the
# doctor from there and a session; upgrade from a lower version and the older
# package refused; uninstall. The host's vodrane.ini and files stay byte for byte.
# Then without a settings file: a silent install whose PORT2= start-up would refuse
# fails and leaves nothing; one with good PORTn= writes the file start-up reads,
# which uninstall leaves.
#   windows-msi.sh <KESTAR-x.msi> <kestar-...-windows-i686.zip>
set -eu
msi=$(readlink -f "$1") zip=$(readlink -f "$2")
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d /tmp/kestar-msi-XXXXXX)
export WINEPREFIX="$work/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml,winedbg.exe="
trap '"$root/cmake/wine-prefix" stop-server >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
run() { "$root/cmake/wine-run" "$@" </dev/null | tr -d '\r'; }
msiexec() { status=0; "$root/cmake/wine-run" msiexec "$@" /qn </dev/null >/dev/null 2>&1 || status=$?; }
"$root/cmake/wine-prefix" boot >"$work/boot.log" 2>&1 || { cat "$work/boot.log"; exit 1; }
"$root/cmake/wine-prefix" start-server
c=$WINEPREFIX/drive_c host=$c/Tolvo tools="$c/Program Files/KESTAR"
snapshot() { (cd "$c" && find . -path ./windows -prune -o -path ./users -prune -o -path ./ProgramData -prune -o -type f -print | LC_ALL=C sort | xargs -d '\n' sha256sum); }

before=$(snapshot)
msiexec /i "$(winepath -w "$msi")"
[ "$status" != 0 ] && [ "$(snapshot)" = "$before" ] || { echo "FAIL installed without App Paths entry ($status)"; exit 1; }
echo "OK no App Paths entry, no HOSTFOLDER: refused (msiexec $status), nothing written"

mkdir -p "$host/tolvo" "$work/zip"
unzip -q "$zip" -d "$work/zip"
printf 'MZ' >"$host/Tolvo6.exe"
cp "$work/zip"/*/bench-arm-simulator/zuroz.dll "$host/zuroz.dll"  # a bench: the package never installs it
printf '[Parameters]\r\nCreateLogFile=1\r\nPORT1=Controller -1\r\nPORT2=Probe -1\r\nPORT3=DRO -1\r\nPORT4=Handbox -1\r\nPORT5=Host -1\r\nPORT6=Sensor -1\r\n' >"$host/tolvo/vodrane.ini"
run reg add 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\App Paths\Tolvo6.exe' /v Path /t REG_SZ /d 'C:\Tolvo' /f /reg:32 >/dev/null
hostfiles=$(snapshot)

lower="$work/KESTAR-0.0.1.msi"
python3 "$root/packaging/write_msi.py" "$lower" "$(echo "$work/zip"/*)" 0.0.1 lower 0
msiexec /i "$(winepath -w "$lower")"
[ "$status" = 0 ] && [ -f "$host/KESTAR.dll" ] && [ -f "$tools/kestar-host.exe" ] && [ ! -f "$host/kestar-host.exe" ] ||
  { echo "FAIL the lower version did not install ($status)"; exit 1; }
msiexec /i "$(winepath -w "$msi")"
[ "$status" = 0 ] || { echo "FAIL upgrade ($status)"; exit 1; }
run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s >"$work/products"
[ "$(grep -c 'DisplayName.*KESTAR' "$work/products")" = 1 ] || { cat "$work/products"; echo "FAIL two KESTAR products after the upgrade"; exit 1; }
msiexec /i "$(winepath -w "$lower")"
[ "$status" != 0 ] || { echo "FAIL the older package replaced the newer"; exit 1; }
echo "OK upgrade from 0.0.1; the older package refused over the newer (msiexec $status)"

run 'C:\Program Files\KESTAR\kestar-host.exe' --version
run 'C:\Program Files\KESTAR\kestar-host.exe' doctor --open --arm --bench >"$work/doctor" || { cat "$work/doctor"; exit 1; }
grep -E '^OK (module|host module|verdict):' "$work/doctor"
run 'C:\Program Files\KESTAR\kestar-host.exe' C_READ_COORDS >/dev/null
tr -d '\r' <"$host/tolvo/TolvoInterface.log" | tail -1 | grep -q 'Ending Interface DLL$'
echo "OK the doctor from the tools' folder passes --open --arm (--bench); a session runs"

msiexec /x "$(winepath -w "$msi")"
rm -f "$host/tolvo/TolvoInterface.log"  # the session's log, not the package's
[ "$status" = 0 ] && [ ! -e "$tools" ] && [ "$(snapshot)" = "$hostfiles" ] ||
  { echo "FAIL uninstall ($status) left or took files:"; echo "$hostfiles" >"$work/a"; snapshot | diff "$work/a" - ; exit 1; }
echo "OK uninstalled: nothing of the package left; the host's folder, Tolvo6.exe, vodrane.ini and zuroz.dll as they were"

rm "$host/tolvo/vodrane.ini"
rmdir "$host/tolvo"
before=$(snapshot)
msiexec /i "$(winepath -w "$msi")" PORT1="Probe 2 19200 E 7 1" PORT2="DRO 2 9600 N 8 1"
[ "$status" != 0 ] && [ "$(snapshot)" = "$before" ] && [ ! -e "$host/tolvo" ] ||
  { echo "FAIL a port line start-up refuses was installed ($status)"; exit 1; }
echo "OK PORT2= on PORT1's COM2: refused (msiexec $status), nothing written"
msiexec /i "$(winepath -w "$msi")" PORT1="Probe 2 19200 E 7 1" CREATELOGFILE=0
grep -q '^PORT1=Probe 2 19200 E 7 1' "$host/tolvo/vodrane.ini" && grep -q '^CreateLogFile=0' "$host/tolvo/vodrane.ini" &&
  grep -q '^PORT6=Spare -1' "$host/tolvo/vodrane.ini" || { echo "FAIL settings from the properties ($status)"; exit 1; }
run 'C:\Program Files\KESTAR\kestar-host.exe' settings | grep -q "PORT1: start-up opens Probe (probePort) on COM2" ||
  { echo "FAIL start-up would not read the written settings"; exit 1; }
written=$(sha256sum "$host/tolvo/vodrane.ini")
msiexec /x "$(winepath -w "$msi")"
[ "$status" = 0 ] && [ "$(sha256sum "$host/tolvo/vodrane.ini")" = "$written" ] || { echo "FAIL uninstall took the settings"; exit 1; }
echo "OK PORT1= and CREATELOGFILE= wrote the settings file as start-up reads it; uninstall left it"
