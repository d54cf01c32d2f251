# Checks the PE headers of a launcher: x86-64, graphical subsystem, stack reserve and commit.
function(headers exe out)
  execute_process(COMMAND ${OBJDUMP} -p ${exe} OUTPUT_VARIABLE text RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "objdump failed on ${exe}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
function(expect text pattern what)
  if(NOT text MATCHES "${pattern}")
    message(FATAL_ERROR "${what}: '${pattern}' not found")
  endif()
endfunction()

headers(${EXE} gui)
expect("${gui}" "file format pei-x86-64" "machine")
expect("${gui}" "Subsystem[ \t]+00000002" "graphical subsystem")
expect("${gui}" "SizeOfStackReserve[ \t]+0+968000" "stack reserve")
expect("${gui}" "SizeOfStackCommit[ \t]+0+1000" "stack commit")
headers(${CONSOLE_EXE} console)
expect("${console}" "Subsystem[ \t]+00000003" "console subsystem")

# The child hands off without loading shell32 (about 7 ms under Wine), and sections are
# page-aligned in the file, so that the payload is mapped rather than read into every process.
if(gui MATCHES "DLL Name: [Ss][Hh][Ee][Ll][Ll]32")
  message(FATAL_ERROR "the launcher imports shell32")
endif()
expect("${gui}" "FileAlignment[ \t]+0+1000" "page-aligned sections")
message(STATUS "image headers as expected")
