set(ONEFILE_CONFIG_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/../launcher/config.cpp.in)

function(_onefile_c_escape out value)
  string(REPLACE "\\" "\\\\" value "${value}")
  string(REPLACE "\"" "\\\"" value "${value}")
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

# Writes the C++ source that holds one launcher's target spec, names and version.
function(onefile_generate_config output target_spec company product version)
  _onefile_c_escape(ONEFILE_CONFIG_TARGET_SPEC "${target_spec}")
  _onefile_c_escape(ONEFILE_CONFIG_COMPANY "${company}")
  _onefile_c_escape(ONEFILE_CONFIG_PRODUCT "${product}")
  _onefile_c_escape(ONEFILE_CONFIG_VERSION "${version}")
  configure_file(${ONEFILE_CONFIG_TEMPLATE} ${output} @ONLY)
endfunction()
