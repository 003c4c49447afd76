"""The Authenticode signatures of a Windows program, read from its own bytes
and judged by the rules Windows and the code-signing baseline requirements
apply: the primary signature and every nested one, each with its signer,
digest algorithm, the certificate's end of validity and its timestamp, and
every reason it does not hold, each naming what was seen. Shared by
tools/inspect and the build's signing step (cmake/sign.py).

The rules, and where each comes from:
[PE]      Microsoft, "PE Format", section "The Attribute Certificate Table
          (Image Only)": the table's entries are WIN_CERTIFICATE structures
          (dwLength, wRevision, wCertificateType, then the certificate), each
          starting on an 8-byte (quadword) boundary and padded with zeros to
          the next one; the table's size is the sum of its entries' lengths
          rounded up to 8; WIN_CERT_REVISION_2_0 (0x0200) is the current
          revision, WIN_CERT_TYPE_PKCS_SIGNED_DATA (0x0002) holds a PKCS#7
          SignedData.
[AUTH]    Microsoft, "Windows Authenticode Portable Executable Signature
          Format": the table lies at the end of the file, after the sections;
          the file's digest covers everything but the checksum, the table's
          directory entry and the table; SignedData holds exactly one
          SignerInfo, its content an SpcIndirectDataContent.
[2915720] Microsoft Security Advisory 2915720 (EnableCertPaddingCheck): with
          the check on, Windows takes a file as unsigned where anything but
          zero padding to the next 8-byte boundary follows the PKCS#7 in its
          entry.
[RFC3161] RFC 3161: a time-stamp authority's certificate carries exactly one
          extended key usage, timeStamping, marked critical (section 2.3); its
          token names that certificate in an ESS signingCertificate attribute
          (section 2.4.1; RFC 5816 section 2.2.1: signingCertificateV2 too).
[CSBR]    CA/Browser Forum, "Baseline Requirements for the Issuance and
          Management of Publicly-Trusted Code Signing Certificates" 3.7:
          section 6.1.5.2, the keys of code-signing and time-stamp
          certificates are RSA of at least 3072 bits, or ECDSA on P-256,
          P-384 or P-521; section 7.1.2.3, a code-signing certificate carries
          the codeSigning extended key usage and the digitalSignature key
          usage; section 7.1.3.2.1 and 1.2.2, no SHA-1 in signatures or
          timestamp tokens. Windows itself refuses RSA keys under 1024 bits
          (Microsoft Security Advisory 2661254), which the minimum covers.

Whether a signer's chain reaches trusted roots is osslsigncode's verdict,
asked of the real file and, where it holds several signatures, of each one
alone: only its exit status is read, never its wording, which differs between
versions. osslsigncode's exit status says nothing about a timestamp (it
falls back to the current time when one fails), so timestamps are judged
here, their authority's chain too where roots are given."""
import array
import dataclasses
import datetime
import hashlib
import os
import re
import struct
import subprocess
import tempfile

from asn1crypto import cms, core, pem, tsp
from asn1crypto import x509 as asn1_x509
from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

STRONG_DIGESTS = ("SHA256", "SHA384", "SHA512")
SIGNER_RSA_BITS = 3072  # [CSBR] 6.1.5.2: a certificate issued now, for a signature made now
# [CSBR] 6.1.5 before 2021-06-01 (section 1.2.2): what a signature made earlier
# may carry; Microsoft's own signatures, such as the loader library's, still do.
SIGNED_RSA_BITS = 2048
# [CSBR] 6.1.5.2 asks the same of time-stamp authorities, but authorities
# that public code signing relies on still countersign with 2048-bit keys,
# the minimum NIST SP 800-131A allows for signatures.
AUTHORITY_RSA_BITS = 2048
CURVES = ("secp256r1", "secp384r1", "secp521r1")  # [CSBR] 6.1.5.2
FRESH = datetime.timedelta(minutes=10)  # a timestamp made now: the clocks' allowed gap
_SECURITY_DIRECTORY = 4  # the certificate table: a file offset and a size
_REVISION_2_0 = 0x0200  # [PE] WIN_CERT_REVISION_2_0
_PKCS_SIGNED_DATA = 0x0002  # [PE] WIN_CERT_TYPE_PKCS_SIGNED_DATA
_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"  # [AUTH] SPC_INDIRECT_DATA_OBJID
_TST_INFO = "1.2.840.113549.1.9.16.1.4"  # [RFC3161] id-ct-TSTInfo
_NESTED = "microsoft_nested_signature"
_NESTED_OID = "1.3.6.1.4.1.311.2.4.1"
_RFC3161 = "microsoft_time_stamp_token"
_COUNTERSIGNATURE = "counter_signature"  # the older Authenticode timestamp
_DEPTH = 32  # ASN.1 nesting that no signature comes near


