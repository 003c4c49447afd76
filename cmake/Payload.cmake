# lbw_add_payload_store(<target> LOADER <file> APP <file> [DEPENDS <targets>...]
#                       [DAMAGE_LOADER])
# Compresses the two files into one zlib stream each (zopfli: standard streams,
# smaller than zlib's best level) and makes a library that places both back
# to back in read-only data, the loader first, each reached through its start
# and exact length. A stream is rebuilt when its file changes, never otherwise.
# DAMAGE_LOADER flips the last byte of the loader's checksum (tests only).
# Sets the target properties LBW_LOADER_STREAM and LBW_APP_STREAM.
function(lbw_add_payload_store target)
  cmake_parse_arguments(PARSE_ARGV 1 arg "DAMAGE_LOADER" "LOADER;APP" "DEPENDS")
  set(dir ${CMAKE_CURRENT_BINARY_DIR}/${target})
  foreach(name loader app)
    string(TOUPPER ${name} key)
    add_custom_command(
      OUTPUT ${dir}/${name}.zlib
      COMMAND ${CMAKE_COMMAND} -DZOPFLI=${LBW_ZOPFLI} -DINPUT=${arg_${key}}
              -DOUTPUT=${dir}/${name}.zlib -P ${PROJECT_SOURCE_DIR}/cmake/compress_payload.cmake
      DEPENDS ${arg_${key}} ${arg_DEPENDS} ${PROJECT_SOURCE_DIR}/cmake/compress_payload.cmake
      COMMENT "Compressing the ${name} payload for ${target}"
      VERBATIM)
    set(${name}_stream ${dir}/${name}.zlib)
  endforeach()
  if(arg_DAMAGE_LOADER)
    add_custom_command(
      OUTPUT ${dir}/loader-damaged.zlib
      COMMAND ${LBW_PYTHON} -c
              "import sys; d = bytearray(open(sys.argv[1], 'rb').read()); d[-1] ^= 0xFF; open(sys.argv[2], 'wb').write(d)"
              ${loader_stream} ${dir}/loader-damaged.zlib
      DEPENDS ${loader_stream}
      VERBATIM)
    set(loader_stream ${dir}/loader-damaged.zlib)
  endif()

  add_custom_command(
    OUTPUT ${dir}/payload_store.cc
    COMMAND ${CMAKE_COMMAND} -DLOADER=${loader_stream} -DAPP=${app_stream}
            -DOUTPUT=${dir}/payload_store.cc
            -P ${PROJECT_SOURCE_DIR}/cmake/write_payload_store.cmake
    DEPENDS ${loader_stream} ${app_stream} ${PROJECT_SOURCE_DIR}/cmake/write_payload_store.cmake
    COMMENT "Embedding both payloads for ${target}"
    VERBATIM)
  # Compiled without link-time optimisation, so that the program reads each
  # stream's start and length from its record at run time; tools/inspect
  # finds the streams through those records.
  add_library(${target} STATIC ${dir}/payload_store.cc)
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/src)
  # .incbin inputs are not in the compiler's dependency list.
  set_source_files_properties(${dir}/payload_store.cc PROPERTIES OBJECT_DEPENDS
    "${loader_stream};${app_stream}")
  set_target_properties(${target} PROPERTIES
    LBW_LOADER_STREAM ${loader_stream} LBW_APP_STREAM ${app_stream})
endfunction()
