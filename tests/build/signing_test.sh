#!/usr/bin/env bash
# tests/build/signing_test.sh SOURCE_DIR WINE_PREFIX PYTHON CACHE
# Builds the setup program, of another version, signed in each way the build
# offers, with throwaway keys: a key and certificate in a SoftHSM2 token, key
# files, and a signing command; timestamps come from a local RFC 3161 server
# whose path chooses how it behaves. Checks the signatures as of days after
# the certificate's end, a kill while signing (also with the step's guardian
# killed first), two builds at once, servers that hang or answer wrongly, an
# authority the roots lack, signers refused before signing, a renewed
# certificate, nested signatures, the failures that must leave no program and
# nothing in signing/ behind, and that the signed program still installs under
# Wine. Runs with the system's osslsigncode, then signs once more with Debian
# 12's own 2.5 where the system's is another (fetched from its package into
# CACHE). One build folder, whose path holds a space, serves all, reconfigured
# each time.
set -euo pipefail
source_dir=$1
prefix=$2
python=$3
cache=$4
work=$(mktemp -d)
tsa_server=
trap '[[ -z $tsa_server ]] || kill $tsa_server; rm -rf "$work"' EXIT
build="$work/build folder"
program=$build/LirabelWarden.exe
inspect=$source_dir/tools/inspect
pin=pin-5e1f0c7a93d4

certificate() {  # certificate NAME SUBJECT [KEY [USAGE]]: NAME.pem, NAME-key.pem, NAME-password
  echo "secret-$RANDOM" >"$work/$1-password"
  openssl req -x509 -newkey "${3:-rsa:3072}" -sha256 -days 2 -subj "/CN=$2" -addext "keyUsage=digitalSignature" \
    -addext "extendedKeyUsage=${4:-codeSigning}" -keyout "$work/$1-key.pem" -out "$work/$1.pem" \
    -passout "file:$work/$1-password" 2>/dev/null
}
authority() {  # authority NAME SUBJECT: a time-stamp authority, NAME.crt, NAME.key and NAME.cnf
  openssl req -x509 -newkey rsa:2048 -sha256 -days 30 -nodes -subj "/CN=$2" \
    -addext "extendedKeyUsage=critical,timeStamping" -keyout "$work/$1.key" -out "$work/$1.crt" 2>/dev/null
  printf '%s\n' "[tsa]" "default_tsa = t" "[t]" "serial = $work/tsa.serial" \
    "signer_cert = $work/$1.crt" "signer_key = $work/$1.key" "signer_digest = sha256" \
    "default_policy = 1.2.3.4.1" "digests = sha256" "ess_cert_id_alg = sha256" >"$work/$1.cnf"
}
# Throwaway keys: code-signing certificates valid for 2 days (RSA-3072, what a
# public certificate authority issues), ones the build refuses, and two time-stamp
# authorities, one of them missing from the roots.
certificate code "Lirabel Warden Test Signing"
certificate other "Another Publisher"
certificate small "Small Key" rsa:1024
authority tsa "Lirabel Test TSA"
authority untrusted "Untrusted TSA"
cat "$work/code.pem" "$work/tsa.crt" >"$work/roots.pem"
late=$(($(date +%s) + 5 * 86400))

# The time-stamp server: openssl ts -reply answers each request. /hang never
# answers (and says so in a file), /slow answers after 3 s, /garbage answers
# no reply, /error with status 500, /untrusted by the authority the roots lack.
echo 01 >"$work/tsa.serial"
"$python" -c '
import http.server, pathlib, subprocess, sys, time
class Stamp(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        query = self.rfile.read(int(self.headers["Content-Length"]))
        if self.path == "/hang":
            pathlib.Path(sys.argv[2]).touch()
            time.sleep(3600)
        if self.path == "/error":
            return self.send_error(500)
        time.sleep(3 if self.path == "/slow" else 0)
        config = sys.argv[3 if self.path == "/untrusted" else 1]
        reply = subprocess.run(["openssl", "ts", "-reply", "-config", config, "-queryfile",
                                "/dev/stdin", "-out", "/dev/stdout"], input=query,
                               capture_output=True, check=True).stdout
        reply = b"no reply" if self.path == "/garbage" else reply
        self.send_response(200)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Stamp)