class _DigestInfo(core.Sequence):
    _fields = [("digest_algorithm", cms.DigestAlgorithm), ("digest", core.OctetString)]


class _IndirectData(core.Sequence):  # SpcIndirectDataContent
    _fields = [("data", core.Any), ("message_digest", _DigestInfo)]


@dataclasses.dataclass
class Policy:
    """What a signature is judged against besides its own file. now: the time
    a signature without a valid timestamp must hold at. roots: certificates
    (asn1crypto) that a timestamp's authority must chain to, or None to leave
    that chain unjudged. fresh: where set, a timestamp must lie this close to
    now (one made while signing). rsa_bits: the smallest RSA key a signer's
    certificate may have (SIGNER_RSA_BITS for a signature made now)."""
    now: datetime.datetime = dataclasses.field(
        default_factory=lambda: datetime.datetime.now(datetime.timezone.utc))
    roots: list | None = None
    fresh: datetime.timedelta | None = None
    rsa_bits: int = SIGNED_RSA_BITS


@dataclasses.dataclass
class Timestamp:
    time: datetime.datetime | None  # UTC
    authority: str  # the time-stamp authority's subject, "/CN=..."
    problem: str | None  # why it does not vouch for its signature's time, or None


@dataclasses.dataclass
class Signature:
    digest_algorithm: str  # of the file's digest, "SHA256"
    signer: str  # the signing certificate's subject, "/CN=..."
    issuer: str
    valid_until: datetime.datetime | None  # the certificate's notAfter, UTC
    timestamp: Timestamp | None
    problems: list[str]  # why it does not hold, from the file alone; empty: it holds
    alone: bytes  # its PKCS#7 without nested signatures, for Osslsigncode.verify()

    def ends_on(self):
        """The day the certificate ends, "2026-12-11", or "unknown"."""
        return self.valid_until.strftime("%Y-%m-%d") if self.valid_until else "unknown"


def _header_fields(data):
    """(offset of the checksum, offset of the certificate table's directory
    entry, end of the headers and sections) of a PE file, or None where it
    has no such entry."""
    if len(data) < 64 or data[:2] != b"MZ":
        return None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe + 24
    if data[pe:pe + 4] != b"PE\0\0" or len(data) < optional + 64:
        return None
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)  # PE32 or PE32+
    entry = directories + 8 * _SECURITY_DIRECTORY
    table = optional + optional_size
    if (len(data) < entry + 8 or len(data) < table + 40 * sections
            or struct.unpack_from("<I", data, directories - 4)[0] <= _SECURITY_DIRECTORY):
        return None
    end = struct.unpack_from("<I", data, optional + 60)[0]  # SizeOfHeaders
    for at in range(table, table + 40 * sections, 40):
        size, start = struct.unpack_from("<II", data, at + 16)  # SizeOfRawData, PointerToRawData
        end = max(end, start + size if size else 0)
    return optional + 64, entry, end


def certificate_table(data):
    """(offset, size) of the certificate table, (0, 0) where there is none."""
    fields = _header_fields(data)
    return struct.unpack_from("<II", data, fields[1]) if fields else (0, 0)


def program_digest(data, algorithm="sha256"):
    """The Authenticode digest of a program [AUTH]: all of it but the
    checksum, the certificate table's entry and the table itself, which
    _pkcs7() has found to end the file. An unsigned file is taken as a
    signing tool pads it, to a multiple of 8 bytes."""
    fields = _header_fields(data)
    if not fields:
        raise ValueError("not a Windows program")
    checksum, entry, _ = fields
    offset, size = certificate_table(data)
    body = data[:offset] if size else data + bytes(-len(data) % 8)
    digest = hashlib.new(algorithm)
    for part in (body[:checksum], body[checksum + 4:entry], body[entry + 8:]):
        digest.update(part)
    return digest.digest()


