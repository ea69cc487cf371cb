# End-to-end tests: zq ct build, zq run, QUANTREL and zq sim as real
# processes on a shared-memory database, this test attached as a watcher task.
if(TARGET zq AND TARGET quantrel AND TARGET zqtools)
  file(GLOB ZQ_E2E_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/e2e_*_test.cc)
  zq_add_test(NAME e2e_test SOURCES ${ZQ_E2E_SOURCES} LIBS zqtools zqkernel LABEL system)
  target_include_directories(e2e_test PRIVATE ${CMAKE_SOURCE_DIR}/tests/system)
  target_compile_definitions(e2e_test PRIVATE ZQ_TOOL="$<TARGET_FILE:zq>"
    ZQ_BIN_DIR="$<TARGET_FILE_DIR:quantrel>" ZQ_ROOT="${CMAKE_SOURCE_DIR}/root")
  add_dependencies(e2e_test zq quantrel)
endif()
