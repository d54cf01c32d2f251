# zstd's decoder for the Windows launcher. Either compiled here from zstd's source
# (ONEFILE_ZSTD_SOURCE_DIR, which the set-up fills from Debian's source package), or an
# installed zstd found through find_package (a native Windows toolchain, vcpkg, ...).
file(GLOB _onefile_zstd_candidates LIST_DIRECTORIES true "${PROJECT_SOURCE_DIR}/build/_deps/libzstd-*")
set(_onefile_zstd_default "")
foreach(_dir IN LISTS _onefile_zstd_candidates)
  if(EXISTS "${_dir}/lib/decompress/zstd_decompress.c")
    set(_onefile_zstd_default "${_dir}")
  endif()
endforeach()
set(ONEFILE_ZSTD_SOURCE_DIR "${_onefile_zstd_default}" CACHE PATH "zstd source tree to build the decoder from")

if(ONEFILE_ZSTD_SOURCE_DIR)
  set(_lib ${ONEFILE_ZSTD_SOURCE_DIR}/lib)
  # Only the decoder: the launcher never compresses.
  add_library(onefile_zstd_decoder STATIC
    ${_lib}/common/debug.c ${_lib}/common/entropy_common.c ${_lib}/common/error_private.c
    ${_lib}/common/fse_decompress.c ${_lib}/common/xxhash.c ${_lib}/common/zstd_common.c
    ${_lib}/decompress/huf_decompress.c ${_lib}/decompress/zstd_ddict.c
    ${_lib}/decompress/zstd_decompress.c ${_lib}/decompress/zstd_decompress_block.c)
  target_include_directories(onefile_zstd_decoder SYSTEM PUBLIC $<BUILD_INTERFACE:${_lib}>)
  # Small: the decoder is most of the launcher's image. Huffman literals always decoded one
  # symbol at a time (HUF_FORCE_DECOMPRESS_X1: any stream decodes so) and -O2 instead of -O3 cost
  # the launcher's decoding nothing measurable under Wine (bench/results/stub_size.md); zstd's
  # run-time choice of BMI2 loops stays (DYNAMIC_BMI2, on by default for GCC on x86-64: without
  # it the launcher's decoding took 5-17% longer), and so does the long-offset sequence decoder.
  # No error strings, since the launcher prints none; zstd's assembly loops are for ELF targets
  # only. MinGW's linker keeps every function of an object that it links (its default script
  # keeps all unwind tables, and with them the functions they describe), so only these switches
  # make the decoder smaller.
  target_compile_definitions(onefile_zstd_decoder PRIVATE
    ZSTD_LEGACY_SUPPORT=0 ZSTD_MULTITHREAD_SUPPORT_DEFAULT=0 XXH_NAMESPACE=ZSTD_ ZSTD_DISABLE_ASM=1
    ZSTD_STRIP_ERROR_STRINGS NDEBUG DEBUGLEVEL=0 HUF_FORCE_DECOMPRESS_X1)
  if(NOT MSVC)
    target_compile_options(onefile_zstd_decoder PRIVATE -O2 -ffunction-sections)
    # The frame-level code and the tables built once per block are small at -Os for nothing
    # measurable; the block, Huffman and checksum loops, where the time goes, stay at -O2.
    set_source_files_properties(${_lib}/common/entropy_common.c ${_lib}/common/fse_decompress.c
      ${_lib}/common/error_private.c ${_lib}/common/zstd_common.c ${_lib}/common/debug.c
      ${_lib}/decompress/zstd_ddict.c ${_lib}/decompress/zstd_decompress.c
      PROPERTIES COMPILE_OPTIONS -Os)
  endif()
  set_target_properties(onefile_zstd_decoder PROPERTIES POSITION_INDEPENDENT_CODE OFF)
  # The decoder thread's calls into zstd count towards its stack (cmake/OnefileStackCheck.cmake).
  include(OnefileStackCheck)
  onefile_record_call_graph(onefile_zstd_decoder)
  add_library(onefile::zstd ALIAS onefile_zstd_decoder)
else()
  find_package(zstd CONFIG REQUIRED)
  if(TARGET zstd::libzstd_static)
    add_library(onefile::zstd ALIAS zstd::libzstd_static)
  else()
    add_library(onefile::zstd ALIAS zstd::libzstd_shared)
  endif()
endif()

# The whole library (encoder too, with its worker threads): the packaging tool built for Windows,
# and tests that make frames of their own. The tool's frames must be those of the host's libzstd,
# which compresses with workers: zstd's multithreaded mode makes the same frame for any number of
# workers, but not the same as its single-threaded mode.
if(ONEFILE_ZSTD_SOURCE_DIR)
  file(GLOB _onefile_zstd_all ${_lib}/common/*.c ${_lib}/compress/*.c ${_lib}/decompress/*.c)
  add_library(onefile_zstd_full STATIC EXCLUDE_FROM_ALL ${_onefile_zstd_all})
  target_include_directories(onefile_zstd_full SYSTEM PUBLIC ${_lib})
  target_compile_definitions(onefile_zstd_full PRIVATE
    ZSTD_LEGACY_SUPPORT=0 ZSTD_MULTITHREAD XXH_NAMESPACE=ZSTD_ ZSTD_DISABLE_ASM=1)
  target_compile_options(onefile_zstd_full PRIVATE -O2)
else()
  add_library(onefile_zstd_full ALIAS onefile::zstd)
endif()
