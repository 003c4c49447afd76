"""The Authenticode signatures of a Windows program, read from its own bytes:
the primary signature and every nested one, each with its signer, digest
algorithm, the certificate's end of validity and its timestamp, and what is
wrong with it as a file can show: a digest that is not the file's, a
signature its own certificate's key did not make, a timestamp that
countersigns another signature. Whether a signer's chain reaches trusted
roots is osslsigncode's verdict, asked of each signature on its own: only its
exit status is read, never its wording, which differs between versions.
Shared by tools/inspect and the build's signing step (cmake/sign.py)."""
import dataclasses
import datetime
import hashlib
import os
import re
import struct
import subprocess
import tempfile

from asn1crypto import cms, core, tsp
from cryptography import x509
from cryptography.exceptions import InvalidSignature, UnsupportedAlgorithm
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

STRONG_DIGESTS = ("SHA256", "SHA384", "SHA512")
_SECURITY_DIRECTORY = 4  # the certificate table: a file offset and a size
_NESTED = "microsoft_nested_signature"
_RFC3161 = "microsoft_time_stamp_token"
_COUNTERSIGNATURE = "counter_signature"  # the older Authenticode timestamp


class _DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", cms.DigestAlgorithm), ("digest", core.OctetString)]


class _IndirectData(core.Sequence):  # SpcIndirectDataContent
    _fields = [("data", core.Any), ("message_digest", _DigestInfo)]


@dataclasses.dataclass
class Timestamp:
    time: datetime.datetime | None  # UTC
    authority: str  # the time-stamp authority's subject, "/CN=..."
    # Why it does not vouch for its signature's time, or None: "countersigns
    # another signature", or "is damaged: ...".
    problem: str | None


@dataclasses.dataclass
class Signature:
    digest_algorithm: str  # of the file's digest, "SHA256"
    signer: str  # the signing certificate's subject, "/CN=..."
    issuer: str
    valid_until: datetime.datetime | None  # the certificate's notAfter, UTC
    timestamp: Timestamp | None
    problems: list[str]  # what the file shows to be wrong with it; empty: intact
    alone: bytes  # its PKCS#7 without nested signatures, for verify()

    def ends_on(self):
        """The day the certificate ends, "2026-12-11", or "unknown"."""
        return self.valid_until.strftime("%Y-%m-%d") if self.valid_until else "unknown"


def _header_fields(data):
    """(offset of the checksum, offset of the certificate table's directory
    entry) of a PE file, or None where it has no such entry."""
    if len(data) < 64 or data[:2] != b"MZ":
        return None
    optional = struct.unpack_from("<I", data, 0x3C)[0] + 24
    if data[optional - 24:optional - 20] != b"PE\0\0" or len(data) < optional + 2:
        return None
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)  # PE32 or PE32+
    entry = directories + 8 * _SECURITY_DIRECTORY
    if len(data) < entry + 8 or struct.unpack_from("<I", data, directories - 4)[0] <= 4:
        return None
    return optional + 64, entry


def certificate_table(data):
    """(offset, size) of the certificate table, (0, 0) where there is none."""
    fields = _header_fields(data)
    return struct.unpack_from("<II", data, fields[1]) if fields else (0, 0)


def program_digest(data, algorithm="sha256"):
    """The Authenticode digest of a program: all of it but the checksum, the
    certificate table's entry and the table itself. An unsigned file is taken
    as a signing tool pads it, to a multiple of 8 bytes."""
    fields = _header_fields(data)
    if not fields:
        raise ValueError("not a Windows program")
    checksum, entry = fields
    offset, size = certificate_table(data)
    end = offset if size else len(data)
    body = data[:end] if size else data + bytes(-len(data) % 8)
    digest = hashlib.new(algorithm)
    for part in (body[:checksum], body[checksum + 4:entry], body[entry + 8:]):
        digest.update(part)
    return digest.digest()


def _name(name):
    """A distinguished name as OpenSSL writes it on one line: "/C=DE/CN=..."."""
    short = {"common_name": "CN", "country_name": "C", "organization_name": "O",
             "organizational_unit_name": "OU", "locality_name": "L",
             "state_or_province_name": "ST", "email_address": "emailAddress",
             "serial_number": "serialNumber", "domain_component": "DC"}
    return "".join(f"/{short.get(pair['type'].native, pair['type'].dotted)}={pair['value'].native}"
                   for rdn in name.chosen for pair in rdn)


