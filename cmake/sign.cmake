# cmake -DFILE=program.exe -DCERT=... -DKEY=... | -DPKCS12=... [-DPASSWORD_FILE=...]
#       -DOSSLSIGNCODE=... -P sign.cmake
# Signs a program in place with an Authenticode signature (SHA-256).
if(PKCS12)
  set(credentials -pkcs12 ${PKCS12})
else()
  set(credentials -certs ${CERT} -key ${KEY})
endif()
if(PASSWORD_FILE)
  list(APPEND credentials -readpass ${PASSWORD_FILE})
endif()
execute_process(
  COMMAND ${OSSLSIGNCODE} sign ${credentials} -h sha256 -n "Lirabel Warden Setup"
          -in ${FILE} -out ${FILE}.signed
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  file(REMOVE ${FILE}.signed)
  message(FATAL_ERROR "signing ${FILE} failed")
endif()
file(RENAME ${FILE}.signed ${FILE})
