#!/usr/bin/env bash
# tests/build/signing_test.sh SOURCE_DIR WINE_PREFIX PYTHON
# Builds the setup program, of another version, signed in each way the build
# offers, with throwaway keys: a key and certificate in a SoftHSM2 token, key
# files, and a signing command; timestamps come from a local RFC 3161 server.
# Checks the signatures as of days after the certificate's end, the failures
# that must leave no program behind, and that the signed program still
# installs under Wine. One build folder serves all, reconfigured each time.
set -euo pipefail
source_dir=$1
prefix=$2
python=$3
work=$(mktemp -d)
tsa_server=
trap '[[ -z $tsa_server ]] || kill $tsa_server; rm -rf "$work"' EXIT
build=$work/build
program=$build/LirabelWarden.exe
pin=pin-5e1f0c7a93d4

# Throwaway keys: a code-signing certificate valid for 2 days, and a
# time-stamp authority.
openssl req -x509 -newkey rsa:2048 -sha256 -days 2 -subj "/CN=Lirabel Warden Test Signing" \
  -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" \
  -keyout "$work/key.pem" -out "$work/cert.pem" -passout pass:test-secret 2>/dev/null
echo test-secret >"$work/password"
openssl req -x509 -newkey rsa:2048 -sha256 -days 30 -nodes -subj "/CN=Lirabel Test TSA" \
  -addext "extendedKeyUsage=critical,timeStamping" -keyout "$work/tsa.key" -out "$work/tsa.crt" 2>/dev/null
cat "$work/cert.pem" "$work/tsa.crt" >"$work/roots.pem"
late=$(($(date +%s) + 5 * 86400))

# The time-stamp server: each request is answered by openssl ts -reply.
printf '%s\n' "[tsa]" "default_tsa = t" "[t]" "serial = $work/tsa.serial" \
  "signer_cert = $work/tsa.crt" "signer_key = $work/tsa.key" "signer_digest = sha256" \
  "default_policy = 1.2.3.4.1" "digests = sha256" "ess_cert_id_alg = sha256" >"$work/tsa.cnf"
echo 01 >"$work/tsa.serial"
"$python" -c '
import http.server, subprocess, sys
class Stamp(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", sys.argv[1], "-queryfile",
                                "/dev/stdin", "-out", "/dev/stdout"], input=query,
                               capture_output=True, check=True).stdout
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
server = http.server.HTTPServer(("127.0.0.1", 0), Stamp)
print(server.server_port, flush=True)
server.serve_forever()' "$work/tsa.cnf" >"$work/tsa.port" 2>/dev/null &
tsa_server=$!
until [[ -s $work/tsa.port ]]; do sleep 0.1; done
tsa=http://127.0.0.1:$(cat "$work/tsa.port")

# The token: SoftHSM2 holding the key and its certificate.
export SOFTHSM2_CONF=$work/softhsm2.conf
mkdir "$work/tokens"
echo "directories.tokendir = $work/tokens" >"$SOFTHSM2_CONF"
module=/usr/lib/softhsm/libsofthsm2.so
softhsm2-util --init-token --free --label T --pin "$pin" --so-pin so-secret >/dev/null
openssl pkcs8 -topk8 -nocrypt -in "$work/key.pem" -passin pass:test-secret -out "$work/key8.pem"
softhsm2-util --import "$work/key8.pem" --token T --label K --id 01 --pin "$pin" >/dev/null
openssl x509 -in "$work/cert.pem" -outform DER -out "$work/cert.der"
pkcs11-tool --module "$module" --token-label T --login --pin "$pin" \
  --write-object "$work/cert.der" --type cert --id 01 --label K >/dev/null 2>&1
echo "$pin" >"$work/pin"
echo wrong-pin >"$work/wrong-pin"

sign() {  # sign CMAKE_OPTION...: reconfigures the build folder and builds the program
  cmake -S "$source_dir" --preset windows -B "$build" -DLBW_BUILD_TESTS=OFF "$@" >"$work/log" 2>&1 &&
    cmake --build "$build" --target LirabelWarden >>"$work/log" 2>&1 || { tail -5 "$work/log" >&2 && false; }
}
refused() {  # refused CMAKE_OPTION...: signing must fail and leave no program
  if sign "$@" 2>/dev/null; then echo "signed, though it must fail: $*" >&2 && exit 1; fi
  [[ ! -e $program ]] || { echo "a program is left after: $*" >&2 && exit 1; }
}
verify_late() { osslsigncode verify -CAfile "$work/roots.pem" -TSA-CAfile "$work/roots.pem" \
  -time "$late" -in "$program"; }

