# zq modbus: its configuration and block layout against QUANTREL's conversions
# (unit), the provider in-process against pymodbus's server, and the whole
# chain (zq ct build, zq run with QUANTREL and zq modbus, zq tag, mbpoll).
if(TARGET zqmodbus AND TARGET zqconvert)
  zq_add_test(NAME modbus_unit_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/modbus_unit_test.cc
    LIBS zqmodbus zqconvert
    LABEL unit)
endif()
if(TARGET zqmodbus)
  zq_add_test(NAME modbus_provider_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/modbus_provider_test.cc
    LIBS zqmodbus zqconfig
    LABEL system)
  target_include_directories(modbus_provider_test PRIVATE ${CMAKE_SOURCE_DIR}/tests/tools)
endif()
if(TARGET zqmodbus AND TARGET zq AND TARGET quantrel)
  zq_add_test(NAME modbus_system_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/modbus_system_test.cc
    LABEL system)
  target_include_directories(modbus_system_test PRIVATE ${CMAKE_SOURCE_DIR}/tests/tools)
  target_compile_definitions(modbus_system_test PRIVATE ZQ_TOOL="$<TARGET_FILE:zq>"
                             ZQ_QUANTREL_DIR="$<TARGET_FILE_DIR:quantrel>")
  add_dependencies(modbus_system_test zq quantrel)
endif()
