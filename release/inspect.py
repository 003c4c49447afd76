"""Shows what a built setup program carries, without running it:
    tools/inspect LirabelWarden.exe [--extract FOLDER] [--ca FILE] [--osslsigncode PATH]
                  [--require-signature] [--sbom]
its version block, each of its signatures (signer, digest, validity, timestamp,
and whether that signature verifies), and the two files inside it, each found
through the start and length the program itself uses
(release/program/carried_streams.py). A signature verifies where it holds as
the build's signing step judges it (release/authenticode/pe_signature.py and
judging.py: the certificate table as Windows requires it, the digest, the
signer's certificate, the timestamp and its authority's chain) and
osslsigncode verifies it, in the real file and alone. --extract writes the two
files into FOLDER as WebView2Loader.dll and lirabel-warden.exe. --ca verifies
the chains against the roots in a PEM file instead of the system's store. --sbom
prints instead the program and the two files as a CycloneDX 1.6 bill of
materials (release/sbom/document.py), to compare with the build's.
Exit status, with one line on standard error for each but 0:
  0  a sound setup program, signed with signatures that verify, or unsigned
  1  no such setup program, damaged streams, or a roots file that can't be
     read; nothing is extracted then
  2  a signature it shows does not verify (its own, or one of a file inside)
  3  --require-signature, and the program is not signed"""
import argparse
import hashlib
import os
import shutil
import ssl
import struct
import sys
import zlib

try:
    import pefile

    from release.authenticode import judging, pe_signature
    from release.authenticode.osslsigncode import Osslsigncode
    from release.program import carried_streams, file_facts, pe_layout
    from release.sbom import document
except ImportError as error:
    sys.exit(f"inspect: {error.name} is missing (Debian: apt-get install python3-{error.name})")


def windows_program(data):
    """Whether a file's bytes are a Windows program (MZ, then PE)."""
    if len(data) < 64 or data[:2] != b"MZ":
        return False
    header = struct.unpack_from("<I", data, 0x3C)[0]
    return data[header:header + 4] == b"PE\0\0"


def embedded_signature(data):
    """How an embedded program is signed, as the report says it, and whether
    that signature holds (its chains are not judged)."""
    found, reason = judging.signatures(data)
    if reason:
        return f"signed, but its signature does not hold: {reason}", False
    if not found:
        return "unsigned", True
    problems = [problem for signature in found for problem in signature.problems]
    if problems:
        return f"signed, but its signature does not hold: {problems[0]}", False
    return f"signed by {found[0].signer}", True


def decode(name, stream):
    """Decodes a stream as the program does (zlib: header, deflate data,
    Adler-32). Returns (decoded or None, Adler-32 line, problem or None)."""
    inflater = zlib.decompressobj()
    try:
        decoded = inflater.decompress(stream)
    except zlib.error as error:
        text = str(error).split(": ", 1)[-1]
        if "incorrect data check" not in text:
            return None, "not reached", f"damaged stream: {name}: {text}"
        raw = zlib.decompressobj(-15)
        body = raw.decompress(stream[2:])
        stored, computed = raw.unused_data[:4].hex(), f"{zlib.adler32(body):08x}"
        return None, f"{stored}, does not match ({computed})", (
            f"damaged stream: {name}: its Adler-32 trailer does not match the decoded bytes")
    if not inflater.eof:
        return None, "not reached", f"damaged stream: {name}: it ends before its last block"
    end = len(stream) - len(inflater.unused_data)
    trailer = f"{stream[end - 4:end].hex()}, matches"
    if inflater.unused_data:
        extra = len(inflater.unused_data)
        follow = "1 byte follows" if extra == 1 else f"{extra:,} bytes follow"
        return None, trailer, f"over-long stream: {name}: {follow} its checksum"
    return decoded, trailer, None


