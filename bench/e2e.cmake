# End-to-end benchmark: QUANTREL against a minimal provider process, and the
# same mailbox exchange between two plain processes as the baseline.
if(TARGET zq AND TARGET quantrel AND TARGET zqconfig)
  add_executable(e2e_provider ${CMAKE_CURRENT_LIST_DIR}/e2e_provider.cc)
  zq_warnings(e2e_provider)
  target_link_libraries(e2e_provider PRIVATE zqkernel)
  zq_add_bench(NAME e2e_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/e2e_bench.cc LIBS zqconfig zqkernel)
  target_compile_definitions(e2e_bench PRIVATE ZQ_TOOL="$<TARGET_FILE:zq>"
    QUANTREL_PATH="$<TARGET_FILE:quantrel>" PROVIDER_PATH="$<TARGET_FILE:e2e_provider>"
    ZQ_ROOT="${CMAKE_SOURCE_DIR}/root")
  add_dependencies(e2e_bench zq quantrel e2e_provider)
endif()
