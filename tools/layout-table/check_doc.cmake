# Regenerates the layout table into OUT and fails when DOC differs from it.
execute_process(COMMAND ${TOOL} ${OUT} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "layout-table failed: ${result}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${OUT} ${DOC} RESULT_VARIABLE differs)
if(NOT differs EQUAL 0)
  message(FATAL_ERROR "${DOC} is out of date: rebuild it with the layouts-doc target")
endif()
