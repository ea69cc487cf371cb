# Block-to-tag conversion speed against a plain word copy measured in the same run.
zq_add_bench(NAME convert_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/convert_bench.cc LIBS zqconvert)
