#!/usr/bin/python3
"""write_sbom.py PROGRAM --link-map MAP --build-dir DIR --source-dir DIR
                 --compiler CC --objdump OBJDUMP [--supplier "NAME <ADDRESS>"]
                 --sbom OUT.cdx.json --notices OUT.txt
Writes the bill of materials of the setup program as it was finally written
(signed, where it is signed): a CycloneDX 1.6 document with the program, the
two files it carries (nested in it), and every library the linker took object
files from, found from the link map alone. Writes beside it the third-party
notices those libraries' licences ask for. Two builds of the same sources give
the same bytes: no clock is read and no path of the build machine is written.

  --supplier  the publisher, as the creator of the document and the supplier
              and manufacturer of the program: a name and, in angle brackets,
              a URL (http:// or https://) or an e-mail address
The time of the document is SOURCE_DATE_EPOCH where it is set, else the time
of the last commit of the source folder's git repository; without either the
document has no time, and a warning says so. Exit status 1 on any failure,
the reason on standard error, and neither file is left."""
import argparse
import datetime
import os
import re
import subprocess
import sys
from pathlib import Path

sys.dont_write_bytecode = True
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tools"))
import link_map  # noqa: E402
import linked_pieces  # noqa: E402
import notices  # noqa: E402
import setup_sbom  # noqa: E402


def organisation(text):
    """The CycloneDX organizational entity of "Name <https://...>" or
    "Name <someone@example.org>"; None for an empty text; ValueError otherwise."""
    if not text.strip():
        return None
    found = re.fullmatch(r"\s*([^<>]*?)\s*<\s*([^<>\s]+)\s*>\s*", text)
    if not found or not found.group(1):
        raise ValueError(f"the supplier \"{text}\" is not of the form NAME <URL or E-MAIL>")
    name, address = found.groups()
    if re.match(r"https?://", address):
        return {"name": name, "url": [address]}
    if re.fullmatch(r"[^@]+@[^@]+\.[^@]+", address):
        return {"name": name, "contact": [{"email": address}]}
    raise ValueError(f"the supplier's address \"{address}\" is neither a URL nor an e-mail address")


def document_time(source_dir):
    """The document's time in RFC 3339 (UTC), or None where there is none to take."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH") or None
    if epoch is None and os.path.exists(os.path.join(source_dir, ".git")):
        # Git refuses a checkout that another user owns (CI containers) unless
        # its folder, as git resolves it, is named safe; -c counts (git 2.39).
        top = os.path.realpath(source_dir)
        try:
            epoch = subprocess.run(
                ["git", "-c", f"safe.directory={top}", "-C", top, "log", "-1", "--format=%ct"],
                capture_output=True, text=True, check=True).stdout.strip()
        except (OSError, subprocess.CalledProcessError):
            epoch = None
    if not epoch:
        return None
    if not epoch.isdigit():
        raise ValueError(f"SOURCE_DATE_EPOCH is \"{epoch}\", not a number of seconds")
    moment = datetime.datetime.fromtimestamp(int(epoch), datetime.timezone.utc)
    return moment.strftime("%Y-%m-%dT%H:%M:%SZ")


def library_component(lib, ref, distro):
    # Its code lives on only inside the program: executable, and neither an
    # archive nor a file with metadata of its own there.
    facts = [("bsi:component:executable", "executable"), ("bsi:component:archive", "no archive"),
             ("bsi:component:structured", "unstructured")]
    facts += [("lirabel-warden:linked-object", o.piece.label()) for o in sorted(
        lib.objects, key=lambda o: o.piece)]
    return {"type": "library", "bom-ref": ref,
            "supplier": {"name": distro["NAME"], "url": [distro["HOME_URL"]]},
            "manufacturer": lib.creator, "name": lib.name, "version": lib.version,
            "scope": "required",
            "licenses": [{"expression": lib.licence(), "acknowledgement": "concluded"}],
            "purl": linked_pieces.purl(lib, distro),
            "properties": [{"name": key, "value": value} for key, value in facts]}


def bill(program, libraries, taken, supplier, when):
    """The document: `program` is the program's component, with the two files nested."""
    distro = linked_pieces.distribution()
    name = program["bom-ref"]
    ref = {id(lib): f"{name}/linked/{lib.name}" for lib in libraries}
    if supplier:
        program = {"type": program["type"], "bom-ref": name, "supplier": supplier,
                   "manufacturer": supplier, **program}
    used = {id(lib): [] for lib in libraries}
    for user, lib in linked_pieces.uses(libraries, taken):
        used[id(user)].append(ref[id(lib)])
    dependencies = [{"ref": name, "dependsOn": sorted(ref.values())}] + [
        {"ref": ref[id(lib)], "dependsOn": sorted(used[id(lib)])} for lib in libraries]
    carried = [c["bom-ref"] for c in program["components"]]
    compositions = [{"aggregate": "complete", "assemblies": [name], "dependencies": [name]},
                    {"aggregate": "unknown", "assemblies": carried, "dependencies": carried}]
    if libraries:  # the map names only the first user of each piece
        compositions.append({"aggregate": "incomplete", "dependencies": sorted(ref.values())})
    metadata = {"timestamp": when} if when else {}
    metadata["lifecycles"] = [{"phase": "build"}]
    if supplier:
        metadata.update(manufacturer=supplier, supplier=supplier)
    metadata["component"] = program
    components = [library_component(lib, ref[id(lib)], distro) for lib in libraries]
    return setup_sbom.document(metadata, components, dependencies, compositions)


def write(outputs):
    """Writes {path: text}, each through a temporary file and one rename."""
    for path, content in outputs.items():
        with open(f"{path}.part", "w", encoding="utf-8", newline="\n") as f:
            f.write(content)
    for path in outputs:
        os.replace(f"{path}.part", path)


def make(args):
    supplier = organisation(args.supplier)
    with open(args.program, "rb") as f:
        data = f.read()
    name = os.path.basename(args.program)
    program, reason = setup_sbom.program_component(name, data)
    if reason:
        raise ValueError(f"{name}: {reason}")
    with open(args.link_map, encoding="utf-8", errors="replace") as f:
        pieces, taken = link_map.read(f.read())
    libraries = linked_pieces.identify(pieces, args.build_dir, args.compiler, args.objdump)
    when = document_time(args.source_dir)
    if not when:
        print(f"warning: {os.path.basename(args.sbom)} has no time: neither SOURCE_DATE_EPOCH "
              f"nor a git history of the sources gives one", file=sys.stderr)
    write({args.sbom: setup_sbom.text(bill(program, libraries, taken, supplier, when)),
           args.notices: notices.text(name, libraries)})


def main():
    parser = argparse.ArgumentParser(description="Writes the setup program's bill of materials.")
    parser.add_argument("program")
    for option in ("--link-map", "--build-dir", "--source-dir", "--compiler", "--objdump",
                   "--sbom", "--notices"):
        parser.add_argument(option, required=True)
    parser.add_argument("--supplier", default="")
    args = parser.parse_args()
    try:
        make(args)
    except (OSError, ValueError, RuntimeError) as error:
        for path in (args.sbom, args.notices):
            for leftover in (path, f"{path}.part"):
                if os.path.exists(leftover):
                    os.remove(leftover)
        print(f"write_sbom: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
