# The build-time check of the launcher's thread stacks (tools/stack_check.py, with its table
# tools/thread_stacks.txt): GCC writes each object's call graph with frame sizes beside it
# (-fcallgraph-info=su), and a test finds the deepest path of every thread the launcher makes and
# compares it with that thread's reservation. Other compilers write no such graph; their builds
# skip the check.
# Records the call graphs of these targets' objects for the check.
function(onefile_record_call_graph)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    return()
  endif()
  foreach(target IN LISTS ARGN)
    target_compile_options(${target} PRIVATE -fcallgraph-info=su)
    # A compiler cache restores the object but not the graph written beside it.
    set_target_properties(${target} PROPERTIES C_COMPILER_LAUNCHER "" CXX_COMPILER_LAUNCHER "")
  endforeach()
  set_property(GLOBAL APPEND PROPERTY ONEFILE_STACK_CHECK_TARGETS ${ARGN})
endfunction()

# The test that runs the check over every recorded target.
function(onefile_add_stack_check)
  get_property(targets GLOBAL PROPERTY ONEFILE_STACK_CHECK_TARGETS)
  if(NOT targets)
    message(STATUS "Thread stack check: skipped (needs GCC's -fcallgraph-info)")
    return()
  endif()
  find_program(ONEFILE_PYTHON NAMES python3 python)
  if(NOT ONEFILE_PYTHON)
    message(STATUS "Thread stack check: skipped (no Python)")
    return()
  endif()
  set(objects "")
  foreach(target IN LISTS targets)
    list(APPEND objects "$<TARGET_OBJECTS:${target}>")
  endforeach()
  set(list_file ${PROJECT_BINARY_DIR}/stack_check_objects.txt)
  file(GENERATE OUTPUT ${list_file} CONTENT "$<JOIN:${objects},\n>\n")
  add_test(NAME launcher_thread_stacks
    COMMAND ${ONEFILE_PYTHON} ${PROJECT_SOURCE_DIR}/tools/stack_check.py ${PROJECT_SOURCE_DIR}
            ${PROJECT_SOURCE_DIR}/tools/thread_stacks.txt ${list_file})
endfunction()