def _certificate(signer_info, certificates):
    """The certificate of a signer among those given, or None."""
    sid = signer_info["sid"]
    for choice in certificates:
        if choice.name != "certificate":
            continue
        cert = choice.chosen
        if sid.name == "issuer_and_serial_number":
            if (cert.issuer == sid.chosen["issuer"]
                    and cert.serial_number == sid.chosen["serial_number"].native):
                return cert
        elif cert.key_identifier == sid.chosen.native:
            return cert
    return None


def _signed_digest(signer_info):
    """The digest of the content that a signer's attributes say it signed."""
    attributes = {a["type"].native: a["values"][0] for a in signer_info["signed_attrs"] or []}
    return attributes["message_digest"].native if "message_digest" in attributes else None


def _verify_signer(signer_info, certificates, content):
    """Why the signer's signature over content does not hold, or None."""
    cert = _certificate(signer_info, certificates)
    if cert is None:
        return "the certificate of its signer is not in it"
    algorithm = signer_info["digest_algorithm"]["algorithm"].native
    signed = content
    if signer_info["signed_attrs"]:
        if _signed_digest(signer_info) != hashlib.new(algorithm, content).digest():
            return "what it signed is not what it holds"
        signed = b"\x31" + signer_info["signed_attrs"].dump()[1:]  # signed as a SET
    try:
        key = x509.load_der_x509_certificate(cert.dump()).public_key()
        hash_type = getattr(hashes, algorithm.upper())()
        value = signer_info["signature"].native
        if isinstance(key, rsa.RSAPublicKey):
            key.verify(value, signed, padding.PKCS1v15(), hash_type)
        elif isinstance(key, ec.EllipticCurvePublicKey):
            key.verify(value, signed, ec.ECDSA(hash_type))
        else:
            return f"its key type is not supported here ({type(key).__name__})"
    except InvalidSignature:
        return "its signature was not made by its certificate's key"
    except (AttributeError, UnsupportedAlgorithm, ValueError) as error:
        return f"its signature can't be checked ({error or type(error).__name__})"
    return None


def _timestamp(signer_info, certificates):
    """The timestamp of a signature, checked against it, or None: an RFC 3161
    token, or the older countersignature."""
    attributes = {a["type"].native: a["values"][0] for a in signer_info["unsigned_attrs"] or []}
    countersigned = signer_info["signature"].native
    if _RFC3161 in attributes:
        token = attributes[_RFC3161]["content"]
        certificates = token["certificates"]
        authority = token["signer_infos"][0]
        content = token["encap_content_info"]["content"].contents
        stamp = tsp.TSTInfo.load(content)
        imprint = stamp["message_imprint"]
        algorithm = imprint["hash_algorithm"]["algorithm"].native
        belongs = hashlib.new(algorithm, countersigned).digest() == imprint["hashed_message"].native
        time = stamp["gen_time"].native
    elif _COUNTERSIGNATURE in attributes:
        authority = attributes[_COUNTERSIGNATURE]
        content = countersigned
        algorithm = authority["digest_algorithm"]["algorithm"].native
        belongs = _signed_digest(authority) == hashlib.new(algorithm, countersigned).digest()
        signed = {a["type"].native: a["values"][0] for a in authority["signed_attrs"] or []}
        time = signed["signing_time"].native if "signing_time" in signed else None
    else:
        return None
    problem = _verify_signer(authority, certificates, content)
    cert = _certificate(authority, certificates)
    return Timestamp(time, _name(cert.subject) if cert else "unknown",
                     "countersigns another signature" if not belongs else
                     f"is damaged: {problem}" if problem else None)


def _signature(data, info):
    """One signature (a ContentInfo of SignedData) of the program in data."""
    signed_data = info["content"]
    signer_info = signed_data["signer_infos"][0]
    certificates = signed_data["certificates"] or []
    body = signed_data["encap_content_info"]["content"].parsed.untag()
    indirect = _IndirectData.load(body.dump())
    algorithm = indirect["message_digest"]["digest_algorithm"]["algorithm"].native
    problems = []
    try:
        intact = program_digest(data, algorithm) == indirect["message_digest"]["digest"].native
    except ValueError:
        intact = False
    if not intact:
        problems.append("its digest does not match the file")
    problem = _verify_signer(signer_info, certificates, body.contents)
    if problem:
        problems.append(f"it is damaged: {problem}")
    timestamp = _timestamp(signer_info, certificates)
    if timestamp and timestamp.problem:
        problems.append(f"its timestamp {timestamp.problem}")
    cert = _certificate(signer_info, certificates)
    return Signature(
        digest_algorithm=algorithm.upper().replace("_", ""),
        signer=_name(cert.subject) if cert else "unknown",
        issuer=_name(cert.issuer) if cert else "unknown",
        valid_until=cert["tbs_certificate"]["validity"]["not_after"].native if cert else None,
        timestamp=timestamp,
        problems=problems,
        alone=_without_nested(info))


