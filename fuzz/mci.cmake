zq_add_fuzzer(NAME fuzz_mci_mailbox
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_mci_mailbox.cc
  LIBS zqmci)
