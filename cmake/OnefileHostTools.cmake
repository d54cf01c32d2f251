# The packaging tool runs on the build machine. In a cross build it is either given (ONEFILE_TOOL,
# e.g. from an earlier host build) or built here from tools/ with the host's compilers.
set(ONEFILE_TOOL "" CACHE FILEPATH "Host packaging tool onefile; built from tools/ when empty")
if(ONEFILE_TOOL)
  set(ONEFILE_TOOL_EXECUTABLE "${ONEFILE_TOOL}")
  set(ONEFILE_TOOL_TARGET "")
else()
  include(ExternalProject)
  ExternalProject_Add(onefile_host_tools
    SOURCE_DIR ${PROJECT_SOURCE_DIR}/tools
    BINARY_DIR ${PROJECT_BINARY_DIR}/host-tools
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DONEFILE_BIN_DIR=${ONEFILE_BIN_DIR}
               -DONEFILE_BUILD_TESTS=OFF -DONEFILE_TOOL_VERSION=${PROJECT_VERSION}
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${ONEFILE_BIN_DIR}/onefile)
  set(ONEFILE_TOOL_EXECUTABLE "${ONEFILE_BIN_DIR}/onefile")
  set(ONEFILE_TOOL_TARGET onefile_host_tools)
endif()
