"""python3 -m release.authenticode.sign INPUT OUTPUT --description TEXT --osslsigncode PATH
                                    (key files | token | --command CMD)
Signs a Windows program with an Authenticode signature and writes it to
OUTPUT. OUTPUT is removed first and comes back only in one rename, once the
signed program is checked by pe_signature.py and judging.py, as tools/inspect
checks it: the certificate table as Windows requires it, the digest the
file's and SHA-256 or stronger, the signer's certificate usable then, the timestamp
(where asked for or present) made just now for this very signature by an
authority that may make it, the program the one given with a signature added,
and, where roots are given, the signer's and the authority's chains reaching
them. A certificate in a file is judged before the key is used. So a kill at
any moment leaves no program at OUTPUT, and a failure too: exit status 1, one
line on standard error that names the cause; the output of a tool or command
that failed comes before it, on lines of its own, and never in it.

The work happens under signing/ beside OUTPUT, which one build at a time
holds (a lock on that folder: another build waits for it, up to LOCK_LIMIT
seconds, saying so): in a folder of its own, which this run removes at its
end, and a guardian process removes should this run be killed. Every tool
runs under a keeper that the system signals when this run ends, however it
ends, and that then kills the tool with everything it started: no tool
outlives the run, even with its guardian killed too. A program signed but not
yet timestamped is never on disk under a name: it is read and its name
removed the moment osslsigncode has written it.

  --osslsigncode PATH  the tool that signs, timestamps and checks chains
  key files            --cert PEM --key PEM, or --pkcs12 FILE
  token                --pkcs11-module LIB --key URI --cert (PEM | URI)
  --password-file F    the key's password or the token's PIN: only the file's
                       name is ever on a command line
  --timestamp-url URL  an RFC 3161 server; several are tried in the given order
  --command CMD        a shell command that signs {file} in place and
                       timestamps on its own; {file} may stand bare or inside
                       quotes, and its path reaches the shell in LBW_SIGN_FILE
  --roots PEM          the roots the signer's and the authority's chains must
                       reach; without it, a chain that osslsigncode's store
                       does not trust is said, not refused
  --keep-signed        an INPUT signed already is kept as it stands, where
                       that signature passes the same checks
  --discard FILE       a file made from OUTPUT or what OUTPUT goes into,
                       removed with it when signing starts, and not remade
                       unless signing succeeds
"""
import argparse
import ctypes
import fcntl
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.serialization import pkcs12

from release.authenticode import judging, pe_signature
from release.authenticode.osslsigncode import Osslsigncode

TOOL_LIMIT = 300  # seconds for signing: a token or a service may be slow, never stuck
SERVER_LIMIT = 20  # seconds for one time-stamp server: a working one answers within a few
LOCK_LIMIT = 600  # seconds to wait for another build's signing in the same folder
_PR_SET_PDEATHSIG = 1  # prctl(2): the signal a process gets when its parent ends
# What libp11 (the PKCS#11 engine osslsigncode uses) says for CKR_PIN_INCORRECT,
# CKR_PIN_INVALID, CKR_PIN_LEN_RANGE, CKR_PIN_EXPIRED and CKR_PIN_LOCKED.
_PIN_REFUSED = re.compile(r"PIN (incorrect|invalid|expired|locked)|Invalid PIN length")
# What the build sets for this step alone (cmake/Signing.cmake), to find and
# run this package: the tools it starts get the build's environment without.
_STEP_ONLY = ("PYTHONPATH", "PYTHONDONTWRITEBYTECODE")


class Refused(Exception):
    """Why the program is not signed: the one line the build shows."""


class Guardian:
    """A process in a session of its own, so that a kill of the build's
    process groups spares it. It watches a pipe that only this run holds:
    when the pipe ends without this run saying it is done, it kills the
    process groups of the tools this run started and removes the work folder,
    holding the lock on signing/ until then."""

    def __init__(self, folder, lock):
        reading, self._pipe = os.pipe()
        if os.fork() == 0:
            try:
                os.close(self._pipe)
                os.setsid()
                quiet = os.open(os.devnull, os.O_RDWR)
                for fd in (0, 1, 2):
                    os.dup2(quiet, fd)
                low, high = sorted((reading, lock))
                for start, end in ((3, low), (low + 1, high), (high + 1, 1 << 16)):
                    os.closerange(start, end)
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


