set(ONEFILE_CONFIG_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/../launcher/config.cpp.in)

function(_onefile_c_escape out value)
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\"" "\\\"" value "${value}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

# Writes the C++ source that holds one launcher's target spec, names and version; a sixth
# argument OFF keeps the launcher's errors off message boxes; a seventh, ON or VERIFY, makes it
# keep its unpacked files.
function(onefile_generate_config output target_spec company product version)
  set(ONEFILE_CONFIG_ERROR_DIALOG true)
  if(ARGC GREATER 5 AND NOT ARGV5)
    set(ONEFILE_CONFIG_ERROR_DIALOG false)
  endif()
  set(ONEFILE_CONFIG_KEEP nullptr)
  if(ARGC GREATER 6 AND ARGV6 STREQUAL "VERIFY")
    set(ONEFILE_CONFIG_KEEP &onefile_keep_verified)
  elseif(ARGC GREATER 6 AND ARGV6)
    set(ONEFILE_CONFIG_KEEP &onefile_keep_kept)
  endif()
  _onefile_c_escape(ONEFILE_CONFIG_TARGET_SPEC "${target_spec}")
  _onefile_c_escape(ONEFILE_CONFIG_COMPANY "${company}")
  _onefile_c_escape(ONEFILE_CONFIG_PRODUCT "${product}")
  _onefile_c_escape(ONEFILE_CONFIG_VERSION "${version}")
  configure_file(${ONEFILE_CONFIG_TEMPLATE} ${output} @ONLY)
endfunction()

set(ONEFILE_MANIFEST_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/../resources/launcher.manifest.in)

# Writes one launcher's manifest: the execution level it asks for, with utf8 UTF-8 as the
# process's ANSI code page, and the DPI awareness (unaware, system or permonitorv2).
function(onefile_generate_manifest output uac_admin utf8 dpi_aware)
  set(ONEFILE_MANIFEST_LEVEL asInvoker)
  if(uac_admin)
    set(ONEFILE_MANIFEST_LEVEL requireAdministrator)
  endif()
  set(ONEFILE_MANIFEST_SETTINGS "")
  if(utf8)
    set(ONEFILE_MANIFEST_SETTINGS "\n      <activeCodePage xmlns=\"http://schemas.microsoft.com/SMI/2019/WindowsSettings\">UTF-8</activeCodePage>")
  endif()
  if(dpi_aware STREQUAL "system")
    string(APPEND ONEFILE_MANIFEST_SETTINGS "\n      <dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true</dpiAware>")
  elseif(dpi_aware STREQUAL "permonitorv2")
    string(APPEND ONEFILE_MANIFEST_SETTINGS "\n      <dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true/pm</dpiAware>"
           "\n      <dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/WindowsSettings\">PerMonitorV2</dpiAwareness>")
  elseif(dpi_aware AND NOT dpi_aware STREQUAL "unaware")
    message(FATAL_ERROR "DPI_AWARE must be unaware, system or permonitorv2, not '${dpi_aware}'")
  endif()
  configure_file(${ONEFILE_MANIFEST_TEMPLATE} ${output} @ONLY)
endfunction()
