"""python3 -m release.sbom.write PROGRAM --link-map MAP --build-dir DIR --source-dir DIR
                 --compiler CC --objdump OBJDUMP [--supplier "NAME <ADDRESS>"]
                 [--licence SPDX] [--loader-licence SPDX] [--carried NAME=PATH]...
                 [--release] --sbom OUT.cdx.json --notices OUT.txt
Writes the bill of materials of the setup program as it was finally written
(signed, where it is signed): a CycloneDX 1.6 document with the program, the
two files it carries (nested in it), and every archive or object file the
linker took code from, found from the link map alone. Writes beside it the
third-party notices those libraries' licences ask for. Two builds of the same
sources give the same bytes: no clock is read and no path of the build
folder is written.

  --supplier        the publisher, as the creator of the document and the
                    supplier and manufacturer of the program: a name and, in
                    angle brackets, a URL (http:// or https://) or an e-mail
  --licence         SPDX expression: the licence of the program and of the
                    application it carries
  --loader-licence  SPDX expression: the licence of the loader it carries
  --carried         a carried file and the file the build embedded, whose date
                    is its version where it has no version block
  --release         a release (signed): the document must be complete
The time of the document is SOURCE_DATE_EPOCH where it is set, else the time
of the last commit of the source folder's git repository. Without a time, a
supplier or a licence, a release fails and any other build warns and writes
what it knows. Exit status 1 on any failure, the reason on standard error,
and neither file is left."""
import argparse
import datetime
import os
import re
import subprocess
import sys

from release.link import link_map
from release.program import file_facts
from release.sbom import document, linked_pieces, notices, spdx_expression

# Which licence setting covers each file the program carries.
CARRIED_LICENCE = {"lirabel-warden.exe": "licence", "WebView2Loader.dll": "loader_licence"}


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


def _licensed(component, expression):
    """Gives a component its licence, where one is known: the licence under
    which the release distributes it (acknowledgement "concluded", which
    TR-03183-2 2.1 asks of every component), and where it offers no choice
    (no OR), the same as bsi:component:effectiveLicence of BSI's property
    taxonomy for CycloneDX: the licence that applies to this copy, which
    replaces the taxonomy's bsi:component:associatedLicences."""
    if expression:
        component["licenses"] = [{"expression": expression, "acknowledgement": "concluded"}]
        if not re.search(r"\bOR\b", expression):
            component["properties"].append({"name": "bsi:component:effectiveLicence",
                                            "value": expression})


def file_date(mtime, when):
    """The date of a file as a version (RFC 3339, UTC): its modification
    time, no later than the document's time, as reproducible builds clamp
    file dates, so that a file made during the build gives the same date in
    every build of the same sources."""
    moment = datetime.datetime.fromtimestamp(int(mtime), datetime.timezone.utc)
    stamp = moment.strftime("%Y-%m-%dT%H:%M:%SZ")
    return min(stamp, when) if when else stamp


def release_program(program, supplier, licences, carried, when):
    """The program's component as the build knows it beyond its bytes: its
    supplier and creator, the licences, and where a carried file has no
    version block, the date of the file that was embedded as its version
    (TR-03183-2 takes a file's date where a component has no version) and
    the supplier as its creator."""
    if supplier:
        program = {"type": program["type"], "bom-ref": program["bom-ref"], "supplier": supplier,
                   **program, "manufacturer": supplier}
    _licensed(program, licences["licence"])
    for file in program["components"]:
        if file["name"] not in CARRIED_LICENCE or file["name"] not in carried:
            raise ValueError(f"the program carries {file['name']}, which the build did not name")
        path = carried[file["name"]]
        with open(path, "rb") as f:
            if file_facts.hashes(f.read()) != file["hashes"]:
                raise ValueError(f"the program's {file['name']} is not the file {path}")
        if "version" not in file:
            file["version"] = file_date(os.stat(path).st_mtime, when)
            file["properties"].append({"name": "lirabel-warden:version-source",
                                       "value": "the file's date"})
        if "manufacturer" not in file and supplier:
            file["manufacturer"] = supplier
        _licensed(file, licences[CARRIED_LICENCE[file["name"]]])
    return program


def library_component(lib, path, objects, ref, distro):
    """The component of one archive (or object file) the link read from a
    library's Debian package: the library's name, version and identifiers,
    and the file as the deployable form, with its hashes in both `hashes` and
    the distribution reference, where TR-03183-2 2.1 checkers read it."""
    with open(path, "rb") as f:
        hashes = file_facts.hashes(f.read())
    name, package = os.path.basename(path), lib.package
    archive = name.endswith(".a")
    expression = linked_pieces.licence(objects)
    facts = [("bsi:component:filename", name), ("bsi:component:executable", "executable"),
             # An archive keeps its members apart, by name; an object is a binary.
             ("bsi:component:archive", "archive" if archive else "no archive"),
             ("bsi:component:structured", "structured" if archive else "unstructured")]
    facts += [("lirabel-warden:linked-object", o.piece.label()) for o in objects]
    deb = f"{package['Package']} {package['Version']} ({package['Architecture']})"
    references = [
        {"type": "distribution", "url": linked_pieces.debian_snapshot(package),
         "comment": f"{path} of the Debian package {deb}, as the link read it",
         "hashes": hashes[:1]},
        {"type": "source-distribution", "url": linked_pieces.debian_snapshot(package),
         "comment": f"Debian's source package {package['source:Package']} "
                    f"{package['source:Version']}"}]
    if lib.upstream():
        kind, url = lib.upstream()
        references.append({"type": kind, "url": url,
                           "comment": f"{lib.name} as its authors publish it"})
    component = {"type": "library", "bom-ref": ref,
                 "supplier": {"name": distro["NAME"], "url": [distro["HOME_URL"]]},
                 "manufacturer": lib.creator, "name": lib.name, "version": lib.version,
                 "scope": "required", "hashes": hashes}
    identifier = linked_pieces.cpe(lib.name, lib.version)
    if identifier:
        component["cpe"] = identifier
    component.update(purl=linked_pieces.purl(package, distro), externalReferences=references,
                     properties=[{"name": key, "value": value} for key, value in facts])
    _licensed(component, expression)
    # CycloneDX 1.6 holds one expression in `licenses`: the one the copyright
    # file declares for these sources goes with the evidence.
    component["evidence"] = {"licenses": [{"expression": expression,
                                           "acknowledgement": "declared"}]}
    return component