def _element(octets, at, end):
    """(start of contents, end of contents) of the BER element at `at`, or a
    str: why it is not one of definite length within `end`."""
    tag = octets[at]
    at += 1
    if tag & 0x1F == 0x1F:  # a tag number in further bytes
        while at < end and octets[at] & 0x80:
            at += 1
        at += 1
    if at >= end:
        return "an element is cut short"
    length = octets[at]
    at += 1
    if length == 0x80:
        return f"it uses an indefinite length (BER) at byte {at - 1}, where DER is required"
    if length & 0x80:
        count = length & 0x7F
        if count > 4 or at + count > end:
            return f"a length at byte {at - 1} is out of range"
        length = int.from_bytes(octets[at:at + count], "big")
        at += count
    if at + length > end:
        return f"an element at byte {at} runs {_bytes(at + length - end)} past its end"
    return at, at + length


def _der_problem(octets):
    """Why octets are not one ASN.1 element of definite lengths throughout,
    every constructed element exactly filled by its children, or None. A
    plain walk, linear in the size: asn1crypto takes minutes over some
    indefinite lengths, so it gets only what passes here."""
    if not octets:
        return "it is empty"
    spans = [(0, len(octets), 0)]
    while spans:
        at, end, depth = spans.pop()
        if depth > _DEPTH:
            return f"it nests deeper than {_DEPTH} levels"
        while at < end:
            element = _element(octets, at, end)
            if isinstance(element, str):
                return element
            if octets[at] & 0x20:  # constructed: its contents are elements too
                spans.append((*element, depth + 1))
            at = element[1]
            if depth == 0 and at != len(octets):
                return f"{_bytes(len(octets) - at)} follow it"
    return None


def _pkcs7(data):
    """The PKCS#7 of a program's one certificate entry: (bytes, None),
    (None, None) for a file without a certificate table, or (None, why the
    table breaks a rule)."""
    fields = _header_fields(data)
    offset, size = certificate_table(data)
    if not fields or not size:
        return None, None
    table = f"its certificate table (offset {offset:#x}, size {size})"
    if offset % 8:  # [PE] quadword-aligned entries
        return None, f"{table} does not start on an 8-byte boundary"
    if offset < fields[2]:  # [AUTH] after the sections
        return None, f"{table} starts inside the program's headers or sections (they end at" \
                     f" {fields[2]:#x})"
    if offset + size != len(data):  # [AUTH] at the end of the file
        extra = len(data) - offset - size
        return None, f"{table} is not the end of the file: " + (
            f"{_bytes(extra)} follow{'s' * (extra == 1)} it" if extra > 0 else
            f"the file ends {_bytes(-extra)} before it")
    if size < 8:
        return None, f"{table} is too small for a WIN_CERTIFICATE"
    length, revision, kind = struct.unpack_from("<IHH", data, offset)
    if length < 8 or (length + 7) // 8 * 8 != size:  # [PE] the sum of the rounded lengths
        return None, f"{table} does not hold exactly one entry: its first entry's dwLength is" \
                     f" {length}, which rounds to {(length + 7) // 8 * 8}"
    if revision != _REVISION_2_0:  # [PE]
        return None, f"its certificate entry's wRevision is {revision:#06x}, not 0x0200" \
                     " (WIN_CERT_REVISION_2_0)"
    if kind != _PKCS_SIGNED_DATA:  # [PE]
        return None, f"its certificate entry's wCertificateType is {kind:#06x}, not 0x0002" \
                     " (WIN_CERT_TYPE_PKCS_SIGNED_DATA)"
    entry = data[offset + 8:offset + length]
    outer = _element(entry, 0, len(entry)) if len(entry) > 1 else "it is empty"
    if isinstance(outer, str):
        return None, f"its signature is not DER: {outer}"
    tail = data[offset + 8 + outer[1]:]  # [2915720] only zero padding under 8 bytes
    if len(tail) >= 8 or any(tail):
        return None, f"{_bytes(len(tail))} ({tail[:8].hex()}...) follow the PKCS#7 in its" \
                     " certificate entry, where only zero padding to the next 8-byte boundary" \
                     " may (EnableCertPaddingCheck)"
    problem = _der_problem(entry[:outer[1]])
    return (None, f"its signature is not DER: {problem}") if problem else (entry[:outer[1]], None)


