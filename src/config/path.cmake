# Path library: parsed file names, macros, search lists, directory listings.
zq_task_library(zqpath path.cc)
if(ZQ_FUZZ)
  # Coverage feedback for the fuzz targets reaches into the library.
  target_compile_options(zqpath PRIVATE -fsanitize=fuzzer-no-link)
endif()
