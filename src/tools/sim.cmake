# zq sim's engine (configuration, memory, provider) as a library, so that the
# tests can drive it in-process; zq links it instead of compiling it twice.
set(ZQ_SIM_LIB_SOURCES
  ${CMAKE_CURRENT_SOURCE_DIR}/sim_config.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/sim_memory.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/sim_provider.cc
  ${CMAKE_CURRENT_SOURCE_DIR}/provider_config.cc)
add_library(zqsim STATIC ${ZQ_SIM_LIB_SOURCES})
zq_warnings(zqsim)
target_include_directories(zqsim PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(zqsim PUBLIC tomlplusplus::tomlplusplus zqconfig zqpath zqkernel pthread)

get_target_property(ZQ_SIM_ZQ_SOURCES zq SOURCES)
list(REMOVE_ITEM ZQ_SIM_ZQ_SOURCES ${ZQ_SIM_LIB_SOURCES})
set_target_properties(zq PROPERTIES SOURCES "${ZQ_SIM_ZQ_SOURCES}")
target_link_libraries(zq PRIVATE zqsim)
