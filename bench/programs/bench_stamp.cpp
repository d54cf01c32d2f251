// A bare process: stamps the moment its entry point runs and exits. The hand-off's baseline, and
// the command that the self-extracting peer runs once it has unpacked.
#include "stamp.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  write_bench_stamp();
  return 0;
}
