# zq sim: in-process tests of the simulator's engine, and the zq sim process
# serving a client on a shared-memory database.
if(TARGET zqsim)
  zq_add_test(NAME sim_unit_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_config_test.cc ${CMAKE_CURRENT_LIST_DIR}/sim_provider_test.cc
    LIBS zqsim
    LABEL unit)
  target_include_directories(sim_unit_test PRIVATE ${CMAKE_SOURCE_DIR})
endif()
if(TARGET zqsim AND TARGET zq)
  zq_add_test(NAME sim_process_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_process_test.cc
    LIBS zqconfig zqkernel
    LABEL system)
  target_compile_definitions(sim_process_test PRIVATE ZQ_PATH="$<TARGET_FILE:zq>")
  add_dependencies(sim_process_test zq)
endif()
if(TARGET zqsim AND TARGET zqmci)
  zq_add_test(NAME sim_mci_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_mci_test.cc
    LIBS zqsim zqmci
    LABEL unit)
  target_include_directories(sim_mci_test PRIVATE ${CMAKE_SOURCE_DIR})
endif()
