"""What a COFF object (a mingw-w64 .o, or a member of a GNU ar archive of
them) still says of its origin where Debian stripped its debugging
information: the file name its .file symbol keeps, its section names, and for
an import stub the library dlltool wrote. Read from the bytes alone (the
layouts of Microsoft's "PE Format" document: the COFF file header, section
table, symbol table and string table); a structure that can't be parsed
raises ValueError naming the member and what is wrong."""
import re
import struct
from dataclasses import dataclass, field

_C_FILE = 103  # storage class of the .file symbol, whose auxiliary records hold the name


@dataclass
class CoffFacts:
    file_symbol: str | None = None  # the source's bare name, or dlltool's "fake"
    sections: set = field(default_factory=set)
    import_library: str | None = None  # "lib64_libkernel32": the library dlltool wrote


def members(data, wanted):
    """{member: bytes} of the `wanted` members of an ar archive (GNU long names)."""
    if not data.startswith(b"!<arch>\n"):
        raise ValueError("not an ar archive")
    found, long_names, offset = {}, b"", 8
    while offset + 60 <= len(data):
        header = data[offset:offset + 60]
        if header[58:60] != b"`\n" or not header[48:58].strip().isdigit():
            raise ValueError(f"a damaged member header at byte {offset}")
        name, size = header[:16].decode("latin-1").rstrip(), int(header[48:58])
        body = data[offset + 60:offset + 60 + size]
        if name == "//":
            long_names = body
        elif re.fullmatch(r"/\d+", name):
            start = int(name[1:])
            name = long_names[start:long_names.find(b"/\n", start)].decode("latin-1")
        name = name.rstrip("/")
        if name in wanted:
            if found.get(name, body) != body:
                raise ValueError(f"the archive holds two different members called {name}")
            found[name] = body
        offset += 60 + size + size % 2
    return found


def facts(obj, member):
    """The CoffFacts of a COFF object's bytes."""
    try:
        _, count, _, table, symbols, optional, _ = struct.unpack_from("<HHIIIHH", obj)
        strings = table + 18 * symbols

        def text(raw):  # an 8-byte name, or a reference into the string table
            if raw.startswith(b"/") or raw[:4] == b"\0\0\0\0":
                start = strings + (int(raw[1:].rstrip(b"\0")) if raw.startswith(b"/") else
                                   struct.unpack_from("<I", raw, 4)[0])
                return obj[start:obj.index(b"\0", start)].decode("latin-1")
            return raw.rstrip(b"\0").decode("latin-1")

        found = CoffFacts(sections={text(obj[20 + optional + 40 * i:][:8]) for i in range(count)})
        index = 0
        while index < symbols:
            name, _, _, _, storage, aux = struct.unpack_from("<8sIhHBB", obj, table + 18 * index)
            if storage == _C_FILE and found.file_symbol is None:
                raw = obj[table + 18 * (index + 1):table + 18 * (index + 1 + aux)]
                found.file_symbol = text(raw[:8]) if raw[:4] == b"\0\0\0\0" else \
                    raw.rstrip(b"\0").decode("latin-1")
            made = re.fullmatch(r"_head_(\w+)_a|__(\w+)_a_iname", text(name))
            if made:
                found.import_library = made.group(1) or made.group(2)
            index += 1 + aux
        return found
    except (struct.error, ValueError) as error:
        raise ValueError(f"{member}: not a COFF object that can be read ({error})") from None
