// Launcher core: the entry sequence and role decision, the child launch and supervision, and the
// hand-off to the main module.
#pragma once

#include <cstddef>
#include <cstdint>

#include <windows.h>

// Runs the launcher in the role that this process has; returns the process exit code.
int run_launcher(int argument_count, wchar_t** arguments);

// How a launcher keeps its unpacked files for later launches (launcher/kept_launch.cpp): the
// entry points onefile_keep at one of the two modes there, as the settings say, or at none.
struct keep_mode {
  // Parent: makes sure that the kept directory is there and sound (with or without comparing
  // every kept file's bytes with the payload's), then starts the child and waits; returns the
  // process exit code.
  int (*run_parent)(wchar_t** arguments);
  // Child: waits, before it loads the main module, until its parent has judged the kept
  // directory (the parent starts it while it judges); runs from the parent's staging directory
  // instead when the parent names one (it could not move it into place).
  void (*wait_for_judgement)();
};
extern "C" const keep_mode onefile_keep_kept, onefile_keep_verified;
extern const keep_mode* onefile_keep;
// Sets a stale kept directory aside for the sweep (set_aside_own_directory); replaceable, so that
// tests can refuse it.
extern bool (*kept_directory_set_aside)(const wchar_t* path);

// Reads the launcher's settings and payload from its own image (launcher/settings.cpp), or ends
// the run with the header error: a stub run as it is has none.
void read_attached_settings();

// Parent, on a freshly opened payload stream: chooses how many writers unpack (starting the
// decoding ahead when there are any), and returns that count for unpack_payload.
int prepare_unpacking();
// Parent: reads every payload entry and writes it below target_directory, then checks the
// frame's end; every file is whole and closed on return, and the first entry's path is left in
// main_module_path.
void unpack_payload(int writers);

// What VESKAR_ONEFILE_PARENT names: a live process that runs this same executable, one that runs
// something else or none at all, or one that is there but whose image can't be read.
enum class parent_check { same_executable, other, unreadable };
parent_check check_parent_process();
// Opens the parent for the check; replaceable, so that tests can refuse rights.
extern void*(__stdcall* process_open)(unsigned long access, int inherit, unsigned long process_id);
// Removes the inherited time and random values and publishes this process's id.
void publish_parent_identity();
// True when the time and random values that name the parent's directory are inherited.
bool inherits_directory_values();
// Sets the time and random values that the target spec did not use, for the child.
void publish_directory_values();
// Parses a process id: optional white space and sign, decimal digits, nothing after, 32-bit range.
bool parse_process_id(const wchar_t* text, std::int32_t* value);

// Parent: starts the child from the launcher's own executable, waits, cleans up; returns the
// child's exit code. The same in two steps: start_child returns the parent's own handle on the
// child, which wait_for_child (or, for a child that must not run on, abandon_child) takes.
int launch_child_and_wait(wchar_t** arguments);
void* start_child(wchar_t** arguments);
int wait_for_child(void* own_handle);
void abandon_child(void* own_handle);
// The argument text of a command line: what follows the program name, delimited by the rule of
// the C runtime that this launcher was built with.
const wchar_t* arguments_after_program_name(const wchar_t* command_line);
// Writes the quoted program path and the argument text into line; false when it does not fit.
bool join_command_line(const wchar_t* program, const wchar_t* arguments, wchar_t* line,
                       std::size_t capacity);

// Parent: how the child is started. The startup record carries the parent's own start-up state
// and its standard handles as inheritable duplicates, which a handle list makes the only ones the
// child inherits; the flags carry the parent's priority class, CREATE_SUSPENDED, and
// DETACHED_PROCESS when the parent has no console.
struct child_startup {
  STARTUPINFOEXW info;
  unsigned long creation_flags;
  int inherit_handles;
};
void prepare_child_startup(child_startup* startup);
// Closes the duplicates and releases the handle list once the child has been started.
void release_child_startup(child_startup* startup);

// Parent: a job that ends the child when the parent's handle closes, or none.
void* make_child_job();
// Puts the child into the job; replaceable, so that tests can refuse it.
extern int(__stdcall* job_assignment)(void* job, void* process);
// Child: ends this process when its parent ends, unless a job does so already.
void watch_parent_unless_in_job();

// Child: loads the main module and returns what its run_code returns.
int hand_off_to_main_module(int argument_count, wchar_t** arguments);

// The main module's entry point.
using run_code_function = int (*)(int argument_count, wchar_t** arguments,
                                  const wchar_t* main_module_path);
