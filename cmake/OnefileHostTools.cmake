# The packer runs on the build machine. In a cross build it is either given (ONEFILE_PACK,
# e.g. from an earlier host build) or built here from tools/ with the host's compilers.
set(ONEFILE_PACK "" CACHE FILEPATH "Host packer onefile-pack; built from tools/ when empty")
if(ONEFILE_PACK)
  set(ONEFILE_PACK_EXECUTABLE "${ONEFILE_PACK}")
  set(ONEFILE_PACK_TARGET "")
else()
  include(ExternalProject)
  ExternalProject_Add(onefile_host_tools
    SOURCE_DIR ${PROJECT_SOURCE_DIR}/tools
    BINARY_DIR ${PROJECT_BINARY_DIR}/host-tools
    CMAKE_ARGS -DCMAKE_BUILD_TYPE=Release -DONEFILE_BIN_DIR=${ONEFILE_BIN_DIR} -DONEFILE_BUILD_TESTS=OFF
    INSTALL_COMMAND ""
    BUILD_ALWAYS ON
    BUILD_BYPRODUCTS ${ONEFILE_BIN_DIR}/onefile-pack)
  set(ONEFILE_PACK_EXECUTABLE "${ONEFILE_BIN_DIR}/onefile-pack")
  set(ONEFILE_PACK_TARGET onefile_host_tools)
endif()
