// Whether this process is the own child of the parent that VESKAR_ONEFILE_PARENT names, told by
// the id of the process that created it, which the kernel records at the creation. Other
// processes inherit the value too: what the application starts (which may outlive it, while the
// id goes to some other process), and everything started from those.
#include <cstdint>

#include <windows.h>

#include "cleanup/cleanup.h"
#include "launcher/launcher.h"
#include "paths/paths.h"

namespace {

// The id of the process that created this one; false when it can't be had. The basic
// information's layout is the documented one (NtQueryInformationProcess, ProcessBasicInformation);
// the SDKs name its fields differently (MSVC's winternl.h hides the last one).
bool read_creator_process_id(DWORD* creator) {
  struct basic_information {
    LONG exit_status;
    void* environment_block;
    ULONG_PTR affinity_mask;
    LONG base_priority;
    ULONG_PTR process_id;
    ULONG_PTR creator_process_id;
  } information{};
  constexpr int process_basic_information = 0;
  LONG(NTAPI * query)(HANDLE, int, void*, ULONG, ULONG*) = nullptr;
  if (!find_ntdll_function(query, "NtQueryInformationProcess") ||
      query(GetCurrentProcess(), process_basic_information, &information, sizeof information,
            nullptr) < 0) {
    return false;
  }
  *creator = static_cast<DWORD>(information.creator_process_id);
  return true;
}

}  // namespace

bool is_named_parents_own_child(unsigned long* parent_id, bool when_unknown) {
  const wchar_t* parent_text = get_env_var("VESKAR_ONEFILE_PARENT");
  std::int32_t named_id = 0;
  if (parent_text == nullptr || !parse_process_id(parent_text, &named_id)) return false;
  *parent_id = static_cast<DWORD>(named_id);
  DWORD creator = 0;
  return read_creator_process_id(&creator) ? creator == *parent_id : when_unknown;
}
