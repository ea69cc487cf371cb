# Configuration loading against a private kernel database and files written with the writers.
zq_add_test(NAME loader_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/loader_test.cc
  LIBS zqloader LABEL unit)
