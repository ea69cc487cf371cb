# zqloader: loading quantrel.ct into data sources, entries and triggers.
zq_task_library(zqloader ${CMAKE_CURRENT_LIST_DIR}/config_loader.cc)
target_link_libraries(zqloader PUBLIC zqdatasource zqmci zqconfig zqruntime zqconvert zqdatetime
                      zqdiag zqkernel)
