# onefile_add_launcher: turns an application (a main module library and its files) into one
# self-extracting launcher executable, with the packaging tool (onefile build) and a prebuilt
# stub: no compiler or linker runs for it.
#
#   onefile_add_launcher(<target>
#     MAIN <file or library target>       the main module, exporting run_code; the first entry
#     | RUN <entry name>                  or: a program of the payload, started by the stock runner
#                                         with the launcher's arguments, handles, console
#     [DIR <directory>]                   every regular file below it becomes an entry
#     [FILES <file>[=<name>] ...]         further entries, named by their file name or <name>
#     [OUTPUT_NAME <name>]                executable name without .exe (default: ONEFILE_OUTPUT_NAME
#                                         when set, else <target>)
#     [COMPANY <text>] [PRODUCT <text>] [VERSION <a.b[.c[.d]]>] [TARGET_SPEC <path spec>]
#                                         defaults: ONEFILE_COMPANY, ONEFILE_PRODUCT and
#                                         ONEFILE_VERSION when set, else as the tool does: the
#                                         product is the output name, the company the product,
#                                         the version PROJECT_VERSION when set, else 1.0.0.0
#     [DESCRIPTION <text>] [COPYRIGHT <text>] [COMMENTS <text>] [PRODUCT_VERSION <text>]
#                                         further version record texts
#     [SIGN <file.pfx> [SIGN_PASSWORD_FILE <file>] [TIMESTAMP <url>] | SIGN_COMMAND <command>]
#                                         Authenticode signing, as the tool's --sign options
#     [ORIGINAL_FILENAME <name>] [INTERNAL_NAME <name>]
#     [LEVEL <n>] [THREADS <n>]           compression settings of the packer
#     [ICON <file.ico>]                   the executable's icon
#     [UTF8]                              UTF-8 as the process's ANSI code page (manifest)
#     [UAC_ADMIN]                         asks for elevation (requireAdministrator)
#     [DPI_AWARE unaware|system|permonitorv2]  DPI awareness (default: unaware)
#     [MANIFEST <file>]                   a complete manifest of your own instead of the generated one
#     [NO_ERROR_DIALOG]                   errors never in a message box, only on standard error
#     [NO_PROGRESS]                       no progress window while a graphical launch unpacks
#     [KEEP | KEEP_VERIFY]                keep the unpacked files for later launches, and with
#                                         KEEP_VERIFY compare them with the payload at each start
#                                         (default: ONEFILE_KEEP, ONEFILE_KEEP_VERIFY); the target
#                                         spec then defaults to ONEFILE_KEEP_TARGET_SPEC
#     [CONSOLE | GUI])                    console or graphical subsystem (default: ONEFILE_CONSOLE)
#
# <target> builds the launcher (in ALL). It is written to the target's RUNTIME_OUTPUT_DIRECTORY
# (set it any time in the same directory; default CMAKE_RUNTIME_OUTPUT_DIRECTORY, else the
# current binary directory); its path is the target's ONEFILE_LAUNCHER_FILE property. The tool
# and the stub are ONEFILE_TOOL_EXECUTABLE and ONEFILE_LAUNCHER_STUB (a file or a target); the
# tool takes the stock runner from beside the stub (onefile_run.dll), which a build of its own
# names as the target ONEFILE_RUNNER_STUB.
include_guard(GLOBAL)

# OFF, ON or VERIFY from a launcher's KEEP and KEEP_VERIFY and the defaults.
function(_onefile_keep_mode out keep verify)
  if(NOT keep AND NOT verify)
    set(keep ${ONEFILE_KEEP})
    set(verify ${ONEFILE_KEEP_VERIFY})
  endif()
  set(mode OFF)
  if(verify)
    set(mode VERIFY)
  elseif(keep)
    set(mode ON)
  endif()
  set(${out} ${mode} PARENT_SCOPE)
endfunction()

