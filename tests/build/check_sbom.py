#!/usr/bin/python3
"""check_sbom.py BUILD_DIR: checks the bill of materials and the notices a build
wrote beside LirabelWarden.exe: valid against CycloneDX's 1.6 schema (the copy
in tests/data/cyclonedx), the fields BSI TR-03183-2 requires, the linked
libraries exactly those whose archives the link map names, the carried files
as tools/inspect extracts them and describes them, and a piece taken out of
the map gone from both files. Exit status 1 with the first failure."""
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


def check_required_fields(bom, version):
    metadata, program = bom["metadata"], bom["metadata"]["component"]
    assert metadata.get("timestamp"), "no time: git did not give the last commit's"
    assert reachable(metadata["manufacturer"])
    assert reachable(program["supplier"]) and reachable(program["manufacturer"])
    assert program["version"] == version, program["version"]
    for file in [program] + program["components"]:
        assert properties(file, "bsi:component:filename") == [file["name"]]
        assert [h["alg"] for h in file["hashes"]] == ["SHA-512", "SHA-256"]
    for lib in bom["components"]:
        assert lib["version"] and reachable(lib["manufacturer"]) and lib["purl"].startswith("pkg:")
        assert lib["licenses"][0]["acknowledgement"] == "concluded", lib["name"]
    for component in [program] + program["components"] + bom["components"]:
        assert all(len(properties(component, key)) == 1 for key in BSI), component["name"]


def archives_in_map(map_text):
    """Files of the packages the map says the link took members or objects from."""
    taken = set(re.findall(r"^(/\S+\.a)\(", map_text, re.M))
    taken |= set(re.findall(r"^LOAD (/usr/\S+\.o)$", map_text, re.M))
    return {os.path.basename(path) for path in taken}


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
    built = {k: v for k, v in program.items() if k not in ("supplier", "manufacturer")}
    assert seen["metadata"]["component"] == built, "tools/inspect --sbom sees another program"


def rewrite(build, map_text, left_out):
    """The bill of materials and notices that the build's own command writes
    from the map without the lines that mention `left_out`."""
    folder = tempfile.mkdtemp()
    with open(f"{folder}/edited.map", "w") as f:
        f.write("\n".join(line for line in map_text.splitlines() if not re.search(left_out, line)))
    commands = subprocess.run(["ninja", "-C", build, "-t", "commands", "LirabelWarden"],
                              check=True, capture_output=True, text=True).stdout
    command = shlex.split(commands.splitlines()[-1].split(" && ", 1)[1])
    for option, value in (("--link-map", "edited.map"), ("--sbom", "bom.json"),
                          ("--notices", "notices.txt")):
        command[command.index(option) + 1] = f"{folder}/{value}"
    subprocess.run(command, check=True)
    return json.load(open(f"{folder}/bom.json")), open(f"{folder}/notices.txt").read()


def main(build):
    bom = json.load(open(f"{build}/LirabelWarden.cdx.json"))
    notices = open(f"{build}/THIRD-PARTY-NOTICES.txt").read()
    map_text = open(f"{build}/src/LirabelWarden.map").read()
    validate(bom)
    version = re.search(r"^LBW_VERSION:\w+=(.*)$", open(f"{build}/CMakeCache.txt").read(), re.M)
    check_required_fields(bom, version.group(1))
    differ = linked_files(bom) ^ archives_in_map(map_text)
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
    print(f"bill of materials valid; linked: {', '.join(sorted(linked_files(bom)))}")


if __name__ == "__main__":
    try:
        main(sys.argv[1])
    except AssertionError as failure:
        sys.exit(f"check_sbom: {failure or 'a check failed'}")
