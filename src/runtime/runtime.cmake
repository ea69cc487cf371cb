# zqruntime: trigger registry and change dispatch, task start-up, main loop and exit.
zq_task_library(zqruntime
  ${CMAKE_CURRENT_LIST_DIR}/triggers.cc
  ${CMAKE_CURRENT_LIST_DIR}/task.cc)
target_link_libraries(zqruntime PUBLIC zqdiag zqdatetime zqkernel)
