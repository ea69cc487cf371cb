# Soak test (label slow, not in the default run): 100 data sources reading
# continuously for a minute against two zq sim processes under zq run.
if(TARGET zq AND TARGET quantrel AND TARGET zqtools)
  zq_add_test(NAME soak_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/soak_test.cc
              LIBS zqtools zqkernel LABEL slow)
  target_include_directories(soak_test PRIVATE ${CMAKE_SOURCE_DIR}/tests/system)
  target_compile_definitions(soak_test PRIVATE ZQ_TOOL="$<TARGET_FILE:zq>"
    ZQ_BIN_DIR="$<TARGET_FILE_DIR:quantrel>" ZQ_ROOT="${CMAKE_SOURCE_DIR}/root")
  add_dependencies(soak_test zq quantrel)
endif()
