# The prebuilt stubs stay within their sizes: every launcher carries the launcher stub, every
# --run launcher the runner too, and every byte of an image is mapped at each start. A stub that
# grows past its limit has usually linked a piece of the C++ or C runtime that it needs not
# (bench/results/stub_size.md says what the bytes are and how to find them).
function(check_size file limit what)
  file(SIZE ${file} size)
  if(size GREATER limit)
    message(FATAL_ERROR "${what} is ${size} bytes, more than ${limit}: ${file}")
  endif()
  message(STATUS "${what}: ${size} bytes (at most ${limit})")
endfunction()

check_size(${LAUNCHER_STUB} 204800 "launcher stub")
check_size(${RUNNER_STUB} 65536 "stock runner stub")
