# Kernel system tests: a helper process (kernel_peer) and the tests that start it.
add_executable(kernel_peer ${CMAKE_CURRENT_LIST_DIR}/kernel_peer.cc)
zq_warnings(kernel_peer)
target_link_libraries(kernel_peer PRIVATE zqkernel)

zq_add_test(NAME kernel_system_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/kernel_system_test.cc
            LIBS zqkernel LABEL system)
target_compile_definitions(kernel_system_test PRIVATE ZQ_KERNEL_PEER="$<TARGET_FILE:kernel_peer>")
add_dependencies(kernel_system_test kernel_peer)
