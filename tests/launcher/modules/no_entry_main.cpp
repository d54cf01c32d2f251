// A library whose run_code can't be had: its export forwards to a library that is nowhere, so
// the tool takes it (the name is exported) and the launcher's GetProcAddress fails at the start.
extern "C" __declspec(dllexport) int not_run_code() { return 0; }
