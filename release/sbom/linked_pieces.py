"""The libraries a program was linked with, found from its link map alone:
for each piece of the link that is not the program's own code, the Debian
package that installed it (dpkg), the source file it was compiled from (its
debugging information, or where Debian stripped that, what licence_duties.py
records for the archive), and the licence its package's copyright file gives
that source file. The pieces of one package and one library make one
library: zlib, the mingw-w64 runtime, libgcc, ... Also the identifiers by
which scanners know them (purl, CPE). Raises ValueError, saying what and why,
for a piece that no package installed, whose source file is not known, or
whose licence is not decided (licence_duties.py)."""
import os
import re
import subprocess
import urllib.parse
from dataclasses import dataclass, field

from release.link import coff_archive, link_map
from release.sbom import debian_copyright, licence_duties

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
    package: dict  # the installed package's fields: Package, Version, source:Package, ...
    creator: dict  # CycloneDX organizational entity
    copyright: debian_copyright.CopyrightFile | None
    objects: list = field(default_factory=list)
    version: str = ""

    def files(self):
        """{archive or object file the link read: [LinkedObject taken from it]}, sorted."""
        files = {}
        for obj in sorted(self.objects, key=lambda o: o.piece):
            files.setdefault(obj.piece.path, []).append(obj)
        return files

    def upstream(self):
        """(CycloneDX reference type, address) of where upstream publishes the
        library: its sources, as the copyright file's Source gives them, else
        the package's home page; None where the package names neither."""
        if self.copyright and self.copyright.header.get("Source"):
            return "source-distribution", self.copyright.header["Source"]
        return ("website", self.package["Homepage"]) if self.package["Homepage"] else None


def licence(objects):
    """The SPDX expression of the given linked objects together."""
    terms = sorted({o.licence for o in objects})
    return " AND ".join(f"({t})" if len(terms) > 1 and re.search(r"\bOR\b", t) else t
                        for t in terms)


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


_PACKAGE_FIELDS = ("Package", "Version", "Architecture", "source:Package", "source:Version",
                   "Homepage")


def _package_facts(package):
    """{field: value} of an installed package, the fields above: what Debian says of it."""
    form = "\t".join(f"${{{name}}}" for name in _PACKAGE_FIELDS)
    status, output = _run(["dpkg-query", "-W", "-f", form, package])
    values = output.split("\t")
    if status or len(values) != len(_PACKAGE_FIELDS) or not all(values[:5]):
        raise ValueError(f"dpkg-query knows no installed package {package}")
    return dict(zip(_PACKAGE_FIELDS, values))


def _dwarf_sources(path, objdump):
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


def sources_without_debug_info(upstream, archive, facts):
    """The paths of the upstream tree that an object without debugging
    information may have been made from, as licence_duties.py records for its
    archive; [] where nothing tells."""
    stub_sections = {".text", ".data", ".bss"}
    idata = {s for s in facts.sections if s.startswith(".idata$")}
    if facts.import_library and idata and facts.sections - idata <= stub_sections:
        made = re.fullmatch(r"(lib\w*?)_lib(\w+)", facts.import_library)
        places = licence_duties.IMPORT_DEFINITIONS.get(upstream, ())
        if not made:
            return []
        folder, name = made.groups()
        return [place.format(folder=folder, name=name.removesuffix("_def")) for place in places]
    bare = facts.file_symbol
    if (upstream, archive) in licence_duties.SOURCES_AT_THE_TOP and bare and bare != "fake" \
            and "/" not in bare:
        return [bare]
    return []


def _source_candidates(path, objdump, upstream, members):
    """{member: [the source files it may have been made from]}; a member
    with debugging information has exactly one."""
    candidates = {m: [s] for m, s in _dwarf_sources(path, objdump).items()}
    missing = [m for m in members if m not in candidates]
    if missing:
        with open(path, "rb") as f:
            data = f.read()
        objects = {None: data} if missing == [None] else coff_archive.members(data, set(missing))
        for member in missing:
            facts = coff_archive.facts(objects[member], member or path) if member in objects \
                else coff_archive.CoffFacts()
            candidates[member] = sources_without_debug_info(upstream, os.path.basename(path),
                                                            facts)
    return candidates


def _stanza(copyright, candidates, where):
    """The one stanza of the copyright file that covers every candidate source."""
    if not candidates:
        raise ValueError(f"{where}: no debugging information names the source file it was made "
                         f"from, so its package's copyright file cannot tell its licence; decide "
                         f"where it comes from in release/sbom/licence_duties.py")
    stanzas = {id(s): s for s in (copyright.stanza_for(c) for c in candidates)}
    if len(stanzas) > 1:
        raise ValueError(f"{where}: it was made from one of {', '.join(candidates)}, to which "
                         f"its package's copyright file gives different licences")
    return next(iter(stanzas.values()))


