// A value made once, by whichever thread asks first, while the others wait for it: the system's
// one-time initialisation (InitOnceExecuteOnce). A function-local static with a dynamic
// initialiser does the same through the C++ runtime's guard, which brings that runtime's
// exception handling and its POSIX thread layer into the image: about 85 KB of each stub.
#pragma once

#include <windows.h>

// make fills the value in place, at most once per T and make; T is constructed without code
// (constants until made: constinit says so at compile time), so that nothing but the system's
// call guards it.
template <class T, void (*make)(T&)>
const T& made_once() {
  constinit static INIT_ONCE once = INIT_ONCE_STATIC_INIT;
  constinit static T value{};
  InitOnceExecuteOnce(
      &once,
      [](INIT_ONCE*, void*, void**) -> BOOL {
        make(value);
        return TRUE;
      },
      nullptr, nullptr);
  return value;
}
