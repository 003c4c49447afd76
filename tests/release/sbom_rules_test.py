"""The bill of materials' pure rules, by tables: licence expressions, the
identifiers scanners match, bom-refs of a release, and where a linked object
without debugging information comes from."""
import unittest

from release.link import coff_archive
from release.sbom import document, linked_pieces, spdx_expression

DEBIAN_12 = {"ID": "debian", "VERSION_ID": "12"}


class SbomRulesTest(unittest.TestCase):
    def test_licence_expressions(self):
        for text, good in (("LicenseRef-Lirabel-EULA", True), ("(MIT OR Zlib) AND ISC", True),
                           ("GPL-3.0-or-later WITH GCC-exception-3.1", True),
                           ("MIT and Zlib", False), ("MIT WITH LicenseRef-x", False),
                           ("(MIT", False), ("", False)):
            self.assertEqual(spdx_expression.problem(text) is None, good, text)

    def test_purl_names_the_source_package_and_release(self):
        package = {"Package": "libz-mingw-w64-dev", "Version": "1.2.13+dfsg-1",
                   "Architecture": "all", "source:Package": "libz-mingw-w64"}
        for source_version, upstream in (("1.2.13+dfsg-1", "libz-mingw-w64"),
                                         ("25.2", "libz-mingw-w64%4025.2")):
            self.assertEqual(linked_pieces.purl({**package, "source:Version": source_version},
                                                DEBIAN_12),
                             "pkg:deb/debian/libz-mingw-w64-dev@1.2.13%2Bdfsg-1?arch=all"
                             f"&distro=debian-12&upstream={upstream}")
        with self.assertRaises(ValueError):
            linked_pieces.distro_id({"ID": "debian"})

    def test_cpe_where_nvd_has_a_product(self):
        for name, version, expected in (
                ("zlib", "1.2.13", "cpe:2.3:a:zlib:zlib:1.2.13:*:*:*:*:*:*:*"),
                ("libgcc", "12.2.0", "cpe:2.3:a:gnu:gcc:12.2.0:*:*:*:*:*:*:*"),
                ("zlib", "1.3+x", "cpe:2.3:a:zlib:zlib:1.3\\+x:*:*:*:*:*:*:*"),
                ("mingw-w64", "10.0.0", None)):
            self.assertEqual(linked_pieces.cpe(name, version), expected)

    def test_release_refs_differ_by_version_and_content(self):
        refs = {document.release_ref("LirabelWarden.exe", v, d)
                for v, d in (("1.5.1", b"a"), ("2.0.0.7", b"a"), ("1.5.1", b"b"))}
        self.assertEqual(len(refs), 3)

    def test_sources_without_debugging_information(self):
        facts = coff_archive.CoffFacts
        stub = facts(None, {".text", ".bss", ".idata$5", ".idata$7"}, "lib64_libmsvcrt_def")
        for upstream, archive, member, sources in (
                ("zlib", "libz.a", facts("inflate.c", {".text"}), ["inflate.c"]),
                ("zlib", "libz.a", facts("fake", {".text"}), []),
                ("mingw-w64", "libmingwex.a", facts("arithchk.c", {".text"}), []),
                ("mingw-w64", "libmsvcrt.a", stub, ["mingw-w64-crt/lib64/msvcrt.def",
                                                    "mingw-w64-crt/lib64/msvcrt.def.in",
                                                    "mingw-w64-crt/lib-common/msvcrt.def",
                                                    "mingw-w64-crt/lib-common/msvcrt.def.in"]),
                ("zlib", "libz.a", stub, [])):
            found = linked_pieces.sources_without_debug_info(upstream, archive, member)
            self.assertEqual(found, sources, (upstream, member))


if __name__ == "__main__":
    unittest.main()