def _name(name):
    """A distinguished name as OpenSSL writes it on one line: "/C=DE/CN=..."."""
    short = {"common_name": "CN", "country_name": "C", "organization_name": "O",
             "organizational_unit_name": "OU", "locality_name": "L",
             "state_or_province_name": "ST", "email_address": "emailAddress",
             "serial_number": "serialNumber", "domain_component": "DC"}
    return "".join(f"/{short.get(pair['type'].native, pair['type'].dotted)}={pair['value'].native}"
                   for rdn in name.chosen for pair in rdn)


def _bytes(count):
    return "1 byte" if count == 1 else f"{count:,} bytes"


def _day(when):
    return when.strftime("%Y-%m-%d %H:%M:%S UTC")


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


def _attributes(signer_info, which="signed_attrs"):
    """A signer's signed (or unsigned) attributes by name: their first values."""
    return {a["type"].native: a["values"][0] for a in signer_info[which] or []}


def _verify(cert, value, signed, hash_name, declared):
    """Why value is not the signature of cert's key (asn1crypto) over signed,
    of the kind declared (asn1crypto's signature_algo), or None."""
    try:
        key = x509.load_der_x509_certificate(cert.dump()).public_key()
        hash_type = getattr(hashes, hash_name.upper().replace("_", ""))()
        if isinstance(key, rsa.RSAPublicKey) and declared == "rsassa_pkcs1v15":
            key.verify(value, signed, padding.PKCS1v15(), hash_type)
        elif isinstance(key, ec.EllipticCurvePublicKey) and declared == "ecdsa":
            key.verify(value, signed, ec.ECDSA(hash_type))
        else:
            return f"its signature is declared {declared}, which its key can't make or is not" \
                   f" supported here ({type(key).__name__})"
    except InvalidSignature:
        return "its signature was not made by its certificate's key"
    except Exception as error:  # a damaged certificate or key: cryptography has many ways to say it
        return f"its signature can't be checked ({error or type(error).__name__})"
    return None


def _verify_signer(signer_info, certificates, content, content_type=None):
    """Why the signer's signature over content, of the type content_type (an
    OID; None for a countersignature, which names none), does not hold, or None."""
    cert = _certificate(signer_info, certificates)
    if cert is None:
        return "the certificate of its signer is not in it"
    algorithm = signer_info["digest_algorithm"]["algorithm"].native
    if algorithm.upper().replace("_", "") not in STRONG_DIGESTS:  # [CSBR] 7.1.3.2.1
        return f"it is signed with {algorithm.upper()}: SHA-256 or stronger is needed"
    signed = content
    if signer_info["signed_attrs"]:
        attributes = _attributes(signer_info)
        given = attributes.get("message_digest")
        if given is None or given.native != hashlib.new(algorithm, content).digest():
            return "what it signed is not what it holds"
        named = attributes.get("content_type")  # RFC 5652 section 11.1: the content's own type
        if content_type and (named is None or named.dotted != content_type):
            return f"it names its content's type {named and named.dotted}, not {content_type}"
        signed = b"\x31" + signer_info["signed_attrs"].dump()[1:]  # signed as a SET
    return _verify(cert, signer_info["signature"].native, signed, algorithm,
                   signer_info["signature_algorithm"].signature_algo)


def key_problem(public_key, rsa_bits):
    """Why a certificate's key (asn1crypto PublicKeyInfo) is too weak [CSBR]
    6.1.5.2, or None; said of the certificate: "has ..."."""
    kind = public_key.algorithm
    if kind == "rsa" and public_key.bit_size < rsa_bits:
        return f"has an RSA key of {public_key.bit_size} bits, where at least {rsa_bits} are needed"
    if kind == "ec" and public_key.curve[1] not in CURVES:
        return f"has a key on the curve {public_key.curve[1]}, not P-256, P-384 or P-521"
    if kind not in ("rsa", "ec"):
        return f"has a {kind.upper()} key, not RSA or ECDSA"
    return None


