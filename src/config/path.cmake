# Path library: parsed file names, macros, search lists, directory listings.
zq_task_library(zqpath path.cc)
