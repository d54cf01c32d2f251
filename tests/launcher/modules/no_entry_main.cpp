// A library without run_code.
extern "C" __declspec(dllexport) int not_run_code() { return 0; }
