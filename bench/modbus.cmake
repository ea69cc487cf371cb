# zq modbus: continuous reading through QUANTREL and zq modbus against a bare
# libmodbus read loop, both against the same loopback libmodbus server.
if(TARGET zqmodbus AND TARGET zq AND TARGET quantrel)
  zq_add_bench(NAME modbus_bench
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/modbus_bench.cc ${CMAKE_CURRENT_LIST_DIR}/modbus_bench_server.cc
    LIBS zqmodbus)
  target_compile_definitions(modbus_bench PRIVATE ZQ_TOOL="$<TARGET_FILE:zq>"
                             ZQ_QUANTREL_DIR="$<TARGET_FILE_DIR:quantrel>")
  add_dependencies(modbus_bench zq quantrel)
endif()
