# Catalogue line parsing, the catalogue tree and checked formatting.
zq_add_fuzzer(NAME fuzz_catalogue SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_catalogue.cc LIBS zqdiag)
