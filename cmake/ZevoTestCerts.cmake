# zevo_test_certificates(): the target zevo_test_certs, which makes the TLS
# certificates the tests and the benchmark use, with the build machine's
# openssl command (package openssl), in ${ZEVO_TEST_CERTS_DIR}:
#
#   ca, ca2                two CAs
#   server, server2        CN=localhost for localhost, 127.0.0.1 and ::1; by ca, by ca2
#   client, clientb        CN=client-a, CN=client-b; by ca
#   stranger               CN=client-a, by ca2
#   expired                CN=client-a, by ca, no longer valid
#
# each NAME.pem with its key NAME.key. Made once per build tree.
set(ZEVO_TEST_CERTS_DIR ${CMAKE_BINARY_DIR}/test-certs)

function(zevo_test_certificates)
  if(TARGET zevo_test_certs)
    return()
  endif()
  find_program(ZEVO_OPENSSL_PROGRAM openssl REQUIRED)
  add_custom_command(OUTPUT ${ZEVO_TEST_CERTS_DIR}/expired.pem
    COMMAND ${CMAKE_COMMAND} -DOPENSSL=${ZEVO_OPENSSL_PROGRAM} -DDIR=${ZEVO_TEST_CERTS_DIR}
            -P ${CMAKE_SOURCE_DIR}/cmake/make_test_certs.cmake
    DEPENDS ${CMAKE_SOURCE_DIR}/cmake/make_test_certs.cmake
    COMMENT "Making the test certificates")
  add_custom_target(zevo_test_certs DEPENDS ${ZEVO_TEST_CERTS_DIR}/expired.pem)
endfunction()