def _identify(package, objdump, pieces):
    """The libraries and the licence of each piece a package gave the link."""
    with open(f"/usr/share/doc/{package}/copyright", encoding="utf-8", errors="replace") as f:
        text = f.read()
    try:
        copyright = debian_copyright.CopyrightFile(text)
    except ValueError:
        copyright = None
    facts = _package_facts(package)
    libraries, sources = {}, {}
    for piece in pieces:
        where = f"{piece.label()} (from {package})"
        if copyright:
            name = copyright.header.get("Upstream-Name", package)
            if piece.path not in sources:
                members = [p.member for p in pieces if p.path == piece.path]
                sources[piece.path] = _source_candidates(piece.path, objdump, name, members)
            stanza = _stanza(copyright, sources[piece.path].get(piece.member, []), where)
            licence = licence_duties.spdx(stanza.licence, where)
            creator = {"name": name, "url": [copyright.header["Source"]]} \
                if copyright.header.get("Source") else {"name": name}
        else:
            stanza, creator = None, licence_duties.GCC_CREATOR
            name, licence = licence_duties.gcc_piece(os.path.basename(piece.path), text, where)
        if name not in libraries:
            libraries[name] = Library(name, facts, creator, copyright)
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
        lib.version = versions.get(lib.name) or _upstream(lib.package["Version"])
    return sorted(libraries, key=lambda lib: (lib.name, lib.package["Package"]))


def _encoded(text):
    return urllib.parse.quote(text, safe=".-_~")


def distro_id(distro):
    """"debian-12": the machine's os-release ID and VERSION_ID, as scanners key Debian releases."""
    if not distro.get("ID") or not distro.get("VERSION_ID"):
        raise ValueError("the machine's os-release names no ID and VERSION_ID: the bill of "
                         "materials cannot say which Debian release its libraries come from")
    return f"{distro['ID']}-{distro['VERSION_ID']}"


def purl(package, distro):
    """The purl of an installed Debian package ({field: value} of dpkg-query).
    The form is the purl specification's deb type (types/deb-definition.json:
    pkg:deb/<vendor>/<package>@<version>, qualifiers arch and distro). Scanners
    (syft and grype, OSV's Debian records, Debian's own advisories) key a
    Debian package by its source package, which the qualifier upstream names,
    with "@version" where the source version differs from the binary's; they
    write distro as ID-VERSION_ID. Qualifiers in the specification's
    canonical order: sorted by key."""
    upstream = package["source:Package"]
    if package["source:Version"] != package["Version"]:
        upstream += f"@{package['source:Version']}"
    qualifiers = {"arch": package["Architecture"], "distro": distro_id(distro),
                  "upstream": upstream}
    return (f"pkg:deb/{distro['ID'].lower()}/{package['Package'].lower()}@"
            f"{_encoded(package['Version'])}?"
            + "&".join(f"{key}={_encoded(value)}" for key, value in sorted(qualifiers.items())))


# The products under which NVD's CPE dictionary records a library's
# vulnerabilities: (vendor, product). zlib is cpe:2.3:a:zlib:zlib; libgcc is
# GCC's runtime, which NVD records as GCC, cpe:2.3:a:gnu:gcc. For mingw-w64
# no product was found in NVD's dictionary: it gets no CPE rather than a
# guessed one, and scanners match it by its purl alone.
NVD_PRODUCTS = {"zlib": ("zlib", "zlib"), "libgcc": ("gnu", "gcc")}


def cpe(name, version):
    """The CPE 2.3 formatted string of a library's version, or None where NVD
    has no product for it. Characters other than letters, digits, "-", "." and
    "_" are escaped with a backslash, as the CPE 2.3 naming specification
    (NISTIR 7695, 6.2) asks."""
    if name not in NVD_PRODUCTS or not version:
        return None
    vendor, product = NVD_PRODUCTS[name]
    version = re.sub(r"([^A-Za-z0-9._\-])", r"\\\1", version)
    return f"cpe:2.3:a:{vendor}:{product}:{version}:*:*:*:*:*:*:*"


def debian_snapshot(package):
    """The page of an installed package's source package and of the binary
    packages built from it, which snapshot.debian.org keeps for good."""
    return (f"https://snapshot.debian.org/package/{_encoded(package['source:Package'])}/"
            f"{_encoded(package['source:Version'])}/")


def uses(libraries, taken):
    """[(file, file it uses)] of the archives and objects the link read, where
    the map says a piece of the first made the linker take a piece of the
    second. The map names only the first file that asked for each member, so
    later users are missing."""
    linked = {o.piece for lib in libraries for o in lib.objects}
    return sorted({(r.path, m.path) for m, r in taken.items()
                   if m in linked and r in linked and m.path != r.path})


def distribution(path="/etc/os-release"):
    """The fields of the build machine's os-release file (ID, VERSION_CODENAME, NAME, ...)."""
    fields = {}
    with open(path, encoding="utf-8") as f:
        for line in f:
            key, _, value = line.strip().partition("=")
            fields[key] = value.strip('"')
    return fields