def _validity_problem(cert, at):
    """Why a certificate is not valid at a time, or None."""
    validity = cert["tbs_certificate"]["validity"]
    begins, ends = validity["not_before"].native, validity["not_after"].native
    if at < begins:
        return f"is not valid before {_day(begins)} (judged at {_day(at)})"
    if at > ends:
        return f"expired on {_day(ends)} (judged at {_day(at)})"
    return None


def signer_problem(cert, at, rsa_bits=SIGNER_RSA_BITS):
    """Why a code-signing certificate (asn1crypto) can't make a signature
    that holds at a time, or None: its validity then, its usages [CSBR]
    7.1.2.3 and its key [CSBR] 6.1.5; said of the certificate."""
    usages = cert.extended_key_usage_value
    if usages is None or "code_signing" not in usages.native:
        return "lacks the codeSigning extended key usage (it has: " + (
            ", ".join(usages.native) if usages else "none") + ")"
    if cert.key_usage_value is not None and "digital_signature" not in cert.key_usage_value.native:
        return "has a key usage without digitalSignature"
    return key_problem(cert.public_key, rsa_bits) or _validity_problem(cert, at)


def _authority_problem(cert, time, rfc3161):
    """Why a time-stamp authority's certificate does not vouch for a time,
    or None: its usage [RFC3161] 2.3, its validity then, its key."""
    usages = cert.extended_key_usage_value
    names = usages.native if usages else []
    critical = "extended_key_usage" in cert.critical_extensions
    problem = (f"does not carry timeStamping as its only extended key usage, marked critical"
               f" (it has: {', '.join(names) or 'none'}{', critical' if critical else ''})"
               if (names != ["time_stamping"] or not critical) and rfc3161 else
               "lacks the timeStamping extended key usage" if "time_stamping" not in names else
               key_problem(cert.public_key, AUTHORITY_RSA_BITS) or _validity_problem(cert, time))
    return f"comes from an authority whose certificate {problem}" if problem else None


def _names_certificate(authority, cert):
    """Whether a token's ESS signingCertificate(V2) attribute [RFC3161] 2.4.1
    names this very certificate by its hash."""
    attributes = _attributes(authority)
    if "signing_certificate_v2" in attributes:
        first = attributes["signing_certificate_v2"]["certs"][0]
        algorithm = first["hash_algorithm"]["algorithm"].native
    elif "signing_certificate" in attributes:
        first, algorithm = attributes["signing_certificate"]["certs"][0], "sha1"
    else:
        return False
    return hashlib.new(algorithm, cert.dump()).digest() == first["cert_hash"].native


def chain_problem(cert, others, roots, at):
    """Why a certificate's chain, through the others given, does not reach
    one of the roots (asn1crypto certificates) with every link valid at a
    time, or None: names, signatures, validity and the CA flag."""
    for _ in range(_DEPTH):
        problem = _validity_problem(cert, at)
        if problem:
            return f"{_name(cert.subject)} {problem}"
        if any(cert.dump() == root.dump() for root in roots):
            return None
        kind = cert["signature_algorithm"]
        issuer = next((issuer for issuer in roots + others
                       if issuer.subject == cert.issuer and issuer.ca and not _verify(
                           issuer, cert["signature_value"].native, cert["tbs_certificate"].dump(),
                           kind.hash_algo, kind.signature_algo)), cert)
        if issuer.dump() == cert.dump():
            return f"{_name(cert.subject)} is not among them, nor issued by a certificate given"
        cert = issuer
    return "it is longer than any real chain"


