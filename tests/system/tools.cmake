# Whole-process tests of the zq tool: zq run with QUANTREL in it, zq tag against it.
if(TARGET zq AND TARGET quantrel)
  zq_add_test(NAME tools_run_system_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/tools_run_test.cc
              LABEL system)
  target_include_directories(tools_run_system_test PRIVATE ${CMAKE_SOURCE_DIR}/tests/tools)
  target_compile_definitions(tools_run_system_test PRIVATE ZQ_TOOL="$<TARGET_FILE:zq>"
                             ZQ_QUANTREL_DIR="$<TARGET_FILE_DIR:quantrel>")
  add_dependencies(tools_run_system_test zq quantrel)
endif()