def version_block(pe):
    lines = []
    if not hasattr(pe, "VS_FIXEDFILEINFO"):
        return ["Version block      none"]
    fixed = pe.VS_FIXEDFILEINFO[0]
    strings = file_facts.version_strings(pe)
    for label, high, low, text in (
            ("file version", fixed.FileVersionMS, fixed.FileVersionLS, "FileVersion"),
            ("product version", fixed.ProductVersionMS, fixed.ProductVersionLS, "ProductVersion")):
        numbers = file_facts.version_numbers(high, low)
        lines.append(f"  {label:<17}{numbers} (text: {strings.get(text, 'none')})")
    for key in ("ProductName", "FileDescription", "OriginalFilename"):
        lines.append(f"  {key:<17}{strings.get(key, 'none')}")
    return ["Version block"] + lines


def signatures(data, ca, osslsigncode, judged):
    """The report's lines about the signatures, a block for each, the primary
    one first, and the first reason one does not verify (None: each does)."""
    found, reason = judging.signatures(data, judged)
    if reason:
        return [f"Signature          Authenticode, does NOT verify: {reason}"], reason
    if not found:
        return ["Signature          none"], None
    roots = f"the roots in {ca}" if ca else "the system's roots"
    if any(signature.problems for signature in found) or not osslsigncode.version:
        verdicts = [(False, None)] * len(found)
    else:
        verdicts = osslsigncode.verify(data, found, ca)
    lines, failures = [], []
    for index, (signature, (trusted, said)) in enumerate(zip(found, verdicts)):
        if signature.problems:
            verdict = f"does NOT verify: {signature.problems[0]}"
        elif not osslsigncode.version:
            verdict = f"holds, NOT checked against roots ({osslsigncode.problem})"
        elif trusted:
            verdict = f"verifies against {roots} (osslsigncode)"
        else:
            verdict = f"holds, does NOT verify against {roots} (osslsigncode: {said})"
        head = "Signature" if index == 0 else f"Nested signature {index}"
        failures += [] if trusted else [f"{head.lower()} ({signature.signer}): {verdict}"]
        lines += [f"{head:<19}Authenticode, {verdict}",
                  f"  signer           {signature.signer}",
                  f"  issuer           {signature.issuer}",
                  f"  digest           {signature.digest_algorithm}",
                  f"  valid until      {_moment(signature.valid_until)}"]
        stamp = signature.timestamp
        if stamp:
            check = f"does NOT verify: it {stamp.problem}" if stamp.problem else "verifies"
            lines.append(f"  timestamp        {_moment(stamp.time)}, by {stamp.authority}"
                         f" ({check})")
        else:
            lines += ["  timestamp        none",
                      "  warning: not timestamped: the signature stops being valid on"
                      f" {signature.ends_on()}"]
    return lines, failures[0] if failures else None


def _moment(when):
    return when.strftime("%Y-%m-%d %H:%M:%S UTC") if when else "unknown"


