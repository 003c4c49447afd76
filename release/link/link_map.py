"""What went into a program, as GNU ld's link map (-Map) tells it: each
archive member the linker took and the file whose reference made it take
that member, and each object file it loaded as it stands (the start-up
objects crt2.o, crtbegin.o, crtend.o among them).

With -flto the map also names the objects the compiler made during the link
(/tmp/ccXXXXXX.ltrans0.ltrans.o): they hold the program's own code, like the
project's own archives and objects, whose paths are relative to the build
folder. Archive members taken for symbols "from plugin" were asked for by
that own code before it was compiled; members taken afterwards, for the
compiled code, are listed too. A member counts as taken even where
--gc-sections later dropped all of its sections: the linker took it."""
import os
import re
from dataclasses import dataclass

_MEMBERS_HEADING = "Archive member included to satisfy reference by file (symbol)"
_MEMBER = re.compile(r"^(\S.*?\.a)\(([^()]+)\)(?:\s+(\S.*))?$")
_LOAD = re.compile(r"^LOAD (.+\.o(?:bj)?)$")
_LTO_PART = re.compile(r"\.ltrans\d+\.ltrans\.o$")


@dataclass(frozen=True, order=True)
class Piece:
    path: str  # the archive, or the object file loaded as it stands
    member: str | None  # the object file taken from the archive

    def label(self):
        """"libz.a(inflate.o)" or "crt2.o": the file names, no folders."""
        name = os.path.basename(self.path)
        return f"{name}({self.member})" if self.member else name


def _piece_of(text):
    """The piece a referrer text ("path", "archive(member)") names."""
    found = _MEMBER.match(text)
    if found:
        return Piece(os.path.normpath(found.group(1)), found.group(2))
    return Piece(os.path.normpath(text), None)


def _reason(text):
    """(the file, the symbol) of "file (symbol)" or "file (symbol from plugin) (symbol)"."""
    file, _, rest = text.strip().partition(" (")
    rest = rest.removeprefix("symbol from plugin) (")
    return _piece_of(file), rest[:-1] if rest.endswith(")") else rest


def _taken_members(lines):
    """{member piece: (the piece whose reference made the linker take it, the symbol)}."""
    taken, pending = {}, None
    for line in lines:
        if not line.strip():
            continue
        if not line[0].isspace():
            found = _MEMBER.match(line)
            if not found:
                break  # the next part of the map
            pending = Piece(os.path.normpath(found.group(1)), found.group(2))
            if found.group(3) is None:
                continue  # the referrer is on the next line
            line = found.group(3)
        if pending:
            taken[pending], pending = _reason(line), None
    return taken


def reasons(text):
    """{member piece: (the piece that referred to it, the symbol it wanted)}
    from a map's text: why the linker took each archive member."""
    lines = text.splitlines()
    start = lines.index(_MEMBERS_HEADING) + 1 if _MEMBERS_HEADING in lines else len(lines)
    return _taken_members(lines[start:])


def read(text):
    """(every piece the link took, {member: referrer}) from a map's text. The
    pieces are sorted; paths keep their folders (normalised), as the map gives them."""
    taken = {member: referrer for member, (referrer, _) in reasons(text).items()}
    loaded = {Piece(os.path.normpath(found.group(1)), None)
              for found in map(_LOAD.match, text.splitlines()) if found}
    return sorted(set(taken) | loaded), taken


def is_own(piece, build_dir):
    """Whether a piece is the program's own code rather than something it was
    linked with: relative to the build folder, inside it, or made by LTO."""
    path = piece.path
    if not os.path.isabs(path) or _LTO_PART.search(path):
        return True
    return os.path.commonpath([path, os.path.abspath(build_dir)]) == os.path.abspath(build_dir)
