# The "-LS" option scan of the task's argument string.
zq_add_fuzzer(NAME fuzz_ls_option
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_ls_option.cc
  LIBS zqruntime)
