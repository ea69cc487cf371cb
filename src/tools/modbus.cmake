# zq modbus: the Modbus TCP provider, built when libmodbus is found. Its engine
# (configuration, block conversion, provider) is a library, so that tests and
# the benchmark can link it; zq keeps only the subcommand.
set(ZQ_MODBUS_LIB_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/modbus_config.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/modbus_block.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/modbus_provider.cc)
get_target_property(ZQ_MODBUS_ZQ_SOURCES zq SOURCES)
list(REMOVE_ITEM ZQ_MODBUS_ZQ_SOURCES ${ZQ_MODBUS_LIB_SOURCES})
if(TARGET PkgConfig::MODBUS AND TARGET zqsim)
  add_library(zqmodbus STATIC ${ZQ_MODBUS_LIB_SOURCES})
  zq_warnings(zqmodbus)
  target_include_directories(zqmodbus PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(zqmodbus PUBLIC zqsim PkgConfig::MODBUS tomlplusplus::tomlplusplus zqkernel
                        pthread)
  target_link_libraries(zq PRIVATE zqmodbus)
else()
  list(REMOVE_ITEM ZQ_MODBUS_ZQ_SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/modbus_command.cc)
  message(STATUS "libmodbus not found: zq is built without its modbus subcommand")
endif()
set_target_properties(zq PROPERTIES SOURCES "${ZQ_MODBUS_ZQ_SOURCES}")