server.daemon_threads = True
print(server.server_port, flush=True)
server.serve_forever()' "$work/tsa.cnf" "$work/hung" "$work/untrusted.cnf" >"$work/tsa.port" 2>/dev/null &
tsa_server=$!
until [[ -s $work/tsa.port ]]; do sleep 0.1; done
tsa=http://127.0.0.1:$(cat "$work/tsa.port")

# The token: SoftHSM2 holding the key and its certificate.
export SOFTHSM2_CONF=$work/softhsm2.conf
mkdir "$work/tokens"
echo "directories.tokendir = $work/tokens" >"$SOFTHSM2_CONF"
module=/usr/lib/softhsm/libsofthsm2.so
softhsm2-util --init-token --free --label T --pin "$pin" --so-pin so-secret >/dev/null
openssl pkcs8 -topk8 -nocrypt -in "$work/code-key.pem" -passin "file:$work/code-password" -out "$work/key8.pem"
softhsm2-util --import "$work/key8.pem" --token T --label K --id 01 --pin "$pin" >/dev/null
openssl x509 -in "$work/code.pem" -outform DER -out "$work/code.der"
pkcs11-tool --module "$module" --token-label T --login --pin "$pin" \
  --write-object "$work/code.der" --type cert --id 01 --label K >/dev/null 2>&1
echo "$pin" >"$work/pin"
echo wrong-pin >"$work/wrong-pin"

fail() { echo "$*" >&2 && exit 1; }
sign() {  # sign CMAKE_OPTION...: reconfigures the build folder and builds the program
  cmake -S "$source_dir" --preset windows -B "$build" -DLBW_BUILD_TESTS=OFF -DLBW_SBOM_LICENSE=MIT \
    -DLBW_LOADER_LICENSE=MIT "-DLBW_SBOM_SUPPLIER=Test <https://lirabel.example>" "$@" >"$work/log" 2>&1 &&
    cmake --build "$build" --target LirabelWarden >>"$work/log" 2>&1 || { tail -5 "$work/log" >&2 && false; }
}
nothing_left() {  # nothing_left WHEN: no program, nothing in signing/
  [[ ! -f $program && ! -f $build/LirabelWarden.cdx.json ]] || fail "a program or its SBOM is left $1"
  [[ -z $(find "$build/signing" "$build/signed-app/signing" -mindepth 1 2>/dev/null) ]] ||
    fail "files are left in signing/ $1: $(find "$build" -path '*/signing/*')"
}
refused() {  # refused WHAT-IT-SAYS CMAKE_OPTION...: signing fails so and leaves nothing
  local says=$1 && shift
  if sign "$@" 2>/dev/null; then fail "signed, though it must fail: $*"; fi
  grep -qF "$says" "$work/log" || fail "no \"$says\" after: $* ($(tail -3 "$work/log"))"
  ! grep -q Traceback "$work/log" || fail "a traceback after: $*"
  nothing_left "after: $*"
}
verify_late() { osslsigncode verify -CAfile "$work/roots.pem" -TSA-CAfile "$work/roots.pem" \
  -time "$late" -in "$program" | grep -q "Signature verification: ok"; }
stamped() {  # stamped [OSSLSIGNCODE]: valid after the certificate's end, and inspect says so
  verify_late || fail "does not verify after the certificate's end"
  "$inspect" "$program" --ca "$work/roots.pem" ${1:+--osslsigncode "$1"} >"$work/inspect"
  grep -q "^Signature          Authenticode, verifies against the roots in" "$work/inspect" &&
    grep -q "^  timestamp        .* UTC, by /CN=Lirabel Test TSA (verifies)" "$work/inspect" ||
    fail "inspect: $(cat "$work/inspect")"
}

