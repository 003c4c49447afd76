#!/usr/bin/python3
"""check_sbom.py BUILD_DIR: checks the bill of materials and the notices a build
wrote beside LirabelWarden.exe: valid against CycloneDX's 1.6 schema (the copy
in tests/data/cyclonedx), the fields BSI TR-03183-2 requires, the linked
libraries exactly those whose archives the link map names, with those files'
hashes and the identifiers scanners match, the carried files as tools/inspect
extracts them and describes them, a piece taken out of the map gone from both
files, and a member without debugging information refused. Exit status 1
with the first failure."""
import hashlib
import json
import os
import re
import shlex
import subprocess
import sys
import tempfile
import urllib.parse

import jsonschema

SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
SCHEMAS = os.path.join(SOURCE, "tests", "data", "cyclonedx")
BSI = ("bsi:component:executable", "bsi:component:archive", "bsi:component:structured")
HEADING = "Archive member included to satisfy reference by file (symbol)"


def validate(bom):
    main = json.load(open(os.path.join(SCHEMAS, "bom-1.6.SNAPSHOT.schema.json")))
    store = {urllib.parse.urljoin(main["$id"], name): json.load(open(os.path.join(SCHEMAS, name)))
             for name in os.listdir(SCHEMAS) if name.endswith(".json")}
    resolver = jsonschema.RefResolver.from_schema(main, store=store)
    jsonschema.Draft7Validator(main, resolver=resolver,
                               format_checker=jsonschema.FormatChecker()).validate(bom)


def properties(component, name):
    return [p["value"] for p in component.get("properties", []) if p["name"] == name]


def reachable(entity):
    """TR-03183-2 asks for a creator's URL or e-mail address."""
    return bool(entity.get("url") or [c for c in entity.get("contact", []) if c.get("email")])


def check_required_fields(bom, version, linked):
    metadata, program = bom["metadata"], bom["metadata"]["component"]
    assert metadata.get("timestamp"), "no time: git did not give the last commit's"
    assert all(tool["version"] for tool in metadata["tools"]["components"])
    assert reachable(metadata["manufacturer"])
    assert reachable(program["supplier"]) and reachable(program["manufacturer"])
    assert program["version"] == version, program["version"]
    for file in [program] + program["components"]:
        assert properties(file, "bsi:component:filename") == [file["name"]]
        assert [h["alg"] for h in file["hashes"]] == ["SHA-512", "SHA-256"]
    for file in program["components"]:
        assert file["version"] and properties(file, BSI[2]) == ["unstructured"], file["name"]
    release = re.search(r"^VERSION_ID=\"?(\w+)", open("/etc/os-release").read(), re.M).group(1)
    for lib in bom["components"]:
        assert lib["version"] and reachable(lib["manufacturer"]), lib["bom-ref"]
        qualifiers = urllib.parse.parse_qs(lib["purl"].split("?", 1)[1])
        assert qualifiers["upstream"] and qualifiers["distro"] == \
            [f"debian-{release}"], lib["purl"]
        data = open(linked[properties(lib, "bsi:component:filename")[0]], "rb").read()
        deployable = [r for r in lib["externalReferences"] if r["type"] == "distribution"]
        assert deployable[0]["hashes"] == lib["hashes"][:1] and lib["hashes"][0]["content"] == \
            hashlib.sha512(data).hexdigest(), lib["bom-ref"]
        assert {"source-distribution"} & {r["type"] for r in lib["externalReferences"]}
    zlib = [lib for lib in bom["components"] if lib["name"] == "zlib"][0]
    assert zlib["cpe"] == f"cpe:2.3:a:zlib:zlib:{zlib['version']}:*:*:*:*:*:*:*", zlib["cpe"]
    for component in [program] + program["components"] + bom["components"]:
        assert all(len(properties(component, key)) == 1 for key in BSI), component["name"]
        assert component["licenses"][0]["acknowledgement"] == "concluded", component["name"]


def archives_in_map(map_text):
    """{file name: path} of the packages' files the map says the link took
    members or objects from."""
    taken = set(re.findall(r"^(/\S+\.a)\(", map_text, re.M))
    taken |= set(re.findall(r"^LOAD (/usr/\S+\.o)$", map_text, re.M))
    return {os.path.basename(path): path for path in taken}


def linked_files(bom):
    return {re.sub(r"\(.*", "", label) for lib in bom["components"]
            for label in properties(lib, "lirabel-warden:linked-object")}


