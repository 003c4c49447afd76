# The setup program's bill of materials (LirabelWarden.cdx.json, CycloneDX 1.6)
# and its third-party notices (THIRD-PARTY-NOTICES.txt), written beside it by
# every build from the link map and the program as finally written
# (cmake/write_sbom.py).
#
# LBW_SBOM_SUPPLIER names the publisher: a name and, in angle brackets, a URL
# or an e-mail address, such as "Lirabel GmbH <https://lirabel.example>" or
# "Lirabel GmbH <releases@lirabel.example>". It is the document's creator and
# the program's supplier and manufacturer, which BSI TR-03183-2 requires.
set(LBW_SBOM_SUPPLIER "" CACHE STRING
    "Publisher for the bill of materials: NAME <https://URL> or NAME <E-MAIL>")
if(LBW_SBOM_SUPPLIER STREQUAL "")
  message(WARNING "LBW_SBOM_SUPPLIER is empty: the bill of materials (LirabelWarden.cdx.json) "
                  "will name no creator and no supplier, which BSI TR-03183-2 requires. Give "
                  "the publisher as NAME <https://URL> or NAME <E-MAIL>.")
elseif(NOT LBW_SBOM_SUPPLIER MATCHES
       "^[^<>]*[^<> ][^<>]*<(https?://[^<> ]+|[^<>@ ]+@[^<>@ ]+\\.[^<>@ ]+)>$")
  message(FATAL_ERROR "LBW_SBOM_SUPPLIER is \"${LBW_SBOM_SUPPLIER}\": give a name and, in angle "
                      "brackets, a URL or an e-mail address, such as "
                      "\"Lirabel GmbH <https://lirabel.example>\"")
endif()

# The two files written beside the program. A signing step that fails removes
# them with the program: they describe what is no longer there.
set(LBW_SBOM_FILES ${PROJECT_BINARY_DIR}/LirabelWarden.cdx.json
                   ${PROJECT_BINARY_DIR}/THIRD-PARTY-NOTICES.txt)

# lbw_add_sbom(<linked target> <its link map>): the program at
# LBW_SETUP_PROGRAM (made from the target, signed or not) described from the
# map of its link, in LBW_SBOM_FILES.
function(lbw_add_sbom linked map)
  set(files ${LBW_SBOM_FILES})
  set(tools file_facts licence_duties link_map linked_pieces debian_copyright notices
            setup_sbom payload_streams authenticode)
  list(TRANSFORM tools REPLACE "(.+)" "${PROJECT_SOURCE_DIR}/tools/\\1.py")
  add_custom_command(
    OUTPUT ${files}
    COMMAND ${LBW_PYTHON} ${PROJECT_SOURCE_DIR}/cmake/write_sbom.py ${LBW_SETUP_PROGRAM}
            --link-map ${map} --build-dir ${PROJECT_BINARY_DIR} --source-dir ${PROJECT_SOURCE_DIR}
            --compiler ${CMAKE_C_COMPILER} --objdump ${CMAKE_OBJDUMP}
            "--supplier=${LBW_SBOM_SUPPLIER}" --sbom ${PROJECT_BINARY_DIR}/LirabelWarden.cdx.json
            --notices ${PROJECT_BINARY_DIR}/THIRD-PARTY-NOTICES.txt
    DEPENDS ${LBW_SETUP_PROGRAM} ${linked} ${PROJECT_SOURCE_DIR}/cmake/write_sbom.py ${tools}
    COMMENT "Writing the bill of materials and the third-party notices of LirabelWarden.exe"
    VERBATIM)
endfunction()
