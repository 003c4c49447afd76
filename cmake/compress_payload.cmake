# cmake -DZOPFLI=... -DINPUT=file -DOUTPUT=stream -P compress_payload.cmake
# Compresses one file into one zlib stream (header 78 DA, 32 KiB window).
execute_process(
  COMMAND ${ZOPFLI} --zlib -c ${INPUT}
  OUTPUT_FILE ${OUTPUT}.part
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${OUTPUT}.part)
  message(FATAL_ERROR "zopfli failed on ${INPUT}: ${status}")
endif()
file(RENAME ${OUTPUT}.part ${OUTPUT})
