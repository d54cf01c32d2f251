// Paths and environment: the launcher's environment variables, its own executable path in plain
// and resolved form, and the expansion of path specs such as the target spec.
#pragma once

#include <cstddef>
#include <cstdint>

// --- Environment variables (names are narrow ASCII, at most 39 characters) ---

// A fresh heap copy of the value (never freed), or nullptr when absent or empty.
wchar_t* get_env_var(const char* name);
bool set_env_var(const char* name, const wchar_t* value);
void unset_env_var(const char* name);

// --- The launcher's own executable path ---

enum class executable_path_form { plain, resolved };

// The cached path in the asked form; filled on first request.
wchar_t* get_executable_path(executable_path_form form);
// Replaces the path by the final path of the file it names ("\\?\" prefixes handled); leaves it
// unchanged when the file cannot be opened.
void resolve_final_path(wchar_t* path, std::size_t capacity);
// Replaces the directory part by its short form; the last component keeps its long form.
void shorten_directory_part(wchar_t* path, std::size_t capacity);
// Copies source with its NUL; ends the run when it does not fit.
void copy_bounded(wchar_t* destination, const wchar_t* source, std::size_t capacity);
// Handles the "\\?\" and "\\?\UNC\" prefixes of a final path in place.
void strip_final_path_prefix(wchar_t* path);
// The other way: an absolute, normalised path ("C:\..." or "\\server\share\...") in the
// "\\?\" ("\\?\UNC\") form, which the file functions take past MAX_PATH without the system's
// long-path switch; any other path unchanged. False when it does not fit.
bool long_path_form(const wchar_t* path, wchar_t* destination, std::size_t capacity);
// The longest prefix that form adds ("\\?\UNC\" for the "\\" it replaces).
inline constexpr std::size_t long_path_prefix_room = 6;

// --- Path specs ---

// Expands a path spec such as "{TEMP}\onefile_{PID}" into destination. False for an unknown
// variable, a literal without room or a shell folder that can't be had; ends the run when a
// value does not fit.
bool expand_path_spec(wchar_t* destination, const wchar_t* spec, std::size_t capacity);
// Appends the path of a shell folder (a CSIDL number); false when the system has none.
bool append_shell_folder(wchar_t* destination, int csidl, std::size_t capacity);
// True for a path that names the same place from any current directory: "C:\...", a UNC path
// "\\server\share\..." or a "\\?\" or "\\.\" path. "dir\x", "\x" (on the current drive) and
// "C:x" (in that drive's current directory) are not.
bool is_fully_qualified_path(const wchar_t* path);
// Replaces target_directory, the expansion of spec, by its full path. Ends the run with a message
// and exit code 2 when the expansion is relative to the current directory (a spec that begins with
// a plain name, say), and abnormally when the full path can't be had or does not fit.
void make_target_directory_absolute(const wchar_t* spec);

// The pieces of the random name and the time values, apart from their sources.
inline constexpr std::size_t random_byte_count = 8;
inline constexpr std::size_t random_name_length = 11;
// Writes the 11-character base64url name of eight bytes (the first one first), and a NUL.
void encode_random_name(const std::uint8_t (&bytes)[random_byte_count],
                        wchar_t (&name)[random_name_length + 1]);
// A new random name from the random source; false when it can't be had.
bool make_random_name(wchar_t (&name)[random_name_length + 1]);
// The random source: the system's cryptographic generator; replaceable for tests.
extern bool (*random_source)(std::uint8_t (&bytes)[random_byte_count]);
// {DIGEST}: the first bytes of payload_digest, in hexadecimal: 64 bits tell payloads apart and
// keep paths short.
inline constexpr std::size_t payload_digest_name_bytes = 8;
// Microseconds within the second of a FILETIME count, as six digits.
void format_time_us(std::int64_t filetime, wchar_t (&text)[32]);
void format_time(std::int64_t filetime, wchar_t (&text)[32]);
