# The quantrel program started as a process on a shared-memory database.
zq_add_test(NAME system_quantrel_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/quantrel_test.cc
  LIBS zqconfig zqdiag zqkernel
  LABEL system)
target_compile_definitions(system_quantrel_test PRIVATE QUANTREL_PATH="$<TARGET_FILE:quantrel>")
add_dependencies(system_quantrel_test quantrel)