def in_group(command):
    """The keeper a tool runs under, leader of the tool's process group: runs
    the command (argv) and returns its exit status. The system sends the
    keeper SIGTERM when the signing step that started it ends (asked for
    before it started, see run()); it then kills its whole group."""
    signal.signal(signal.SIGTERM, lambda *_: os.killpg(0, signal.SIGKILL))
    try:
        status = subprocess.call(command, close_fds=False, env={
            name: value for name, value in os.environ.items() if name not in _STEP_ONLY})
    except OSError as error:
        print(f"{command[0]}: {error.strerror}", flush=True)
        return 127
    return status if status >= 0 else 128 - status


def run(guardian, command, limit, fds=(), env=None):
    """Runs a tool (argv) under its keeper in a process group of its own,
    without a terminal to prompt on, and kills the whole group after limit
    seconds. Returns its exit status (None after the limit) and the lines it
    wrote, which stay out of the error line."""
    step = os.getpid()
    libc = ctypes.CDLL(None, use_errno=True)

    def die_with_step():  # in the keeper's process, before it starts
        libc.prctl(_PR_SET_PDEATHSIG, signal.SIGTERM)
        if os.getppid() != step:  # ended already, before it could be asked
            os._exit(1)

    try:
        tool = subprocess.Popen([sys.executable, "-P", "-m", __spec__.name, "--in-group", *command],
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, errors="replace",
                                start_new_session=True, preexec_fn=die_with_step, pass_fds=fds,
                                env=env)
    except OSError as error:
        return -1, [error.strerror]
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
        status = None
    guardian.tell(f"-{tool.pid}")
    return status, [line.rstrip() for line in said.splitlines() if line.strip()]


def show(who, lines):
    """Writes what a failed tool said to the build's log, on lines of its own."""
    if lines:
        print(f"{who} said:", file=sys.stderr)
        print("\n".join(f"  | {line}" for line in lines), file=sys.stderr)


def password(args):
    """The password or PIN in the password file, as osslsigncode reads it, or None."""
    if not args.password_file:
        return None
    return Path(args.password_file).read_bytes().rstrip(b"\r\n")


def private_key(args, secret):
    """The key in the key file, opened with the password, for judging it."""
    data = Path(args.key).read_bytes()
    try:
        return serialization.load_pem_private_key(data, secret)
    except TypeError:  # a password for a key without one, or none for one with one
        if secret is None:
            raise Refused(f"the key {args.key} is encrypted: put its password into a file named"
                          " by LBW_SIGN_PASSWORD_FILE") from None
        return serialization.load_pem_private_key(data, None)
    except ValueError:
        raise Refused(f"the password in {args.password_file} is wrong for the key {args.key}"
                      if b"ENCRYPTED" in data else f"{args.key} holds no readable private key"
                      ) from None


