# Trigger registry and task start-up, against a private in-process database.
zq_add_test(NAME runtime_triggers_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/triggers_test.cc
  LIBS zqruntime)
zq_add_test(NAME runtime_task_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/task_test.cc
  LIBS zqruntime)