# A token, with a timestamp, the application signed too, both checked
# against the roots.
sign -DLBW_VERSION=2.0.0.7 -DLBW_SIGN_PKCS11_MODULE=$module -DLBW_SIGN_PASSWORD_FILE="$work/pin" \
  "-DLBW_SIGN_KEY=pkcs11:token=T;object=K;type=private" "-DLBW_SIGN_CERT=pkcs11:token=T;object=K;type=cert" \
  "-DLBW_SIGN_TIMESTAMP_URL=http://127.0.0.1:1;$tsa" -DLBW_SIGN_APP=ON -DLBW_SIGN_ROOTS="$work/roots.pem"
stamped
grep -A6 "^lirabel-warden.exe" "$work/inspect" |
  grep -q "Windows program  yes (MZ/PE), signed by /CN=Lirabel Warden Test Signing" || fail "app unsigned"
! grep -rqF "$pin" "$build" || fail "the PIN is in the build folder"
PYTHONPATH=$source_dir "$python" "$source_dir/tests/build/check_executable.py" "$program" \
  --version 2.0.0.7 --loader "$build/payload/standin/WebView2Loader.dll" \
  --app "$build/signed-app/lirabel-warden.exe" \
  --loader-stream "$build/lbw_payload_store/loader.zlib" \
  --app-stream "$build/lbw_payload_store/app.zlib"
mkdir "$work/data"
LBW_DATA="Z:${work//\//\\}\\data" "$source_dir/tools/wine-run" "$prefix" "$program" </dev/null >/dev/null 2>&1
cmp "$work/data/programm/lirabel-warden.exe" "$build/signed-app/lirabel-warden.exe"
cmp "$work/data/programm/WebView2Loader.dll" "$build/payload/standin/WebView2Loader.dll"
cp "$build/signed-app/lirabel-warden.exe" "$work/signed-app.exe"

# Two signatures, the nested one by a signer the roots do not hold: each is
# reported for what it is; a roots file that is not there is no mismatch.
osslsigncode sign -certs "$work/other.pem" -key "$work/other-key.pem" -readpass "$work/other-password" \
  -nest -h sha256 -in "$program" -out "$work/nested.exe" >/dev/null
"$inspect" "$work/nested.exe" --ca "$work/roots.pem" >"$work/inspect" || [[ $? == 2 ]]
grep -q "^Signature          Authenticode, verifies against the roots in" "$work/inspect" &&
  grep -q "^Nested signature 1 Authenticode, holds, does NOT verify against the roots" "$work/inspect" &&
  grep -q "^  signer           /CN=Another Publisher" "$work/inspect" || fail "nested: $(cat "$work/inspect")"
if "$inspect" "$program" --ca "$work/none.pem" >/dev/null 2>"$work/said"; then fail "a missing roots file"; fi
grep -q "cannot read the roots file" "$work/said" && [[ $(wc -l <"$work/said") == 1 ]]
refused "does not verify against the roots in" -DLBW_SIGN_ROOTS="$work/tsa.crt"
refused "the token refused the PIN in $work/wrong-pin (PIN incorrect)" -DLBW_SIGN_ROOTS= \
  -DLBW_SIGN_PASSWORD_FILE="$work/wrong-pin"
# Certificates in files that can't sign, judged before their key is used.
refused "the signing certificate /CN=Small Key can't be used: it has an RSA key of 1024 bits" \
  -DLBW_SIGN_PKCS11_MODULE= -DLBW_SIGN_CERT="$work/small.pem" -DLBW_SIGN_KEY="$work/small-key.pem" \
  -DLBW_SIGN_PASSWORD_FILE="$work/small-password"

