# onefile_add_launcher: turns an application (a main module library and its files) into one
# self-extracting launcher executable.
#
#   onefile_add_launcher(<target>
#     MAIN <file or library target>       the main module, exporting run_code; the first entry
#     | RUN <entry name>                  or: a program of the payload, started by a stock main
#                                         module with the launcher's arguments, handles, console
#     [DIR <directory>]                   every regular file below it becomes an entry
#     [FILES <file>[=<name>] ...]         further entries, named by their file name or <name>
#     [OUTPUT_NAME <name>]                executable name without .exe (default: ONEFILE_OUTPUT_NAME)
#     [COMPANY <text>] [PRODUCT <text>] [VERSION <a.b.c.d>] [TARGET_SPEC <path spec>]
#     [ORIGINAL_FILENAME <name>] [INTERNAL_NAME <name>]
#     [LEVEL <n>] [THREADS <n>]           compression settings of the packer
#     [ICON <file.ico>]                   the executable's icon
#     [UTF8]                              UTF-8 as the process's ANSI code page (manifest)
#     [UAC_ADMIN]                         asks for elevation (requireAdministrator)
#     [DPI_AWARE unaware|system|permonitorv2]  DPI awareness (default: unaware)
#     [MANIFEST <file>]                   a complete manifest of your own instead of the generated one
#     [NO_ERROR_DIALOG]                   errors never in a message box, only on standard error
#     [KEEP | KEEP_VERIFY]                keep the unpacked files for later launches, and with
#                                         KEEP_VERIFY compare them with the payload at each start
#                                         (default: ONEFILE_KEEP, ONEFILE_KEEP_VERIFY); the target
#                                         spec then defaults to ONEFILE_KEEP_TARGET_SPEC
#     [CONSOLE | GUI])                    console or graphical subsystem (default: ONEFILE_CONSOLE)
include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/OnefileConfig.cmake)
set(ONEFILE_RESOURCES_DIR ${CMAKE_CURRENT_LIST_DIR}/../resources)

function(_onefile_rc_escape out value)
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\"" "\"\"" value "${value}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

# Link settings shared by every launcher executable. Sections start on page boundaries in the file
# too (about 20 KiB more), so that Wine maps the payload instead of reading all of it into memory
# in each process: the child, which reads only the payload's first bytes, then stays small.
function(onefile_launcher_link_options target console)
  if(MINGW)
    # Subsystem version 6.0: with MinGW's default of 5.2 Windows treats the program as a legacy
    # one in places.
    target_link_options(${target} PRIVATE -municode -static -s -Wl,--gc-sections
                        -Wl,--stack,0x968000 -Wl,--file-alignment,0x1000
                        -Wl,--major-subsystem-version,6 -Wl,--minor-subsystem-version,0)
    if(NOT console)
      target_link_options(${target} PRIVATE -mwindows)
    endif()
  elseif(MSVC)
    target_link_options(${target} PRIVATE /STACK:0x968000,0x1000 /MANIFEST:NO)
    if(console)
      target_link_options(${target} PRIVATE /SUBSYSTEM:CONSOLE,6.00)
    else()
      target_link_options(${target} PRIVATE /SUBSYSTEM:WINDOWS,6.00)
    endif()
    set_target_properties(${target} PROPERTIES MSVC_RUNTIME_LIBRARY "MultiThreaded")
  endif()
  if(NOT console)
    set_target_properties(${target} PROPERTIES WIN32_EXECUTABLE ON)
  endif()
endfunction()

if(NOT ONEFILE_LAUNCHER_LIBRARIES)
  set(ONEFILE_LAUNCHER_LIBRARIES onefile_launcher_main onefile_launcher_core)
endif()
if(NOT ONEFILE_RUNNER_LIBRARIES)
  set(ONEFILE_RUNNER_LIBRARIES onefile_stock_runner onefile_launcher_core onefile_diagnostics)
endif()

# The stock main module for RUN <name>: a DLL named onefile_run.dll that starts <name>.
function(_onefile_add_runner target work run_name caption)
  string(REPLACE "/" "\\" run_name "${run_name}")
  _onefile_c_escape(escaped "${run_name}")
  _onefile_c_escape(escaped_caption "${caption}")
  file(CONFIGURE OUTPUT ${work}/run_target.cpp
       CONTENT "extern \"C\" const wchar_t onefile_run_target[] = L\"@escaped@\";
extern \"C\" const wchar_t onefile_run_error_caption[] = L\"@escaped_caption@\";\n" @ONLY)
  add_library(${target} SHARED ${work}/run_target.cpp)
  target_link_libraries(${target} PRIVATE ${ONEFILE_RUNNER_LIBRARIES})
  set_target_properties(${target} PROPERTIES PREFIX "" OUTPUT_NAME onefile_run
                        RUNTIME_OUTPUT_DIRECTORY ${work}/run LIBRARY_OUTPUT_DIRECTORY ${work}/run
                        ARCHIVE_OUTPUT_DIRECTORY ${work}/run)
  if(MINGW)
    target_link_options(${target} PRIVATE -static -s -Wl,--gc-sections)
  elseif(MSVC)
    set_target_properties(${target} PROPERTIES MSVC_RUNTIME_LIBRARY "MultiThreaded")
  endif()