def signing_certificate(args):
    """The certificate the key in files signs with (asn1crypto), checked to
    belong to it, or the first one of a token's PEM file; None where the
    certificate is in a token."""
    secret = password(args)
    if args.pkcs12:
        try:
            key, cert, _ = pkcs12.load_key_and_certificates(Path(args.pkcs12).read_bytes(), secret)
        except ValueError:
            raise Refused(f"the password in {args.password_file} does not open {args.pkcs12} (or it"
                          " is no PKCS#12 file)" if secret else f"{args.pkcs12} can't be opened"
                          " without a password: name its file in LBW_SIGN_PASSWORD_FILE") from None
        if cert is None:
            raise Refused(f"{args.pkcs12} holds no certificate")
        return judging.certificate(cert.public_bytes(serialization.Encoding.DER))
    if args.cert.startswith("pkcs11:"):
        return None
    certs = judging.roots_in(Path(args.cert).read_bytes())
    if not certs:
        raise Refused(f"{args.cert} holds no PEM certificate")
    if args.pkcs11_module:
        return certs[0]
    public = private_key(args, secret).public_key().public_bytes(
        serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
    for cert in certs:
        if cert.public_key.dump() == public:
            return cert
    raise Refused(f"the key {args.key} belongs to no certificate in {args.cert}")


def judge_signer(args):
    """Refuses a certificate in a file that can't make a signature that holds
    now, before its key is used; one in a token is judged on what it signs."""
    cert = signing_certificate(args)
    problem = cert and judging.signer_problem(cert, judging.Policy().now)
    if problem:
        raise Refused(f"the signing certificate {judging.subject(cert)} can't be used: it"
                      f" {problem}")
    small = cert and judging.key_problem(cert.public_key, judging.PUBLIC_RSA_BITS)
    if small:
        print(f"warning: the signing certificate {judging.subject(cert)} {small} for a publicly"
              " trusted code-signing certificate issued since June 2021; Windows takes it",
              file=sys.stderr)


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
    if status == 0 and signed.exists():
        return
    show("osslsigncode sign", said)
    pin = _PIN_REFUSED.search("\n".join(said)) if args.pkcs11_module else None
    if pin:
        raise Refused(f"the token refused the PIN in {args.password_file} ({pin[0]})")
    if status is None:
        raise Refused(f"osslsigncode gave no answer within {TOOL_LIMIT} s")
    raise Refused(f"osslsigncode could not sign (exit status {status}){_token_hint(args)}")


def _token_hint(args):
    """Why a token may not have been found: SoftHSM2 looks for its tokens
    where SOFTHSM2_CONF says, and a new shell that runs the build may not
    have it, when the one that made the token had."""
    if "softhsm" in os.path.basename(args.pkcs11_module or "") and \
            not os.environ.get("SOFTHSM2_CONF"):
        return ("; SOFTHSM2_CONF is not set in the shell that runs the build, so SoftHSM2 looks"
                " for the token where /etc/softhsm/softhsm2.conf says: export it there")
    return ""


def timestamp(args, guardian, unstamped, stage):
    """Writes the signed program open at the descriptor unstamped with a
    timestamp to stage, from the first server whose answer is a timestamp
    made just now of this signature by an authority that may make it."""
    failures = []
    for url in args.timestamp_url:
        stage.unlink(missing_ok=True)  # what an earlier server's try left
        status, said = run(guardian, [args.osslsigncode.path, "add", "-ts", url, "-h", "sha256",
                                      "-in", f"/dev/fd/{unstamped}", "-out", stage],
                           SERVER_LIMIT, fds=(unstamped,))
        if status == 0 and stage.exists():
            found, reason = judging.signatures(stage.read_bytes(), policy(args, fresh=True))
            stamp = found[0].timestamp if found else None
            if stamp and not stamp.problem:
                return
            why = f"its timestamp {stamp.problem}" if stamp else reason or "it added no timestamp"
        else:
            show(f"osslsigncode add -ts {url}", said)
            why = f"no answer within {SERVER_LIMIT} s" if status is None else (
                f"no timestamp, exit status {status}")
        failures.append(f"{url} ({why})")
    stage.unlink(missing_ok=True)
    raise Refused("no time-stamp server gave a timestamp: " + ", ".join(failures))


def shell_command(command):
    """The signing command with each {file} in it standing for the path in
    $LBW_SIGN_FILE, quoted to suit where it stands: bare, inside double
    quotes or inside single quotes. The path itself is never part of the text."""
    words, quote, at = [], None, 0
    while at < len(command):
        if command.startswith("{file}", at):
            words.append({None: '"$LBW_SIGN_FILE"', '"': "$LBW_SIGN_FILE",
                          "'": "'\"$LBW_SIGN_FILE\"'"}[quote])
            at += len("{file}")
            continue
        char = command[at]
        if char == "\\" and quote != "'":  # escapes the next character
            words.append(command[at:at + 2])
            at += 2
            continue
        if char in "'\"" and quote in (None, char):
            quote = None if quote else char
        words.append(char)
        at += 1
    return "".join(words)


def sign_with_command(args, guardian, stage):
    """Runs the publisher's command on stage, a copy of INPUT."""
    shutil.copyfile(args.input, stage)
    status, said = run(guardian, ["/bin/sh", "-c", shell_command(args.command)], TOOL_LIMIT,
                       env={**os.environ, "LBW_SIGN_FILE": str(stage)})
    if status != 0:
        show("the signing command", said)
        raise Refused(f"the signing command exited with {status}" if status is not None else
                      f"the signing command was stopped after {TOOL_LIMIT} s")


def policy(args, fresh):
    """What the signatures are judged against: now, the roots where given, and
    for a signature made by this run, a timestamp made just now."""
    return judging.Policy(roots=args.root_certificates, fresh=judging.FRESH if fresh else None)


def check(args, data, judged, given=None, stamped=False):
    """Refuses a signed program whose signatures do not hold as tools/inspect
    judges them (under the policy judged), that lacks a timestamp where
    stamped, or whose chains do not reach the roots where they are given.
    given: the program before signing, which must be the same program apart
    from the signature. Says what it could not check, and warns of a
    signature without a timestamp."""
    found, reason = judging.signatures(data, judged)
    if reason:
        raise Refused(f"its signature does not hold: {reason}")
    if not found:
        raise Refused("it carries no signature")
    digest = pe_signature.program_digest
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
    if args.keep_signed and pe_signature.certificate_table(given)[1]:
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
    else:
        judge_signer(args)
    if args.timestamp_url and not args.command:
        unstamped = work / f"{args.output.name}.unstamped"
        sign_with_key(args, guardian, unstamped)
        held = os.open(unstamped, os.O_RDONLY)
        unstamped.unlink()  # open here only until it is timestamped
        try:
            timestamp(args, guardian, held, stage)
        finally:
            os.close(held)
    elif not args.command:
        sign_with_key(args, guardian, stage)
    check(args, stage.read_bytes(), policy(args, fresh=True), given,
          stamped=bool(args.timestamp_url))
    return stage


def lock(signing):
    """Takes the lock on the signing folder, which one build's signing step at
    a time holds, waiting for another build's up to LOCK_LIMIT seconds.
    Returns the descriptor that holds it, and whether it waited."""
    held = os.open(signing, os.O_RDONLY | os.O_DIRECTORY)
    until = time.monotonic() + LOCK_LIMIT
    said = False
    while True:
        try:
            fcntl.flock(held, fcntl.LOCK_EX | fcntl.LOCK_NB)
            return held, said
        except BlockingIOError:
            pass
        holder = ", ".join(sorted(entry.name for entry in signing.iterdir())) or "starting"
        if time.monotonic() > until:
            os.close(held)
            raise Refused(f"{signing} is in use by another build's signing step (process {holder})"
                          f" for over {LOCK_LIMIT} s: let it end, or build in another folder")
        if not said:
            print(f"waiting for another build's signing step in {signing} (process {holder}) to"
                  f" end, up to {LOCK_LIMIT} s", file=sys.stderr, flush=True)
            said = True
        time.sleep(0.2)


def signed_meanwhile(args, before):
    """Whether the build this run waited for left OUTPUT (before: its stat
    then, or None) signed anew from this very INPUT, passing the checks this
    run would make: then it stays as it is, and what the other build makes
    from it next is not pulled away from it."""
    try:
        after = args.output.stat()
        if before and (before.st_ino, before.st_mtime_ns) == (after.st_ino, after.st_mtime_ns):
            return False
        check(args, args.output.read_bytes(), policy(args, fresh=True), args.input.read_bytes(),
              stamped=bool(args.timestamp_url))
    except (OSError, Refused):
        return False
    return True


def main():
    parser = argparse.ArgumentParser(description="Signs a Windows program.")
    parser.add_argument("input", type=Path)
    parser.add_argument("output", type=Path)
    parser.add_argument("--description", required=True)
    parser.add_argument("--osslsigncode", required=True, type=Osslsigncode)
    for option in ("--cert", "--key", "--pkcs12", "--pkcs11-module", "--password-file",
                   "--command", "--roots"):
        parser.add_argument(option)
    parser.add_argument("--timestamp-url", action="append", default=[])
    parser.add_argument("--keep-signed", action="store_true")
    parser.add_argument("--discard", type=Path, action="append", default=[])
    args = parser.parse_args()

    signing = args.output.parent / "signing"
    work = signing / str(os.getpid())
    guardian = held = None
    try:
        args.root_certificates = judging.roots_in(Path(args.roots).read_bytes()) \
            if args.roots else None
        if signing.exists() and not signing.is_dir():
            raise Refused(f"{signing} is not a folder: remove it")
        signing.mkdir(parents=True, exist_ok=True)
        before = args.output.stat() if args.output.is_file() else None
        held, waited = lock(signing)
        if waited and signed_meanwhile(args, before):
            print(f"{args.output.name} was signed by the build waited for: kept as it is")
            return 0
        for path in (args.output, *args.discard):
            if path.is_dir() and not path.is_symlink():
                raise Refused(f"{path} is a folder: remove it")
            path.unlink(missing_ok=True)
        for leftover in signing.iterdir():  # of a run killed with its guardian
            shutil.rmtree(leftover) if leftover.is_dir() else leftover.unlink()
        work.mkdir()
        guardian = Guardian(work, held)
        os.replace(sign(args, guardian, work), args.output)
        return 0
    except Refused as problem:
        reason = str(problem)
    except OSError as error:
        reason = f"{error.filename}: {error.strerror}" if error.filename else str(error)
    finally:
        if held is not None:
            shutil.rmtree(work, ignore_errors=True)
        if guardian:
            guardian.tell("done")
        if held is not None:
            os.close(held)
    print(f"signing {args.output.name} failed: {reason}", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(in_group(sys.argv[2:]) if sys.argv[1:2] == ["--in-group"] else main())
