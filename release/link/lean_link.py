"""What a shipped program must never be linked with, judged from its link map.

The setup program is small because it carries none of the C++ runtime's
compiled part: its code is built without exceptions, with its own allocation
path and error hooks (src/shell/memory.cc), and takes from libstdc++ only what
its headers instantiate into the program itself. One call of an out-of-line
library function is enough to undo that: GCC 14's std::string, for one,
declares its cold replace path extern, and a single insert pulled in
libstdc++'s string instantiations, with them the exception runtime, the
unwinder, the threads library and mingw-w64's own printf: three times the
program, downloaded by every user, and more licences owed. So the build reads
the map of every link that ships and fails, naming the member, the file whose
reference took it and the symbol, before the program can be signed or
published.

    python3 -m release.link.lean_link MAP PROGRAM
(with the repository's top folder on PYTHONPATH, as cmake/LeanLink.cmake runs it)
checks the link that wrote MAP and PROGRAM; where it took something unwanted,
says what on standard error, removes PROGRAM and exits with status 1."""
import os
import sys

from release.link import link_map

# gdtoa, the number conversion that mingw-w64's printf brings: its sources.
_GDTOA = {"arithchk", "dmisc", "dtoa", "g__fmt", "g_dfmt", "g_ffmt", "g_xfmt", "gdtoa", "gethex",
          "gmisc", "hd_init", "hexnan", "misc", "qnan", "smisc", "strtodg", "strtodnrp", "strtof",
          "strtopx", "sum", "ulp"}

# (archive, whether a member's name (less the archive's prefix and ".o") is
# meant, or None for every member, what it is).
UNWANTED = [
    ("libstdc++.a", None, "the C++ standard library's compiled part"),
    ("libsupc++.a", None, "the C++ language support library (exceptions, type information)"),
    ("libgcc_eh.a", None, "the C++ exception unwinder"),
    ("libpthread.a", None, "the POSIX threads library"),
    ("libwinpthread.a", None, "the POSIX threads library"),
    ("libmingwex.a", lambda name: "printf" in name or "pformat" in name or name in _GDTOA,
     "mingw-w64's own printf and its number conversion (gdtoa)"),
]


def _unwanted(piece):
    """What a linked piece is, where the program must not carry it; else None."""
    archive = os.path.basename(piece.path)
    # "lib64_libmingwex_a-dmisc.o" -> "dmisc"
    member = os.path.splitext((piece.member or "").rsplit("-", 1)[-1])[0]
    for name, meant, what in UNWANTED:
        if archive == name and (meant is None or meant(member)):
            return what
    return None


def problems(reasons):
    """One line for each unwanted member that the program's own code (or
    anything else that is not unwanted itself) made the linker take, from
    {member: (referrer, symbol)} of link_map.reasons; [] for a lean link. A
    member taken only for another unwanted one is counted, not named."""
    unwanted = {member: what for member in reasons if (what := _unwanted(member))}
    lines = []
    for member, what in sorted(unwanted.items()):
        referrer, symbol = reasons[member]
        if referrer not in unwanted:
            lines.append(f"{member.label()} ({what}), taken for {referrer.label()}'s reference "
                         f"to {symbol}")
    if lines and len(unwanted) > len(lines):
        lines.append(f"and with it {len(unwanted) - len(lines)} more such members")
    return lines


def main(map_path, program):
    with open(map_path, encoding="utf-8", errors="replace") as f:
        found = problems(link_map.reasons(f.read()))
    if not found:
        return 0
    name = os.path.basename(program)
    print(f"error: {name} is linked with code it must not carry, so it is removed:", file=sys.stderr)
    for line in found:
        print(f"  {line}", file=sys.stderr)
    print("  Write that code so that it needs no such member (the map's \"Archive member included"
          f" to satisfy reference\" section in {map_path} shows the whole chain).", file=sys.stderr)
    if os.path.exists(program):
        os.remove(program)
    return 1


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