# Killed while a time-stamp server keeps it waiting: no program and nothing
# in signing/, and the next build with a server that answers signs anew. A
# server that hangs, answers no reply or an error falls through to the next;
# one whose authority the roots lack fails.
sign -DLBW_SIGN_PKCS11_MODULE= -DLBW_SIGN_CERT="$work/code.pem" -DLBW_SIGN_KEY="$work/code-key.pem" \
  -DLBW_SIGN_PASSWORD_FILE="$work/code-password" -DLBW_SIGN_APP=OFF -DLBW_SIGN_TIMESTAMP_URL="$tsa/ok"
cmake -S "$source_dir" -B "$build" -DLBW_SIGN_TIMESTAMP_URL="$tsa/hang" >/dev/null
setsid cmake --build "$build" --target LirabelWarden >/dev/null 2>&1 &
builder=$!
for _ in $(seq 300); do [[ -e $work/hung ]] && break; sleep 0.1; done
pkill -KILL -s "$builder"  # every process group of the build: ninja gives each step one
sleep 1
nothing_left "after a kill while signing"
# The same with the step's guardian killed first: the tools end with the step
# all the same, and nothing signed but not timestamped is on disk.
rm "$work/hung"
setsid cmake --build "$build" --target LirabelWarden >/dev/null 2>&1 &
builder=$!
for _ in $(seq 300); do [[ -e $work/hung ]] && break; sleep 0.1; done
kill -KILL "$(ps -eo pid=,sid=,args= | awk '$1 == $2 && /-m release\.authenticode\.sign / && !/--in-group/ {print $1}')"
pkill -KILL -s "$builder"
sleep 1
! pgrep -f -- "-ts $tsa/hang" >/dev/null || fail "a tool outlived the signing step: $(pgrep -af -- "-ts $tsa")"
left=$(find "$build/signing" -type f -exec osslsigncode verify -CAfile "$work/roots.pem" -in {} \; 2>&1 || true)
[[ $left != *"Signature verification: ok"* ]] || fail "a program signed without timestamp is left"
sign -DLBW_SIGN_TIMESTAMP_URL="$tsa/ok"
stamped
[[ -z $(find "$build/signing" -mindepth 1) ]] || fail "a killed step's leftovers were not removed"
# Two builds at once in one folder: the second waits for the first's signing
# step, says so, and keeps what it signed; both end with the program signed.
sign -DLBW_SIGN_TIMESTAMP_URL="$tsa/slow"
rm "$program"
cmake --build "$build" --target LirabelWarden >"$work/first" 2>&1 &
first=$!
until [[ -n $(find "$build/signing" -mindepth 1 2>/dev/null) ]]; do sleep 0.1; done
cmake --build "$build" --target LirabelWarden >"$work/second" 2>&1 || fail "$(tail -3 "$work/second")"
wait "$first" || fail "$(tail -3 "$work/first")"
grep -q "waiting for another build's signing step in $build/signing" "$work/second" &&
  grep -q "LirabelWarden.exe was signed by the build waited for: kept" "$work/second" || fail "no wait"
stamped
began=$(date +%s)
sign "-DLBW_SIGN_TIMESTAMP_URL=$tsa/garbage;$tsa/error;$tsa/hang;$tsa/ok"
stamped
(($(date +%s) - began < 60)) || fail "the servers after a hanging one were tried too late"
refused "$tsa/untrusted (its timestamp has an authority whose chain does not reach the roots" \
  -DLBW_SIGN_TIMESTAMP_URL="$tsa/untrusted" -DLBW_SIGN_ROOTS="$work/roots.pem"

# Key files without a timestamp: said at configure, and invalid after the
# certificate's end.
sign -DLBW_SIGN_TIMESTAMP_URL= -DLBW_SIGN_ROOTS=
grep -q "each stops being valid on the day its certificate expires" "$work/log"
! verify_late 2>/dev/null || fail "verifies without a timestamp after the certificate's end"
"$inspect" "$program" --ca "$work/roots.pem" | grep -q "^  warning: not timestamped: the signature stops being valid on 20"

