# Compresses INPUT into OUTPUT with gzip -9n (no file name or time stamp in the header, as
# Debian wants its manual pages and changelogs): cmake -DINPUT=... -DOUTPUT=... -P gzip.cmake
find_program(GZIP gzip REQUIRED)
get_filename_component(output_dir ${OUTPUT} DIRECTORY)
file(MAKE_DIRECTORY ${output_dir})
execute_process(COMMAND ${GZIP} -9nc ${INPUT} OUTPUT_FILE ${OUTPUT}.tmp RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE ${OUTPUT}.tmp)
  message(FATAL_ERROR "gzip ${INPUT}: ${result}")
endif()
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