# A token, with a timestamp, the application signed too.
sign -DLBW_VERSION=2.0.0.7 -DLBW_SIGN_PKCS11_MODULE=$module \
  "-DLBW_SIGN_KEY=pkcs11:token=T;object=K;type=private" "-DLBW_SIGN_CERT=pkcs11:token=T;object=K;type=cert" \
  -DLBW_SIGN_PASSWORD_FILE="$work/pin" "-DLBW_SIGN_TIMESTAMP_URL=http://127.0.0.1:1;$tsa" -DLBW_SIGN_APP=ON
verify_late | grep -q "Signature verification: ok"
"$source_dir/tools/inspect" "$program" --ca "$work/roots.pem" >"$work/inspect"
grep -q "^  timestamp        .* UTC, by /CN=Lirabel Test TSA (verifies)" "$work/inspect"
grep -A6 "^lirabel-warden.exe" "$work/inspect" | grep -q "Windows program  yes (MZ/PE), signed"
! grep -rqF "$pin" "$build" || { echo "the PIN is in the build folder" >&2 && exit 1; }
"$python" "$source_dir/tests/build/check_executable.py" "$program" \
  --version 2.0.0.7 --loader "$build/payload/standin/WebView2Loader.dll" \
  --app "$build/signed-app/lirabel-warden.exe" \
  --loader-stream "$build/lbw_payload_store/loader.zlib" \
  --app-stream "$build/lbw_payload_store/app.zlib"
mkdir "$work/data"
LBW_DATA="Z:${work//\//\\}\\data" "$source_dir/tools/wine-run" "$prefix" "$program" </dev/null >/dev/null 2>&1
cmp "$work/data/programm/lirabel-warden.exe" "$build/signed-app/lirabel-warden.exe"
cmp "$work/data/programm/WebView2Loader.dll" "$build/payload/standin/WebView2Loader.dll"
refused -DLBW_SIGN_PASSWORD_FILE="$work/wrong-pin"

# Key files without a timestamp: said at configure, and invalid after the
# certificate's end; a time-stamp server that does not answer fails.
files=(-DLBW_SIGN_PKCS11_MODULE= -DLBW_SIGN_APP=OFF -DLBW_SIGN_CERT="$work/cert.pem"
  -DLBW_SIGN_KEY="$work/key.pem" -DLBW_SIGN_PASSWORD_FILE="$work/password")
sign "${files[@]}" -DLBW_SIGN_TIMESTAMP_URL=
grep -q "each stops being valid on the day its certificate expires" "$work/log"
if verify_late >"$work/verify" 2>&1 || ! grep -q "certificate has expired" "$work/verify"; then
  echo "verifies without a timestamp after the certificate's end" >&2 && exit 1
fi
"$source_dir/tools/inspect" "$program" |
  grep -q "^  warning: not timestamped: the signature stops being valid on 20"
refused "${files[@]}" -DLBW_SIGN_TIMESTAMP_URL=http://127.0.0.1:1

# A command that signs and timestamps on its own; one that fails, one that
# signs nothing; and two ways at once.
command=(-DLBW_SIGN_CERT= -DLBW_SIGN_KEY= -DLBW_SIGN_PASSWORD_FILE= -DLBW_SIGN_TIMESTAMP_URL=)
sign "${command[@]}" "-DLBW_SIGN_COMMAND=osslsigncode sign -certs $work/cert.pem -key $work/key.pem \
-readpass $work/password -ts $tsa -in {file} -out {file}.new && mv {file}.new {file}"
verify_late | grep -q "Signature verification: ok"
refused "${command[@]}" "-DLBW_SIGN_COMMAND=false {file}"
refused "${command[@]}" "-DLBW_SIGN_COMMAND=touch {file}"
refused -DLBW_SIGN_PKCS12="$work/password"
grep -q "Signing is configured two ways at once" "$work/log"
echo "signed by token, files and command; failures left no program"
