# CT file reader and writer, object table and object names.
zq_task_library(zqconfig ct_file.cc ct_writer.cc object_table.cc)
target_link_libraries(zqconfig PUBLIC zqpath zqkernel)
