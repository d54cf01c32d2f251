# Installs the launcher libraries, templates and CMake functions, so that another project can
# use onefile_add_launcher after find_package(onefile).
include(GNUInstallDirs)
set(ONEFILE_INSTALL_CMAKEDIR ${CMAKE_INSTALL_DATADIR}/onefile/cmake)

set(_onefile_exported onefile_launcher_main onefile_stock_runner onefile_launcher_core onefile_payload onefile_cleanup
    onefile_paths onefile_diagnostics onefile_state)
if(TARGET onefile_zstd_decoder)
  list(APPEND _onefile_exported onefile_zstd_decoder)
endif()
install(TARGETS ${_onefile_exported} EXPORT onefileTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        OBJECTS DESTINATION ${CMAKE_INSTALL_LIBDIR}/onefile-objects)
install(EXPORT onefileTargets NAMESPACE onefile:: DESTINATION ${ONEFILE_INSTALL_CMAKEDIR})
install(FILES cmake/OnefileConfig.cmake cmake/OnefileLauncher.cmake
        DESTINATION ${ONEFILE_INSTALL_CMAKEDIR})
install(FILES launcher/config.cpp.in DESTINATION ${CMAKE_INSTALL_DATADIR}/onefile/launcher)
install(FILES resources/version.rc.in resources/launcher.manifest.in
        DESTINATION ${CMAKE_INSTALL_DATADIR}/onefile/resources)
if(ONEFILE_PACK AND EXISTS "${ONEFILE_PACK}")
  install(PROGRAMS ${ONEFILE_PACK} DESTINATION ${CMAKE_INSTALL_BINDIR})
elseif(TARGET onefile-pack)
  install(TARGETS onefile-pack RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

set(ONEFILE_INSTALLED_DEFAULTS "")
foreach(setting TARGET_SPEC COMPANY PRODUCT VERSION OUTPUT_NAME CONSOLE KEEP KEEP_VERIFY
                KEEP_TARGET_SPEC)
  string(REPLACE "\\" "\\\\" value "${ONEFILE_${setting}}")
  string(APPEND ONEFILE_INSTALLED_DEFAULTS
         "set(ONEFILE_${setting} \"${value}\" CACHE STRING \"onefile default\")\n")
endforeach()
configure_file(cmake/onefileConfig.cmake.in ${PROJECT_BINARY_DIR}/onefileConfig.cmake @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/onefileConfig.cmake DESTINATION ${ONEFILE_INSTALL_CMAKEDIR})
