# zqdiag: message catalogue, checked formatting, reports and traces.
zq_task_library(zqdiag
  ${CMAKE_CURRENT_LIST_DIR}/catalogue.cc
  ${CMAKE_CURRENT_LIST_DIR}/format.cc
  ${CMAKE_CURRENT_LIST_DIR}/report.cc)
target_link_libraries(zqdiag PUBLIC zqpath)
# Reports write through the kernel; until its library is built only the
# catalogue and the formatting can be linked.
if(TARGET zqkernel)
  target_link_libraries(zqdiag PUBLIC zqkernel)
endif()
