# Authenticode signing of the monitor and the installer with osslsigncode,
# every signature timestamped, so that it stays valid after the signing
# certificate expires. MONITOR_SIGNING_CERT (the certificate followed by its
# issuers, PEM) and MONITOR_SIGNING_KEY name the release signer and
# MONITOR_TIMESTAMP_URL its RFC 3161 time-stamping service. Left empty, a
# test publisher is made in the build tree: a publisher CA, the code-signing
# certificate it issued, a renewal of that certificate (same subject, new
# key, same CA) and a time-stamping authority that osslsigncode runs itself.
find_program(OSSLSIGNCODE osslsigncode REQUIRED)
find_program(OPENSSL openssl REQUIRED)
find_program(WIXL wixl REQUIRED)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
set(MONITOR_SIGNING_CERT "" CACHE FILEPATH "PEM certificate chain that signs the binaries")
set(MONITOR_SIGNING_KEY "" CACHE FILEPATH "PEM private key of that certificate")
set(MONITOR_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamping service of the release signer")
set(MONITOR_SIGNING_DIR ${CMAKE_BINARY_DIR}/signing)
# Off in a build whose binaries another build ships and signs (the 64-bit
# provider inside the 32-bit build).
option(MONITOR_SIGN "Sign each shipped binary when it is linked" ON)

function(monitor_openssl)
  execute_process(COMMAND ${OPENSSL} ${ARGN} RESULT_VARIABLE failed OUTPUT_QUIET ERROR_QUIET)
  if(failed)
    message(FATAL_ERROR "openssl ${ARGV0} failed while making the test signers")
  endif()
endfunction()

# A self-signed code-signing certificate <name>.crt and key <name>.key in the
# signing folder, made once.
function(monitor_make_test_signer name common_name)
  set(base ${MONITOR_SIGNING_DIR}/${name})
  if(EXISTS ${base}.crt AND EXISTS ${base}.key)
    return()
  endif()
  file(MAKE_DIRECTORY ${MONITOR_SIGNING_DIR})
  monitor_openssl(req -x509 -newkey rsa:2048 -nodes -days 3650 -sha256
    -subj "/CN=${common_name}" -addext "extendedKeyUsage=codeSigning"
    -addext "keyUsage=digitalSignature" -keyout ${base}.key -out ${base}.crt)
endfunction()

# The test publisher CA's database, for certificates with set dates. Code
# signers issued "codeSigningListed" name the CA's revocation list on the
# loopback port the update tests serve it from; "codeSigningUnreachable"
# names one on a port where nothing listens.
set(MONITOR_TEST_CA_DB ${MONITOR_SIGNING_DIR}/ca-db)
set(MONITOR_TEST_CRL_PORT 38117 CACHE STRING "Loopback port the update tests serve the test CA's revocation list on")
set(MONITOR_TEST_CRL_URL http://127.0.0.1:${MONITOR_TEST_CRL_PORT}/publisher-ca.crl)
function(monitor_make_test_ca_db)
  set(db ${MONITOR_TEST_CA_DB})
  if(NOT EXISTS ${db}/index.txt)
    file(MAKE_DIRECTORY ${db})
    file(WRITE ${db}/index.txt "")
    file(WRITE ${db}/serial "1000\n")
  endif()
  set(codeSigning "extendedKeyUsage = critical,codeSigning\nkeyUsage = digitalSignature\n")
  file(WRITE ${db}/ca.cnf "[ca]\ndefault_ca = test\n[test]\ndatabase = ${db}/index.txt\n"
    "new_certs_dir = ${db}\nserial = ${db}/serial\ndefault_md = sha256\npolicy = any\n"
    "unique_subject = no\ndefault_crl_days = 7300\n"
    "copy_extensions = none\n[any]\ncommonName = supplied\norganizationName = optional\n"
    "[authority]\nbasicConstraints = critical,CA:TRUE\nkeyUsage = critical,keyCertSign,cRLSign\n"
    "[codeSigning]\n${codeSigning}"
    "[codeSigningListed]\n${codeSigning}crlDistributionPoints = URI:${MONITOR_TEST_CRL_URL}\n"
    "[codeSigningUnreachable]\n${codeSigning}"
    "crlDistributionPoints = URI:http://127.0.0.1:9/publisher-ca.crl\n"
    "[timeStamping]\nextendedKeyUsage = critical,timeStamping\nkeyUsage = digitalSignature\n")
endfunction()

# The test CA revokes signer <name> and writes its revocation list, DER, to
# publisher-ca.crl; made once.
function(monitor_make_test_revocation_list revoked)
  set(list ${MONITOR_SIGNING_DIR}/publisher-ca.crl)
  if(EXISTS ${list})
    return()
  endif()
  set(ca ${MONITOR_SIGNING_DIR}/publisher-ca)
  set(ca_options -config ${MONITOR_TEST_CA_DB}/ca.cnf -cert ${ca}.crt -keyfile ${ca}.key)
  monitor_openssl(ca ${ca_options} -revoke ${MONITOR_SIGNING_DIR}/${revoked}.leaf
    -crl_reason keyCompromise)
  monitor_openssl(ca ${ca_options} -gencrl -out ${list}.pem)
  monitor_openssl(crl -in ${list}.pem -outform DER -out ${list})
endfunction()

# <name>.crt (followed by the CA's certificate) and <name>.key, issued by the
# test publisher CA for usage (codeSigning, timeStamping), valid from start
# to end (YYYYMMDDHHMMSSZ), made once. With "self", the CA itself.
function(monitor_make_issued_signer name common_name usage start end)
  set(base ${MONITOR_SIGNING_DIR}/${name})
  if(EXISTS ${base}.crt AND EXISTS ${base}.key)
    return()
  endif()
  set(ca ${MONITOR_SIGNING_DIR}/publisher-ca)
  monitor_openssl(req -new -newkey rsa:2048 -nodes -subj "/O=Veltrox/CN=${common_name}"
    -keyout ${base}.key -out ${base}.csr)
  if(usage STREQUAL "self")
    monitor_openssl(ca -batch -config ${MONITOR_TEST_CA_DB}/ca.cnf -selfsign -keyfile ${base}.key
      -extensions authority -startdate ${start} -enddate ${end} -notext -in ${base}.csr
      -out ${base}.crt)
    return()
  endif()
  monitor_openssl(ca -batch -config ${MONITOR_TEST_CA_DB}/ca.cnf -cert ${ca}.crt -keyfile ${ca}.key
    -extensions ${usage} -startdate ${start} -enddate ${end} -notext -in ${base}.csr
    -out ${base}.leaf)
  file(READ ${base}.leaf leaf)
  file(READ ${ca}.crt issuer)
  file(WRITE ${base}.crt "${leaf}${issuer}")
endfunction()

if(MONITOR_SIGNING_CERT AND MONITOR_SIGNING_KEY)
  set(MONITOR_SIGNER_CERT ${MONITOR_SIGNING_CERT})
  set(MONITOR_SIGNER_KEY ${MONITOR_SIGNING_KEY})
  if(MONITOR_TIMESTAMP_URL)
    set(MONITOR_TIMESTAMP_OPTIONS -ts ${MONITOR_TIMESTAMP_URL})
  else()
    message(WARNING "MONITOR_TIMESTAMP_URL is empty: signatures end with the certificate")
  endif()
else()
  file(MAKE_DIRECTORY ${MONITOR_SIGNING_DIR})
  monitor_make_test_ca_db()
  set(from 20200101000000Z)
  set(until 20400101000000Z)
  monitor_make_issued_signer(publisher-ca "CorvanexE Test Publisher CA" self ${from} ${until})
  monitor_make_issued_signer(publisher "CorvanexE Test Code Signing" codeSigning ${from} ${until})
  monitor_make_issued_signer(publisher-renewed "CorvanexE Test Code Signing" codeSigning
    ${from} ${until})
  monitor_make_issued_signer(timestamping "CorvanexE Test Time Stamping" timeStamping
    ${from} ${until})
  # The publisher's certificate of an earlier year, expired since: what it
  # signed with a timestamp of that year stays valid.
  monitor_make_issued_signer(publisher-2024 "CorvanexE Test Code Signing" codeSigning
    20240101000000Z 20250101000000Z)
  # Same subject and CA again, each naming a revocation list: one the CA has
  # revoked, one it has not, one whose list cannot be reached.
  monitor_make_issued_signer(publisher-revoked "CorvanexE Test Code Signing" codeSigningListed
    ${from} ${until})
  monitor_make_issued_signer(publisher-listed "CorvanexE Test Code Signing" codeSigningListed
    ${from} ${until})
  monitor_make_issued_signer(publisher-unreachable-list "CorvanexE Test Code Signing"
    codeSigningUnreachable ${from} ${until})
  monitor_make_test_revocation_list(publisher-revoked)
  set(MONITOR_SIGNER_CERT ${MONITOR_SIGNING_DIR}/publisher.crt)
  set(MONITOR_SIGNER_KEY ${MONITOR_SIGNING_DIR}/publisher.key)
  set(MONITOR_TIMESTAMP_OPTIONS -TSA-certs ${MONITOR_SIGNING_DIR}/timestamping.crt
    -TSA-key ${MONITOR_SIGNING_DIR}/timestamping.key)
endif()

# The commands that sign file in place with the given certificate and key,
# timestamped; further arguments go to osslsigncode.
function(monitor_sign_commands out file cert key)
  set(${out}
    COMMAND ${OSSLSIGNCODE} sign -certs ${cert} -key ${key} -n "CorvanexE" -h sha256
            ${MONITOR_TIMESTAMP_OPTIONS} ${ARGN} -in ${file} -out ${file}.signed
    COMMAND ${CMAKE_COMMAND} -E rename ${file}.signed ${file}
    PARENT_SCOPE)
endfunction()

# Signs a target's file right after it is linked (before it is shipped).
function(monitor_sign_target target)
  if(NOT MONITOR_SIGN)
    return()
  endif()
  monitor_sign_commands(sign $<TARGET_FILE:${target}> ${MONITOR_SIGNER_CERT} ${MONITOR_SIGNER_KEY})
  add_custom_command(TARGET ${target} POST_BUILD ${sign} VERBATIM)
endfunction()

# The product's installer, built by makensis from the product folder and
# signed: ${CMAKE_BINARY_DIR}/installer/CorvanexE_Setup.exe (and the same
# unsigned beside it, for the tests).
# The product as a Windows Installer package, made by wixl from the product
# folder dir (of version, a.b.c.d) into out and signed; kind is the
# package's platform (x86, x64, or x64-both: see make_installer_files.py).
# wixl reads the files relative to where it runs: in the product folder.
function(monitor_add_msi target dir version out kind)
  set(arch ${kind})
  if(kind STREQUAL "x64-both")
    set(arch x64)
  endif()
  set(wxs ${out}.wxs)
  # wixl takes only paths relative to where it runs.
  file(RELATIVE_PATH handover ${dir} ${CMAKE_BINARY_DIR}/installer/CorvanexE_Handover.exe)
  monitor_sign_commands(sign ${out} ${MONITOR_SIGNER_CERT} ${MONITOR_SIGNER_KEY})
  get_filename_component(out_dir ${out} DIRECTORY)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out_dir}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/installer/make_installer_files.py
            ${CMAKE_SOURCE_DIR}/installer/product_files.txt wix
            ${CMAKE_SOURCE_DIR}/installer/CorvanexE.wxs.in ${wxs} ${kind} ${version}
    COMMAND ${WIXL} -a ${arch} -o ${out} ${wxs} -D HANDOVER=${handover}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/installer/make_installer_files.py
            fix-tables ${out} ${kind} ${version}
    ${sign}
    WORKING_DIRECTORY ${dir}
    DEPENDS ${CMAKE_SOURCE_DIR}/installer/CorvanexE.wxs.in
            ${CMAKE_SOURCE_DIR}/installer/product_files.txt
            ${CMAKE_SOURCE_DIR}/installer/make_installer_files.py monitor_handover ${ARGN}
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS ${out})
endfunction()