def _timestamp(signer_info, certificates, signer, policy):
    """The timestamp of a signature made with the certificate signer, judged,
    or None: an RFC 3161 token, or the older countersignature."""
    attributes = _attributes(signer_info, "unsigned_attrs")
    rfc3161 = _RFC3161 in attributes
    if rfc3161:
        signed_data = attributes[_RFC3161]["content"]
        certificates = signed_data["certificates"] or []
        if len(signed_data["signer_infos"]) != 1:
            return Timestamp(None, "unknown", "is not signed by exactly one authority")
        authority = signed_data["signer_infos"][0]
        if signed_data["encap_content_info"]["content_type"].native != "tst_info":
            return Timestamp(None, "unknown", "holds no TSTInfo")
        content = signed_data["encap_content_info"]["content"].contents
        problem = _der_problem(content)
        if problem:
            return Timestamp(None, "unknown", f"is not DER: {problem}")
        info = tsp.TSTInfo.load(content, strict=True)
        algorithm = info["message_imprint"]["hash_algorithm"]["algorithm"].native
        digest = info["message_imprint"]["hashed_message"].native
        time = info["gen_time"].native
    elif _COUNTERSIGNATURE in attributes:
        authority = attributes[_COUNTERSIGNATURE]
        content = signer_info["signature"].native
        algorithm = authority["digest_algorithm"]["algorithm"].native
        digest = getattr(_attributes(authority).get("message_digest"), "native", None)
        time = getattr(_attributes(authority).get("signing_time"), "native", None)
    else:
        return None
    cert = _certificate(authority, certificates)
    stamp = Timestamp(time, _name(cert.subject) if cert else "unknown", None)
    if algorithm.upper().replace("_", "") not in STRONG_DIGESTS:  # [CSBR] 7.1.3.2.1
        stamp.problem = f"imprints with {algorithm.upper()}: SHA-256 or stronger is needed"
    elif hashlib.new(algorithm, signer_info["signature"].native).digest() != digest:
        stamp.problem = "countersigns another signature"
    else:
        stamp.problem = _authority_vouches(authority, certificates, content, cert, policy, time,
                                           rfc3161) or (signer and _validity_problem(signer, time)
                                                        and f"was made at {_day(time)}, outside"
                                                            " its signer's certificate's validity")
    return stamp


def _authority_vouches(authority, certificates, content, cert, policy, time, rfc3161):
    """Why a timestamp's authority does not vouch for its time, or None."""
    problem = _verify_signer(authority, certificates, content, _TST_INFO if rfc3161 else None)
    if problem:
        return f"is damaged: {problem}"
    if time is None:
        return "carries no time"
    if rfc3161 and not _names_certificate(authority, cert):
        return "does not name its authority's certificate by its hash (ESS signingCertificate)"
    problem = _authority_problem(cert, time, rfc3161)
    if problem:
        return problem
    if policy.fresh and abs(time - policy.now) > policy.fresh:
        return f"was made at {_day(time)}, more than {policy.fresh} away from this machine's" \
               f" clock ({_day(policy.now)})"
    others = [c.chosen for c in certificates if c.name == "certificate"]
    problem = policy.roots is not None and chain_problem(cert, others, policy.roots, time)
    return f"has an authority whose chain does not reach the roots: {problem}" if problem else None