def bill(program, libraries, taken, supplier, when):
    """The document: `program` is the program's component, with the two files nested."""
    distro = linked_pieces.distribution()
    name = program["bom-ref"]
    files = [(lib, path, objects) for lib in libraries for path, objects in lib.files().items()]
    ref = {path: f"{name}/linked/{lib.name}/{os.path.basename(path)}" for lib, path, _ in files}
    used = {path: [] for path in ref}
    for user, path in linked_pieces.uses(libraries, taken):
        used[user].append(ref[path])
    dependencies = [{"ref": name, "dependsOn": sorted(ref.values())}] + [
        {"ref": ref[path], "dependsOn": sorted(used[path])} for path in ref]
    carried = [c["bom-ref"] for c in program["components"]]
    compositions = [{"aggregate": "complete", "assemblies": [name], "dependencies": [name]},
                    {"aggregate": "unknown", "assemblies": carried, "dependencies": carried}]
    if libraries:  # the map names only the first user of each piece
        compositions.append({"aggregate": "incomplete", "dependencies": sorted(ref.values())})
    metadata = {"timestamp": when} if when else {}
    metadata["lifecycles"] = [{"phase": "build"}]
    metadata["tools"] = document.tools(
        "lirabel-warden-sbom", "release/sbom/write.py: the bill of materials the build writes of "
        "the setup program")
    if supplier:
        metadata.update(manufacturer=supplier, supplier=supplier)
    metadata["component"] = program
    components = [library_component(lib, path, objects, ref[path], distro)
                  for lib, path, objects in files]
    return document.document(metadata, components, dependencies, compositions)


def write(outputs):
    """Writes {path: text}, each through a temporary file and one rename."""
    for path, content in outputs.items():
        with open(f"{path}.part", "w", encoding="utf-8", newline="\n") as f:
            f.write(content)
    for path in outputs:
        os.replace(f"{path}.part", path)


def gaps(supplier, licences, when):
    """What the document lacks that TR-03183-2 asks for, each as a sentence."""
    missing = [] if supplier else ["no supplier (LBW_SBOM_SUPPLIER): the program and the "
                                   "document name no creator"]
    missing += ["no licence of the program and the application (LBW_SBOM_LICENSE)"] \
        if not licences["licence"] else []
    missing += ["no licence of the loader (LBW_LOADER_LICENSE)"] \
        if not licences["loader_licence"] else []
    missing += [] if when else ["no time: neither SOURCE_DATE_EPOCH nor a git history of the "
                                "sources gives one"]
    return missing


def make(args):
    supplier = organisation(args.supplier)
    licences = {"licence": args.licence, "loader_licence": args.loader_licence}
    for expression in filter(None, licences.values()):
        reason = spdx_expression.problem(expression)
        if reason:
            raise ValueError(f"\"{expression}\" is no SPDX licence expression: {reason}")
    when = document_time(args.source_dir)
    sbom = os.path.basename(args.sbom)
    missing = gaps(supplier, licences, when)
    if missing and args.release:
        raise ValueError(f"{sbom} of a signed release must be complete, and it has "
                         f"{'; '.join(missing)}")
    for gap in missing:
        print(f"warning: {sbom} has {gap}", file=sys.stderr)
    with open(args.program, "rb") as f:
        data = f.read()
    name = os.path.basename(args.program)
    program, reason = document.program_component(name, data)
    if reason:
        raise ValueError(f"{name}: {reason}")
    carried = dict(item.split("=", 1) for item in args.carried)
    program = release_program(program, supplier, licences, carried, when)
    with open(args.link_map, encoding="utf-8", errors="replace") as f:
        pieces, taken = link_map.read(f.read())
    libraries = linked_pieces.identify(pieces, args.build_dir, args.compiler, args.objdump)
    write({args.sbom: document.text(bill(program, libraries, taken, supplier, when)),
           args.notices: notices.text(name, libraries)})


def main():
    parser = argparse.ArgumentParser(description="Writes the setup program's bill of materials.")
    parser.add_argument("program")
    for option in ("--link-map", "--build-dir", "--source-dir", "--compiler", "--objdump",
                   "--sbom", "--notices"):
        parser.add_argument(option, required=True)
    parser.add_argument("--supplier", default="")
    parser.add_argument("--licence", default="")
    parser.add_argument("--loader-licence", default="")
    parser.add_argument("--carried", action="append", default=[], metavar="NAME=PATH")
    parser.add_argument("--release", action="store_true")
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
