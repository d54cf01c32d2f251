// A library that a main module needs and that lies only beside the launcher's executable.
extern "C" __declspec(dllexport) int dependency_value() { return 42; }
