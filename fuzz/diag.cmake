# Catalogue line parsing, the catalogue tree and checked formatting.
zq_add_fuzzer(NAME fuzz_catalogue SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_catalogue.cc LIBS zqdiag)
# Coverage feedback from the library under test, not only from the target.
target_compile_options(zqdiag PRIVATE -fsanitize=fuzzer-no-link)
