#!/usr/bin/python3
"""sign.py INPUT OUTPUT --description TEXT (key files | token | --command CMD)
Signs a Windows program with an Authenticode signature (SHA-256) and writes it
to OUTPUT, which may be INPUT itself. The signature is made on a copy under
signing/ beside OUTPUT, which replaces OUTPUT in one rename once it is signed,
intact and timestamped. After any failure nothing is left at OUTPUT, so that
no unsigned or untimestamped program is published by mistake: exit status 1,
with the reason on standard error.

  --osslsigncode PATH  the signing tool, also used to read every signature
  key files            --cert PEM --key PEM, or --pkcs12 FILE
  token                --pkcs11-module LIB --key URI --cert (PEM | URI)
  --password-file F    the key's password or the token's PIN: only the file's
                       name is ever on a command line
  --timestamp-url URL  an RFC 3161 server; several are tried in the given order
  --command CMD        a shell command that signs {file} in place and
                       timestamps on its own; the build checks what it left
  --keep-signed        an INPUT that carries a signature already is written
                       to OUTPUT as it stands
  --discard FILE       a program built from OUTPUT, removed too on failure
"""
import argparse
import os
import shlex
import shutil
import subprocess
import sys
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
import authenticode  # noqa: E402

TIME_LIMIT = 300  # seconds for one run of a tool: a token or a service may be slow, never stuck


def run(command, shell=False):
    """Runs a tool without a terminal to prompt on; returns (status, last line said)."""
    try:
        done = subprocess.run(command, shell=shell, stdin=subprocess.DEVNULL, text=True,
                              errors="replace", capture_output=True, timeout=TIME_LIMIT)
    except subprocess.TimeoutExpired:
        return -1, f"no answer within {TIME_LIMIT} s"
    except OSError as error:
        return -1, error.strerror
    said = [line.strip() for line in (done.stdout + done.stderr).splitlines() if line.strip()]
    return done.returncode, said[-1] if said else ""


def sign_with_key(args, unstamped):
    """Signs INPUT into unstamped with osslsigncode. Returns the problem or None."""
    if args.pkcs11_module:
        cert = ["-pkcs11cert" if args.cert.startswith("pkcs11:") else "-certs", args.cert]
        credentials = ["-pkcs11module", args.pkcs11_module, *cert, "-key", args.key]
    elif args.pkcs12:
        credentials = ["-pkcs12", args.pkcs12]
    else:
        credentials = ["-certs", args.cert, "-key", args.key]
    if args.password_file:
        credentials += ["-readpass", args.password_file]
    status, said = run([args.osslsigncode, "sign", *credentials, "-h", "sha256",
                        "-n", args.description, "-in", args.input, "-out", unstamped])
    return None if status == 0 and unstamped.exists() else f"osslsigncode: {said}"


def timestamp(args, unstamped, stage):
    """Adds a timestamp from the first server that answers. Returns the problem or None."""
    failures = []
    for url in args.timestamp_url:
        status, said = run([args.osslsigncode, "add", "-ts", url, "-h", "sha256",
                            "-in", unstamped, "-out", stage])
        if status == 0 and stage.exists():
            return None
        failures.append(f"{url} ({said})")
    return "no time-stamp server answered: " + ", ".join(failures)


def sign_with_command(args, stage):
    """Runs the publisher's command on stage. Returns the problem or None."""
    shutil.copyfile(args.input, stage)
    quoted = subprocess.list2cmdline([str(stage)]) if os.name == "nt" else shlex.quote(str(stage))
    status, said = run(args.command.replace("{file}", quoted), shell=True)
    return None if status == 0 else f"the signing command exited with {status}: {said}"


def sign(args, stage):
    """Leaves the signed program at stage. Returns the problem or None."""
    if args.keep_signed:
        found, _ = authenticode.read(args.input, offline=True)
        if found:
            print(f"{args.input.name} is signed already ({found.signer}): kept as it stands")
            shutil.copyfile(args.input, stage)
            return None
    if args.command:
        problem = sign_with_command(args, stage)
    else:
        unstamped = stage.with_name("unstamped-" + stage.name)
        problem = sign_with_key(args, unstamped)
        if not problem and args.timestamp_url:
            problem = timestamp(args, unstamped, stage)
        elif not problem:
            os.replace(unstamped, stage)
    if problem:
        return problem
    found, reason = authenticode.read(stage, offline=True)
    if not found:
        return "the file carries no signature afterwards" + (f" ({reason})" if reason else "")
    if not found.intact:
        return "the digest in its signature does not match the file"
    if args.timestamp_url and not found.timestamp:
        return "the signature carries no timestamp"
    if not found.timestamp:
        print(f"warning: {args.output.name} is not timestamped: the signature stops being valid"
              f" on {found.ends_on()}, when the certificate expires", file=sys.stderr)
    return None


def main():
    parser = argparse.ArgumentParser(description="Signs a Windows program.")
    parser.add_argument("input", type=Path)
    parser.add_argument("output", type=Path)
    parser.add_argument("--description", required=True)
    parser.add_argument("--osslsigncode", required=True)
    for option in ("--cert", "--key", "--pkcs12", "--pkcs11-module", "--password-file",
                   "--command"):
        parser.add_argument(option)
    parser.add_argument("--timestamp-url", action="append", default=[])
    parser.add_argument("--keep-signed", action="store_true")
    parser.add_argument("--discard", type=Path, action="append", default=[])
    args = parser.parse_args()

    stage = args.output.parent / "signing" / args.output.name
    stage.parent.mkdir(exist_ok=True)
    for leftover in stage.parent.glob(f"*{stage.name}"):
        leftover.unlink()
    try:
        problem = sign(args, stage)
    except OSError as error:
        problem = f"{error.filename}: {error.strerror}"
    for made in stage.parent.glob(f"?*{stage.name}"):  # what a failed run left beside it
        made.unlink()
    if problem:
        stage.unlink(missing_ok=True)
        for path in (args.output, *args.discard):
            path.unlink(missing_ok=True)
        print(f"signing {args.output.name} failed: {problem}", file=sys.stderr)
        return 1
    os.replace(stage, args.output)
    return 0


if __name__ == "__main__":
    sys.exit(main())
