# The throwaway PostgreSQL server that tests share: CTest fixture "pg_server".
#
# tests/integration/pgsql/CMakeLists.txt registers the fixture's two tests, pg_server_start
# (scripts/pg-server start) and pg_server_stop. A test that needs the server includes this
# file and either calls zel_pg_tests(test...) or passes ${ZEL_PG_TEST_PROPERTIES} to
# gtest_discover_tests(... PROPERTIES ...). The test then runs after the server is up, gets
# the label "pg", and finds the server's env file (scripts/pg-server) through the
# environment variable ZEL_PG_ENV. See docs/testing.md.
set(ZEL_PG_DIR ${CMAKE_BINARY_DIR}/pg)
set(ZEL_PG_ENV_FILE ${ZEL_PG_DIR}/env)
set(ZEL_PG_TEST_PROPERTIES
  FIXTURES_REQUIRED pg_server
  LABELS pg
  ENVIRONMENT ZEL_PG_ENV=${ZEL_PG_ENV_FILE})

function(zel_pg_tests)
  set_tests_properties(${ARGN} PROPERTIES ${ZEL_PG_TEST_PROPERTIES})
endfunction()
