// Threads that delete plain files beside the direct walk (tree_walk.cpp). Removing a tree of many
// small files is mostly waiting for the system for each file, which several threads do at once.
// The walk lists every directory and hands each plain file over; a helper opens it with the very
// checks the walk would make (no link followed, the handle named after that place below the root)
// and deletes it. Directories and links never leave the walk, and the walk removes a directory
// only once every file handed over has been dealt with.
#include <cstdint>
#include <cstdlib>
#include <cwchar>

#include "cleanup/tree_walk.h"

namespace {

constexpr int most_helpers = 8;
constexpr int task_count = 16;
// A helper's stack: a path and a handle's name.
constexpr SIZE_T helper_stack_size = 256 * 1024;

struct removal_task {
  wchar_t path[wide_path_capacity];
  std::size_t length;
  DWORD attributes;
};

}  // namespace

// One walk's crew: the files handed over and not yet taken, in a ring, and counts from the start.
struct removal_crew {
  SRWLOCK lock;
  CONDITION_VARIABLE handed;  // a file was handed over, or the crew ends
  CONDITION_VARIABLE taken;   // a place in the ring is free again
  CONDITION_VARIABLE dealt;   // a file was dealt with
  std::uint64_t handed_count;
  std::uint64_t taken_count;
  std::uint64_t dealt_count;
  bool ending;
  // False once a helper met a file whose handle the system named after another place.
  bool contained;
  walk_root root;
  int helper_count;
  HANDLE helpers[most_helpers];
  removal_task tasks[task_count];
};

namespace {

// As the walk removes a plain file: a file that can't be opened (held by another process) stays
// and leads nowhere; one whose handle is named elsewhere stays, and the tree is then not
// contained (false).
bool remove_plain_file(const walk_root& root, const removal_task& task, handle_name& name) {
  HANDLE handle;
  switch (open_checked_entry(task.path, task.length, root, name, deletion_access(task.attributes),
                             0, &handle)) {
    case opened::itself:
      delete_and_close(handle, task.attributes);
      return true;
    case opened::elsewhere:
      return false;
    case opened::failed:
      return true;
  }
  return true;
}

DWORD WINAPI delete_handed_files(void* parameter) {
  removal_crew& crew = *static_cast<removal_crew*>(parameter);
  removal_task task;
  handle_name name;
  AcquireSRWLockExclusive(&crew.lock);
  for (;;) {
    while (crew.taken_count == crew.handed_count && !crew.ending) {
      SleepConditionVariableSRW(&crew.handed, &crew.lock, INFINITE, 0);
    }
    if (crew.taken_count == crew.handed_count) break;
    // Copied out, so that its place takes the next file at once.
    const removal_task& handed = crew.tasks[crew.taken_count++ % task_count];
    task.length = handed.length;
    task.attributes = handed.attributes;
    std::wmemcpy(task.path, handed.path, handed.length + 1);
    WakeConditionVariable(&crew.taken);
    ReleaseSRWLockExclusive(&crew.lock);
    const bool contained = remove_plain_file(crew.root, task, name);
    AcquireSRWLockExclusive(&crew.lock);
    if (!contained) crew.contained = false;
    ++crew.dealt_count;
    WakeConditionVariable(&crew.dealt);
  }
  ReleaseSRWLockExclusive(&crew.lock);
  return 0;
}

}  // namespace

removal_crew* start_removal_crew(int helpers, const walk_root& root) {
  auto* crew = static_cast<removal_crew*>(std::malloc(sizeof(removal_crew)));
  if (crew == nullptr) return nullptr;
  InitializeSRWLock(&crew->lock);
  InitializeConditionVariable(&crew->handed);
  InitializeConditionVariable(&crew->taken);
  InitializeConditionVariable(&crew->dealt);
  crew->handed_count = crew->taken_count = crew->dealt_count = 0;
  crew->ending = false;
  crew->contained = true;
  crew->root = root;
  crew->helper_count = 0;
  for (int i = 0; i < helpers && i < most_helpers; ++i) {
    HANDLE thread = CreateThread(nullptr, helper_stack_size, delete_handed_files, crew,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (thread == nullptr) break;
    crew->helpers[crew->helper_count++] = thread;
  }
  if (crew->helper_count > 0) return crew;
  std::free(crew);
  return nullptr;
}

void hand_file_to_crew(removal_crew* crew, const wchar_t* path, std::size_t length,
                       DWORD attributes) {
  AcquireSRWLockExclusive(&crew->lock);
  while (crew->handed_count - crew->taken_count == task_count) {
    SleepConditionVariableSRW(&crew->taken, &crew->lock, INFINITE, 0);
  }
  removal_task& task = crew->tasks[crew->handed_count++ % task_count];
  std::wmemcpy(task.path, path, length + 1);
  task.length = length;
  task.attributes = attributes;
  WakeConditionVariable(&crew->handed);
  ReleaseSRWLockExclusive(&crew->lock);
}

void wait_for_crew(removal_crew* crew) {
  AcquireSRWLockExclusive(&crew->lock);
  while (crew->dealt_count < crew->handed_count) {
    SleepConditionVariableSRW(&crew->dealt, &crew->lock, INFINITE, 0);
  }
  ReleaseSRWLockExclusive(&crew->lock);
}

bool end_removal_crew(removal_crew* crew) {
  AcquireSRWLockExclusive(&crew->lock);
  crew->ending = true;
  WakeAllConditionVariable(&crew->handed);
  ReleaseSRWLockExclusive(&crew->lock);
  WaitForMultipleObjects(static_cast<DWORD>(crew->helper_count), crew->helpers, TRUE, INFINITE);
  for (int i = 0; i < crew->helper_count; ++i) CloseHandle(crew->helpers[i]);
  const bool contained = crew->contained;
  std::free(crew);
  return contained;
}
