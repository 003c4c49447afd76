"""What a bill of materials says about one file, read from its bytes alone:
its hashes and size, whether it is a Windows program and of which kind, the
version and product name of its version block, and who signed it. The same
code describes the setup program and the two files it carries, in the build's
bill of materials and in `tools/inspect --sbom`, so the two can be compared."""
import hashlib

import pefile

from release.authenticode import judging

_DLL = 0x2000  # IMAGE_FILE_DLL in the file header's characteristics
_RESOURCE = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]


def hashes(data):
    """CycloneDX hash entries of the bytes: SHA-512, which TR-03183-2 asks
    for, and SHA-256, which tools/inspect shows."""
    return [{"alg": "SHA-512", "content": hashlib.sha512(data).hexdigest()},
            {"alg": "SHA-256", "content": hashlib.sha256(data).hexdigest()}]


def _program(data):
    """The parsed headers and resources of a Windows program, or None for other bytes."""
    if len(data) < 64 or data[:2] != b"MZ":
        return None
    try:
        pe = pefile.PE(data=data, fast_load=True)
        pe.parse_data_directories(directories=[_RESOURCE])
    except pefile.PEFormatError:
        return None
    return pe


def version_strings(pe):
    """The texts of the version block ({} without one)."""
    strings = {}
    for info in getattr(pe, "FileInfo", [[]])[0]:
        for table in getattr(info, "StringTable", []):
            strings.update({k.decode(errors="replace"): v.decode(errors="replace")
                            for k, v in table.entries.items()})
    return strings


def _version(pe, strings):
    """The file version as its text gives it, else its four numbers; None without a block."""
    if strings.get("FileVersion"):
        return strings["FileVersion"]
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        return None
    fixed = pe.VS_FIXEDFILEINFO[0]
    return version_numbers(fixed.FileVersionMS, fixed.FileVersionLS)


def version_numbers(high, low):
    """The four 16-bit numbers of a version block's binary version, "1.5.1.0"."""
    return ".".join(str(n) for n in (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF))


def signer_of(data):
    """The subject of the certificate that made the primary Authenticode
    signature of a Windows program ("/CN=..."), or None when the bytes carry
    none. Raises RuntimeError where a signature is there but can't be read."""
    found, reason = judging.signatures(data)
    if reason:
        raise RuntimeError(f"cannot read its signature: {reason}")
    return found[0].signer if found else None


# The first bytes of the archive formats a carried file could be.
_ARCHIVE_MAGIC = (b"PK\x03\x04", b"PK\x05\x06", b"MSCF", b"7z\xbc\xaf\x27\x1c", b"\x1f\x8b",
                  b"\xfd7zXZ\x00", b"BZh", b"\x28\xb5\x2f\xfd", b"Rar!\x1a\x07", b"!<arch>\n")


def is_archive(data):
    """Whether the bytes are an archive of other files (zip, cabinet, 7-Zip,
    tar, a compressed stream, ...), judged by the format's first bytes."""
    return data.startswith(_ARCHIVE_MAGIC) or data[257:262] == b"ustar"


def component(name, data, ref, archive=False):
    """The CycloneDX component of a file called `name` with these bytes: an
    application, a library (a DLL) or a plain file; version, product name and
    creator (the company) where it has a version block, and its signer where
    it is signed. `archive`: it carries other files (the setup program)."""
    pe = _program(data)
    strings = version_strings(pe) if pe else {}
    version = _version(pe, strings) if pe else None
    kind = "file" if pe is None else "library" if pe.FILE_HEADER.Characteristics & _DLL \
        else "application"
    archive = archive or is_archive(data)
    facts = [("bsi:component:filename", name),
             ("bsi:component:executable", "executable" if pe else "non-executable"),
             ("bsi:component:archive", "archive" if archive else "no archive"),
             # TR-03183-2 (section 8.1.5): a binary is unstructured, unless it
             # is an archive that keeps what it holds apart, as the setup
             # program keeps the start and length of each file it carries.
             ("bsi:component:structured", "structured" if archive else "unstructured"),
             ("lirabel-warden:size", str(len(data)))]
    if strings.get("ProductName"):
        facts.append(("lirabel-warden:product-name", strings["ProductName"]))
    if pe:
        signer = signer_of(data)
        facts.append(("lirabel-warden:authenticode-signer", signer) if signer
                     else ("lirabel-warden:authenticode", "unsigned"))
    described = {"type": kind, "bom-ref": ref}
    if strings.get("CompanyName"):
        described["manufacturer"] = {"name": strings["CompanyName"]}
    described["name"] = name
    if version:
        described["version"] = version
    described["hashes"] = hashes(data)
    described["properties"] = [{"name": key, "value": value} for key, value in facts]
    return described
