"""The Authenticode signatures of a Windows program, read from its own bytes
and judged by the rules Windows and the code-signing baseline requirements
apply: the primary signature and every nested one, each with its signer,
digest algorithm, the certificate's end of validity and its timestamp, and
every reason it does not hold, each naming what was seen. Shared by
tools/inspect (release/inspect.py) and the build's signing step
(release/authenticode/sign.py). Where the signature lies in the file, and
the rules of its certificate table, are pe_signature.py's.

The rules, and where each comes from:
[AUTH]    Microsoft, "Windows Authenticode Portable Executable Signature
          Format": SignedData holds exactly one SignerInfo, its content an
          SpcIndirectDataContent.
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
          (Microsoft Security Advisory 2661254); the minimum here is 2048, and
          3072 only warned of (PUBLIC_RSA_BITS below).

Whether a signer's chain reaches trusted roots is osslsigncode's verdict
(osslsigncode.py); timestamps are judged here, their authority's chain too
where roots are given."""
import dataclasses
import datetime
import hashlib

from asn1crypto import cms, core, pem, tsp
from asn1crypto import x509 as asn1_x509
from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes
from cryptography.hazmat.primitives.asymmetric import ec, padding, rsa

from release.authenticode import der, pe_signature

STRONG_DIGESTS = ("SHA256", "SHA384", "SHA512")
# [CSBR] 6.1.5.2: a publicly trusted code-signing certificate issued since
# 2021-06-01 has an RSA key of at least 3072 bits. A smaller one is said, not
# refused: Windows takes 2048 bits, a company's own certificate authority may
# still issue them, and so did public ones until then.
PUBLIC_RSA_BITS = 3072
# [CSBR] 6.1.5 before 2021-06-01 (section 1.2.2), and the minimum NIST SP
# 800-131A allows for signatures: what a signature, made now or before, must
# have; Microsoft's own signatures, such as the loader library's, still do.
SIGNED_RSA_BITS = 2048
# [CSBR] 6.1.5.2 asks the same of time-stamp authorities, but authorities
# that public code signing relies on still countersign with 2048-bit keys,
# the minimum NIST SP 800-131A allows for signatures.
AUTHORITY_RSA_BITS = 2048
CURVES = ("secp256r1", "secp384r1", "secp521r1")  # [CSBR] 6.1.5.2
FRESH = datetime.timedelta(minutes=10)  # a timestamp made now: the clocks' allowed gap
_INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"  # [AUTH] SPC_INDIRECT_DATA_OBJID
_TST_INFO = "1.2.840.113549.1.9.16.1.4"  # [RFC3161] id-ct-TSTInfo
_NESTED = "microsoft_nested_signature"
_RFC3161 = "microsoft_time_stamp_token"
_COUNTERSIGNATURE = "counter_signature"  # the older Authenticode timestamp


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
    now (one made while signing)."""
    now: datetime.datetime = dataclasses.field(
        default_factory=lambda: datetime.datetime.now(datetime.timezone.utc))
    roots: list | None = None
    fresh: datetime.timedelta | None = None


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


def _name(name):
    """A distinguished name as OpenSSL writes it on one line: "/C=DE/CN=..."."""
    short = {"common_name": "CN", "country_name": "C", "organization_name": "O",
             "organizational_unit_name": "OU", "locality_name": "L",
             "state_or_province_name": "ST", "email_address": "emailAddress",
             "serial_number": "serialNumber", "domain_component": "DC"}
    return "".join(f"/{short.get(pair['type'].native, pair['type'].dotted)}={pair['value'].native}"
                   for rdn in name.chosen for pair in rdn)


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


def signer_problem(cert, at):
    """Why a code-signing certificate (asn1crypto) can't make a signature
    that holds at a time, or None: its validity then, its usages [CSBR]
    7.1.2.3 and its key [CSBR] 6.1.5; said of the certificate."""
    usages = cert.extended_key_usage_value
    if usages is None or "code_signing" not in usages.native:
        return "lacks the codeSigning extended key usage (it has: " + (
            ", ".join(usages.native) if usages else "none") + ")"
    if cert.key_usage_value is not None and "digital_signature" not in cert.key_usage_value.native:
        return "has a key usage without digitalSignature"
    return key_problem(cert.public_key, SIGNED_RSA_BITS) or _validity_problem(cert, at)


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
    for _ in range(der.DEPTH):
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
        problem = der.der_problem(content)
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
    elif (pe_signature.program_digest(data, algorithm)
          != indirect["message_digest"]["digest"].native):
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
        problem = signer_problem(cert, timestamp.time if stamped else policy.now)
        if problem:
            problems.append(f"its signer's certificate {problem}")
    return Signature(
        digest_algorithm=name,
        signer=_name(cert.subject) if cert else "unknown",
        issuer=_name(cert.issuer) if cert else "unknown",
        valid_until=cert["tbs_certificate"]["validity"]["not_after"].native if cert else None,
        timestamp=timestamp,
        problems=problems,
        alone=der.without_nested(pkcs7))


def signatures(data, policy=None):
    """The signatures of the program in data, the primary one first, then the
    nested ones in their order, each judged under the policy (default: now,
    no roots): (list, None), ([], None) for a file without any, or (None, why
    they can't be read or the file's certificate table breaks a rule)."""
    pkcs7, reason = pe_signature.pkcs7_of(data)
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


def certificate(encoded):
    """A certificate from its DER bytes, as the functions here take it."""
    return asn1_x509.Certificate.load(encoded)


def subject(cert):
    """A certificate's subject as OpenSSL writes it on one line: "/CN=..."."""
    return _name(cert.subject)
