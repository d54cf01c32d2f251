// A main module that needs onefile_dependency.dll.
extern "C" __declspec(dllimport) int dependency_value();
extern "C" __declspec(dllexport) int run_code(int, wchar_t**, const wchar_t*) {
  return dependency_value();
}
