#!/usr/bin/python3
"""The judgement of release/authenticode, one table: a small program signed
here with osslsigncode and throwaway certificates, timestamps made here, then
each row a change to those bytes and what must be said of them. Every row
that osslsigncode (the system's) refuses in the real file must be refused
here too; where its verdict is the same in its versions 2.5 and 2.9, the row
says which it is, so the table shows where the check is stricter.
    LBW_UNSIGNED_PROGRAM=program.exe PYTHONPATH=. tests/release/authenticode_test.py"""
import datetime
import functools
import hashlib
import os
import shutil
import struct
import subprocess
import tempfile
import time
import unittest

from asn1crypto import cms, core, tsp
from asn1crypto.x509 import Name
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec, rsa
from cryptography.x509.oid import ExtendedKeyUsageOID, NameOID

from release.authenticode import judging, pe_signature
from release.authenticode.der import tlv, with_unsigned
from release.authenticode.osslsigncode import Osslsigncode

NOW = datetime.datetime.now(datetime.timezone.utc)
DAY, YEAR = datetime.timedelta(days=1), datetime.timedelta(days=365)


def certificate(name, key, usages=(ExtendedKeyUsageOID.CODE_SIGNING,), critical=False,
                begins=-DAY, ends=2 * DAY):
    """A self-signed certificate (cryptography) valid from NOW+begins to NOW+ends."""
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
    builder = x509.CertificateBuilder(subject, subject, key.public_key(),
                                      x509.random_serial_number(), NOW + begins, NOW + ends)
    if usages:
        builder = builder.add_extension(x509.ExtendedKeyUsage(list(usages)), critical)
    return builder.sign(key, hashes.SHA256())


def der(cert):
    return cert.public_bytes(serialization.Encoding.DER)


def pem(item):
    if isinstance(item, x509.Certificate):
        return item.public_bytes(serialization.Encoding.PEM)
    return item.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                              serialization.NoEncryption())


class AuthenticodeTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp()
        cls.osslsigncode = Osslsigncode(shutil.which("osslsigncode"))
        with open(os.environ["LBW_UNSIGNED_PROGRAM"], "rb") as f:
            cls.unsigned = f.read()
        cls.tsa_key = ec.generate_private_key(ec.SECP256R1())
        stamping = (ExtendedKeyUsageOID.TIME_STAMPING,)
        cls.tsa = certificate("TSA", cls.tsa_key, stamping, True, -30 * YEAR, 30 * YEAR)
        cls.authorities = {
            "no usage": certificate("TSA", cls.tsa_key, ()),
            "not critical": certificate("TSA", cls.tsa_key, stamping, False),
            "expired": certificate("TSA", cls.tsa_key, stamping, True, -3 * YEAR, -2 * YEAR),
            "untrusted": certificate("Other TSA", cls.tsa_key, stamping, True)}
        cls.key = key = rsa.generate_private_key(65537, 3072)
        cls.signer = certificate("Signer", key, ends=YEAR)
        old = certificate("Old", key, begins=-3 * YEAR, ends=-YEAR)
        small, older = (rsa.generate_private_key(65537, bits) for bits in (1024, 2048))
        older_certificate = certificate("Older", older)
        cls.roots = os.path.join(cls.folder, "roots.pem")
        with open(cls.roots, "wb") as f:
            f.write(pem(cls.signer) + pem(cls.tsa) + pem(old) + pem(older_certificate))
        cls.signed = cls.sign(cls.signer, key)
        web = (ExtendedKeyUsageOID.SERVER_AUTH,)
        cls.by = {"RSA-1024": cls.sign(certificate("Small", small), small),
                  "RSA-2048": cls.sign(older_certificate, older),
                  "expired": cls.sign(old, key),
                  "not yet valid": cls.sign(certificate("New", key, begins=YEAR, ends=YEAR * 2),
                                            key),
                  "no codeSigning": cls.sign(certificate("Web", key, web), key),
                  "SHA-1": cls.sign(cls.signer, key, options=["-h", "sha1"])}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    @classmethod
    def sign(cls, cert, key, data=None, options=()):
        """data (the unsigned program by default) signed by osslsigncode, given options."""
        paths = [os.path.join(cls.folder, name) for name in ("c.pem", "k.pem", "in.exe", "out.exe")]
        for path, content in zip(paths, (pem(cert), pem(key), data or cls.unsigned)):
            with open(path, "wb") as f:
                f.write(content)
        subprocess.run([cls.osslsigncode.path, "sign", "-certs", paths[0], "-key", paths[1], "-h",
                        "sha256", *options, "-in", paths[2], "-out", paths[3]], check=True,
                       capture_output=True)
        with open(paths[3], "rb") as f:
            data = f.read()
        os.unlink(paths[3])
        return data

    @staticmethod
    def resigned(data, change):
        """data with change(SignerInfo) made to its primary signature's signer."""
        info = cms.ContentInfo.load(pe_signature.pkcs7_of(data)[0])
        change(info["content"]["signer_infos"][0])
        return pe_signature.alone_in(data, info.dump())

    def stamped(self, data, when=NOW, tsa=None, imprint="sha256", countersigned=None, ess=True):
        """data with an RFC 3161 timestamp of when by tsa on its primary signature, made
        here: its imprint of countersigned (default: that signature), naming tsa where ess."""
        pkcs7 = pe_signature.pkcs7_of(data)[0]
        signature = cms.ContentInfo.load(pkcs7)["content"]["signer_infos"][0]["signature"]
        countersigned = countersigned or signature.native
        tsa = tsa or self.tsa
        stamp = tsp.TSTInfo({"version": "v1", "policy": "1.2.3.4.1", "serial_number": 1,
                             "gen_time": when, "message_imprint": {
                                 "hash_algorithm": {"algorithm": imprint},
                                 "hashed_message": hashlib.new(imprint, countersigned).digest()}})
        names = {"type": "signing_certificate_v2",
                 "values": [{"certs": [{"cert_hash": hashlib.sha256(der(tsa)).digest()}]}]}
        signed = cms.CMSAttributes([
            {"type": "content_type", "values": ["tst_info"]},
            {"type": "message_digest", "values": [hashlib.sha256(stamp.dump()).digest()]},
            *[names] * ess])
        token = cms.ContentInfo({"content_type": "signed_data", "content": {
            "version": "v3", "digest_algorithms": [{"algorithm": "sha256"}],
            "encap_content_info": {"content_type": "tst_info", "content": stamp},
            "certificates": [judging.certificate(der(tsa))], "signer_infos": [{
                "version": "v1", "sid": {"issuer_and_serial_number": {
                    "issuer": Name.load(tsa.issuer.public_bytes()),
                    "serial_number": tsa.serial_number}},
                "digest_algorithm": {"algorithm": "sha256"}, "signed_attrs": signed,
                "signature_algorithm": {"algorithm": "sha256_ecdsa"},
                "signature": self.tsa_key.sign(signed.dump(), ec.ECDSA(hashes.SHA256()))}]}})
        attribute = tlv(0x30, core.ObjectIdentifier("1.3.6.1.4.1.311.3.3.1").dump()
                        + tlv(0x31, token.dump()))
        return pe_signature.alone_in(data, with_unsigned(pkcs7, [attribute]))

    def table(self, data, change):
        """data with bytes changed around its certificate table: change(head,
        table) gives both anew; head ends where the table starts."""
        offset, size = pe_signature.certificate_table(data)
        head, table = change(bytearray(data[:offset]), bytearray(data[offset:offset + size]))
        entry = pe_signature.header_fields(data)[1]
        struct.pack_into("<II", head, entry, len(head), len(table))
        return bytes(head) + bytes(table) + data[offset + size:]

    def test_rows(self):
        stamped = self.stamped(self.signed)
        pkcs7 = pe_signature.pkcs7_of(stamped)[0]
        table = functools.partial(self.table, stamped)
        entry = lambda content, length: struct.pack("<IHH", length, 0x200, 2) + content  # noqa
        alone = lambda content: entry(content + bytes(-len(content) % 8), len(content) + 8)  # noqa
        flip = lambda t, b: t[:b // 8] + bytes([t[b // 8] ^ 1 << b % 8]) + t[b // 8 + 1:]  # noqa
        at = stamped.rindex(der(self.tsa)) + 200  # a byte of the authority's certificate
        signing = {"fresh": judging.FRESH}
        # name, file, what is said of it first ("" for nothing), osslsigncode's verdict where
        # its versions agree; a name that ends "when signing" is judged as just signed.
        rows = [
            ("signed, when signing", self.signed, "", True),
            ("timestamped, when signing", stamped, "", True),
            ("1 byte appended", stamped + b"X", "1 byte follows it", False),
            ("16 bytes appended", stamped + b"MZ-EXTRA-PAYLOAD", "16 bytes follow it", False),
            ("4,096 bytes appended", stamped + bytes(4096), "4,096 bytes follow it", False),
            ("size grown over junk", table(lambda h, t: (h, t + b"J" * 8)), "exactly one", False),
            ("a second entry, junk", table(lambda h, t: (h, t + entry(b"J" * 8, 16))),
             "does not hold exactly one entry", False),
            ("a second entry, a copy", table(lambda h, t: (h, t + t)), "exactly one", False),
            *[(f"wRevision {revision:#x}", table(lambda h, t, r=revision: (
                h, t[:4] + struct.pack("<H", r) + t[6:])), f"wRevision is {revision:#06x}", False)
              for revision in (0, 0x100, 0x201)],
            *[(f"bit {bit} of the table's header flipped", table(lambda h, t, b=bit: (
                h, flip(t, b))), "its", False) for bit in (3, 13, 33, 49)],
            ("junk after the PKCS#7 in the entry", table(lambda h, t: (h, alone(pkcs7 + b"JUNK"))),
             "EnableCertPaddingCheck", None),
            ("8 zero bytes after the PKCS#7", table(lambda h, t: (h, alone(pkcs7 + bytes(8)))),
             "EnableCertPaddingCheck", None),
            ("padding not zero", table(lambda h, t: (h, alone(pkcs7 + b"\1") if len(pkcs7) % 8 == 0
                                                     else t[:-1] + b"\1")),
             "EnableCertPaddingCheck", None),
            ("the table off the 8-byte boundary", table(lambda h, t: (h + bytes(4), t)),
             "8-byte boundary", False),
            ("the table inside a section", table(lambda h, t: (h[:-512], t)),
             "inside the program's headers or sections", False),
            ("an indefinite length", table(lambda h, t: (
                h, alone(b"\x30\x80" + pkcs7[4:] + bytes(2)))), "indefinite length", None),
            ("a SignerInfo of version 3", self.resigned(self.signed, lambda i: i.__setitem__(
                "version", "v3")), "its SignerInfo is v3, not v1", None),
            ("an RSA signature declared ECDSA", self.resigned(self.signed, lambda i: i.__setitem__(
                "signature_algorithm", {"algorithm": "sha256_ecdsa"})), "declared ecdsa", None),
            ("signed with SHA-1", self.by["SHA-1"], "its digest is SHA1: SHA-256 or", None),
            ("signed by RSA-1024", self.by["RSA-1024"], "RSA key of 1024 bits", None),
            ("signed by RSA-2048", self.by["RSA-2048"], "", None),
            ("signed by RSA-2048, when signing", self.by["RSA-2048"], "", None),
            ("signed by an expired certificate", self.by["expired"],
             "its signer's certificate expired on", None),
            ("signed by a certificate not yet valid", self.by["not yet valid"],
             "its signer's certificate is not valid before", None),
            ("signed without codeSigning", self.by["no codeSigning"], "lacks the codeSigning",
             None),
            ("expired, stamped while valid", self.stamped(self.by["expired"], NOW - 2 * YEAR), "",
             None),
            *[(f"a timestamp {which}", self.stamped(self.signed, **change), said, None)
              for which, change, said in (
                  ("without timeStamping", {"tsa": self.authorities["no usage"]},
                   "only extended key usage, marked critical (it has: none)"),
                  ("of a usage not critical", {"tsa": self.authorities["not critical"]},
                   "(it has: time_stamping)"),
                  ("of an expired authority", {"tsa": self.authorities["expired"]},
                   "whose certificate expired on"),
                  ("ten years ahead", {"when": NOW + 10 * YEAR}, "outside its signer's"),
                  ("ten years behind", {"when": NOW - 10 * YEAR}, "outside its signer's"),
                  ("imprinting SHA-1", {"imprint": "sha1"}, "imprints with SHA1"),
                  ("imprinting MD5", {"imprint": "md5"}, "imprints with MD5"),
                  ("of another signature", {"countersigned": b"another"}, "countersigns another"),
                  ("naming no certificate", {"ess": False}, "does not name its authority's"),
                  ("by an authority the roots lack", {"tsa": self.authorities["untrusted"]},
                   "does not reach the roots: /CN=Other TSA"),
                  ("an hour old, when signing", {"when": NOW - DAY / 24}, "more than 0:10:00"))],
            ("a byte of the authority's certificate changed",
             stamped[:at] + bytes([stamped[at] ^ 1]) + stamped[at + 1:], "its timestamp", None),
        ]
        with open(self.roots, "rb") as f:
            roots = judging.roots_in(f.read())
        for name, data, said, theirs in rows:
            with self.subTest(name):
                judged = judging.Policy(roots=roots, **signing if name.endswith(
                    "when signing") else {})
                began = time.monotonic()
                found, reason = judging.signatures(data, judged)
                self.assertLess(time.monotonic() - began, 1)
                problems = [reason] if reason else [p for s in found for p in s.problems]
                self.assertEqual(bool(problems), bool(said), problems)
                self.assertIn(said, problems[0] if problems else "")
                verified = self.osslsigncode.verify(data, found or [None], self.roots)[0][0]
                self.assertTrue(problems or verified, "holds, but osslsigncode refuses it")
                if theirs is not None:
                    self.assertEqual(verified, theirs, "osslsigncode's verdict")

    def test_nested(self):
        """Each signature judged on its own: one nested into a primary without
        a timestamp, by a key too small, and one by a signer the roots lack."""
        small = rsa.generate_private_key(65537, 1024)
        for cert, key, nested_said, verdicts in (
                (certificate("Small", small), small, "RSA key of 1024 bits", None),
                (certificate("Other", self.key), self.key, "", [True, False])):
            with self.subTest(cert.subject.rfc4514_string()):
                data = self.sign(cert, key, self.signed, ["-nest"])
                found, reason = judging.signatures(data)
                self.assertIsNone(reason)
                self.assertEqual([bool(s.problems) for s in found], [False, bool(nested_said)])
                self.assertIn(nested_said, "".join(found[1].problems))
                if verdicts:
                    said = self.osslsigncode.verify(data, found, self.roots)
                    self.assertEqual([trusted for trusted, _ in said], verdicts)


if __name__ == "__main__":
    unittest.main()
