"""Where a built setup program keeps the two files it carries.

The program reaches each zlib stream through a record in its read-only data,
written by the build (`loader_payload` and `app_payload`, see
cmake/write_payload_store.cmake): the stream's address in eight bytes, then its
length in eight. The names are stripped from the program, and nothing in the
code holds the numbers: the generated store is compiled without link-time
optimisation, so the program reads the records at run time. What marks the
records is what they are: each address is one that Windows relocates when it
loads the program elsewhere, so the base-relocation table lists it, and the
length after it is no address. What the build guarantees is the layout: the
loader stream first, the application stream right after it, no gap. So the two
records are a pair of such records whose ranges meet, the first ending where
the second begins. A table of texts can hold such a pair too (a text with its
length, and the next text right after it), so where there are several pairs,
the one whose ranges begin with zlib headers (RFC 1950: deflate, a window of at
most 32 KiB, the check bits right) is taken; one damaged header still leaves its
pair ahead. Following the records gives the start and length the program itself
uses; searching the file for zlib headers instead would miss a damaged stream
and could find stray bytes that only look like one.
"""
import struct
from dataclasses import dataclass

from release.program import pe_layout

LOADER_NAME = "WebView2Loader.dll"
APP_NAME = "lirabel-warden.exe"
_DIR64 = 10  # IMAGE_REL_BASED_DIR64: a 64-bit address the loader adjusts


@dataclass
class Stream:
    name: str  # the file it installs as
    start: int  # offset in the file
    length: int  # as recorded in the program
    record: int  # offset in the file of the record the program reads
    section: str  # the section that holds the stream

    @property
    def end(self):
        return self.start + self.length


def _records(pe, data):
    """Every relocated address followed by a length: (record offset, rva, length)."""
    relocated = {entry.rva for block in getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])
                 for entry in block.entries if entry.type == _DIR64}
    base, image_size = pe.OPTIONAL_HEADER.ImageBase, pe.OPTIONAL_HEADER.SizeOfImage
    for rva in sorted(relocated - {rva - 8 for rva in relocated}):
        place = pe_layout.place(pe, rva)
        if place is None or place[1] + 16 > place[0].PointerToRawData + pe_layout.mapped(place[0]):
            continue
        address, length = struct.unpack_from("<QQ", data, place[1])
        if base <= address < base + image_size and 0 < length < 1 << 32:
            yield place[1], address - base, length


def _is_zlib_header(data, offset):
    cmf, flg = data[offset:offset + 2].ljust(2, b"\0")
    return cmf & 0x0F == 8 and cmf >> 4 <= 7 and not flg & 0x20 and (cmf << 8 | flg) % 31 == 0


def _pair(pe, data):
    """The records of the two streams, or a reason why there is no such pair."""
    records = list(_records(pe, data))
    by_start = {}
    for record in records:
        by_start.setdefault(record[1], []).append(record)
    ranked = {}
    for first in records:
        for second in by_start.get(first[1] + first[2], []):
            places = [pe_layout.place(pe, rva) for _, rva, _ in (first, second)]
            headers = sum(1 for place in places if place and _is_zlib_header(data, place[1]))
            ranked.setdefault(headers, []).append((first, second))
    top = max(ranked, default=0)
    if top == 0 or len(ranked[top]) > 1:
        found = f"{len(ranked[top])} equally likely pairs" if top else "no pair"
        return None, f"not a setup program: {found} of stream records back to back"
    return ranked[top][0], None


def find_streams(pe, data):
    """The loader and application streams: ([loader, app], None), or (None, reason)."""
    pair, reason = _pair(pe, data)
    if reason:
        return None, reason
    streams = []
    for name, (record, rva, length) in zip((LOADER_NAME, APP_NAME), pair):
        place = pe_layout.place(pe, rva)
        if place is None:
            return None, f"missing stream: {name}: its bytes are not in the file"
        section, start = place
        if start + length > section.PointerToRawData + pe_layout.mapped(section):
            return None, (f"over-long stream: {name}: {length:,} bytes from offset {start:#x} "
                          f"run past the end of its section")
        streams.append(Stream(name, start, length, record,
                              section.Name.rstrip(b"\0").decode("latin-1")))
    return streams, None
