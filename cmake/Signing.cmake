# Authenticode signing of what the build ships, in exactly one of three ways:
# - key files: LBW_SIGN_CERT and LBW_SIGN_KEY (PEM), or LBW_SIGN_PKCS12;
# - a token: LBW_SIGN_PKCS11_MODULE, with LBW_SIGN_KEY a pkcs11: URI of the key
#   and LBW_SIGN_CERT a PEM file or a pkcs11: URI of the certificate;
# - a command: LBW_SIGN_COMMAND, run on the program with {file} for its path.
# The key's password or the token's PIN is read from LBW_SIGN_PASSWORD_FILE
# when signing; only the file's name is kept anywhere. The build timestamps
# what it signs with files and tokens (LBW_SIGN_TIMESTAMP_URL); a command
# timestamps on its own. LBW_SIGN_ROOTS names the roots every signature's
# chain must reach; without it, a chain that is not trusted is said, not
# refused. Nothing set: nothing is signed.
set(LBW_SIGN_CERT "" CACHE STRING "PEM certificate (chain), or pkcs11: URI of the certificate in the token")
set(LBW_SIGN_KEY "" CACHE STRING "PEM private key, or pkcs11: URI of the key in the token")
set(LBW_SIGN_PKCS12 "" CACHE FILEPATH "PKCS#12 file with certificate and key, instead of the two above")
set(LBW_SIGN_PKCS11_MODULE "" CACHE FILEPATH "PKCS#11 library of the token that holds the key")
set(LBW_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File holding the password of the key, or the token's PIN")
set(LBW_SIGN_COMMAND "" CACHE STRING "Command that signs a program in place, {file} standing for its path")
set(LBW_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamp servers, separated by ;, tried in order")
set(LBW_SIGN_ROOTS "" CACHE FILEPATH "PEM file of the roots the signatures' chains must reach")
option(LBW_SIGN_APP "Sign the application inside the setup program too (unless it is signed)" OFF)

# A key or certificate is a file or a pkcs11: URI, so these two are plain
# strings; a file given relative is taken from the folder cmake runs in, as
# CMake does for the file paths given to it (the process's own folder, which
# a shell's PWD need not be).
foreach(var LBW_SIGN_CERT LBW_SIGN_KEY)
  if(${var} AND NOT ${var} MATCHES "^pkcs11:" AND NOT IS_ABSOLUTE "${${var}}")
    execute_process(COMMAND pwd -P OUTPUT_VARIABLE lbw_cmake_folder
                    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    get_filename_component(lbw_sign_path "${${var}}" ABSOLUTE BASE_DIR "${lbw_cmake_folder}")
    set_property(CACHE ${var} PROPERTY VALUE "${lbw_sign_path}")
  endif()
endforeach()

set(lbw_sign_ways)
if(LBW_SIGN_PKCS11_MODULE)
  list(APPEND lbw_sign_ways "a token (LBW_SIGN_PKCS11_MODULE)")
elseif(LBW_SIGN_CERT OR LBW_SIGN_KEY)
  list(APPEND lbw_sign_ways "key files (LBW_SIGN_CERT, LBW_SIGN_KEY)")
endif()
if(LBW_SIGN_PKCS12)
  list(APPEND lbw_sign_ways "a PKCS#12 file (LBW_SIGN_PKCS12)")
endif()
if(LBW_SIGN_COMMAND)
  list(APPEND lbw_sign_ways "a command (LBW_SIGN_COMMAND)")
endif()
list(LENGTH lbw_sign_ways lbw_sign_way_count)
if(lbw_sign_way_count GREATER 1)
  list(JOIN lbw_sign_ways " and " lbw_sign_ways)
  message(FATAL_ERROR "Signing is configured two ways at once: ${lbw_sign_ways}. Configure exactly one "
                      "and empty the others (-DLBW_SIGN_...=).")
endif()
if(lbw_sign_way_count EQUAL 0)
  if(LBW_SIGN_APP)
    message(FATAL_ERROR "LBW_SIGN_APP needs a way of signing: key files, a token or a command")
  endif()
  return()
endif()

# A pkcs11: URI and a shell command hold semicolons of their own, which must
# not split them into several arguments of the signing step.
string(REPLACE ";" "$<SEMICOLON>" lbw_sign_key "${LBW_SIGN_KEY}")
string(REPLACE ";" "$<SEMICOLON>" lbw_sign_cert "${LBW_SIGN_CERT}")
string(REPLACE ";" "$<SEMICOLON>" lbw_sign_command "${LBW_SIGN_COMMAND}")
if(LBW_SIGN_COMMAND)
  if(NOT LBW_SIGN_COMMAND MATCHES "{file}")
    message(FATAL_ERROR "LBW_SIGN_COMMAND must name the program to sign as {file}")
  endif()
  if(LBW_SIGN_TIMESTAMP_URL)
    message(FATAL_ERROR "LBW_SIGN_TIMESTAMP_URL is for the signatures the build makes: a signing "
                        "command timestamps on its own, so give the server to the command")
  endif()
  set(lbw_sign_options --command ${lbw_sign_command})
elseif(LBW_SIGN_PKCS11_MODULE)
  if(NOT LBW_SIGN_KEY MATCHES "^pkcs11:" OR NOT LBW_SIGN_CERT)
    message(FATAL_ERROR "Signing with a token needs LBW_SIGN_KEY, a pkcs11: URI of the key, and "
                        "LBW_SIGN_CERT, a PEM file or a pkcs11: URI of the certificate")
  endif()
  if("${LBW_SIGN_KEY};${LBW_SIGN_CERT}" MATCHES "pin-(value|source)")
    message(FATAL_ERROR "The token's PIN belongs in LBW_SIGN_PASSWORD_FILE, not in a pkcs11: URI: "
                        "the URI is kept in the cache and in the build's command lines")
  endif()
  set(lbw_sign_options --pkcs11-module ${LBW_SIGN_PKCS11_MODULE} --key ${lbw_sign_key}
                  --cert ${lbw_sign_cert})
elseif(LBW_SIGN_PKCS12)
  set(lbw_sign_options --pkcs12 ${LBW_SIGN_PKCS12})
elseif(LBW_SIGN_KEY MATCHES "^pkcs11:" OR LBW_SIGN_CERT MATCHES "^pkcs11:")
  message(FATAL_ERROR "A pkcs11: URI needs the token's library in LBW_SIGN_PKCS11_MODULE")
elseif(NOT (LBW_SIGN_CERT AND LBW_SIGN_KEY))
  message(FATAL_ERROR "Signing with key files needs both LBW_SIGN_CERT and LBW_SIGN_KEY")
else()
  set(lbw_sign_options --cert ${lbw_sign_cert} --key ${lbw_sign_key})
endif()
# Every file that decides a signature: changed, renewed or replaced at the
# same path, it has both signing steps run again.
set(lbw_sign_files)
foreach(file LBW_SIGN_CERT LBW_SIGN_KEY LBW_SIGN_PKCS11_MODULE LBW_SIGN_PKCS12
             LBW_SIGN_PASSWORD_FILE LBW_SIGN_ROOTS)
  if(${file} AND NOT ${file} MATCHES "^pkcs11:")
    if(NOT EXISTS "${${file}}" OR IS_DIRECTORY "${${file}}")
      message(FATAL_ERROR "${file}: ${${file}} is no file")
    endif()
    list(APPEND lbw_sign_files ${${file}})
  endif()
endforeach()
if(LBW_SIGN_PASSWORD_FILE AND NOT LBW_SIGN_COMMAND)
  list(APPEND lbw_sign_options --password-file ${LBW_SIGN_PASSWORD_FILE})
endif()
if(NOT LBW_SIGN_COMMAND AND NOT LBW_SIGN_TIMESTAMP_URL)
  message(WARNING "LBW_SIGN_TIMESTAMP_URL is empty: the signatures will carry no timestamp, and "
                  "each stops being valid on the day its certificate expires. Give one or more "
                  "RFC 3161 time-stamp servers, separated by ;.")
endif()
foreach(url IN LISTS LBW_SIGN_TIMESTAMP_URL)
  list(APPEND lbw_sign_options --timestamp-url ${url})
endforeach()
if(LBW_SIGN_ROOTS)
  list(APPEND lbw_sign_options --roots ${LBW_SIGN_ROOTS})
endif()
find_program(LBW_OSSLSIGNCODE osslsigncode REQUIRED)
foreach(module asn1crypto cryptography)
  execute_process(COMMAND ${LBW_PYTHON} -c "import ${module}" RESULT_VARIABLE lbw_missing
                  OUTPUT_QUIET ERROR_QUIET)
  if(lbw_missing)
    message(FATAL_ERROR "Signing needs Python's ${module} (Debian: apt-get install python3-${module})")
  endif()
endforeach()

# The signing step (release/authenticode/sign.py) with the arguments that
# carry the signing configured here; the text of a command and the servers are
# in them, so a change reruns the step.
set(LBW_SIGN_ARGUMENTS ${LBW_RELEASE_PYTHON} release.authenticode.sign
    --osslsigncode ${LBW_OSSLSIGNCODE} ${lbw_sign_options})
# What a failed signing step removes beside its own output: the setup program
# and what describes it.
set(LBW_SIGN_DISCARDS)
foreach(file ${LBW_SETUP_PROGRAM} ${LBW_SBOM_FILES})
  list(APPEND LBW_SIGN_DISCARDS --discard ${file})
endforeach()
lbw_release_sources(lbw_sign_sources authenticode)
set(LBW_SIGN_DEPENDS ${lbw_sign_sources} ${LBW_OSSLSIGNCODE} ${lbw_sign_files})
