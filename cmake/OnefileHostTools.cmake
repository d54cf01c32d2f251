# The packer and the packaging tool run on the build machine. In a cross build they are either
# given (ONEFILE_TOOL and ONEFILE_PACK, e.g. from an earlier host build) or built here from
# tools/ with the host's compilers.
set(ONEFILE_PACK "" CACHE FILEPATH "Host packer onefile-pack; built from tools/ when empty")
set(ONEFILE_TOOL "" CACHE FILEPATH "Host packaging tool onefile; built from tools/ when empty")
if(ONEFILE_PACK AND NOT ONEFILE_TOOL)
  get_filename_component(_onefile_pack_dir "${ONEFILE_PACK}" DIRECTORY)
  if(EXISTS "${_onefile_pack_dir}/onefile")
    set(ONEFILE_TOOL "${_onefile_pack_dir}/onefile" CACHE FILEPATH "" FORCE)
  endif()
endif()
if(ONEFILE_TOOL)
  set(ONEFILE_TOOL_EXECUTABLE "${ONEFILE_TOOL}")
  set(ONEFILE_TOOL_TARGET "")
  set(ONEFILE_PACK_EXECUTABLE "${ONEFILE_PACK}")
else()
  include(ExternalProject)
  ExternalProject_Add(onefile_host_tools
    SOURCE_DIR ${PROJECT_SOURCE_DIR}/tools
    BINARY_DIR ${PROJECT_BINARY_DIR}/host-tools
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DONEFILE_BIN_DIR=${ONEFILE_BIN_DIR}
               -DONEFILE_BUILD_TESTS=OFF -DONEFILE_TOOL_VERSION=${PROJECT_VERSION}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${ONEFILE_BIN_DIR}/onefile-pack ${ONEFILE_BIN_DIR}/onefile)
  set(ONEFILE_PACK_EXECUTABLE "${ONEFILE_BIN_DIR}/onefile-pack")
  set(ONEFILE_TOOL_EXECUTABLE "${ONEFILE_BIN_DIR}/onefile")
  set(ONEFILE_TOOL_TARGET onefile_host_tools)
endif()
