"""The bill of materials of a built setup program as far as the file itself
tells (CycloneDX 1.6): the program, and nested in it the two files it carries,
each found through the start and length the program uses and decoded as the
program decodes it. The build's bill of materials starts from the same
component and adds what only the build knows (write.py);
`tools/inspect --sbom` prints this view of a downloaded release."""
import hashlib
import json
import os
import uuid
import zlib

from release.program import carried_streams, file_facts, pe_layout

SCHEMA = "http://cyclonedx.org/schema/bom-1.6.schema.json"
# The version of the code that writes the bills of materials (the build's,
# and tools/inspect --sbom's), named in each document's metadata.tools: the
# generator's own, not the release's, since one release can be described
# again by a newer generator. It goes up whenever what the documents say, or
# how they say it, changes: 1 was the first form; 2 adds the licences, the
# libraries' archives, sources and scanner identifiers, and bom-refs of the
# release; 3 names the generator by its place in the release package.
GENERATOR_VERSION = "3"
# The serial number is a name-based UUID of the content, so that the same
# build gives the same bytes: this is the namespace of those names.
_SERIAL_NAMESPACE = uuid.uuid5(uuid.NAMESPACE_URL, "urn:lirabel-warden:bill-of-materials")


def _decoded(name, stream):
    """(the file a zlib stream holds, None), or (None, why it is damaged)."""
    inflater = zlib.decompressobj()
    try:
        data = inflater.decompress(stream)
    except zlib.error as error:
        return None, f"damaged stream: {name}: {str(error).split(': ', 1)[-1]}"
    if not inflater.eof or inflater.unused_data:
        return None, f"damaged stream: {name}: it does not end where its record says"
    return data, None


def program_component(name, data):
    """(component of the setup program called `name`, with the two files it
    carries as its nested components, None), or (None, why the bytes are no
    intact setup program)."""
    pe, reason = pe_layout.read_program(data)
    if reason:
        return None, reason
    streams, reason = carried_streams.find_streams(pe, data)
    if reason:
        return None, reason
    program = file_facts.component(name, data, None, archive=True)
    program["bom-ref"] = release_ref(name, program.get("version"), data)
    program["components"] = []
    for stream in streams:
        decoded, reason = _decoded(stream.name, data[stream.start:stream.end])
        if reason:
            return None, reason
        program["components"].append(file_facts.component(
            stream.name, decoded, f"{program['bom-ref']}/{stream.name}"))
    return program, None


def release_ref(name, version, data):
    """The bom-ref of a setup program, "LirabelWarden.exe@1.5.1:sha256:...":
    its name, version and digest, so that the documents of two releases, or of
    two builds of one, share no bom-ref when merged. The refs of what it
    carries and what it was linked from start with it."""
    named = f"{name}@{version}" if version else name
    return f"{named}:sha256:{hashlib.sha256(data).hexdigest()}"


def tools(name, description):
    """metadata.tools naming the generator of a document."""
    return {"components": [{"type": "application", "name": name, "version": GENERATOR_VERSION,
                            "description": description}]}


def document(metadata, components=(), dependencies=(), compositions=()):
    """A complete CycloneDX 1.6 document of the given parts, its serial number
    derived from everything else in it."""
    bom = {"$schema": SCHEMA, "bomFormat": "CycloneDX", "specVersion": "1.6",
           "serialNumber": "", "version": 1, "metadata": metadata}
    for key, value in (("components", components), ("dependencies", dependencies),
                       ("compositions", compositions)):
        if value:
            bom[key] = list(value)
    content = json.dumps({k: v for k, v in bom.items() if k != "serialNumber"},
                         sort_keys=True, ensure_ascii=False).encode()
    name = hashlib.sha256(content).hexdigest()
    bom["serialNumber"] = f"urn:uuid:{uuid.uuid5(_SERIAL_NAMESPACE, name)}"
    return bom


def text(bom):
    """The document as it is written: indented JSON in UTF-8, one final newline."""
    return json.dumps(bom, indent=2, ensure_ascii=False) + "\n"


def print_bom(path):
    """Prints the bill of materials of the setup program at `path` as seen
    from outside; returns None, or the reason it is no intact setup program."""
    try:
        with open(path, "rb") as f:
            data = f.read()
    except OSError as error:
        return f"cannot read the file: {error.strerror}"
    try:
        program, reason = program_component(os.path.basename(path), data)
    except RuntimeError as error:  # a signature that cannot be read
        return str(error)
    if reason:
        return reason
    # What it was linked from only the build knows: the two files it carries
    # are all that can be seen of what it is made of, and nothing of theirs.
    carried = [c["bom-ref"] for c in program["components"]]
    compositions = [{"aggregate": "incomplete", "assemblies": [program["bom-ref"]]},
                    {"aggregate": "unknown", "assemblies": carried}]
    metadata = {"tools": tools("lirabel-warden-inspect", "tools/inspect --sbom: what a setup "
                               "program shows of itself, without its build"),
                "component": program}
    print(text(document(metadata, compositions=compositions)), end="")
    return None
