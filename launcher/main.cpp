// The launcher's entry point.
#include <cstdlib>

#include <windows.h>

#include "launcher/launcher.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) { return run_launcher(__argc, __wargv); }
