# The setup program's bill of materials (LirabelWarden.cdx.json, CycloneDX 1.6)
# and its third-party notices (THIRD-PARTY-NOTICES.txt), written beside it by
# every build from the link map and the program as finally written
# (release/sbom/write.py). docs/bill-of-materials.md says what it holds.
#
# LBW_SBOM_SUPPLIER names the publisher: a name and, in angle brackets, a URL
# or an e-mail address, such as "Lirabel GmbH <https://lirabel.example>" or
# "Lirabel GmbH <releases@lirabel.example>". It is the document's creator and
# the program's supplier and manufacturer, which BSI TR-03183-2 requires.
# LBW_SBOM_LICENSE and LBW_LOADER_LICENSE are SPDX expressions of the licences
# under which the release gives the program and the application, and the
# loader; TR-03183-2 requires a licence of every component.
set(LBW_SBOM_SUPPLIER "" CACHE STRING
    "Publisher for the bill of materials: NAME <https://URL> or NAME <E-MAIL>")
set(LBW_SBOM_LICENSE "" CACHE STRING
    "SPDX expression: licence of the setup program and the application, e.g. LicenseRef-...")
set(LBW_LOADER_LICENSE "" CACHE STRING "SPDX expression: licence of the loader library")

# A build that signs (cmake/Signing.cmake: key files, a token or a command)
# makes a release, whose bill of materials must be complete: what it lacks
# stops cmake. Any other build warns and writes what it knows.
if(LBW_SIGN_PKCS11_MODULE OR LBW_SIGN_CERT OR LBW_SIGN_KEY OR LBW_SIGN_PKCS12 OR LBW_SIGN_COMMAND)
  set(lbw_sbom_release --release)
  set(lbw_sbom_gap FATAL_ERROR)
  set(lbw_sbom_consequence "a signed release needs")
else()
  set(lbw_sbom_release)
  set(lbw_sbom_gap WARNING)
  set(lbw_sbom_consequence "the bill of materials (LirabelWarden.cdx.json) will lack")
endif()
if(LBW_SBOM_SUPPLIER STREQUAL "")
  message(${lbw_sbom_gap} "LBW_SBOM_SUPPLIER is empty: ${lbw_sbom_consequence} the creator and "
                          "supplier, which BSI TR-03183-2 requires. Give the publisher as "
                          "NAME <https://URL> or NAME <E-MAIL>.")
elseif(NOT LBW_SBOM_SUPPLIER MATCHES
       "^[^<>]*[^<> ][^<>]*<(https?://[^<> ]+|[^<>@ ]+@[^<>@ ]+\\.[^<>@ ]+)>$")
  message(FATAL_ERROR "LBW_SBOM_SUPPLIER is \"${LBW_SBOM_SUPPLIER}\": give a name and, in angle "
                      "brackets, a URL or an e-mail address, such as "
                      "\"Lirabel GmbH <https://lirabel.example>\"")
endif()
foreach(var LBW_SBOM_LICENSE LBW_LOADER_LICENSE)
  if("${${var}}" STREQUAL "")
    message(${lbw_sbom_gap} "${var} is empty: ${lbw_sbom_consequence} a licence of every "
                            "component, which BSI TR-03183-2 requires. Give an SPDX expression, "
                            "such as LicenseRef-Lirabel-EULA for a licence of your own.")
  else()
    execute_process(COMMAND ${LBW_RELEASE_PYTHON} release.sbom.spdx_expression "${${var}}"
                    RESULT_VARIABLE lbw_malformed ERROR_VARIABLE lbw_why
                    ERROR_STRIP_TRAILING_WHITESPACE)
    if(lbw_malformed)
      message(FATAL_ERROR "${var}: ${lbw_why}")
    endif()
  endif()
endforeach()

# The two files written beside the program. A signing step that fails removes
# them with the program: they describe what is no longer there.
set(LBW_SBOM_FILES ${PROJECT_BINARY_DIR}/LirabelWarden.cdx.json
                   ${PROJECT_BINARY_DIR}/THIRD-PARTY-NOTICES.txt)

# lbw_add_sbom(<linked target> <its link map>): the program at
# LBW_SETUP_PROGRAM (made from the target, signed or not) described from the
# map of its link, in LBW_SBOM_FILES. The files the program carries are
# LBW_APP_FILE and LBW_LOADER_FILE.
function(lbw_add_sbom linked map)
  set(files ${LBW_SBOM_FILES})
  lbw_release_sources(sources program authenticode link sbom)
  add_custom_command(
    OUTPUT ${files}
    COMMAND ${LBW_RELEASE_PYTHON} release.sbom.write ${LBW_SETUP_PROGRAM}
            --link-map ${map} --build-dir ${PROJECT_BINARY_DIR} --source-dir ${PROJECT_SOURCE_DIR}
            --compiler ${CMAKE_C_COMPILER} --objdump ${CMAKE_OBJDUMP}
            "--supplier=${LBW_SBOM_SUPPLIER}" "--licence=${LBW_SBOM_LICENSE}"
            "--loader-licence=${LBW_LOADER_LICENSE}" --carried lirabel-warden.exe=${LBW_APP_FILE}
            --carried WebView2Loader.dll=${LBW_LOADER_FILE} ${lbw_sbom_release}
            --sbom ${PROJECT_BINARY_DIR}/LirabelWarden.cdx.json
            --notices ${PROJECT_BINARY_DIR}/THIRD-PARTY-NOTICES.txt
    DEPENDS ${LBW_SETUP_PROGRAM} ${linked} ${sources} ${LBW_APP_FILE} ${LBW_LOADER_FILE}
    COMMENT "Writing the bill of materials and the third-party notices of LirabelWarden.exe"
    VERBATIM)
endfunction()