function(onefile_add_launcher target)
  if(NOT ONEFILE_TOOL_EXECUTABLE OR NOT ONEFILE_LAUNCHER_STUB)
    message(FATAL_ERROR "onefile_add_launcher: no packaging tool or stub; set ONEFILE_TOOL to "
                        "the onefile program (its stubs/ directory beside it)")
  endif()
  cmake_parse_arguments(PARSE_ARGV 1 arg "CONSOLE;GUI;UTF8;UAC_ADMIN;NO_ERROR_DIALOG;NO_PROGRESS;KEEP;KEEP_VERIFY"
    "MAIN;RUN;ICON;DPI_AWARE;MANIFEST;DIR;OUTPUT_NAME;COMPANY;PRODUCT;VERSION;TARGET_SPEC;ORIGINAL_FILENAME;INTERNAL_NAME;LEVEL;THREADS;DESCRIPTION;COPYRIGHT;COMMENTS;PRODUCT_VERSION;SIGN;SIGN_PASSWORD_FILE;TIMESTAMP;SIGN_COMMAND"
    "FILES")
  if(NOT arg_MAIN AND NOT arg_RUN)
    message(FATAL_ERROR "onefile_add_launcher(${target}): MAIN or RUN is required")
  endif()
  if(arg_MAIN AND arg_RUN)
    message(FATAL_ERROR "onefile_add_launcher(${target}): MAIN and RUN exclude each other")
  endif()
  if(arg_CONSOLE AND arg_GUI)
    message(FATAL_ERROR "onefile_add_launcher(${target}): CONSOLE and GUI exclude each other")
  endif()
  if(NOT arg_CONSOLE AND NOT arg_GUI AND ONEFILE_CONSOLE)
    set(arg_CONSOLE ON)
  endif()
  if(arg_UAC_ADMIN AND arg_CONSOLE)
    message(WARNING "onefile_add_launcher(${target}): UAC_ADMIN with CONSOLE: started from a "
                    "prompt, a script or CI the launch fails (ERROR_ELEVATION_REQUIRED), and "
                    "elevated it runs in a new console without the caller's redirection")
  endif()
  _onefile_keep_mode(keep "${arg_KEEP}" "${arg_KEEP_VERIFY}")
  if(keep AND NOT DEFINED arg_TARGET_SPEC)
    set(arg_TARGET_SPEC "${ONEFILE_KEEP_TARGET_SPEC}")
  endif()
  # Unset, a setting is the project's default, else the tool's: each launcher its own output.
  foreach(setting COMPANY PRODUCT VERSION TARGET_SPEC OUTPUT_NAME)
    if(NOT DEFINED arg_${setting})
      set(arg_${setting} "${ONEFILE_${setting}}")
    endif()
  endforeach()
  if(arg_OUTPUT_NAME STREQUAL "")
    set(arg_OUTPUT_NAME "${target}")
  endif()
  if(arg_VERSION STREQUAL "" AND PROJECT_VERSION)
    set(arg_VERSION "${PROJECT_VERSION}")
    if(arg_VERSION MATCHES "^[0-9]+$")
      string(APPEND arg_VERSION ".0")
    endif()
  endif()
  # Every launch finds a kept directory again: its spec can't take the values of one launch.
  if(keep AND arg_TARGET_SPEC MATCHES "{([Pp][Ii][Dd]|[Rr][Aa][Nn][Dd][Oo][Mm]|[Tt][Ii][Mm][Ee](_[Uu][Ss])?)}")
    message(FATAL_ERROR "onefile_add_launcher(${target}): a kept directory's TARGET_SPEC can't "
                        "use {PID}, {RANDOM}, {TIME} or {TIME_US}: '${arg_TARGET_SPEC}'")
  endif()
  if(NOT arg_ORIGINAL_FILENAME)
    set(arg_ORIGINAL_FILENAME "${arg_OUTPUT_NAME}.exe")
  endif()
  if(NOT arg_INTERNAL_NAME)
    set(arg_INTERNAL_NAME "${arg_OUTPUT_NAME}")
  endif()
  if(NOT arg_VERSION STREQUAL "" AND NOT arg_VERSION MATCHES "^[0-9]+(\\.[0-9]+)(\\.[0-9]+)?(\\.[0-9]+)?$")
    message(FATAL_ERROR "onefile_add_launcher(${target}): VERSION must be two to four numbers, "
                        "a.b[.c[.d]], not '${arg_VERSION}'")
  endif()
  if(arg_DPI_AWARE AND NOT arg_DPI_AWARE MATCHES "^(unaware|system|permonitorv2)$")
    message(FATAL_ERROR "DPI_AWARE must be unaware, system or permonitorv2, not '${arg_DPI_AWARE}'")
  endif()

  set(arguments build)
  set(depends)
  if(TARGET ${ONEFILE_LAUNCHER_STUB})
    set(stub $<TARGET_FILE:${ONEFILE_LAUNCHER_STUB}>)
    set(stub_directory $<TARGET_FILE_DIR:${ONEFILE_LAUNCHER_STUB}>)
  else()
    set(stub ${ONEFILE_LAUNCHER_STUB})
    get_filename_component(stub_directory "${stub}" DIRECTORY)
  endif()
  list(APPEND arguments --stub ${stub})
  list(APPEND depends ${ONEFILE_LAUNCHER_STUB})
  if(arg_RUN)
    # The program must be one of the entries, by the name it gets in the payload.
    set(run_found OFF)
    if(arg_DIR AND EXISTS "${arg_DIR}/${arg_RUN}" AND NOT IS_DIRECTORY "${arg_DIR}/${arg_RUN}")
      set(run_found ON)
    endif()
    foreach(file IN LISTS arg_FILES)
      string(REGEX REPLACE "^.*=" "" file_name "${file}")
      get_filename_component(base_name "${file_name}" NAME)
      string(REPLACE "\\" "/" file_name "${file_name}")
      if(file_name STREQUAL arg_RUN OR (NOT file MATCHES "=" AND base_name STREQUAL arg_RUN))
        set(run_found ON)
      endif()
    endforeach()
    if(NOT run_found)
      message(FATAL_ERROR "onefile_add_launcher(${target}): RUN '${arg_RUN}' is not a file of DIR or FILES")
    endif()
    list(APPEND arguments --run ${arg_RUN})
    if(ONEFILE_RUNNER_STUB AND TARGET ${ONEFILE_RUNNER_STUB})
      list(APPEND depends ${ONEFILE_RUNNER_STUB})
    else()
      list(APPEND depends ${stub_directory}/onefile_run.dll)
    endif()
  elseif(TARGET ${arg_MAIN})
    list(APPEND arguments --main $<TARGET_FILE:${arg_MAIN}>)
    list(APPEND depends ${arg_MAIN})
  else()
    get_filename_component(main_file "${arg_MAIN}" ABSOLUTE)
    list(APPEND arguments --main ${main_file})
    list(APPEND depends ${main_file})
  endif()
  if(arg_DIR)
    get_filename_component(dir "${arg_DIR}" ABSOLUTE)
    file(GLOB_RECURSE dir_files CONFIGURE_DEPENDS "${dir}/*")
    list(APPEND arguments --dir ${dir})
    list(APPEND depends ${dir_files})
  endif()
  foreach(file IN LISTS arg_FILES)
    list(APPEND arguments --file ${file})
    string(REGEX REPLACE "=.*$" "" file_path "${file}")
    list(APPEND depends ${file_path})
    # A target's own file: built before it is packed.
    if(file_path MATCHES "^\\$<TARGET_FILE:([^>]+)>$")
      list(APPEND depends ${CMAKE_MATCH_1})
    endif()
  endforeach()
  foreach(setting LEVEL THREADS COMPANY PRODUCT VERSION TARGET_SPEC ORIGINAL_FILENAME INTERNAL_NAME
                  DESCRIPTION COPYRIGHT COMMENTS PRODUCT_VERSION TIMESTAMP SIGN_COMMAND)
    if(DEFINED arg_${setting} AND NOT arg_${setting} STREQUAL "")
      string(TOLOWER "${setting}" option)
      string(REPLACE "_" "-" option "${option}")
      list(APPEND arguments --${option} ${arg_${setting}})
    endif()
  endforeach()
  if(arg_CONSOLE)
    list(APPEND arguments --console)
  endif()
  if(keep STREQUAL "VERIFY")
    list(APPEND arguments --keep-verify)
  elseif(keep)
    list(APPEND arguments --keep)
  endif()
  foreach(file_option ICON MANIFEST SIGN SIGN_PASSWORD_FILE)
    if(arg_${file_option})
      get_filename_component(file "${arg_${file_option}}" ABSOLUTE)
      string(TOLOWER "${file_option}" option)
      string(REPLACE "_" "-" option "${option}")
      list(APPEND arguments --${option} ${file})
      list(APPEND depends ${file})
    endif()
  endforeach()
  foreach(flag UTF8 UAC_ADMIN NO_ERROR_DIALOG NO_PROGRESS)
    if(arg_${flag})
      string(TOLOWER "${flag}" option)
      string(REPLACE "_" "-" option "${option}")
      list(APPEND arguments --${option})
    endif()
  endforeach()
  if(arg_DPI_AWARE)
    list(APPEND arguments --dpi-aware ${arg_DPI_AWARE})
  endif()
  if(ONEFILE_TOOL_TARGET)
    list(APPEND depends ${ONEFILE_TOOL_TARGET})
  endif()
  if(EXISTS "${ONEFILE_TOOL_EXECUTABLE}")
    list(APPEND depends ${ONEFILE_TOOL_EXECUTABLE})  # a new tool writes the launcher again
  endif()

  # The launcher's path is known once the directory has set the target's output directory.
  add_custom_target(${target} ALL)
  if(TARGET onefile_stubs)
    # Built with its stubs, so that a tree that built one launcher can make any (onefile-build).
    add_dependencies(${target} onefile_stubs)
  endif()
  set_target_properties(${target} PROPERTIES OUTPUT_NAME "${arg_OUTPUT_NAME}")
  if(CMAKE_RUNTIME_OUTPUT_DIRECTORY)
    set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY
                          "${CMAKE_RUNTIME_OUTPUT_DIRECTORY}")
  endif()
  set_property(TARGET ${target} PROPERTY _ONEFILE_ARGUMENTS "${arguments}")
  set_property(TARGET ${target} PROPERTY _ONEFILE_DEPENDS "${depends}")
  cmake_language(EVAL CODE "cmake_language(DEFER CALL _onefile_write_launcher [[${target}]])")
endfunction()

function(_onefile_write_launcher target)
  get_target_property(directory ${target} RUNTIME_OUTPUT_DIRECTORY)
  if(NOT directory)
    set(directory ${CMAKE_CURRENT_BINARY_DIR})
  endif()
  get_target_property(name ${target} OUTPUT_NAME)
  get_target_property(arguments ${target} _ONEFILE_ARGUMENTS)
  get_target_property(depends ${target} _ONEFILE_DEPENDS)
  set(output ${directory}/${name}.exe)
  add_custom_command(OUTPUT ${output}
    COMMAND ${ONEFILE_TOOL_EXECUTABLE} ${arguments} -o ${output}
    DEPENDS ${depends}
    COMMENT "Making the launcher ${name}.exe"
    VERBATIM)
  target_sources(${target} PRIVATE ${output})
  set_target_properties(${target} PROPERTIES ONEFILE_LAUNCHER_FILE ${output})
endfunction()
