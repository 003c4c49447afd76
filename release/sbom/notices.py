"""THIRD-PARTY-NOTICES.txt: the notice of every library linked into the
program whose licence asks for it in copies in binary form, taken from the
library's Debian copyright file, for exactly the pieces the link took. What
each licence asks is decided in licence_duties.py."""
import os

from release.sbom import licence_duties

_RULE = "=" * 72


def _blocks(libraries):
    """[(library, copyright stanza, file names)] of the pieces that owe a notice."""
    blocks = {}
    for lib in libraries:
        for obj in lib.objects:
            where = f"{obj.piece.label()} (from {lib.package['Package']})"
            if not licence_duties.needs_notice(obj.licence, where):
                continue
            if obj.stanza is None:
                raise ValueError(f"{where}: {obj.licence} asks for a notice, and its package's "
                                 f"copyright file gives no text for it")
            key = (lib.name, lib.package["Package"], id(obj.stanza))
            files = blocks.setdefault(key, (lib, obj.stanza, set()))[2]
            files.add(os.path.basename(obj.piece.path))
    return [blocks[key] for key in sorted(blocks, key=lambda k: k[:2])]


def text(program, libraries):
    """The file's text for the program called `program`."""
    blocks = _blocks(libraries)
    if not blocks:
        return (f"Third-party notices for {program}\n\n{program} contains no code whose "
                f"licence asks for a notice in copies of the program.\n")
    parts = [f"Third-party notices for {program}\n\n"
             f"{program} contains code of the libraries below, linked into it when it\n"
             f"was built. Their licences ask that these notices go with every copy of it.\n"]
    for lib, stanza, files in blocks:
        package = f"{lib.package['Package']} {lib.package['Version']}"
        parts.append(f"{_RULE}\n{lib.name} {lib.version} (Debian package {package})\n"
                     f"Linked from: {', '.join(sorted(files))}\n\n"
                     f"Copyright: {stanza.copyright.replace(chr(10), chr(10) + ' ' * 11)}\n"
                     f"License: {stanza.licence}\n\n"
                     f"{lib.copyright.licence_text(stanza).strip()}\n")
    return "\n".join(parts)
