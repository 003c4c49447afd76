#!/usr/bin/python3
"""sign.py INPUT OUTPUT --description TEXT --osslsigncode PATH (key files | token | --command CMD)
Signs a Windows program with an Authenticode signature and writes it to
OUTPUT. OUTPUT is removed first and comes back only in one rename, once the
signed program is checked: the digest is the file's, SHA-256 or stronger, the
timestamp (where asked for or present) countersigns this very signature, the
program is the one given with a signature added, and, where roots are given,
the signer's chain reaches them. So a kill at any moment leaves no program at
OUTPUT, and a failure too: exit status 1, one line on standard error.

The work happens in a folder of its own under signing/ beside OUTPUT, which
this run removes at its end, and a guardian process removes should this run
be killed, after ending what it started: no partial file, no file signed
without its timestamp and no temporary file of a command stays behind.

  --osslsigncode PATH  the tool that signs, timestamps and checks chains
  key files            --cert PEM --key PEM, or --pkcs12 FILE
  token                --pkcs11-module LIB --key URI --cert (PEM | URI)
  --password-file F    the key's password or the token's PIN: only the file's
                       name is ever on a command line
  --timestamp-url URL  an RFC 3161 server; several are tried in the given order
  --command CMD        a shell command that signs {file} in place and
                       timestamps on its own
  --roots PEM          the roots the signer's chain must reach; without it,
                       a chain that osslsigncode's store does not trust is
                       said, not refused
  --keep-signed        an INPUT signed already is kept as it stands, where
                       that signature passes the same checks
  --discard FILE       a file made from OUTPUT or what OUTPUT goes into,
                       removed with it when signing starts, and not remade
                       unless signing succeeds
"""
import argparse
import os
import shlex
import shutil
import signal
import subprocess
import sys
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
import authenticode  # noqa: E402

TOOL_LIMIT = 300  # seconds for signing: a token or a service may be slow, never stuck
SERVER_LIMIT = 20  # seconds for one time-stamp server: a working one answers within a few


class Refused(Exception):
    """Why the program is not signed: the one line the build shows."""


class Guardian:
    """A process in a session of its own, so that a kill of the build's
    process groups spares it. It watches a pipe that only this run holds:
    when the pipe ends without this run saying it is done, it kills the
    process groups of the tools this run started and removes the work folder."""

    def __init__(self, folder):
        reading, self._pipe = os.pipe()
        if os.fork() == 0:
            try:
                os.close(self._pipe)
                os.setsid()
                quiet = os.open(os.devnull, os.O_RDWR)
                for fd in (0, 1, 2):
                    os.dup2(quiet, fd)
                os.closerange(3, reading)
                os.closerange(reading + 1, 1 << 16)
                self._watch(reading, folder)
            finally:
                os._exit(0)
        os.close(reading)

    @staticmethod
    def _watch(reading, folder):
        said = b""
        while chunk := os.read(reading, 4096):
            said += chunk
        groups = set()
        for line in said.decode().splitlines():
            if line == "done":
                return
            (groups.add if line[0] == "+" else groups.discard)(int(line[1:]))
        for group in groups:
            try:
                os.killpg(group, signal.SIGKILL)
            except OSError:
                pass
        shutil.rmtree(folder, ignore_errors=True)

    def tell(self, line):
        os.write(self._pipe, f"{line}\n".encode())


def run(guardian, command, limit, shell=False):
    """Runs a tool in a process group of its own, without a terminal to
    prompt on, and kills the whole group after limit seconds. Returns its
    exit status (None after the limit) and the last line it said."""
    try:
        tool = subprocess.Popen(command, shell=shell, stdin=subprocess.DEVNULL, text=True,
                                errors="replace", stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, start_new_session=True)
    except OSError as error:
        return -1, error.strerror
    guardian.tell(f"+{tool.pid}")
    try:
        said, _ = tool.communicate(timeout=limit)
        status = tool.returncode
    except subprocess.TimeoutExpired:
        try:
            os.killpg(tool.pid, signal.SIGKILL)
        except OSError:  # it ended just now
            pass
        said, _ = tool.communicate()
        status, said = None, f"no answer within {limit} s"
    guardian.tell(f"-{tool.pid}")
    lines = [line.strip() for line in said.splitlines() if line.strip()]
    return status, lines[-1] if lines else ""


def sign_with_key(args, guardian, signed):
    """Signs INPUT into signed with osslsigncode, without a timestamp."""
    if args.pkcs11_module:
        cert = ["-pkcs11cert" if args.cert.startswith("pkcs11:") else "-certs", args.cert]
        credentials = ["-pkcs11module", args.pkcs11_module, *cert, "-key", args.key]
    elif args.pkcs12:
        credentials = ["-pkcs12", args.pkcs12]
    else:
        credentials = ["-certs", args.cert, "-key", args.key]
    if args.password_file:
        credentials += ["-readpass", args.password_file]
    status, said = run(guardian, [args.osslsigncode.path, "sign", *credentials, "-h", "sha256",
                                  "-n", args.description, "-in", args.input, "-out", signed],
                       TOOL_LIMIT)
    if status != 0 or not signed.exists():
        raise Refused(f"osslsigncode: {said}")


def timestamp(args, guardian, signed, stage):
    """Writes signed with a timestamp to stage, from the first server whose
    answer is a timestamp of this signature."""
    failures = []
    for url in args.timestamp_url:
        stage.unlink(missing_ok=True)  # what an earlier server's try left
        status, said = run(guardian, [args.osslsigncode.path, "add", "-ts", url, "-h", "sha256",
                                      "-in", signed, "-out", stage], SERVER_LIMIT)
        if status == 0 and stage.exists():
            found, _ = authenticode.signatures(stage.read_bytes(), policy(args, fresh=True))
            stamp = found[0].timestamp if found else None
            if stamp and not stamp.problem:
                return
            said = f"its timestamp {stamp.problem}" if stamp else "its answer added no timestamp"
        failures.append(f"{url} ({said})")
    raise Refused("no time-stamp server gave a timestamp: " + ", ".join(failures))


