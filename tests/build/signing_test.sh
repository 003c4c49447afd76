#!/usr/bin/env bash
# tests/build/signing_test.sh SOURCE_DIR WINE_PREFIX PYTHON
# Builds the setup program, of another version, signed with a throwaway
# self-signed code-signing certificate, verifies the signature, checks the
# executable, and checks that the signed program still installs under Wine.
set -euo pipefail
source_dir=$1
prefix=$2
python=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -subj "/CN=Lirabel Warden Test Signing" \
  -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
  -keyout "$work/key.pem" -out "$work/cert.pem" -passout pass:test-secret 2>/dev/null
echo test-secret >"$work/password"

cmake -S "$source_dir" --preset windows -B "$work/build" -DLBW_BUILD_TESTS=OFF -DLBW_VERSION=2.0.0.7 \
  -DLBW_SIGN_CERT="$work/cert.pem" -DLBW_SIGN_KEY="$work/key.pem" \
  -DLBW_SIGN_PASSWORD_FILE="$work/password" >/dev/null
cmake --build "$work/build" --target LirabelWarden >/dev/null

osslsigncode verify -CAfile "$work/cert.pem" -in "$work/build/LirabelWarden.exe" >"$work/verify.txt"
grep -q "Signature verification: ok" "$work/verify.txt"
grep -q "Lirabel Warden Test Signing" "$work/verify.txt"
"$python" "$source_dir/tests/build/check_executable.py" "$work/build/LirabelWarden.exe" \
  --version 2.0.0.7 --loader "$work/build/payload/standin/WebView2Loader.dll" \
  --app "$work/build/payload/standin/lirabel-warden.exe" \
  --loader-stream "$work/build/lbw_payload_store/loader.zlib" \
  --app-stream "$work/build/lbw_payload_store/app.zlib"

# The signed program still does its job.
mkdir "$work/data"
LBW_DATA="Z:${work//\//\\}\\data" "$source_dir/tools/wine-run" "$prefix" \
  "$work/build/LirabelWarden.exe" </dev/null >/dev/null 2>&1
cmp "$work/data/programm/lirabel-warden.exe" "$work/build/payload/standin/lirabel-warden.exe"
cmp "$work/data/programm/WebView2Loader.dll" "$work/build/payload/standin/WebView2Loader.dll"
echo "signed, verified and installed"