def check_carried_files(build, program):
    folder = tempfile.mkdtemp()
    subprocess.run([f"{SOURCE}/tools/inspect", f"{build}/LirabelWarden.exe", "--extract", folder],
                   check=True, stdout=subprocess.DEVNULL)
    for file in program["components"]:
        data = open(os.path.join(folder, file["name"]), "rb").read()
        assert file["hashes"][0]["content"] == hashlib.sha512(data).hexdigest(), file["name"]
    seen = json.loads(subprocess.run([f"{SOURCE}/tools/inspect", "--sbom",
                                      f"{build}/LirabelWarden.exe"], check=True,
                                     capture_output=True).stdout)
    validate(seen)
    assert outside_view(seen["metadata"]["component"]) == outside_view(program), \
        "tools/inspect --sbom sees another program"
    assert "complete" not in {c["aggregate"] for c in seen["compositions"]}


def outside_view(component):
    """A component less what only the build knows: supplier and creator,
    licences, a file's date as its version."""
    view = {k: v for k, v in component.items() if k not in ("supplier", "manufacturer", "licenses")}
    view["properties"] = [p for p in component["properties"] if p["name"] not in (
        "bsi:component:effectiveLicence", "lirabel-warden:version-source")]
    if properties(component, "lirabel-warden:version-source"):
        del view["version"]
    if "components" in view:
        view["components"] = [outside_view(c) for c in view["components"]]
    return view


def rewrite(build, map_text, left_out, added=None):
    """The bill of materials and notices that the build's own command writes
    from the map without the lines that mention `left_out` (and with a line
    `added` to its members)."""
    folder = tempfile.mkdtemp()
    lines = [line for line in map_text.splitlines()
             if not (left_out and re.search(left_out, line))]
    if added:
        lines.insert(lines.index(HEADING) + 1, added)
    with open(f"{folder}/edited.map", "w") as f:
        f.write("\n".join(lines))
    commands = subprocess.run(["ninja", "-C", build, "-t", "commands", "LirabelWarden"],
                              check=True, capture_output=True, text=True).stdout
    command = shlex.split(commands.splitlines()[-1].split(" && ", 1)[1])
    for option, value in (("--link-map", "edited.map"), ("--sbom", "bom.json"),
                          ("--notices", "notices.txt")):
        command[command.index(option) + 1] = f"{folder}/{value}"
    done = subprocess.run(command, capture_output=True, text=True)
    if added:
        return done
    assert done.returncode == 0, done.stderr
    return json.load(open(f"{folder}/bom.json")), open(f"{folder}/notices.txt").read()


def main(build):
    bom = json.load(open(f"{build}/LirabelWarden.cdx.json"))
    notices = open(f"{build}/THIRD-PARTY-NOTICES.txt").read()
    map_text = open(f"{build}/src/LirabelWarden.map").read()
    validate(bom)
    version = re.search(r"^LBW_VERSION:\w+=(.*)$", open(f"{build}/CMakeCache.txt").read(), re.M)
    check_required_fields(bom, version.group(1), archives_in_map(map_text))
    differ = linked_files(bom) ^ set(archives_in_map(map_text))
    assert not differ, f"linked files the bill and the map disagree on: {sorted(differ)}"
    check_carried_files(build, bom["metadata"]["component"])
    zpl = "Redistributions in binary form must reproduce the accompanying"
    assert zpl in notices and "Jean-loup Gailly" not in notices, "notices: not zlib's, mingw-w64's"
    without_zlib, _ = rewrite(build, map_text, r"/libz\.a\(")
    assert {lib["name"] for lib in without_zlib["components"]} == \
        {lib["name"] for lib in bom["components"]} - {"zlib"}, "zlib left the map, not the bill"
    runtime = r"x86_64-w64-mingw32/lib/(lib(?!z\.a)\w+\.a\(|crt2\.o)"
    without_runtime, rest = rewrite(build, map_text, runtime)
    assert "mingw-w64" not in {lib["name"] for lib in without_runtime["components"]}
    assert zpl not in rest and "mingw-w64" not in rest, "the runtime left the map, not the notices"
    # gdtoa code without debugging information, whose bare name only the
    # catch-all stanza (ZPL-2.1) would match, where it is under Lucent's licence.
    mingwex = archives_in_map(map_text)["libmingwex.a"]
    refused = rewrite(build, map_text, None, f"{mingwex}(lib64_libmingwex_a-arithchk.o) {mingwex}")
    assert refused.returncode == 1 and re.search(r"arithchk\.o\) \(from \S+\): no debugging "
                                                 r"information names", refused.stderr), refused.stderr
    print(f"bill of materials valid; linked: {', '.join(sorted(linked_files(bom)))}")


if __name__ == "__main__":
    try:
        main(sys.argv[1])
    except AssertionError as failure:
        sys.exit(f"check_sbom: {failure or 'a check failed'}")
