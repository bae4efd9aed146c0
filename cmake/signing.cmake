# Authenticode signing of the monitor and the installer with osslsigncode.
# MONITOR_SIGNING_CERT and MONITOR_SIGNING_KEY name the release certificate
# and key (PEM); left empty, a test code-signing certificate is made in the
# build tree, so that every build is signed and the update check can compare
# signers.
find_program(OSSLSIGNCODE osslsigncode REQUIRED)
find_program(OPENSSL openssl REQUIRED)
set(MONITOR_SIGNING_CERT "" CACHE FILEPATH "PEM certificate that signs the binaries")
set(MONITOR_SIGNING_KEY "" CACHE FILEPATH "PEM private key of that certificate")
set(MONITOR_SIGNING_DIR ${CMAKE_BINARY_DIR}/signing)

# A self-signed code-signing certificate <name>.crt and key <name>.key in the
# signing folder, made once.
function(monitor_make_test_signer name common_name)
  set(base ${MONITOR_SIGNING_DIR}/${name})
  if(EXISTS ${base}.crt AND EXISTS ${base}.key)
    return()
  endif()
  file(MAKE_DIRECTORY ${MONITOR_SIGNING_DIR})
  execute_process(
    COMMAND ${OPENSSL} req -x509 -newkey rsa:2048 -nodes -days 3650 -sha256
            -subj "/CN=${common_name}" -addext "extendedKeyUsage=codeSigning"
            -addext "keyUsage=digitalSignature" -keyout ${base}.key -out ${base}.crt
    RESULT_VARIABLE failed OUTPUT_QUIET ERROR_QUIET)
  if(failed)
    message(FATAL_ERROR "openssl could not make the test signer ${name}")
  endif()
endfunction()

if(MONITOR_SIGNING_CERT AND MONITOR_SIGNING_KEY)
  set(MONITOR_SIGNER_CERT ${MONITOR_SIGNING_CERT})
  set(MONITOR_SIGNER_KEY ${MONITOR_SIGNING_KEY})
else()
  monitor_make_test_signer(test-signer "CorvanexE Test Code Signing")
  set(MONITOR_SIGNER_CERT ${MONITOR_SIGNING_DIR}/test-signer.crt)
  set(MONITOR_SIGNER_KEY ${MONITOR_SIGNING_DIR}/test-signer.key)
endif()

# The commands that sign file in place with the given certificate and key.
function(monitor_sign_commands out file cert key)
  set(${out}
    COMMAND ${OSSLSIGNCODE} sign -certs ${cert} -key ${key} -n "CorvanexE" -h sha256
            -in ${file} -out ${file}.signed
    COMMAND ${CMAKE_COMMAND} -E rename ${file}.signed ${file}
    PARENT_SCOPE)
endfunction()

# Signs a target's file right after it is linked (before it is shipped).
function(monitor_sign_target target)
  monitor_sign_commands(sign $<TARGET_FILE:${target}> ${MONITOR_SIGNER_CERT} ${MONITOR_SIGNER_KEY})
  add_custom_command(TARGET ${target} POST_BUILD ${sign} VERBATIM)
endfunction()

# The product's installer, built by makensis from the product folder and
# signed: ${CMAKE_BINARY_DIR}/installer/CorvanexE_Setup.exe (and the same
# unsigned beside it, for the tests).
function(monitor_add_installer)
  set(dir ${CMAKE_BINARY_DIR}/installer)
  set(unsigned ${dir}/CorvanexE_Setup-unsigned.exe)
  set(signed ${dir}/CorvanexE_Setup.exe)
  set(bits)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(bits -DWIN64)
  endif()
  monitor_sign_commands(sign ${signed} ${MONITOR_SIGNER_CERT} ${MONITOR_SIGNER_KEY})
  add_custom_command(OUTPUT ${signed} ${unsigned}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND makensis -V2 -DPRODUCT_DIR=${PRODUCT_DIR} -DOUTFILE=${unsigned}
            -DVERSION=${PROJECT_VERSION} ${bits} ${CMAKE_SOURCE_DIR}/installer/CorvanexE.nsi
    COMMAND ${CMAKE_COMMAND} -E copy ${unsigned} ${signed}
    ${sign}
    DEPENDS ${CMAKE_SOURCE_DIR}/installer/CorvanexE.nsi CorvanexEMon CorvanexMgr product_data
            ${CMAKE_SOURCE_DIR}/dist/config/UserConfig.ini
    VERBATIM)
  add_custom_target(installer ALL DEPENDS ${signed})
endfunction()