def inspect(path, args, osslsigncode, judged):
    """Prints the report; returns the exit status and, for any but 0, why."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        return 1, f"cannot read the file: {error.strerror}"
    pe, reason = pe_layout.read_program(data)
    if reason:
        return 1, reason
    streams, reason = carried_streams.find_streams(pe, data)
    if reason:
        return 1, reason
    signed = pe_signature.certificate_table(data)[1] > 0
    print(f"{path}: {len(data):,} bytes")
    print("\n".join(version_block(pe)))
    lines, unverified = signatures(data, args.ca, osslsigncode, judged)
    print("\n".join(lines))
    problems, warnings, files = [], [], {}
    for stream in streams:
        decoded, adler, problem = decode(stream.name, data[stream.start:stream.end])
        print(stream.name)
        print(f"  start, length    {stream.start:#x}, {stream.length:,} bytes in {stream.section}"
              f" (its record: {stream.record:#x})")
        print(f"  zlib header      {data[stream.start:stream.start + 2].hex(' ').upper()}")
        print(f"  Adler-32 trailer {adler}")
        if problem:
            problems.append(problem)
            continue
        files[stream.name] = decoded
        program = windows_program(decoded)
        print(f"  decoded          {len(decoded):,} bytes")
        print(f"  SHA-256          {hashlib.sha256(decoded).hexdigest()}")
        kind, holds = embedded_signature(decoded) if program else ("", True)
        print(f"  Windows program  {f'yes (MZ/PE), {kind}' if program else 'no'}")
        unverified = unverified or (None if holds else f"{stream.name} is {kind}")
        if signed and program and not pe_signature.certificate_table(decoded)[1]:
            warnings.append(f"warning: {stream.name} is unsigned, inside a signed setup program:"
                            " reputation checks judge it too")
    print("\n".join(warnings), end="\n" if warnings else "")
    if problems:
        return 1, problems[0]
    if args.extract:
        try:
            os.makedirs(args.extract, exist_ok=True)
            for name, content in files.items():
                with open(os.path.join(args.extract, name), "wb") as f:
                    f.write(content)
        except OSError as error:
            return 1, f"cannot extract into {args.extract}: {error.strerror}"
        print(f"Extracted into {args.extract}: {', '.join(files)}")
    if unverified:
        return 2, unverified
    if args.require_signature and not signed:
        return 3, "it is not signed (--require-signature)"
    return 0, None


def roots(ca):
    """The roots that timestamps' authorities must chain to: those in the PEM
    file given, else the system's store, as osslsigncode's own default. A
    reason instead where the file given can't serve."""
    try:
        with open(ca or ssl.get_default_verify_paths().openssl_cafile, "rb") as f:
            found = judging.roots_in(f.read())
    except OSError as error:
        if ca:
            return None, f"cannot read the roots file {ca}: {error.strerror}"
        found = []  # no store: nothing is trusted
    except ValueError as error:
        return None, f"the roots file {ca} is not readable PEM ({error})"
    return (found, None) if found or not ca else (None, f"the roots file {ca} holds no PEM"
                                                        " certificate")


def main():
    parser = argparse.ArgumentParser(prog="inspect",
                                     description="Shows what a built setup program carries.")
    parser.add_argument("program", help="the setup program, LirabelWarden.exe")
    parser.add_argument("--extract", metavar="FOLDER", help="write the two files into FOLDER")
    parser.add_argument("--ca", metavar="FILE",
                        help="verify the signature's chains against the roots in this PEM file"
                             " (default: the system's store)")
    parser.add_argument("--osslsigncode", metavar="PATH",
                        help="the osslsigncode that verifies the chains (default: from PATH)")
    parser.add_argument("--require-signature", action="store_true",
                        help="exit with status 3 where the program is not signed")
    parser.add_argument("--sbom", action="store_true",
                        help="print the program and the two files it carries as a CycloneDX 1.6"
                             " bill of materials")
    args = parser.parse_args()
    try:
        if args.sbom:
            status, reason = 1, document.print_bom(args.program)
        else:
            trusted, reason = roots(args.ca)
            osslsigncode = Osslsigncode(args.osslsigncode or shutil.which("osslsigncode"))
            if args.osslsigncode and osslsigncode.problem:  # the one asked for must serve
                reason = osslsigncode.problem
            status, reason = (1, reason) if reason else inspect(
                args.program, args, osslsigncode, judging.Policy(roots=trusted))
    except BrokenPipeError:  # the reader stopped early, as `| head` does
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())  # nothing left to flush
        return 0
    except Exception as error:  # pefile has more ways to fail on damaged headers than it names
        status, reason = 1, ("not a setup program: its structure is damaged"
                             f" ({type(error).__name__}: {error})")
    if reason:
        sys.stdout.flush()
        print(f"inspect: {args.program}: {reason}", file=sys.stderr)
        return status
    return 0


if __name__ == "__main__":
    sys.exit(main())
