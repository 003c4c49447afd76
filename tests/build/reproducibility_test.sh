#!/usr/bin/env bash
# tests/build/reproducibility_test.sh SOURCE_DIR
# Builds the setup program twice from the same sources in two different build
# folders and compares the two executables, their bills of materials and their
# third-party notices byte for byte; then checks those two files of the first
# build (tests/build/check_sbom.py). A signed build without the licences the
# bill of materials needs stops at configure.
set -euo pipefail
source_dir=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
options=(-S "$source_dir" --preset windows -DLBW_BUILD_TESTS=OFF
  "-DLBW_SBOM_SUPPLIER=Lirabel Warden Test <https://lirabel.example>")

for folder in "$work/first" "$work/second/somewhere/else"; do
  cmake "${options[@]}" -B "$folder" -DLBW_SBOM_LICENSE=LicenseRef-Lirabel-EULA \
    -DLBW_LOADER_LICENSE=LicenseRef-Microsoft-WebView2 >/dev/null
  cmake --build "$folder" --target LirabelWarden >/dev/null
done
if cmake "${options[@]}" -B "$work/signed" "-DLBW_SIGN_COMMAND=true {file}" >"$work/said" 2>&1 ||
  ! grep -q "LBW_SBOM_LICENSE is empty: a signed release needs a licence" "$work/said"; then
  echo "a signed build without licences was configured: $(cat "$work/said")" >&2 && exit 1
fi
for file in LirabelWarden.exe LirabelWarden.cdx.json THIRD-PARTY-NOTICES.txt; do
  cmp "$work/first/$file" "$work/second/somewhere/else/$file"
  echo "identical: $file $(sha256sum <"$work/first/$file")"
done
/usr/bin/python3 "$source_dir/tests/build/check_sbom.py" "$work/first"
