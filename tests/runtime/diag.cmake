# Tests of the message catalogue, checked formatting, reports and traces.
zq_add_test(NAME format_checked_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/format_checked_test.cc LIBS zqdiag)
zq_add_test(NAME catalogue_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/catalogue_parse_test.cc
          ${CMAKE_CURRENT_LIST_DIR}/catalogue_load_test.cc
  LIBS zqdiag)
zq_add_test(NAME diag_shipped_catalogue_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/diag_shipped_catalogue_test.cc LIBS zqdiag)
zq_add_test(NAME report_trace_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/report_trace_test.cc LIBS zqdiag)
zq_add_test(NAME report_kernel_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/report_kernel_test.cc LIBS zqdiag)