function(monitor_add_installer)
  set(dir ${CMAKE_BINARY_DIR}/installer)
  # Carried inside the packages: ends a running monitor before the files
  # change and starts the new one after.
  add_executable(monitor_handover ${CMAKE_SOURCE_DIR}/installer/monitor_handover_win.cpp)
  target_link_options(monitor_handover PRIVATE -municode -mwindows)
  target_link_libraries(monitor_handover PRIVATE win32_base)
  set_target_properties(monitor_handover PROPERTIES OUTPUT_NAME CorvanexE_Handover
    RUNTIME_OUTPUT_DIRECTORY ${dir})
  monitor_sign_target(monitor_handover)
  set(unsigned ${dir}/CorvanexE_Setup-unsigned.exe)
  set(signed ${dir}/CorvanexE_Setup.exe)
  set(bits)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(bits -DWIN64)
  endif()
  monitor_sign_commands(sign ${signed} ${MONITOR_SIGNER_CERT} ${MONITOR_SIGNER_KEY})
  file(GLOB_RECURSE shipped_data CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/dist/*)
  set(files_nsh ${dir}/product_files.nsh)
  add_custom_command(OUTPUT ${signed} ${unsigned}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/installer/make_installer_files.py
            ${CMAKE_SOURCE_DIR}/installer/product_files.txt nsis ${files_nsh}
    COMMAND makensis -V2 -DPRODUCT_DIR=${PRODUCT_DIR} -DOUTFILE=${unsigned}
            -DPRODUCT_FILES=${files_nsh}
            -DVERSION=${PROJECT_VERSION} ${bits} ${CMAKE_SOURCE_DIR}/installer/CorvanexE.nsi
    COMMAND ${CMAKE_COMMAND} -E copy ${unsigned} ${signed}
    ${sign}
    DEPENDS ${CMAKE_SOURCE_DIR}/installer/CorvanexE.nsi
            ${CMAKE_SOURCE_DIR}/installer/product_files.txt
            ${CMAKE_SOURCE_DIR}/installer/make_installer_files.py CorvanexEMon CorvanexMgr CorvanexCsp
            V9ArcPKIMgr ${MONITOR_PROVIDER64} product_data
            ${shipped_data}
    VERBATIM)
  add_custom_target(installer ALL DEPENDS ${signed})
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    monitor_add_msi(msi_package ${PRODUCT_DIR} ${PROJECT_VERSION} ${dir}/CorvanexE.msi x64
      CorvanexEMon CorvanexMgr CorvanexCsp V9ArcPKIMgr product_data)
  else()
    # The 32-bit product: for 32-bit Windows, and for 64-bit Windows with
    # both providers.
    monitor_add_msi(msi_package ${PRODUCT_DIR} ${PROJECT_VERSION} ${dir}/CorvanexE.msi x86
      CorvanexEMon CorvanexMgr CorvanexCsp V9ArcPKIMgr product_data)
    monitor_add_msi(msi_package_x64 ${PRODUCT_DIR} ${PROJECT_VERSION} ${dir}/CorvanexE-x64.msi
      x64-both CorvanexEMon CorvanexMgr CorvanexCsp V9ArcPKIMgr ${MONITOR_PROVIDER64} product_data)
    # The same package made once more, with a product code of its own, as a
    # rebuilt or re-signed package is: what the shipped build's scenarios
    # upgrade with.
    monitor_add_msi(msi_package_x64_rebuilt ${PRODUCT_DIR} ${PROJECT_VERSION}
      ${CMAKE_BINARY_DIR}/test-packages/CorvanexE-x64.msi x64-both msi_package_x64)
    # And the next version's setup program, signed, that the shipped
    # monitor's update check downloads and starts in those scenarios.
    monitor_add_next_product()
    set(next_setup ${CMAKE_BINARY_DIR}/test-packages/next-setup.exe)
    monitor_sign_commands(sign_next ${next_setup} ${MONITOR_SIGNER_CERT} ${MONITOR_SIGNER_KEY})
    add_custom_command(OUTPUT ${next_setup}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/test-packages
      COMMAND makensis -V2 -DPRODUCT_DIR=${next_product} -DOUTFILE=${next_setup}
              -DPRODUCT_FILES=${files_nsh} -DVERSION=${next_version}
              ${CMAKE_SOURCE_DIR}/installer/CorvanexE.nsi
      ${sign_next}
      DEPENDS installer ${next_product}/CorvanexEMon.exe ${CMAKE_SOURCE_DIR}/installer/CorvanexE.nsi
      VERBATIM)
    add_custom_target(next_setup ALL DEPENDS ${next_setup})
  endif()
endfunction()
