# The end-to-end demo (scripts/demo.sh) run against this build tree.
if(TARGET zq AND TARGET quantrel)
  zq_add_test(NAME demo_system_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/demo_test.cc LABEL system)
  target_include_directories(demo_system_test PRIVATE ${CMAKE_SOURCE_DIR}/tests/tools)
  add_dependencies(demo_system_test zq quantrel)
endif()
