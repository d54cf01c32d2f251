# What this build installs and packs.
#
# `cmake --install` (the default component): the packaging tool and the packer for the build
# machine, the stubs, and the CMake package, so that another project can use
# onefile_add_launcher after find_package(onefile).
#
# `cpack` (in the cross build): the downloads, each unpacked into a folder of its own that holds
# the tool, its stubs beside it, the README and the licences of what the programs contain:
#   onefile-<version>-windows-x64.zip     onefile.exe (built here for Windows)
#   onefile-<version>-linux-x86_64.tar.gz onefile (the build machine's)
include(GNUInstallDirs)
set(ONEFILE_INSTALL_CMAKEDIR ${CMAKE_INSTALL_DATADIR}/onefile/cmake)
set(ONEFILE_INSTALL_STUBDIR ${CMAKE_INSTALL_DATADIR}/onefile/stubs)

# The runner's import library, which the linker makes, is of no use to anyone.
install(TARGETS onefile_launcher_stub onefile_runner_stub
        RUNTIME DESTINATION ${ONEFILE_INSTALL_STUBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT unused EXCLUDE_FROM_ALL)
install(FILES cmake/OnefileLauncher.cmake DESTINATION ${ONEFILE_INSTALL_CMAKEDIR})
foreach(program TOOL PACK)
  if(ONEFILE_${program}_EXECUTABLE AND NOT ONEFILE_${program}_EXECUTABLE MATCHES "^\\$<")
    install(PROGRAMS ${ONEFILE_${program}_EXECUTABLE} DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# The build's launch defaults; names and version are each consumer's own (the tool's defaults).
set(ONEFILE_INSTALLED_DEFAULTS "")
foreach(setting TARGET_SPEC CONSOLE KEEP KEEP_VERIFY KEEP_TARGET_SPEC)
  string(REPLACE "\\" "\\\\" value "${ONEFILE_${setting}}")
  string(APPEND ONEFILE_INSTALLED_DEFAULTS
         "set(ONEFILE_${setting} \"${value}\" CACHE STRING \"onefile default\")\n")
endforeach()
configure_file(cmake/onefileConfig.cmake.in ${PROJECT_BINARY_DIR}/onefileConfig.cmake @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/onefileConfig.cmake DESTINATION ${ONEFILE_INSTALL_CMAKEDIR})

# The downloads. Their install rules run only for their own component (cpack).
set(_onefile_licences ${PROJECT_BINARY_DIR}/licences)
if(ONEFILE_ZSTD_SOURCE_DIR)
  configure_file(${ONEFILE_ZSTD_SOURCE_DIR}/LICENSE ${_onefile_licences}/zstd.txt COPYONLY)
endif()
if(EXISTS /usr/share/doc/mingw-w64-x86-64-dev/copyright)
  # The MinGW-w64 runtime and its threads, linked into the Windows programs.
  configure_file(/usr/share/doc/mingw-w64-x86-64-dev/copyright ${_onefile_licences}/mingw-w64.txt
                 COPYONLY)
endif()
foreach(download windows linux)
  install(TARGETS onefile_launcher_stub onefile_runner_stub
          RUNTIME DESTINATION stubs COMPONENT ${download} EXCLUDE_FROM_ALL
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT unused EXCLUDE_FROM_ALL)
  install(FILES README.md DESTINATION . COMPONENT ${download} EXCLUDE_FROM_ALL)
  install(DIRECTORY ${_onefile_licences}/ DESTINATION licences COMPONENT ${download}
          EXCLUDE_FROM_ALL)
endforeach()
if(TARGET onefile_tool)
  install(TARGETS onefile_tool RUNTIME DESTINATION . COMPONENT windows EXCLUDE_FROM_ALL)
endif()
if(ONEFILE_TOOL_EXECUTABLE AND NOT ONEFILE_TOOL_EXECUTABLE MATCHES "^\\$<")
  install(PROGRAMS ${ONEFILE_TOOL_EXECUTABLE} DESTINATION . COMPONENT linux EXCLUDE_FROM_ALL)
endif()

set(CPACK_PACKAGE_NAME onefile)
set(CPACK_PACKAGE_VENDOR "onefile")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Single-file launchers for Windows applications")
set(CPACK_GENERATOR ZIP TGZ)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_COMPONENTS_ALL windows linux)
set(CPACK_ARCHIVE_WINDOWS_FILE_NAME onefile-${PROJECT_VERSION}-windows-x64)
set(CPACK_ARCHIVE_LINUX_FILE_NAME onefile-${PROJECT_VERSION}-linux-x86_64)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
# One archive per generator, unpacked into a folder of its name: the zip for Windows, the tarball
# for Linux.
file(WRITE ${PROJECT_BINARY_DIR}/OnefileCPackOptions.cmake
     "if(CPACK_GENERATOR STREQUAL \"ZIP\")\n"
     "  set(CPACK_COMPONENTS_ALL windows)\n"
     "  set(CPACK_PACKAGE_FILE_NAME \"${CPACK_ARCHIVE_WINDOWS_FILE_NAME}\")\n"
     "else()\n"
     "  set(CPACK_COMPONENTS_ALL linux)\n"
     "  set(CPACK_PACKAGE_FILE_NAME \"${CPACK_ARCHIVE_LINUX_FILE_NAME}\")\n"
     "endif()\n")
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/OnefileCPackOptions.cmake)
include(CPack)
