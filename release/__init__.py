"""The release side of Lirabel Warden Setup: what signs the setup program,
checks what it ships, describes it, and looks inside a built one. The build's
steps and tools/inspect run its modules as commands (python3 -P -m
release.<module>, with the repository's top folder on PYTHONPATH); the rules
that decide what ships are functions over bytes or parsed values, tested by
tables in tests/release/ without a build.

program/            reading a built program from its bytes alone
  pe_layout         the program as pefile reads it, whole, and where its file holds a byte
  carried_streams   the two zlib streams it carries, found through its own records
  file_facts        what a bill of materials says of one file: hashes, kind, version, signer
authenticode/       its signatures
  der               DER walked and rewritten byte by byte
  pe_signature      the certificate table as Windows requires it, the Authenticode digest
  judging           each signature judged: digest, signer, key, timestamp, chains
  osslsigncode      osslsigncode's verdict on the chains
  sign              the build's signing step (cmake/Signing.cmake)
link/               what the linker took into a program
  link_map          GNU ld's map: each member taken, and for whose reference
  coff_archive      what a stripped COFF object still says of its origin
  lean_link         the build's check that a shipped link took no C++ runtime
                    (cmake/LeanLink.cmake)
sbom/               the bill of materials and the third-party notices
  linked_pieces     the libraries linked in: package, source, licence, purl, CPE
  debian_copyright  a Debian machine-readable copyright file
  licence_duties    the licences decided, and which ask for a notice in binary copies
  spdx_expression   an SPDX licence expression checked by its grammar (a configure-time
                    command too)
  notices           THIRD-PARTY-NOTICES.txt
  document          the CycloneDX document, and what a setup program shows of itself
  write             the build's bill-of-materials step (cmake/Sbom.cmake)
inspect             tools/inspect: a built setup program shown without running it

Imports run one way: sbom/ uses program/, authenticode/ and link/; program/
uses authenticode/ (a file's signer); authenticode/ and link/ use nothing else
here."""
