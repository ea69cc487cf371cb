# zqdiag: message catalogue, checked formatting, reports and traces.
zq_task_library(zqdiag
  ${CMAKE_CURRENT_LIST_DIR}/catalogue.cc
  ${CMAKE_CURRENT_LIST_DIR}/format.cc
  ${CMAKE_CURRENT_LIST_DIR}/report.cc)
# The kernel and the path library are built by their own folders; while one
# is not there yet the catalogue uses its own search along the directory list.
if(TARGET zqpath)
  target_link_libraries(zqdiag PUBLIC zqpath)
  target_compile_definitions(zqdiag PRIVATE ZQ_HAVE_PATH_LIBRARY=1)
endif()
if(TARGET zqkernel)
  target_link_libraries(zqdiag PUBLIC zqkernel)
endif()
