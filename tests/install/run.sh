#!/usr/bin/env bash
# Installs the build tree into a temporary prefix, then builds and runs a
# consumer program against it twice: through the CMake package and through
# pkg-config. Usage: run.sh BUILD_DIR CONSUMER_SOURCE_DIR
set -euo pipefail
build=$1
src=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
cmake -S "$src" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
LD_LIBRARY_PATH="$work/prefix/lib" "$work/cmake-build/consumer"
libdir=$(ls -d "$work"/prefix/lib*/pkgconfig | head -n1)
PKG_CONFIG_PATH="$libdir" c++ -std=c++17 "$src/consumer.cpp" -o "$work/pc-consumer" \
  $(PKG_CONFIG_PATH="$libdir" pkg-config --cflags --libs corviomd)
LD_LIBRARY_PATH="$(dirname "$libdir")" "$work/pc-consumer"