def sign_with_command(args, guardian, stage):
    """Runs the publisher's command on stage, a copy of INPUT."""
    shutil.copyfile(args.input, stage)
    status, said = run(guardian, args.command.replace("{file}", shlex.quote(str(stage))),
                       TOOL_LIMIT, shell=True)
    if status != 0:
        ended = f"exited with {status}" if status is not None else "was stopped"
        raise Refused(f"the signing command {ended}: {said}")


def policy(args, fresh):
    """What the signatures are judged against: now, the roots where given, and
    for a signature made by this run, a timestamp made just now."""
    return authenticode.Policy(roots=args.root_certificates,
                               fresh=authenticode.FRESH if fresh else None)


def check(args, data, judged, given=None, stamped=False):
    """Refuses a signed program whose signatures do not hold as tools/inspect
    judges them (under the policy judged), that lacks a timestamp where
    stamped, or whose chains do not reach the roots where they are given.
    given: the program before signing, which must be the same program apart
    from the signature. Says what it could not check, and warns of a
    signature without a timestamp."""
    found, reason = authenticode.signatures(data, judged)
    if reason:
        raise Refused(f"its signature does not hold: {reason}")
    if not found:
        raise Refused("it carries no signature")
    digest = authenticode.program_digest
    if given is not None and digest(data) != digest(given):
        raise Refused("the signed file is not the program that was given to be signed")
    name = args.output.name
    which = [("its signature" if index == 0 else f"its nested signature {index}")
             + f" ({signature.signer})" for index, signature in enumerate(found)]
    for signature, who in zip(found, which):
        if signature.problems:
            raise Refused(f"{who}: {signature.problems[0]}")
        if not signature.timestamp and stamped:
            raise Refused(f"{who} carries no timestamp")
    verdicts = args.osslsigncode.verify(data, found, args.roots, offline=True)
    for signature, who, (trusted, said) in zip(found, which, verdicts):
        if not signature.timestamp:
            print(f"warning: {name}: {who} is not timestamped: it stops being valid on"
                  f" {signature.ends_on()}, when the certificate expires", file=sys.stderr)
        if not trusted and args.roots:
            raise Refused(f"{who} does not verify against the roots in {args.roots}: {said}")
        if not trusted:
            print(f"note: {name}: {who} holds, but osslsigncode does not verify it ({said}):"
                  " its chain may not reach a root that osslsigncode trusts; set LBW_SIGN_ROOTS"
                  " to the roots it must reach to have that checked", file=sys.stderr)


def sign(args, guardian, work):
    """Leaves the signed and checked program in work; returns its path."""
    stage = work / args.output.name  # the program's own name: signing tools go by it
    given = args.input.read_bytes()
    if args.keep_signed and authenticode.certificate_table(given)[1]:
        try:
            check(args, given, policy(args, fresh=False))
        except Refused as problem:
            raise Refused(f"{args.input.name} is signed already, and that signature does not hold:"
                          f" {problem}. The build never re-signs a signed file: give it as its"
                          " publisher signed it, or unsigned") from None
        print(f"{args.input.name} is signed already: kept as it stands")
        shutil.copyfile(args.input, stage)
        return stage
    if args.command:
        sign_with_command(args, guardian, stage)
    elif args.timestamp_url:
        unstamped = work / "unstamped" / args.output.name
        unstamped.parent.mkdir()
        sign_with_key(args, guardian, unstamped)
        timestamp(args, guardian, unstamped, stage)
    else:
        sign_with_key(args, guardian, stage)
    check(args, stage.read_bytes(), policy(args, fresh=True), given,
          stamped=bool(args.timestamp_url))
    return stage


def main():
    parser = argparse.ArgumentParser(description="Signs a Windows program.")
    parser.add_argument("input", type=Path)
    parser.add_argument("output", type=Path)
    parser.add_argument("--description", required=True)
    parser.add_argument("--osslsigncode", required=True, type=authenticode.Osslsigncode)
    for option in ("--cert", "--key", "--pkcs12", "--pkcs11-module", "--password-file",
                   "--command", "--roots"):
        parser.add_argument(option)
    parser.add_argument("--timestamp-url", action="append", default=[])
    parser.add_argument("--keep-signed", action="store_true")
    parser.add_argument("--discard", type=Path, action="append", default=[])
    args = parser.parse_args()

    signing = args.output.parent / "signing"
    work = signing / str(os.getpid())
    guardian = None
    try:
        args.root_certificates = authenticode.roots_in(Path(args.roots).read_bytes()) \
            if args.roots else None
        for path in (args.output, *args.discard):
            if path.is_dir() and not path.is_symlink():
                raise Refused(f"{path} is a folder: remove it")
            path.unlink(missing_ok=True)
        if signing.exists() and not signing.is_dir():
            raise Refused(f"{signing} is not a folder: remove it")
        for leftover in signing.glob("*"):  # of a run that could not clean up
            shutil.rmtree(leftover) if leftover.is_dir() else leftover.unlink()
        work.mkdir(parents=True)
        guardian = Guardian(work)
        os.replace(sign(args, guardian, work), args.output)
        return 0
    except Refused as problem:
        reason = str(problem)
    except OSError as error:
        reason = f"{error.filename}: {error.strerror}" if error.filename else str(error)
    finally:
        shutil.rmtree(work, ignore_errors=True)
        if guardian:
            guardian.tell("done")
    print(f"signing {args.output.name} failed: {reason}", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
