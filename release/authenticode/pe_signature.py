"""Where a Windows program keeps its Authenticode signature, and what that
signature covers: the certificate table's place in the file and its one
WIN_CERTIFICATE entry, checked as Windows requires them, the program's
Authenticode digest, and a copy of the program holding one signature alone.

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
          directory entry and the table.
[2915720] Microsoft Security Advisory 2915720 (EnableCertPaddingCheck): with
          the check on, Windows takes a file as unsigned where anything but
          zero padding to the next 8-byte boundary follows the PKCS#7 in its
          entry."""
import array
import hashlib
import struct

from release.authenticode import der

_SECURITY_DIRECTORY = 4  # the certificate table: a file offset and a size
_REVISION_2_0 = 0x0200  # [PE] WIN_CERT_REVISION_2_0
_PKCS_SIGNED_DATA = 0x0002  # [PE] WIN_CERT_TYPE_PKCS_SIGNED_DATA


def header_fields(data):
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
    fields = header_fields(data)
    return struct.unpack_from("<II", data, fields[1]) if fields else (0, 0)


def program_digest(data, algorithm="sha256"):
    """The Authenticode digest of a program [AUTH]: all of it but the
    checksum, the certificate table's entry and the table itself, which
    pkcs7_of() has found to end the file. An unsigned file is taken as a
    signing tool pads it, to a multiple of 8 bytes."""
    fields = header_fields(data)
    if not fields:
        raise ValueError("not a Windows program")
    checksum, entry, _ = fields
    offset, size = certificate_table(data)
    body = data[:offset] if size else data + bytes(-len(data) % 8)
    digest = hashlib.new(algorithm)
    for part in (body[:checksum], body[checksum + 4:entry], body[entry + 8:]):
        digest.update(part)
    return digest.digest()


def pkcs7_of(data):
    """The PKCS#7 of a program's one certificate entry: (bytes, None),
    (None, None) for a file without a certificate table, or (None, why the
    table breaks a rule)."""
    fields = header_fields(data)
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
            f"{der.byte_count(extra)} follow{'s' * (extra == 1)} it" if extra > 0 else
            f"the file ends {der.byte_count(-extra)} before it")
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
    outer = der.element_at(entry, 0, len(entry)) if len(entry) > 1 else "it is empty"
    if isinstance(outer, str):
        return None, f"its signature is not DER: {outer}"
    tail = data[offset + 8 + outer[1]:]  # [2915720] only zero padding under 8 bytes
    if len(tail) >= 8 or any(tail):
        return None, f"{der.byte_count(len(tail))} ({tail[:8].hex()}...) follow the PKCS#7 in its" \
                     " certificate entry, where only zero padding to the next 8-byte boundary" \
                     " may (EnableCertPaddingCheck)"
    problem = der.der_problem(entry[:outer[1]])
    return (None, f"its signature is not DER: {problem}") if problem else (entry[:outer[1]], None)


def alone_in(data, pkcs7):
    """The program in data with only this PKCS#7 in its certificate table,
    its padding counted in dwLength, and its checksum made anew: osslsigncode
    2.5 refuses a file whose checksum is not its own, or whose dwLength is no
    multiple of 8."""
    checksum, entry, _ = header_fields(data)
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
