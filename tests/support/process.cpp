#include "tests/support/process.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include <windows.h>

#include "tests/support/start_process.h"

namespace {

void drain(HANDLE pipe, std::string* into) {
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) into->append(buffer, got);
}

}  // namespace

std::vector<wchar_t> environment_block(const std::vector<std::wstring>& changes) {
  std::vector<std::wstring> variables;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* p = block; *p; p += wcslen(p) + 1) variables.emplace_back(p);
  FreeEnvironmentStringsW(block);
  for (const std::wstring& change : changes) {
    const std::size_t equals = change.find(L'=', 1);
    const std::wstring name = change.substr(0, equals + 1);
    std::erase_if(variables, [&](const std::wstring& v) {
      return v.size() >= name.size() && _wcsnicmp(v.c_str(), name.c_str(), name.size()) == 0;
    });
    if (equals + 1 < change.size()) variables.push_back(change);
  }
  std::vector<wchar_t> result;
  for (const std::wstring& v : variables)
    result.insert(result.end(), v.c_str(), v.c_str() + v.size() + 1);
  result.push_back(L'\0');
  return result;
}

process_result run_process(const std::wstring& command_line,
                           const std::vector<std::wstring>& environment_changes,
                           std::uint32_t timeout_ms, const std::string& input,
                           std::uint32_t creation_flags) {
  process_result result;
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE out_read, out_write, err_read, err_write;
  CreatePipe(&out_read, &out_write, &inheritable, 0);
  CreatePipe(&err_read, &err_write, &inheritable, 0);
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
  HANDLE null_input = INVALID_HANDLE_VALUE;
  HANDLE input_write = nullptr;
  if (input.empty()) {
    null_input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                             OPEN_EXISTING, 0, nullptr);
  } else {
    CreatePipe(&null_input, &input_write, &inheritable, 0);
    SetHandleInformation(input_write, HANDLE_FLAG_INHERIT, 0);
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = null_input;
  startup.hStdOutput = out_write;
  startup.hStdError = err_write;
  PROCESS_INFORMATION info{};
  std::vector<wchar_t> line(command_line.begin(), command_line.end());
  line.push_back(L'\0');
  std::vector<wchar_t> environment = environment_block(environment_changes);
  const bool started = create_process_retrying(nullptr, line.data(), TRUE,
                                               CREATE_UNICODE_ENVIRONMENT | creation_flags,
                                               environment.data(), &startup, &info);
  CloseHandle(out_write);
  CloseHandle(err_write);
  CloseHandle(null_input);
  if (!started) {
    if (input_write != nullptr) CloseHandle(input_write);
    CloseHandle(out_read);
    CloseHandle(err_read);
    result.exit_code = 0xFFFFFFFF;
    result.err = "CreateProcessW failed: " + std::to_string(GetLastError());
    return result;
  }
  std::thread out_reader(drain, out_read, &result.out);
  std::thread err_reader(drain, err_read, &result.err);
  std::thread input_writer;
  if (input_write != nullptr) {
    input_writer = std::thread([input_write, &input] {
      std::size_t offset = 0;
      DWORD written = 0;
      while (offset < input.size() &&
             WriteFile(input_write, input.data() + offset,
                       static_cast<DWORD>(std::min<std::size_t>(input.size() - offset, 65536)),
                       &written, nullptr)) {
        offset += written;
      }
      CloseHandle(input_write);
    });
  }
  if (WaitForSingleObject(info.hProcess, timeout_ms) != WAIT_OBJECT_0) {
    result.timed_out = true;
    TerminateProcess(info.hProcess, 0xDEAD);
    WaitForSingleObject(info.hProcess, INFINITE);
  }
  DWORD code = 0;
  GetExitCodeProcess(info.hProcess, &code);
  result.exit_code = code;
  out_reader.join();
  err_reader.join();
  if (input_writer.joinable()) input_writer.join();
  CloseHandle(out_read);
  CloseHandle(err_read);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return result;
}

bool start_program(const std::wstring& command_line, void** process) {
  std::wstring line = command_line;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  *process = nullptr;
  if (!create_process_retrying(nullptr, line.data(), FALSE, 0, nullptr, &startup, &started)) {
    return false;
  }
  CloseHandle(started.hThread);
  *process = started.hProcess;
  return true;
}

bool run_unix(const std::wstring& command, const std::wstring& path, bool appears) {
  std::wstring line = L"Z:" + command;
  std::replace(line.begin(), line.begin() + line.find(L' '), L'/', L'\\');
  void* started = nullptr;
  if (!start_program(line, &started)) return false;
  // Wine gives no handle for a native program.
  if (started != nullptr) CloseHandle(started);
  for (int i = 0; i < 1000 && path_exists(path) != appears; ++i) Sleep(10);
  return path_exists(path) == appears;
}

std::wstring quote_argument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos)
    return argument;
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted.push_back(c);
  }
  quoted.append(backslashes * 2, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

std::wstring executable_directory_of_test() {
  wchar_t path[4096];
  DWORD length = GetModuleFileNameW(nullptr, path, 4096);
  std::wstring text(path, length);
  return text.substr(0, text.rfind(L'\\'));
}

scratch_directory::scratch_directory() {
  static std::atomic<unsigned> counter{0};
  wchar_t temp[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  std::wstring base(temp, length);
  if (!base.empty() && base.back() == L'\\') base.pop_back();
  for (;;) {
    path_ = base + L"\\onefile_test_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
            std::to_wstring(counter++) + L"_" + std::to_wstring(GetTickCount());
    if (CreateDirectoryW(path_.c_str(), nullptr)) break;
  }
}

scratch_directory::~scratch_directory() {
  remove_tree(path_);
}

bool write_file(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

bool read_file(const std::wstring& path, std::string& bytes) {
  // FILE_SHARE_DELETE too: MoveFileExW holds the file it moves open with DELETE access until just
  // after the rename, and while any handle has that access, an open that does not share delete
  // fails with ERROR_SHARING_VIOLATION; a file the tests' programs move into place would
  // otherwise now and then be unreadable the moment it shows up.
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  bytes.clear();
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes.append(buffer, got);
  CloseHandle(file);
  return true;
}

bool path_exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool is_directory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

void remove_tree(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return;
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") remove_tree(path + L"\\" + name);
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
  } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    RemoveDirectoryW(path.c_str());
  } else {
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.c_str());
  }
}

std::wstring widen(const std::string& text) {
  if (text.empty()) return {};
  int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring wide(length, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

std::string narrow(const std::wstring& text) {
  if (text.empty()) return {};
  int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr,
                                   0, nullptr, nullptr);
  std::string result(length, '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length,
                      nullptr, nullptr);
  return result;
}

std::string unix_path(const std::wstring& path) {
  using unix_name_function = char*(CDECL*)(const wchar_t*);
  const auto function = reinterpret_cast<unix_name_function>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  char* name = function != nullptr ? function(path.c_str()) : nullptr;
  if (name == nullptr) return {};
  std::string text = name;
  HeapFree(GetProcessHeap(), 0, name);
  return text;
}

std::vector<std::wstring> directory_entries(const std::wstring& directory) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}
