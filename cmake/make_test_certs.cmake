# cmake -DOPENSSL=openssl -DDIR=dir -P make_test_certs.cmake: the test
# certificates of ZevoTestCerts.cmake. EC P-256 keys; no openssl
# configuration file is read.
file(MAKE_DIRECTORY ${DIR})
file(WRITE ${DIR}/empty.cnf "[req]\ndistinguished_name = dn\n[dn]\n")
set(ENV{OPENSSL_CONF} ${DIR}/empty.cnf)

function(run)
  execute_process(COMMAND ${OPENSSL} ${ARGN} WORKING_DIRECTORY ${DIR} RESULT_VARIABLE failed ERROR_VARIABLE said OUTPUT_QUIET)
  if(failed)
    message(FATAL_ERROR "openssl ${ARGN}: ${said}")
  endif()
endfunction()

function(make_key name)
  run(genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ${name}.key)
endfunction()

function(make_ca name cn)
  make_key(${name})
  run(req -x509 -new -key ${name}.key -subj /CN=${cn} -days 3650 -out ${name}.pem
      -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign)
endfunction()

# make_cert(NAME CN CA DAYS SAN): a certificate CA signed; DAYS -1: expired.
function(make_cert name cn ca days san)
  make_key(${name})
  run(req -new -key ${name}.key -subj /CN=${cn} -out ${name}.csr)
  file(WRITE ${DIR}/${name}.ext "basicConstraints=CA:FALSE\nsubjectAltName=${san}\n")
  run(x509 -req -in ${name}.csr -CA ${ca}.pem -CAkey ${ca}.key -CAcreateserial -days ${days}
      -extfile ${name}.ext -out ${name}.pem)
  file(REMOVE ${DIR}/${name}.csr ${DIR}/${name}.ext)
endfunction()

make_ca(ca "zevo test CA")
make_ca(ca2 "zevo other CA")
make_cert(server localhost ca 3650 "DNS:localhost,IP:127.0.0.1,IP:::1")
make_cert(server2 localhost ca2 3650 "DNS:localhost,IP:127.0.0.1,IP:::1")
make_cert(client client-a ca 3650 "DNS:client-a")
make_cert(clientb client-b ca 3650 "DNS:client-b")
make_cert(stranger client-a ca2 3650 "DNS:client-a")
make_cert(expired client-a ca -1 "DNS:client-a")
