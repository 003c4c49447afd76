"""The Authenticode signature of a Windows program, as `osslsigncode verify`
reports it: who signed, with which digest, until when the certificate is
valid, and the RFC 3161 timestamp that keeps the signature valid after that.
Only the primary signature is read. Shared by tools/inspect and the build's
signing step (cmake/sign.py)."""
import dataclasses
import datetime
import shutil
import subprocess


@dataclasses.dataclass
class Signature:
    digest_algorithm: str  # "SHA256"
    intact: bool  # the digest the signature holds is the file's own
    signer: str  # the signing certificate's subject, "/CN=..."
    issuer: str
    valid_until: datetime.datetime | None  # the certificate's notAfter, UTC
    timestamp: datetime.datetime | None  # the countersignature's time, UTC
    authority: str | None  # the time-stamp authority's subject
    timestamp_verified: bool  # the authority's signature and chain verify
    verified: bool  # chain, digest and timestamp verify against the roots
    problem: str | None  # why verification failed, as osslsigncode says it

    def ends_on(self):
        """The day the certificate ends, "2026-12-11", or "unknown"."""
        return self.valid_until.strftime("%Y-%m-%d") if self.valid_until else "unknown"


def _time(text):
    """osslsigncode's (OpenSSL's) form, "Dec  9 13:09:35 2026 GMT"."""
    try:
        parsed = datetime.datetime.strptime(" ".join(text.split()), "%b %d %H:%M:%S %Y GMT")
    except ValueError:
        return None
    return parsed.replace(tzinfo=datetime.timezone.utc)


def _parse(report, succeeded):
    fields, section = {}, None
    for raw in report.splitlines():
        line = raw.strip()
        if line.startswith("Signature Index:") and "Primary" not in line:
            break  # a nested signature follows
        if line.endswith(":") and not raw.startswith("\t"):
            section = line[:-1]
            continue
        key, _, value = (part.strip() for part in line.partition(":"))
        if value and (section, key) not in fields:  # the first of each, the leaf's
            fields[(section, key)] = value
    top = lambda key: fields.get((None, key), "")
    signer = lambda key: fields.get(("Signer's certificate", key), "")
    stamp = fields.get(("Countersignatures", "Timestamp time"))
    current, calculated = top("Current message digest"), top("Calculated message digest")
    problems = [line.strip().removeprefix("Error:").strip() for line in report.splitlines()
                if line.strip().startswith("Error:")]
    return Signature(
        digest_algorithm=top("Message digest algorithm"),
        intact=bool(current) and current == calculated,
        signer=signer("Subject"),
        issuer=signer("Issuer"),
        valid_until=_time(signer("notAfter")),
        timestamp=_time(stamp) if stamp else None,
        authority=fields.get(("Timestamp verified using", "Subject")),
        timestamp_verified="Timestamp Server Signature verification: ok" in report,
        verified=succeeded,
        problem=None if succeeded else problems[0] if problems else "failed")


def read(path, ca=None, offline=False):
    """The signature of the program at path: (Signature, None), (None, None)
    for a program without one, or (None, why it could not be read). ca: a PEM
    file of the roots that the signer's and the authority's chains must reach;
    without it, the system's store. offline: fetch no revocation lists (the
    digest and the timestamp are read all the same)."""
    tool = shutil.which("osslsigncode")
    if not tool:
        return None, "osslsigncode is not installed"
    command = [tool, "verify", "-in", str(path)]
    if ca:
        command += ["-CAfile", ca, "-TSA-CAfile", ca]
    if offline:
        command += ["-ignore-cdp", "-ignore-crl"]
    try:
        run = subprocess.run(command, capture_output=True, text=True, errors="replace",
                             stdin=subprocess.DEVNULL, timeout=120)
    except (OSError, subprocess.SubprocessError) as error:
        return None, str(error)
    if "No signature found" in run.stdout + run.stderr:
        return None, None
    return _parse(run.stdout + "\n" + run.stderr, run.returncode == 0), None