endfunction()

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
  get_property(languages GLOBAL PROPERTY ENABLED_LANGUAGES)
  if(NOT "RC" IN_LIST languages OR NOT "ASM" IN_LIST languages)
    message(FATAL_ERROR "onefile_add_launcher needs the RC and ASM languages: "
                        "project(... LANGUAGES C CXX RC ASM) or enable_language(RC) and (ASM)")
  endif()
  if(NOT ONEFILE_PACK_EXECUTABLE)
    message(FATAL_ERROR "onefile_add_launcher: no packer; set ONEFILE_PACK to onefile-pack")
  endif()
  cmake_parse_arguments(PARSE_ARGV 1 arg "CONSOLE;GUI;UTF8;UAC_ADMIN;NO_ERROR_DIALOG;KEEP;KEEP_VERIFY"
    "MAIN;RUN;ICON;DPI_AWARE;MANIFEST;DIR;OUTPUT_NAME;COMPANY;PRODUCT;VERSION;TARGET_SPEC;ORIGINAL_FILENAME;INTERNAL_NAME;LEVEL;THREADS"
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
  _onefile_keep_mode(keep "${arg_KEEP}" "${arg_KEEP_VERIFY}")
  if(keep AND NOT DEFINED arg_TARGET_SPEC)
    set(arg_TARGET_SPEC "${ONEFILE_KEEP_TARGET_SPEC}")
  endif()
  foreach(setting COMPANY PRODUCT VERSION TARGET_SPEC OUTPUT_NAME)
    if(NOT DEFINED arg_${setting})
      set(arg_${setting} "${ONEFILE_${setting}}")
    endif()
  endforeach()
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
  if(NOT arg_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+\\.[0-9]+$")
    message(FATAL_ERROR "onefile_add_launcher(${target}): VERSION must be four numbers, a.b.c.d")
  endif()

  set(work ${CMAKE_CURRENT_BINARY_DIR}/${target}_onefile)
  file(MAKE_DIRECTORY ${work})
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
    set(caption "${arg_PRODUCT}")
    if(arg_NO_ERROR_DIALOG)
      set(caption "")
    endif()
    _onefile_add_runner(${target}_run ${work} "${arg_RUN}" "${caption}")
    set(arg_MAIN ${target}_run)
  endif()

  # The payload block and the assembler file that links it into read-only data.
  set(pack_arguments)
  set(pack_depends)
  if(TARGET ${arg_MAIN})
    list(APPEND pack_arguments --main $<TARGET_FILE:${arg_MAIN}>)
    list(APPEND pack_depends ${arg_MAIN})
  else()
    get_filename_component(main_file "${arg_MAIN}" ABSOLUTE)
    list(APPEND pack_arguments --main ${main_file})
    list(APPEND pack_depends ${main_file})
  endif()
  if(arg_DIR)
    get_filename_component(dir "${arg_DIR}" ABSOLUTE)
    file(GLOB_RECURSE dir_files CONFIGURE_DEPENDS "${dir}/*")
    list(APPEND pack_arguments --dir ${dir})
    list(APPEND pack_depends ${dir_files})
  endif()
  foreach(file IN LISTS arg_FILES)
    list(APPEND pack_arguments --file ${file})
    string(REGEX REPLACE "=.*$" "" file_path "${file}")
    list(APPEND pack_depends ${file_path})
  endforeach()
  if(arg_LEVEL)
    list(APPEND pack_arguments --level ${arg_LEVEL})
  endif()
  if(arg_THREADS)
    list(APPEND pack_arguments --threads ${arg_THREADS})
  endif()
  if(ONEFILE_PACK_TARGET)
    list(APPEND pack_depends ${ONEFILE_PACK_TARGET})
  elseif(TARGET onefile-pack)
    list(APPEND pack_depends onefile-pack)
  elseif(EXISTS "${ONEFILE_PACK_EXECUTABLE}")
    list(APPEND pack_depends ${ONEFILE_PACK_EXECUTABLE})  # a new packer packs again
  endif()
  add_custom_command(
    OUTPUT ${work}/payload.bin ${work}/payload.S
    COMMAND ${ONEFILE_PACK_EXECUTABLE} ${pack_arguments} -o ${work}/payload.bin --asm ${work}/payload.S
    DEPENDS ${pack_depends}
    COMMENT "Packing the payload of ${target}"
    VERBATIM)

  set(error_dialog ON)
  if(arg_NO_ERROR_DIALOG)
    set(error_dialog OFF)
  endif()
  onefile_generate_config(${work}/config.cpp "${arg_TARGET_SPEC}" "${arg_COMPANY}" "${arg_PRODUCT}"
                          "${arg_VERSION}" ${error_dialog} ${keep})
  if(arg_MANIFEST)
    get_filename_component(manifest "${arg_MANIFEST}" ABSOLUTE)
    configure_file(${manifest} ${work}/launcher.manifest COPYONLY)
  else()
    onefile_generate_manifest(${work}/launcher.manifest "${arg_UAC_ADMIN}" "${arg_UTF8}" "${arg_DPI_AWARE}")
  endif()

  _onefile_rc_escape(ONEFILE_RC_COMPANY "${arg_COMPANY}")
  _onefile_rc_escape(ONEFILE_RC_PRODUCT "${arg_PRODUCT}")
  _onefile_rc_escape(ONEFILE_RC_VERSION "${arg_VERSION}")
  _onefile_rc_escape(ONEFILE_RC_INTERNAL_NAME "${arg_INTERNAL_NAME}")
  _onefile_rc_escape(ONEFILE_RC_ORIGINAL_FILENAME "${arg_ORIGINAL_FILENAME}")
  string(REPLACE "." "," ONEFILE_RC_VERSION_COMMAS "${arg_VERSION}")
  set(ONEFILE_RC_MANIFEST ${work}/launcher.manifest)
  set(ONEFILE_RC_ICON "")
  set(rc_depends ${work}/launcher.manifest)
  if(arg_ICON)
    get_filename_component(icon "${arg_ICON}" ABSOLUTE)
    set(ONEFILE_RC_ICON "1 ICON \"${icon}\"")
    list(APPEND rc_depends ${icon})
  endif()
  configure_file(${ONEFILE_RESOURCES_DIR}/version.rc.in ${work}/version.rc @ONLY)

  add_executable(${target} ${work}/config.cpp ${work}/version.rc ${work}/payload.S)
  set_source_files_properties(${work}/version.rc PROPERTIES OBJECT_DEPENDS "${rc_depends}")
  target_link_libraries(${target} PRIVATE ${ONEFILE_LAUNCHER_LIBRARIES})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME "${arg_OUTPUT_NAME}")
  onefile_launcher_link_options(${target} "${arg_CONSOLE}")
endfunction()

# onefile-build: the same for people who do not use CMake, with the libraries built here.
function(onefile_write_build_script)
  if(NOT MINGW OR NOT CMAKE_HOST_UNIX OR NOT TARGET onefile_zstd_decoder)
    return()
  endif()
  set(ONEFILE_RC_TEMPLATE ${ONEFILE_RESOURCES_DIR}/version.rc.in)
  get_filename_component(ONEFILE_RC_TEMPLATE "${ONEFILE_RC_TEMPLATE}" ABSOLUTE)
  get_filename_component(ONEFILE_MANIFEST_TEMPLATE "${ONEFILE_MANIFEST_TEMPLATE}" ABSOLUTE)
  set(ONEFILE_RUNNER_OBJECTS "$<JOIN:$<TARGET_OBJECTS:onefile_stock_runner>, >")
  foreach(library onefile_launcher_core onefile_diagnostics onefile_state)
    string(APPEND ONEFILE_RUNNER_OBJECTS " \"$<TARGET_FILE:${library}>\"")
  endforeach()
  set(ONEFILE_KIT_LIBRARIES "$<JOIN:$<TARGET_OBJECTS:onefile_launcher_main>, >")
  foreach(library onefile_launcher_core onefile_payload onefile_cleanup
                  onefile_paths onefile_diagnostics onefile_state onefile_zstd_decoder)
    string(APPEND ONEFILE_KIT_LIBRARIES " \"$<TARGET_FILE:${library}>\"")
  endforeach()
  configure_file(${PROJECT_SOURCE_DIR}/cmake/onefile-build.in
                 ${PROJECT_BINARY_DIR}/onefile-build.configured @ONLY)
  file(GENERATE OUTPUT ${ONEFILE_BIN_DIR}/onefile-build
       INPUT ${PROJECT_BINARY_DIR}/onefile-build.configured
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                        WORLD_READ WORLD_EXECUTE)
  # The script is only usable once the libraries exist.
  add_custom_target(onefile_build_kit ALL DEPENDS onefile_launcher_main onefile_launcher_core
                    onefile_stock_runner onefile_zstd_decoder)
endfunction()