def _signature(data, pkcs7, policy):
    """One signature (the DER of a ContentInfo of SignedData) of the program in data."""
    info = cms.ContentInfo.load(pkcs7, strict=True)
    if info["content_type"].native != "signed_data":
        raise ValueError(f"it is {info['content_type'].native}, not SignedData")
    signed_data = info["content"]
    if len(signed_data["signer_infos"]) != 1:  # [AUTH]
        raise ValueError(f"it has {len(signed_data['signer_infos'])} signers, not one")
    signer_info = signed_data["signer_infos"][0]
    certificates = signed_data["certificates"] or []
    if signed_data["encap_content_info"]["content_type"].dotted != _INDIRECT_DATA:  # [AUTH]
        raise ValueError("its content is not an SpcIndirectDataContent")
    body = signed_data["encap_content_info"]["content"].parsed.untag()
    indirect = _IndirectData.load(body.dump())
    algorithm = indirect["message_digest"]["digest_algorithm"]["algorithm"].native
    name = algorithm.upper().replace("_", "")
    problems = []
    if name not in STRONG_DIGESTS:
        problems.append(f"its digest is {name}: SHA-256 or stronger is needed")
    elif program_digest(data, algorithm) != indirect["message_digest"]["digest"].native:
        problems.append("its digest does not match the file")
    problem = _verify_signer(signer_info, certificates, body.contents, _INDIRECT_DATA)
    if signer_info["version"].native != "v1":  # [AUTH]
        problem = problem or f"its SignerInfo is {signer_info['version'].native}, not v1"
    if problem:
        problems.append(f"it is damaged: {problem}")
    cert = _certificate(signer_info, certificates)
    timestamp = _timestamp(signer_info, certificates, cert, policy)
    if timestamp and timestamp.problem:
        problems.append(f"its timestamp {timestamp.problem}")
    if cert:
        stamped = timestamp and not timestamp.problem
        problem = signer_problem(cert, timestamp.time if stamped else policy.now, policy.rsa_bits)
        if problem:
            problems.append(f"its signer's certificate {problem}")
    return Signature(
        digest_algorithm=name,
        signer=_name(cert.subject) if cert else "unknown",
        issuer=_name(cert.issuer) if cert else "unknown",
        valid_until=cert["tbs_certificate"]["validity"]["not_after"].native if cert else None,
        timestamp=timestamp,
        problems=problems,
        alone=_without_nested(pkcs7))


def _children(octets):
    """The elements inside one DER element that _der_problem() has passed."""
    at, end = _element(octets, 0, len(octets))
    found = []
    while at < end:
        stop = _element(octets, at, end)[1]
        found.append(octets[at:stop])
        at = stop
    return found


