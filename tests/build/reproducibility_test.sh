#!/usr/bin/env bash
# tests/build/reproducibility_test.sh SOURCE_DIR
# Builds the setup program twice from the same sources in two different build
# folders and compares the two executables byte for byte.
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for folder in "$work/first" "$work/second/somewhere/else"; do
  cmake -S "$source_dir" --preset windows -B "$folder" -DLBW_BUILD_TESTS=OFF >/dev/null
  cmake --build "$folder" --target LirabelWarden >/dev/null
done
cmp "$work/first/LirabelWarden.exe" "$work/second/somewhere/else/LirabelWarden.exe"
echo "identical: $(sha256sum <"$work/first/LirabelWarden.exe")"
