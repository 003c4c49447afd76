#!/usr/bin/env bash
# Unpacks the test bundle into a fresh folder outside the build tree and runs
# its run-tests.cmd there under Wine's cmd, as it would run on Windows:
#   bundle_test.sh ZIP WINE_RUN PREFIX
# Passes when the run ends with status 0 and the line "N passed, 0 failed".
set -euo pipefail

zip=$(realpath "$1")
wine_run=$2
prefix=$3
folder=$(mktemp -d "${TMPDIR:-/tmp}/lbw-test-bundle.XXXXXX")
trap 'rm -rf "$folder"' EXIT

cd "$folder"
cmake -E tar xf "$zip"
status=0
"$wine_run" "$prefix" cmd /c run-tests.cmd </dev/null | tee output.txt || status=$?
last_line=$(tail -n 1 output.txt | tr -d '\r')
echo "bundle run in $folder: status $status, last line \"$last_line\""
[[ $status -eq 0 && $last_line =~ ^[1-9][0-9]*\ passed,\ 0\ failed$ ]]
