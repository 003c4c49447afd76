#!/usr/bin/env bash
# tests/build/reproducibility_test.sh SOURCE_DIR
# Builds the setup program twice from the same sources in two different build
# folders and compares the two executables, their bills of materials and their
# third-party notices byte for byte; then checks those two files of the first
# build (tests/build/check_sbom.py).
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for folder in "$work/first" "$work/second/somewhere/else"; do
  cmake -S "$source_dir" --preset windows -B "$folder" -DLBW_BUILD_TESTS=OFF \
    "-DLBW_SBOM_SUPPLIER=Lirabel Warden Test <https://lirabel.example>" >/dev/null
  cmake --build "$folder" --target LirabelWarden >/dev/null
done
for file in LirabelWarden.exe LirabelWarden.cdx.json THIRD-PARTY-NOTICES.txt; do
  cmp "$work/first/$file" "$work/second/somewhere/else/$file"
  echo "identical: $file $(sha256sum <"$work/first/$file")"
done
/usr/bin/python3 "$source_dir/tests/build/check_sbom.py" "$work/first"
