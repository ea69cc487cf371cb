# The zq tool's reusable parts (application description compiler, CT dump,
# application files) as a library, so that tests can link them. zq itself
# links this library instead of compiling these sources a second time.
file(GLOB ZQ_TOOLS_LIB_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/app_*.cc)
add_library(zqtools STATIC ${ZQ_TOOLS_LIB_SOURCES})
zq_warnings(zqtools)
target_include_directories(zqtools PUBLIC ${CMAKE_SOURCE_DIR}/src)
target_link_libraries(zqtools PUBLIC tomlplusplus::tomlplusplus)
foreach(lib zqconfig zqpath zqkernel)
  if(TARGET ${lib})
    target_link_libraries(zqtools PUBLIC ${lib})
  endif()
endforeach()

get_target_property(ZQ_TOOL_ALL_SOURCES zq SOURCES)
list(REMOVE_ITEM ZQ_TOOL_ALL_SOURCES ${ZQ_TOOLS_LIB_SOURCES})
set_target_properties(zq PROPERTIES SOURCES "${ZQ_TOOL_ALL_SOURCES}")
target_link_libraries(zq PRIVATE zqtools)

# Where zq looks for the installation root when neither --root nor ZQROOT say.
target_compile_definitions(zq PRIVATE ZQ_SOURCE_ROOT="${CMAKE_SOURCE_DIR}/root")
