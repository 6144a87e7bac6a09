#!/bin/sh
# Installs the Linux i386 bundle as an integrator would, from its files alone: untars
# it as a fresh prefix, checks SHA256SUMS, builds the small C host (c_host.c)
# against it once with pkg-config and once with find_package(Kestar), and runs both,
# and kestar-host with the doctor, against an install folder made from the sample
# settings with the bundle's arm simulator.
#   linux-i386.sh <kestar-...-linux-i386.tar.gz>
set -eu
archive=$(readlink -f "$1")
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/kestar-install-XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
mkdir -p "$prefix"
tar xzf "$archive" -C "$prefix"
(cd "$prefix" && sha256sum --check --quiet SHA256SUMS)
echo "OK unpacked into a fresh prefix; SHA256SUMS match"

cp "$here/c_host.c" "$work/host.c"
# With pkg-config alone (it gives -m32 too):
export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
# shellcheck disable=SC2046
gcc -Wall -Werror $(pkg-config --cflags kestar) "$work/host.c" $(pkg-config --libs kestar) -o "$work/host-pkg-config"
echo "OK built with pkg-config ($(pkg-config --modversion kestar): $(pkg-config --cflags --libs kestar))"
# With find_package:
mkdir -p "$work/cmake-host"
cp "$work/host.c" "$work/cmake-host/host.c"
cat >"$work/cmake-host/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(host C)
find_package(Kestar 1.0 REQUIRED)
add_executable(host host.c)
target_link_libraries(host PRIVATE Kestar::kestar)
CMAKE
# An ordinary 64-bit project: the target gives the -m32 it needs.
cmake -S "$work/cmake-host" -B "$work/cmake-host/build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >"$work/cmake.log" 2>&1 &&
  cmake --build "$work/cmake-host/build" >>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; exit 1; }
echo "OK built with find_package(Kestar) (Kestar::kestar)"

# The site: an install folder with the sample settings, no registry entry, the simulator.
site=$work/site
mkdir -p "$site/tolvo"
cp "$prefix/share/kestar/vodrane.ini" "$site/tolvo/vodrane.ini"
export KESTAR_INSTALL_DIR="$site" KESTAR_REGISTRY="$work/registry" KESTAR_DEVICES="$work/devices"
export KESTAR_ARM_LIBRARY="$prefix/share/kestar/bench-arm-simulator/libzuroz.so"
unset KESTAR_TRACE || true
"$prefix/bin/kestar-host" --version
"$prefix/bin/kestar-host" doctor --open --arm --bench
for host in "$work/host-pkg-config" "$work/cmake-host/build/host"; do
  rm -f "$site/tolvo/TolvoInterface.log"
  "$host"  # the run path comes from the pkg-config file or the CMake target
  grep -q "Starting Interface DLL" "$site/tolvo/TolvoInterface.log"
  grep -q "Ending Interface DLL" "$site/tolvo/TolvoInterface.log"
  echo "OK $(basename "$host"): start-up, readings and shut-down; the log has its first and last lines"
done
echo "OK the Linux bundle installs and runs"
