# Name resolution through the object table, against an in-memory lookup.
zq_add_bench(NAME object_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/object_bench.cc LIBS zqconfig)
