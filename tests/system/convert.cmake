# zq conv run as a program: black-box tests of the conversion workbench.
if(TARGET zq)
  zq_add_test(NAME convert_conv_command_test
    SOURCES ${CMAKE_SOURCE_DIR}/tests/convert/conv_command_test.cc LABEL system)
  add_dependencies(convert_conv_command_test zq)
endif()