# A certificate renewed at the same paths signs the next build, the
# application inside too.
sign -DLBW_SIGN_TIMESTAMP_URL="$tsa" -DLBW_SIGN_APP=ON
certificate code "Lirabel Warden Renewed"
cmake --build "$build" --target LirabelWarden >"$work/log" 2>&1 || fail "$(tail -5 "$work/log")"
"$inspect" "$program" >"$work/inspect" || [[ $? == 2 ]]
[[ $(grep -c "signer           /CN=Lirabel Warden Renewed\|signed by /CN=Lirabel Warden Renewed" \
  "$work/inspect") == 2 ]] || fail "not signed with the renewed certificate: $(cat "$work/inspect")"

# An application whose signature is broken is refused, never re-signed; odd
# leftovers where signing works; commands that sign wrongly.
cp "$work/signed-app.exe" "$work/broken-app.exe"
printf 'X' | dd of="$work/broken-app.exe" bs=1 seek=1024 conv=notrunc status=none
refused "is signed already, and that signature does not hold: its signature (/CN=Lirabel Warden Test Signing): its digest does not match the file" \
  -DLBW_APP_PAYLOAD="$work/broken-app.exe"
mkdir "$program"
refused "LirabelWarden.exe is a folder" -DLBW_APP_PAYLOAD= -DLBW_SIGN_APP=OFF
rmdir "$program" && rm -rf "$build/signing" && touch "$build/signing"
refused "signing is not a folder"
rm "$build/signing"
refused "Signing is configured two ways at once" -DLBW_SIGN_PKCS12="$work/code-password"
with_keys="-certs $work/other.pem -key $work/other-key.pem -readpass $work/other-password"
refused "the signed file is not the program that was given" -DLBW_SIGN_PKCS12= -DLBW_SIGN_CERT= \
  -DLBW_SIGN_KEY= -DLBW_SIGN_PASSWORD_FILE= -DLBW_SIGN_TIMESTAMP_URL= \
  "-DLBW_SIGN_COMMAND=cp $work/signed-app.exe {file}"
refused "the signing command exited with 1" "-DLBW_SIGN_COMMAND=cat $work/pin; false {file}"
! grep "failed:" "$work/log" | grep -qF "$pin" || fail "what the command said is in the error line"
refused "it carries no signature" "-DLBW_SIGN_COMMAND=touch {file}"
# A command that signs and timestamps on its own, {file} in quotes too.
sign "-DLBW_SIGN_COMMAND=osslsigncode sign $with_keys -ts $tsa -in \"{file}\" -out '{file}.s' && mv {file}.s \"{file}\""
{ "$inspect" "$program" --ca "$work/roots.pem" || true; } | grep -q "^  timestamp        .* (verifies)"

# Debian 12's own osslsigncode: fetched from its package where the system
# carries another, and kept for the next run.
debian12=$(command -v osslsigncode)
if ! osslsigncode --version | grep -q "^osslsigncode 2\.5,"; then
  debian12=$cache/usr/bin/osslsigncode
  [[ -x $debian12 ]] || (mkdir -p "$cache" && cd "$cache" &&
    apt-get download -q osslsigncode=2.5-4 >/dev/null 2>&1 && dpkg -x osslsigncode_2.5-4_amd64.deb .) ||
    debian12=
fi
if [[ -n $debian12 ]]; then
  sign -DLBW_SIGN_COMMAND= -DLBW_OSSLSIGNCODE="$debian12" -DLBW_SIGN_CERT="$work/code.pem" \
    -DLBW_SIGN_KEY="$work/code-key.pem" -DLBW_SIGN_PASSWORD_FILE="$work/code-password" \
    -DLBW_SIGN_APP=ON -DLBW_SIGN_TIMESTAMP_URL="$tsa/ok"
  cat "$work/code.pem" "$work/tsa.crt" >"$work/roots.pem"
  stamped "$debian12"
  echo "osslsigncode 2.5 signed, timestamped and read the program"
else
  echo "osslsigncode 2.5 could not be fetched (apt-get download osslsigncode=2.5-4): not tried"
fi
echo "signed by token, files and command; failures left no program and nothing in signing/"
