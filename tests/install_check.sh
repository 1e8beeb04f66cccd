#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and builds two consumers of
# the installed library: one with find_package(Kavrol32), one with pkg-config.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
mkdir -p "$work/consumer"
cat >"$work/consumer/main.c" <<'C'
#include <kavrol32/kavrol32.h>
int main(void) { return Get_Version() == 20 ? 0 : 1; }
C
cat >"$work/consumer/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(Kavrol32 REQUIRED)
add_executable(consumer main.c)
target_link_libraries(consumer PRIVATE Kavrol32::kavrol32)
CM
cmake -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/consumer/build" >/dev/null
"$work/consumer/build/consumer"
pcdir=$(dirname "$(find "$work/prefix" -name kavrol32.pc)")
libdir=$(PKG_CONFIG_PATH=$pcdir pkg-config --variable=libdir kavrol32)
cc "$work/consumer/main.c" $(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs kavrol32) -o "$work/pc-consumer"
LD_LIBRARY_PATH=$libdir "$work/pc-consumer"
echo "install: find_package and pkg-config consumers built and ran"
