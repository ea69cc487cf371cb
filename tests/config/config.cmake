# Tests of the path library, the CT reader and writer, and the object table.
zq_add_test(NAME path_test SOURCES path_test.cc LIBS zqpath)
zq_add_test(NAME ct_file_test SOURCES ct_file_test.cc LIBS zqconfig)
zq_add_test(NAME object_table_test SOURCES object_table_test.cc LIBS zqconfig)
