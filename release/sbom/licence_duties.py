"""Licences of what the setup program is linked with, and which of them ask
for their notice to travel with copies of the program in binary form.

The licence of each linked object file comes from its Debian package's
copyright file (debian_copyright.py); this module turns the file's short
licence names into SPDX expressions and says, for each, what the licence asks
of a binary copy. A licence met here for the first time stops the build with
its name, so that someone reads its text and decides, rather than the notices
silently leaving it out."""

# Debian's short names (copyright-format 1.0) as SPDX expressions. SPDX has no
# identifier for the public domain; the ScanCode LicenseDB's, which
# TR-03183-2 names as the fallback, is used.
SPDX_OF_DEBIAN_NAME = {
    "Zlib": "Zlib",
    "ZPL-2.1": "ZPL-2.1",
    "public-domain": "LicenseRef-scancode-public-domain",
    "expat": "MIT",
    "BSD-2-clause": "BSD-2-Clause",
    "BSD-3-clause": "BSD-3-Clause",
    "ISC": "ISC",
}

GCC_RUNTIME = "GPL-3.0-or-later WITH GCC-exception-3.1"

# Whether a licence asks for its notice in copies in binary form, and why.
NOTICE_IN_BINARY_COPIES = {
    # "This notice may not be removed or altered from any source distribution":
    # zlib's licence asks for its notice in source distributions only (an
    # acknowledgement in the product's documentation "would be appreciated").
    "Zlib": False,
    # Nothing is owed for what is in the public domain (mingw-w64's start-up
    # code in crt/ and misc/, from which libmingw32, crt2.o and most of
    # libmingwex come, is marked so in its copyright file).
    "LicenseRef-scancode-public-domain": False,
    # The GCC Runtime Library Exception lets a program compiled by GCC and
    # combined with libgcc or libstdc++ be conveyed "under terms of your
    # choice": no notice, no source offer.
    GCC_RUNTIME: False,
    # "Redistributions in binary form must reproduce the accompanying copyright
    # notice, this list of conditions, and the following disclaimer": the rest
    # of the mingw-w64 runtime, its import libraries among them (generated from
    # .def files that the copyright file leaves under its catch-all stanza).
    "ZPL-2.1": True,
    # "The above copyright notice and this permission notice shall be included
    # in all copies or substantial portions of the Software" (winpthreads).
    "MIT": True,
    "BSD-2-Clause": True,  # "Redistributions in binary form must reproduce ..."
    "BSD-3-Clause": True,
    # "... provided that the above copyright notice and this permission notice
    # appear in all copies"
    "ISC": True,
}

# Pieces of GCC, whose Debian copyright file is not in the machine-readable
# format: it names the runtime libraries that are "licensed under the terms
# of the GNU General Public License (v3 or later) with version 3.1 of the GCC
# Runtime Library Exception", each on a line of its own. The start-up objects
# crtbegin.o and crtend.o are built from libgcc's sources.
# File name: (library, the line of the copyright file that names it).
GCC_PIECES = {
    "libgcc.a": ("libgcc", " - libgcc ("),
    "libgcc_eh.a": ("libgcc", " - libgcc ("),
    "crtbegin.o": ("libgcc", " - libgcc ("),
    "crtend.o": ("libgcc", " - libgcc ("),
    "libstdc++.a": ("libstdc++", " - libstdc++-v3"),
    "libsupc++.a": ("libstdc++", " - libstdc++-v3"),
}
GCC_CREATOR = {"name": "GCC", "url": ["https://gcc.gnu.org/"]}

# Where Debian strips the debugging information from a library, an object
# keeps only the bare file name of its source (its COFF .file symbol), which
# alone does not say where in the upstream tree the file lies: only the
# copyright file's catch-all stanza matches a bare name, whatever the folder
# the file really came from. It is taken as a path only for the archives
# below, whose objects are all compiled at the top of their upstream tree.
# (upstream name, archive file name)
SOURCES_AT_THE_TOP = {
    # zlib's makefiles compile adler32.c, inflate.c, ... in its top folder
    # into libz.a; nothing under contrib/ goes into it.
    ("zlib", "libz.a"),
}

# Members of import libraries: dlltool writes them from a definition file
# that lists a DLL's exports, and records no name of that file, only the
# library it made ("lib64/libkernel32.a", in its _head_ symbols). mingw-w64
# keeps the definition files in the library's own folder or in lib-common/,
# plain or to be preprocessed (.def.in); a combined library's definitions
# are made as NAME_def. A member's licence is taken only where the copyright
# file gives every one of these places the same stanza.
IMPORT_DEFINITIONS = {
    "mingw-w64": ("mingw-w64-crt/{folder}/{name}.def", "mingw-w64-crt/{folder}/{name}.def.in",
                  "mingw-w64-crt/lib-common/{name}.def", "mingw-w64-crt/lib-common/{name}.def.in"),
}


def spdx(debian_name, where):
    """The SPDX expression of a Debian short licence name; raises ValueError,
    naming `where` the name was found, for a name not decided yet."""
    if debian_name not in SPDX_OF_DEBIAN_NAME:
        raise ValueError(f"{where}: no SPDX form is known for the licence \"{debian_name}\"; "
                         f"read its text and add it to release/sbom/licence_duties.py")
    return SPDX_OF_DEBIAN_NAME[debian_name]


def needs_notice(expression, where):
    """Whether the licence asks for its notice in binary copies; raises
    ValueError for a licence not decided yet."""
    if expression not in NOTICE_IN_BINARY_COPIES:
        raise ValueError(f"{where}: it is not decided whether {expression} asks for a notice "
                         f"in binary copies; read its text and add it to "
                         f"release/sbom/licence_duties.py")
    return NOTICE_IN_BINARY_COPIES[expression]


def gcc_piece(file_name, copyright_text, where):
    """(library, SPDX expression) of a GCC runtime file, checked against its
    package's copyright file; raises ValueError where that file does not say so."""
    library, marker = GCC_PIECES.get(file_name, (None, None))
    if not library or marker not in copyright_text or \
            "version 3.1 of the GCC\nRuntime Library Exception" not in copyright_text:
        raise ValueError(f"{where}: its package's copyright file is not machine-readable and "
                         f"does not name it as a runtime library under the GCC Runtime Library "
                         f"Exception; decide its licence in release/sbom/licence_duties.py")
    return library, GCC_RUNTIME