def _tlv(tag, contents):
    """One DER element of a one-byte tag."""
    size = len(contents)
    length = bytes([size]) if size < 0x80 else (
        bytes([0x80 | (size.bit_length() + 7) // 8]) + size.to_bytes((size.bit_length() + 7) // 8,
                                                                      "big"))
    return bytes([tag]) + length + contents


def _replaced(octets, path, new):
    """One DER element with the element at path (indices of children, -1 the
    last) inside it replaced by new."""
    if not path:
        return new
    children = _children(octets)
    children[path[0]] = _replaced(children[path[0]], path[1:], new)
    return _tlv(octets[0], b"".join(children))


_SIGNER_INFO = [1, 0, -1, 0]  # ContentInfo, [0], SignedData, its SignerInfos, the one SignerInfo


def _with_unsigned(pkcs7, attributes):
    """The DER of a signature with its SignerInfo's unsigned attributes
    replaced by these (each an attribute's DER; none: the field left out).
    Written byte by byte: asn1crypto can take minutes to write out again a
    signature holding a timestamp token."""
    signer = pkcs7
    for index in _SIGNER_INFO:
        signer = _children(signer)[index]
    fields = _children(signer)
    fields = fields[:-1] if fields[-1][0] == 0xA1 else fields  # [1] unsignedAttrs
    fields += [_tlv(0xA1, b"".join(attributes))] if attributes else []
    return _replaced(pkcs7, _SIGNER_INFO, _tlv(0x30, b"".join(fields)))


def _without_nested(pkcs7):
    """The PKCS#7 of a signature without the signatures nested in it."""
    signer = pkcs7
    for index in _SIGNER_INFO:
        signer = _children(signer)[index]
    unsigned = _children(signer)[-1]
    if unsigned[0] != 0xA1:
        return pkcs7
    attributes = _children(unsigned)
    kept = [a for a in attributes if _children(a)[0] != core.ObjectIdentifier(_NESTED_OID).dump()]
    return pkcs7 if len(kept) == len(attributes) else _with_unsigned(pkcs7, kept)


def signatures(data, policy=None):
    """The signatures of the program in data, the primary one first, then the
    nested ones in their order, each judged under the policy (default: now,
    no roots): (list, None), ([], None) for a file without any, or (None, why
    they can't be read or the file's certificate table breaks a rule)."""
    pkcs7, reason = _pkcs7(data)
    if not pkcs7:
        return ([], None) if not reason else (None, reason)
    try:
        primary = cms.ContentInfo.load(pkcs7, strict=True)
        unsigned = primary["content"]["signer_infos"][0]["unsigned_attrs"] or []
        nested = [value.dump() for a in unsigned if a["type"].native == _NESTED
                  for value in a["values"]]
        return [_signature(data, info, policy or Policy()) for info in [pkcs7] + nested], None
    except Exception as error:  # asn1crypto and cryptography fail on damaged input in many ways
        reason = " ".join(str(error).split()) or type(error).__name__
        return None, f"its signature is not readable PKCS#7 ({reason})"


def roots_in(text):
    """The certificates of a PEM file's bytes (asn1crypto), for Policy.roots."""
    return [certificate(der) for kind, _, der in pem.unarmor(text, multiple=True)
            if kind == "CERTIFICATE"]


def certificate(der):
    """A certificate from its DER bytes, as the functions here take it."""
    return asn1_x509.Certificate.load(der)


def subject(cert):
    """A certificate's subject as OpenSSL writes it on one line: "/CN=..."."""
    return _name(cert.subject)


def _alone_in(data, pkcs7):
    """The program in data with only this PKCS#7 in its certificate table,
    its padding counted in dwLength, and its checksum made anew: osslsigncode
    2.5 refuses a file whose checksum is not its own, or whose dwLength is no
    multiple of 8."""
    checksum, entry, _ = _header_fields(data)
    offset, _ = certificate_table(data)
    table = pkcs7 + bytes(-len(pkcs7) % 8)
    program = bytearray(data[:offset] + struct.pack("<IHH", len(table) + 8, _REVISION_2_0,
                                                    _PKCS_SIGNED_DATA) + table)
    struct.pack_into("<II", program, entry, offset, len(table) + 8)
    struct.pack_into("<I", program, checksum, 0)
    words = sum(array.array("H", bytes(program) + bytes(len(program) % 2)))
    while words > 0xFFFF:  # [PE] the 16-bit sum with its carries folded back in
        words = (words & 0xFFFF) + (words >> 16)
    struct.pack_into("<I", program, checksum, words + len(program))
    return bytes(program)


class Osslsigncode:
    """One osslsigncode, its version read once (None: it does not run, and
    `problem` says why)."""

    def __init__(self, path):
        self.path, self.version, self.problem = path, None, None
        if path is None:
            self.problem = "osslsigncode is not installed"
            return
        try:
            said = subprocess.run([path, "--version"], capture_output=True, text=True,
                                  errors="replace", stdin=subprocess.DEVNULL, timeout=60).stdout
        except OSError as error:
            self.problem = f"{path} does not run: {error.strerror}"
            return
        except subprocess.SubprocessError:
            self.problem = f"{path} does not answer --version"
            return
        found = re.match(r"osslsigncode (\d+)\.(\d+)", said)
        if found:
            self.version = (int(found[1]), int(found[2]))
        else:
            first = said.strip().splitlines()[0] if said.strip() else "nothing"
            self.problem = f"{path} is no osslsigncode: its --version says \"{first}\""

    def verify(self, data, found, roots=None, offline=False):
        """Whether each of the signatures found in data verifies, chain and
        timestamp, against the roots in a PEM file (None: osslsigncode's
        default store): a list of (True, None) or (False, osslsigncode's last
        error). The real file must verify (osslsigncode passes a file where
        any one signature does), and where it holds several, each signature
        in a copy holding it alone. offline: fetch no revocation lists
        (before 2.8, osslsigncode fetches none)."""
        whole = self._verify(data, roots, offline)
        if len(found) == 1:
            return [whole]
        alone = [self._verify(_alone_in(data, s.alone), roots, offline) for s in found]
        return [verdict if not verdict[0] or whole[0] else
                (False, f"the file as a whole does not verify: {whole[1]}") for verdict in alone]

    def _verify(self, data, roots, offline):
        command = [self.path, "verify"]
        if roots:
            command += ["-CAfile", roots, "-TSA-CAfile", roots]
        if offline and self.version and self.version >= (2, 8):
            command += ["-ignore-cdp"]
        with tempfile.TemporaryDirectory() as folder:
            copy = os.path.join(folder, "program.exe")
            with open(copy, "wb") as f:
                f.write(data)
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