def _without_nested(info):
    """The PKCS#7 of a signature without the signatures nested in it."""
    copy = cms.ContentInfo.load(info.dump())
    signer_info = copy["content"]["signer_infos"][0]
    kept = [a for a in signer_info["unsigned_attrs"] or [] if a["type"].native != _NESTED]
    if len(kept) == len(signer_info["unsigned_attrs"] or []):
        return info.dump()
    signer_info["unsigned_attrs"] = cms.CMSAttributes(kept) if kept else core.Void()
    return copy.dump()


def signatures(data):
    """The signatures of the program in data, the primary one first, then the
    nested ones in their order: (list, None), ([], None) for a file without
    any, or (None, why they can't be read)."""
    offset, size = certificate_table(data)
    if not size:
        return [], None
    if offset + size > len(data) or size < 8:
        return None, "its certificate table lies outside the file"
    length, _, kind = struct.unpack_from("<IHH", data, offset)
    if kind != 2 or not 8 < length <= size:  # WIN_CERT_TYPE_PKCS_SIGNED_DATA
        return None, f"its certificate table holds no PKCS#7 signature (type {kind})"
    try:
        primary = cms.ContentInfo.load(data[offset + 8:offset + length], strict=False)
        infos = [primary] + [a["values"][0] for a in
                             primary["content"]["signer_infos"][0]["unsigned_attrs"] or []
                             if a["type"].native == _NESTED]
        return [_signature(data, info) for info in infos], None
    except (ValueError, TypeError, KeyError, IndexError) as error:
        return None, f"its signature is not readable PKCS#7 ({error})"


def _alone_in(data, signature):
    """The program in data with only this signature in its certificate table."""
    offset, _ = certificate_table(data)
    entry = _header_fields(data)[1]
    table = signature.alone + bytes(-len(signature.alone) % 8)
    head = bytearray(data[:offset])
    struct.pack_into("<II", head, entry, offset, len(table) + 8)
    return bytes(head) + struct.pack("<IHH", len(table) + 8, 0x200, 2) + table


class Osslsigncode:
    """One osslsigncode, its version read once (None: it does not run)."""

    def __init__(self, path):
        self.path = path
        try:
            said = subprocess.run([path, "--version"], capture_output=True, text=True,
                                  errors="replace", stdin=subprocess.DEVNULL, timeout=60).stdout
        except (OSError, TypeError, subprocess.SubprocessError):  # TypeError: no path at all
            said = ""
        found = re.match(r"osslsigncode (\d+)\.(\d+)", said)
        self.version = (int(found[1]), int(found[2])) if found else None

    def verify(self, data, signature, roots=None, offline=False):
        """Whether this signature alone verifies, chain and timestamp, against
        the roots in a PEM file (None: osslsigncode's default store):
        (True, None) or (False, osslsigncode's last line). offline: fetch no
        revocation lists (before 2.8, osslsigncode fetches none)."""
        command = [self.path, "verify"]
        if roots:
            command += ["-CAfile", roots, "-TSA-CAfile", roots]
        if offline and self.version and self.version >= (2, 8):
            command += ["-ignore-cdp"]
        with tempfile.TemporaryDirectory() as folder:
            copy = os.path.join(folder, "program.exe")
            with open(copy, "wb") as f:
                f.write(_alone_in(data, signature))
            try:
                run = subprocess.run(command + ["-in", copy], capture_output=True, text=True,
                                     errors="replace", stdin=subprocess.DEVNULL, timeout=120)
            except (OSError, subprocess.SubprocessError) as error:
                return False, str(error)
        if run.returncode == 0:
            return True, None
        # Only for a person to read: the last words of its first error line.
        output = run.stdout + run.stderr
        errors = [line for line in output.splitlines() if "error:" in line.lower()]
        return False, errors[0].rsplit(": ", 1)[-1].strip() if errors else (
            f"exit status {run.returncode}")
