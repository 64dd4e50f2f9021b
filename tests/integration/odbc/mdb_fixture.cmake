# The throwaway MariaDB server that tests share: CTest fixture "mariadb_server".
#
# tests/integration/odbc/CMakeLists.txt registers the fixture's two tests, mdb_server_start
# (scripts/mariadb-server start) and mdb_server_stop. A test that needs the server includes
# this file and calls zel_mdb_tests(test...): it then runs after the server is up, gets the
# label "mariadb", and finds the server's env file through ZEL_MDB_ENV.
set(ZEL_MDB_DIR ${CMAKE_BINARY_DIR}/mdb)
set(ZEL_MDB_ENV_FILE ${ZEL_MDB_DIR}/env)

function(zel_mdb_tests)
  set_tests_properties(${ARGN} PROPERTIES FIXTURES_REQUIRED mariadb_server)
endfunction()
