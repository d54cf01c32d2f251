# What this build installs and packs.
#
# `cmake --install` (the default component): the packaging tool for the build machine, the stubs,
# and the CMake package, so that another project can use onefile_add_launcher after
# find_package(onefile).
#
# `cpack` (in the cross build): the downloads, each unpacked into a folder of its own that holds
# the tool, its stubs beside it, the user's README, the licence, the notices of what a launcher
# carries, the licences of what the programs contain, and the CMake package (cmake/):
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
if(ONEFILE_TOOL_EXECUTABLE AND NOT ONEFILE_TOOL_EXECUTABLE MATCHES "^\\$<")
  install(PROGRAMS ${ONEFILE_TOOL_EXECUTABLE} DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

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
# GCC's runtime libraries (libgcc, libstdc++): GPL-3 with the Runtime Library Exception, as the
# MinGW-w64 GCC's copyright file gives them.
if(EXISTS /usr/share/doc/gcc-mingw-w64-base/copyright AND EXISTS /usr/share/common-licenses/GPL-3)
  file(READ /usr/share/doc/gcc-mingw-w64-base/copyright _onefile_gcc_copyright)
  file(READ /usr/share/common-licenses/GPL-3 _onefile_gpl3)
  file(WRITE ${_onefile_licences}/gcc-runtime.txt.new
       "${_onefile_gcc_copyright}\n\nThe GNU General Public License, version 3:\n\n${_onefile_gpl3}")
  configure_file(${_onefile_licences}/gcc-runtime.txt.new ${_onefile_licences}/gcc-runtime.txt
                 COPYONLY)
  file(REMOVE ${_onefile_licences}/gcc-runtime.txt.new)
endif()
# The GNU C Library, linked statically into the Linux tool alone.
set(_onefile_linux_licences ${PROJECT_BINARY_DIR}/licences-linux)
# Writes a licence text for the Linux download, touching the file only when its text changes.
function(_onefile_write_licence name text)
  file(WRITE ${_onefile_linux_licences}/${name}.new "${text}")
  configure_file(${_onefile_linux_licences}/${name}.new ${_onefile_linux_licences}/${name} COPYONLY)
  file(REMOVE ${_onefile_linux_licences}/${name}.new)
endfunction()
if(CMAKE_HOST_UNIX AND EXISTS /usr/share/doc/libc6/copyright)
  execute_process(COMMAND ldd --version OUTPUT_VARIABLE _onefile_glibc ERROR_QUIET)
  string(REGEX REPLACE "\n.*" "" _onefile_glibc "${_onefile_glibc}")
  file(READ /usr/share/doc/libc6/copyright _onefile_glibc_copyright)
  _onefile_write_licence(glibc.txt
    "The GNU C Library linked into the Linux tool: ${_onefile_glibc}\n\n${_onefile_glibc_copyright}")
endif()
# OpenSSL's libcrypto (its SHA-256), linked statically into the Linux tool when the build machine
# has its development package (scripts/setup.sh installs it).
if(CMAKE_HOST_UNIX AND EXISTS /usr/share/doc/libssl-dev/copyright
   AND EXISTS /usr/share/common-licenses/Apache-2.0)
  file(READ /usr/share/doc/libssl-dev/copyright _onefile_openssl_copyright)
  file(READ /usr/share/common-licenses/Apache-2.0 _onefile_apache2)
  _onefile_write_licence(openssl.txt
    "${_onefile_openssl_copyright}\n\nThe Apache License, version 2.0:\n\n${_onefile_apache2}")
endif()
if(EXISTS ${_onefile_linux_licences})
  install(DIRECTORY ${_onefile_linux_licences}/ DESTINATION licences COMPONENT linux
          EXCLUDE_FROM_ALL)
endif()
foreach(download windows linux)
  install(TARGETS onefile_launcher_stub onefile_runner_stub
          RUNTIME DESTINATION stubs COMPONENT ${download} EXCLUDE_FROM_ALL
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT unused EXCLUDE_FROM_ALL)
  # The user's README, the licence and what a launcher carries; the CMake package in cmake/.
  install(FILES docs/USER-README.md DESTINATION . RENAME README.md COMPONENT ${download}
          EXCLUDE_FROM_ALL)
  install(FILES LICENSE docs/NOTICES.txt DESTINATION . COMPONENT ${download} EXCLUDE_FROM_ALL)
  install(FILES cmake/OnefileLauncher.cmake ${PROJECT_BINARY_DIR}/onefileConfig.cmake
          DESTINATION cmake COMPONENT ${download} EXCLUDE_FROM_ALL)
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

# The downloads, made from what they hold alone (cpack would otherwise build everything first,
# the tests included): scripts/release.sh builds this target.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
add_custom_target(onefile_downloads
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${PROJECT_BINARY_DIR}/CPackConfig.cmake
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  COMMENT "Making the downloads in ${CPACK_PACKAGE_DIRECTORY}"
  VERBATIM)
add_dependencies(onefile_downloads onefile_launcher_stub onefile_runner_stub)
if(TARGET onefile_tool)
  add_dependencies(onefile_downloads onefile_tool)
endif()
