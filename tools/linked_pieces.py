"""The libraries a program was linked with, found from its link map alone:
for each piece of the link that is not the program's own code, the Debian
package that installed it (dpkg), the source file it was compiled from (its
debugging information, where the package kept it), and the licence its
package's copyright file gives that source file. The pieces of one package
and one library make one library: zlib, the mingw-w64 runtime, libgcc, ...
Raises ValueError, saying what and why, for a piece that no package
installed or whose licence is not decided (licence_duties.py)."""
import os
import re
import subprocess
import urllib.parse
from dataclasses import dataclass, field

import debian_copyright
import licence_duties
import link_map

# Libraries whose headers say their version: (header, macro).
VERSION_MACROS = {"zlib": ("zlib.h", "ZLIB_VERSION"),
                  "mingw-w64": ("_mingw.h", "__MINGW64_VERSION_STR")}


@dataclass
class LinkedObject:
    piece: link_map.Piece
    licence: str  # SPDX expression
    stanza: debian_copyright.Stanza | None  # where its notice comes from


@dataclass
class Library:
    name: str
    package: str
    package_version: str
    architecture: str
    creator: dict  # CycloneDX organizational entity
    copyright: debian_copyright.CopyrightFile | None
    objects: list = field(default_factory=list)
    version: str = ""

    def licence(self):
        """The SPDX expression of everything the link took from it."""
        return " AND ".join(sorted({o.licence for o in self.objects}))


def _run(command, stdin=None):
    done = subprocess.run(command, input=stdin, capture_output=True, text=True,
                          errors="replace", check=False)
    return done.returncode, done.stdout


def _owners(paths):
    """{path: Debian package that installed it}; ValueError for a path of none."""
    _, output = _run(["dpkg", "-S", *paths])
    owner = {}
    for line in output.splitlines():
        package, _, path = line.partition(": ")
        if path in paths and "," not in package:
            owner[path] = package.split(":")[0]  # less a multiarch qualifier
    missing = [path for path in paths if path not in owner]
    if missing:
        raise ValueError(f"no Debian package installed {', '.join(missing)}: the bill of "
                         f"materials cannot say what it is or under which licence")
    return owner


def _package_facts(package):
    """(version, architecture) of an installed package."""
    status, output = _run(["dpkg-query", "-W", "-f", "${Version} ${Architecture}", package])
    if status or len(output.split()) != 2:
        raise ValueError(f"dpkg-query knows no installed package {package}")
    return tuple(output.split())


def _source_files(path, objdump):
    """{member (None for a plain object file): its source file as the debugging
    information names it, relative to the upstream source tree}."""
    # Depth 1: each compilation unit without what it holds, whose name comes first.
    _, output = _run([objdump, "--dwarf=info", "--dwarf-depth=1", path])
    sources, member = {}, None
    for line in output.splitlines():
        if "file format " in line:
            member = line.split(":", 1)[0]
            member = None if member == path else member
        elif "DW_AT_name" in line and member not in sources:
            name = re.search(r"DW_AT_name\s*:\s*(?:\(.*\):\s*)?(.+)$", line)
            sources[member] = os.path.normpath(name.group(1).strip())
    return sources


def _identify(package, objdump, pieces):
    """The libraries and the licence of each piece a package gave the link."""
    with open(f"/usr/share/doc/{package}/copyright", encoding="utf-8", errors="replace") as f:
        text = f.read()
    try:
        copyright = debian_copyright.CopyrightFile(text)
    except ValueError:
        copyright = None
    libraries, sources = {}, {}
    for piece in pieces:
        where = f"{piece.label()} (from {package})"
        if copyright:
            if piece.path not in sources:
                sources[piece.path] = _source_files(piece.path, objdump)
            source = sources[piece.path].get(piece.member, os.path.basename(piece.label()))
            stanza = copyright.stanza_for(source)
            name, licence = copyright.header.get("Upstream-Name", package), \
                licence_duties.spdx(stanza.licence, where)
            creator = {"name": name, "url": [copyright.header["Source"]]} \
                if copyright.header.get("Source") else {"name": name}
        else:
            stanza, creator = None, licence_duties.GCC_CREATOR
            name, licence = licence_duties.gcc_piece(os.path.basename(piece.path), text, where)
        if name not in libraries:
            libraries[name] = Library(name, package, *_package_facts(package), creator, copyright)
        libraries[name].objects.append(LinkedObject(piece, licence, stanza))
    return list(libraries.values())


def _header_versions(compiler, names):
    """{library: version} from the version macros of the libraries' headers."""
    wanted = [n for n in names if n in VERSION_MACROS]
    source = "".join(f"#include <{VERSION_MACROS[n][0]}>\nlbw_version_{i} {VERSION_MACROS[n][1]}\n"
                     for i, n in enumerate(wanted))
    status, output = _run([compiler, "-E", "-P", "-x", "c", "-"], stdin=source)
    versions = {}
    for i, name in enumerate(wanted):
        found = re.search(rf"^lbw_version_{i} (.*)$", output, re.M)
        if status or not found:
            raise ValueError(f"{compiler} does not expand {VERSION_MACROS[name][1]}")
        versions[name] = "".join(re.findall(r'"([^"]*)"', found.group(1)))
    return versions


def _upstream(debian_version):
    """The upstream part of a Debian version: no epoch, no Debian revision."""
    return debian_version.split(":", 1)[-1].rsplit("-", 1)[0]


def identify(pieces, build_dir, compiler, objdump):
    """The libraries the link took the given pieces from, the program's own
    code left out, sorted by name; each with its version."""
    third_party = [p for p in pieces if not link_map.is_own(p, build_dir)]
    owner = _owners(sorted({p.path for p in third_party}))
    libraries = []
    for package in sorted(set(owner.values())):
        given = [p for p in third_party if owner[p.path] == package]
        libraries += _identify(package, objdump, given)
    versions = _header_versions(compiler, [lib.name for lib in libraries])
    for lib in libraries:
        lib.version = versions.get(lib.name) or _upstream(lib.package_version)
    return sorted(libraries, key=lambda lib: (lib.name, lib.package))


def purl(lib, distro):
    """pkg:deb/<vendor>/<package>@<version>?arch=...&distro=... of its Debian package."""
    version = urllib.parse.quote(lib.package_version, safe=".-_~")
    return (f"pkg:deb/{distro['ID']}/{lib.package}@{version}"
            f"?arch={lib.architecture}&distro={distro['VERSION_CODENAME']}")


def uses(libraries, taken):
    """[(library, library it uses)] where the map says a piece of the first made
    the linker take a piece of the second. The map names only the first file
    that asked for each member, so later users are missing."""
    library_of = {o.piece: lib for lib in libraries for o in lib.objects}
    pairs = {(id(library_of[r]), id(library_of[m])): (library_of[r], library_of[m])
             for m, r in taken.items()
             if m in library_of and r in library_of and library_of[m] is not library_of[r]}
    return list(pairs.values())


def distribution(path="/etc/os-release"):
    """The fields of the build machine's os-release file (ID, VERSION_CODENAME, NAME, ...)."""
    fields = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            key, _, value = line.strip().partition("=")
            fields[key] = value.strip('"')
    return fields
