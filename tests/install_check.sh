#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and builds consumers of the
# installed library: with find_package(Kavrol32), with pkg-config, and of the
# static link library.
set -euo pipefail
build=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null

# Builds and runs the C program $work/<name>/main.c as a find_package
# consumer linked with the given imported target.
consume_with_cmake() {
  local name=$1 target=$2
  cat >"$work/$name/CMakeLists.txt" <<CM
cmake_minimum_required(VERSION 3.25)
project($name C)
find_package(Kavrol32 REQUIRED)
add_executable($name main.c)
target_link_libraries($name PRIVATE $target)
CM
  cmake -S "$work/$name" -B "$work/$name/build" -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
  cmake --build "$work/$name/build" >/dev/null
  "$work/$name/build/$name"
}

mkdir -p "$work/consumer" "$work/linker"
cat >"$work/consumer/main.c" <<'C'
#include <kavrol32/kavrol32.h>
int main(void) { return Get_Version() == 20 ? 0 : 1; }
C
cat >"$work/linker/main.c" <<'C'
#include <string.h>
#include <kavrol32/link.h>
int main(void) {
    KavrolLink link;
    KavrolCommand command = {0};
    command.command = 5;
    if (kavrol_link_init(&link, NULL, 0) != 1) return 1;
    if (kavrol_link_send(&link, &command) != KAVROL_E_TIMEOUT) return 2;
    return strcmp(kavrol_result_name(KAVROL_E_TIMEOUT), "timeout") == 0 ? 0 : 3;
}
C
consume_with_cmake consumer Kavrol32::kavrol32
# The static link library, from C: through the CMake package, and by hand.
consume_with_cmake linker Kavrol32::kavrol32_link
static=$(find "$work/prefix" -name libkavrol32_link.a)
cc -I"$work/prefix/include" "$work/linker/main.c" "$static" -lstdc++ -o "$work/static-consumer"
"$work/static-consumer"

pcdir=$(dirname "$(find "$work/prefix" -name kavrol32.pc)")
libdir=$(PKG_CONFIG_PATH=$pcdir pkg-config --variable=libdir kavrol32)
cc "$work/consumer/main.c" $(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs kavrol32) -o "$work/pc-consumer"
LD_LIBRARY_PATH=$libdir "$work/pc-consumer"
# The static link library through its own pkg-config file, which brings the
# C++ runtime a C program lacks.
cc "$work/linker/main.c" $(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs kavrol32_link) -o "$work/pc-linker"
"$work/pc-linker"
echo "install: find_package, pkg-config and static link-library consumers built and ran"
