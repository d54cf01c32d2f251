// Real launchers under faults, interruptions and load: a full disk, an unusable temporary
// folder, corrupted payloads, a file held open at cleanup, links that lead out of the target
// directory, console control events during unpacking and during the child's run, and many
// launches at once or one after another.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#define ZSTD_STATIC_LINKING_ONLY  // ZSTD_d_forceIgnoreChecksum
#include <zstd.h>

#include "payload/attached_section.h"
#include "tests/reliability/launch_support.h"
#include "tests/support/process.h"

namespace {

// ---------------------------------------------------------------------------------------------
// A full disk: the write fails, the run ends with the unpack failure and the system's code.

void expect_unpack_failure(const started_launch& run, const launch_files& files,
                           long expected_code) {
  ASSERT_TRUE(run.wait(120000));
  EXPECT_EQ(run.exit_code(), 2u);
  EXPECT_EQ(run.out(), "");
  const system_error_line line =
      parse_system_error(run.err(), "Error, couldn't unpack file to target path.");
  ASSERT_TRUE(line.parsed) << run.err();
  if (expected_code != 0) {
    EXPECT_EQ(line.code, expected_code) << run.err();
  }
  EXPECT_NE(line.code, 0) << run.err();
  EXPECT_EQ(line.text, system_text(static_cast<DWORD>(line.code)));
  EXPECT_FALSE(path_exists(files.ready)) << "the child ran on truncated files";
}

TEST(DiskFull, FileSizeLimit) {
  // Run by the test reliability_file_size_limit, under "ulimit -f": every file of every process
  // stops at this size. A write that reaches the limit takes only the bytes up to it (and Wine
  // reports that as success); the next write fails.
  const std::wstring limit = environment(L"ONEFILE_TEST_FILE_SIZE_LIMIT");
  if (limit.empty()) GTEST_SKIP() << "runs under a file size limit only";
  launch_files files;
  // straddle.bin is 100 bytes longer than the limit, and its last chunk crosses it: taken in
  // part, it would leave the file short by 100 bytes without any failure.
  started_launch run(launcher(L"disk_launcher.exe"), files.environment());
  ASSERT_TRUE(run.started());
  expect_unpack_failure(run, files, 0);
  // The failed launch takes back what it wrote: the short file and its directory.
  EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
}

// Also with four writers that all meet the full disk at once: one failure is reported, and the
// others let go of their files, so that nothing stays.
TEST(DiskFull, VolumeWithoutSpace) {
  const std::wstring volume = mounts(L"full");
  if (!path_exists(volume + L"\\.mounted"))
    GTEST_SKIP() << "no small tmpfs mounted (needs mount rights)";
  for (const wchar_t* name : {L"disk_launcher.exe", L"mixed_launcher.exe"}) {
    SCOPED_TRACE(narrow(name));
    launch_files files;
    std::vector<std::wstring> environment =
        files.environment({L"TEMP=" + volume, L"TMP=" + volume, L"ONEFILE_TEST_UNPACK_THREADS=4"});
    const std::vector<std::wstring> before = directory_entries(volume);
    started_launch run(launcher(name), environment);
    ASSERT_TRUE(run.started());
    expect_unpack_failure(run, files, ERROR_DISK_FULL);
    // The failed launch takes back what it wrote, which also makes room again.
    EXPECT_EQ(directory_entries(volume), before);
  }
}

// ---------------------------------------------------------------------------------------------
// The temporary folder can't take the target directory: its creation fails, naming it, with the
// system's code and text.

void expect_open_failure(const std::wstring& temp) {
  launch_files files;
  started_launch run(launcher(L"fault_launcher.exe"),
                     files.environment({L"TEMP=" + temp, L"TMP=" + temp}));
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.wait(120000));
  EXPECT_EQ(run.exit_code(), 2u);
  EXPECT_EQ(run.out(), "");
  const std::string err = run.err();
  const std::string head =
      "Error, couldn't create target directory '" + narrow(temp) + "\\onefile_";
  EXPECT_EQ(err.rfind(head, 0), 0u) << err;
  const std::size_t quote = err.find("'.", head.size());
  ASSERT_NE(quote, std::string::npos) << err;
  const system_error_line line = parse_system_error(err, err.substr(0, quote + 2));
  ASSERT_TRUE(line.parsed) << err;
  EXPECT_NE(line.code, 0) << err;
  EXPECT_EQ(line.text, system_text(static_cast<DWORD>(line.code)));
  EXPECT_FALSE(path_exists(files.ready));
}

TEST(TempFolder, ReadOnly) {
  const std::wstring volume = mounts(L"readonly");
  if (!path_exists(volume + L"\\.mounted"))
    GTEST_SKIP() << "no read-only tmpfs mounted (needs mount rights)";
  expect_open_failure(volume);
  EXPECT_EQ(directory_entries(volume), std::vector<std::wstring>{L".mounted"});
}

TEST(TempFolder, OnADriveThatDoesNotExist) {
  const DWORD drives = GetLogicalDrives();
  wchar_t letter = L'Y';
  while (letter > L'D' && (drives & (1u << (letter - L'A')))) --letter;
  ASSERT_FALSE(drives & (1u << (letter - L'A')));
  expect_open_failure(std::wstring(1, letter) + L":\\temp");
}

TEST(TempFolder, IsAFile) {
  scratch_directory scratch;
  const std::wstring file = scratch / L"not_a_folder";
  ASSERT_TRUE(write_file(file, "a file"));
  expect_open_failure(file);
  std::string content;
  EXPECT_TRUE(read_file(file, content) && content == "a file");
}

TEST(TempFolder, MissingFoldersAreCreatedAndOnlyTheTargetDirectoryIsRemoved) {
  launch_files files;
  const std::wstring missing = files.temp / L"missing\\deeper";
  started_launch run(
      launcher(L"fault_launcher.exe"),
      files.environment({L"TEMP=" + missing, L"TMP=" + missing, L"ONEFILE_TEST_EXIT=3"}));
  ASSERT_TRUE(run.wait(120000));
  EXPECT_EQ(run.exit_code(), 3u) << run.out() << run.err();
  EXPECT_EQ(read_ready(files.ready).target.rfind(missing + L"\\onefile_", 0), 0u);
  EXPECT_TRUE(is_directory(missing));
  EXPECT_TRUE(directory_entries(missing).empty());
}

// ---------------------------------------------------------------------------------------------
// Corrupted payloads, each built into a copy of a real launcher.

// The main module's name in fault_launcher.exe's listing: a block made here starts with it, so
// that the launch finds the listing whole and each case shows its own damage.
const std::string listed_main = "fault_main.dll";
const std::size_t listed_main_bytes = 2 * listed_main.size() + 2;

void add_entry(std::string& list, const std::string& name, const std::string& data) {
  for (char c : name) list += {c, '\0'};
  list += {'\0', '\0'};
  for (int i = 0; i < 8; ++i)
    list.push_back(static_cast<char>(static_cast<std::uint64_t>(data.size()) >> (8 * i)));
  list += data;
}

// A frame as the packer makes it: with content size and content checksum.
std::string compress_frame(const std::string& content, bool with_content_size = true) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
  ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, with_content_size ? 1 : 0);
  ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, 1);
  // A window smaller than the content, so that the frame header describes it (byte 5).
  ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, 10);
  std::string frame(ZSTD_compressBound(content.size()) + 64, '\0');
  const std::size_t size =
      ZSTD_compress2(context, frame.data(), frame.size(), content.data(), content.size());
  ZSTD_freeCCtx(context);
  EXPECT_FALSE(ZSTD_isError(size));
  frame.resize(ZSTD_isError(size) ? 0 : size);
  return frame;
}

// Whether zstd's own decoder finds anything wrong with a frame.
bool decodes(const std::string& frame, bool ignoring_the_checksum = false) {
  ZSTD_DCtx* context = ZSTD_createDCtx();
  ZSTD_DCtx_setParameter(context, ZSTD_d_forceIgnoreChecksum, ignoring_the_checksum ? 1 : 0);
  ZSTD_inBuffer input{frame.data(), frame.size(), 0};
  std::string window(1 << 17, '\0');
  bool fine = true;
  std::size_t result = 1;
  while (fine && result != 0) {
    ZSTD_outBuffer output{window.data(), window.size(), 0};
    const std::size_t before = input.pos;
    result = ZSTD_decompressStream(context, &output, &input);
    if (ZSTD_isError(result))
      fine = false;
    else if (result != 0 && input.pos == before && output.pos == 0)
      fine = false;  // stuck: cut short
  }
  ZSTD_freeDCtx(context);
  return fine;
}

// The payload block of a launcher executable: where it starts and where its length is kept.
struct block_location {
  std::size_t start = std::string::npos;
  std::size_t length_field = std::string::npos;
};

std::uint64_t read_le64(const std::string& bytes, std::size_t at) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// The block and its length field in the launcher's attached section (payload/attached_section.h):
// the header holds the block's offset and, beside it, its size.
block_location locate_block(const std::string& image) {
  block_location where;
  std::string magic_and_version("onefile\0", 8);
  for (int i = 0; i < 4; ++i) magic_and_version.push_back(char(attached_format_version >> (8 * i)));
  const std::size_t header = image.find(magic_and_version + std::string("\x80\0\0\0", 4));
  if (header == std::string::npos) return where;
  where.start = header + read_le64(image, header + 112);
  where.length_field = header + 120;
  if (image.compare(where.start, 7, std::string("JIV\x28\xB5\x2F\xFD", 7)) != 0) return {};
  return where;
}

// A copy of fault_launcher.exe whose payload block is "JIV" and the given bytes.
std::wstring launcher_with_block(const scratch_directory& where, const std::string& after_header,
                                 const std::string& header = "JIV") {
  std::string image;
  EXPECT_TRUE(read_file(launcher(L"fault_launcher.exe"), image));
  const block_location block = locate_block(image);
  EXPECT_NE(block.length_field, std::string::npos);
  const std::string bytes = header + after_header;
  EXPECT_LE(bytes.size(), read_le64(image, block.length_field))
      << "the original block is too small";
  image.replace(block.start, bytes.size(), bytes);
  for (int i = 0; i < 8; ++i)
    image[block.length_field + i] =
        static_cast<char>(static_cast<std::uint64_t>(bytes.size()) >> (8 * i));
  const std::wstring path = where / L"corrupted.exe";
  EXPECT_TRUE(write_file(path, image));
  return path;
}

// The 0 byte and the leading length that follow the frame in a block the packer makes.
std::string trailer(std::size_t frame_size) {
  std::string bytes(1, '\0');
  const std::uint64_t leading = 3 + frame_size + 1;
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<char>(leading >> (8 * i)));
  return bytes;
}

struct corruption {
  std::string what;
  std::string header;
  std::string after_header;  // the frame (or what is left of it) and what follows
  std::string expected_out;
};

std::vector<corruption> twenty_corruptions() {
  std::string data_a, data_b;
  for (int i = 0; i < 3000; ++i)
    data_a += "line " + std::to_string(i * 7919 % 1009) + " of a.txt\n";
  for (int i = 0; i < 60000; ++i) data_b.push_back(static_cast<char>((i * i + i / 7) % 251));
  std::string entries;
  add_entry(entries, listed_main, std::string("MZ") + std::string(3000, 'm'));
  add_entry(entries, "sub\\a.txt", data_a);
  add_entry(entries, "b.bin", data_b);
  const std::string list = entries + std::string(2, '\0');
  const std::string frame = compress_frame(list);
  EXPECT_TRUE(decodes(frame));

  const std::string header_error = "Error, couldn't find attached data header.\n";
  const std::string decode_error = "Error, couldn't decode attached data.\n";
  std::vector<corruption> cases;
  const auto whole = [&](std::string changed) { return changed + trailer(changed.size()); };
  const auto changed_byte = [&](std::size_t at, unsigned char value) {
    std::string changed = frame;
    changed[at] = static_cast<char>(value);
    return changed;
  };
  // The header.
  cases.push_back({"first header byte", "jIV", whole(frame), header_error});
  cases.push_back({"second header byte", "J\0V", whole(frame), header_error});
  cases.push_back({"third header byte", "JIW", whole(frame), header_error});
  // The frame header: magic number, descriptor's reserved bit, windows beyond the limit.
  cases.push_back({"magic number", "JIV", whole(changed_byte(0, 0x29)), decode_error});
  cases.push_back(
      {"reserved descriptor bit", "JIV", whole(changed_byte(4, frame[4] | 0x08)), decode_error});
  // A window beyond the decoder's limit, in a frame without a content size (with one, the
  // decoder keeps no more history than the content, whatever the window says).
  {
    std::string unsized = compress_frame(list, false);
    unsized[5] = static_cast<char>(0x90);
    cases.push_back({"window log 28", "JIV", whole(unsized), decode_error});
    unsized[5] = static_cast<char>(0xA8);
    cases.push_back({"window log 31", "JIV", whole(unsized), decode_error});
  }
  // The first block's header (3 bytes after the frame header): reserved type, a size beyond the
  // frame.
  {
    const std::size_t block = ZSTD_frameHeaderSize(frame.data(), frame.size());
    std::string changed = frame;
    changed[block] = static_cast<char>((changed[block] & ~0x06) | 0x06);
    cases.push_back({"reserved block type", "JIV", whole(changed), decode_error});
    changed = frame;
    changed[block + 2] = static_cast<char>(0x0F);
    changed[block + 1] = static_cast<char>(0xFF);
    cases.push_back({"block size beyond the frame", "JIV", whole(changed), decode_error});
  }
  // A byte flipped where only the content checksum sees it (plain literals, say): decoded, the
  // frame's structure holds and only the content is wrong.
  for (std::size_t at = frame.size() / 2; at < frame.size(); ++at) {
    std::string changed = frame;
    changed[at] = static_cast<char>(~changed[at]);
    if (decodes(changed, true) && !decodes(changed)) {
      cases.push_back({"byte flipped at " + std::to_string(at) + ", seen by the checksum alone",
                       "JIV", whole(changed), decode_error});
      break;
    }
  }
  // Bytes flipped inside the compressed blocks.
  for (std::size_t percent : {20, 45, 70, 90}) {
    for (std::size_t at = frame.size() * percent / 100; at < frame.size(); ++at) {
      std::string changed = frame;
      changed[at] = static_cast<char>(~changed[at]);
      if (!decodes(changed)) {
        cases.push_back(
            {"byte flipped at " + std::to_string(at), "JIV", whole(changed), decode_error});
        break;
      }
    }
  }
  // Frames cut short: the block ends early, with no trailer.
  for (std::size_t keep :
       {std::size_t{6}, std::size_t{9}, frame.size() / 3, frame.size() * 2 / 3, frame.size() - 1}) {
    cases.push_back({"frame cut to " + std::to_string(keep) + " bytes", "JIV",
                     frame.substr(0, keep), decode_error});
  }
  // Whole frames over entry lists that stop early.
  const auto list_frame = [&](const std::string& content) {
    return whole(compress_frame(content));
  };
  cases.push_back({"end marker missing", "JIV", list_frame(entries), decode_error});
  cases.push_back(
      {"list ends inside a name", "JIV", list_frame(entries.substr(0, 7)), decode_error});
  cases.push_back({"list ends inside a size", "JIV",
                   list_frame(entries.substr(0, listed_main_bytes + 4)), decode_error});
  {
    std::string oversized;
    add_entry(oversized, listed_main, "MZ");
    oversized[listed_main_bytes + 1] = 0x40;  // the size's second byte: 16386 bytes announced
    cases.push_back({"size beyond the data", "JIV", list_frame(oversized + std::string(2, '\0')),
                     decode_error});
  }
  return cases;
}

TEST(CorruptPayloads, EachEndsWithAFixedMessageAndLeavesNothing) {
  const std::vector<corruption> cases = twenty_corruptions();
  ASSERT_GE(cases.size(), 20u);
  // Every other case decodes ahead on a thread of its own (writers named by count start their
  // threads at once); the rest, small payloads as they all are, on the main thread.
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const corruption& c = cases[i];
    SCOPED_TRACE(c.what);
    scratch_directory where;
    const std::wstring exe = launcher_with_block(where, c.after_header, c.header);
    launch_files files;
    started_launch run(exe, i % 2 == 0 ? files.environment()
                                       : files.environment({L"ONEFILE_TEST_UNPACK_THREADS=4"}));
    ASSERT_TRUE(run.started());
    ASSERT_TRUE(run.wait(60000)) << "hangs";
    EXPECT_EQ(run.exit_code(), 2u);
    EXPECT_EQ(run.out(), c.expected_out);
    EXPECT_EQ(run.err(), "");
    EXPECT_FALSE(path_exists(files.ready));
    // The failed launch takes back what it wrote; nothing beside the copy either.
    EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
    EXPECT_EQ(directory_entries(where.path()), std::vector<std::wstring>{L"corrupted.exe"});
  }
}

// The listing beside the block names the main module that the child loads: a first name that
// differs from the payload's first entry is damage like any other, found before the child starts.
TEST(CorruptPayloads, AListingThatNamesAnotherMainModuleEndsWithTheDecodeError) {
  std::string image;
  ASSERT_TRUE(read_file(launcher(L"fault_launcher.exe"), image));
  std::string magic_and_version("onefile\0", 8);
  for (int i = 0; i < 4; ++i) magic_and_version.push_back(char(attached_format_version >> (8 * i)));
  const std::size_t header = image.find(magic_and_version + std::string("\x80\0\0\0", 4));
  ASSERT_NE(header, std::string::npos);
  const std::size_t listing = header + read_le64(image, header + 96);
  ASSERT_EQ(image.compare(listing, 4, std::string("f\0a\0", 4)), 0) << "not fault_main.dll";
  image[listing + 2] = 'e';
  scratch_directory where;
  const std::wstring exe = where / L"corrupted.exe";
  ASSERT_TRUE(write_file(exe, image));
  launch_files files;
  started_launch run(exe, files.environment());
  ASSERT_TRUE(run.wait(60000)) << "hangs";
  EXPECT_EQ(run.exit_code(), 2u) << run.err();
  EXPECT_EQ(run.out(), "Error, couldn't decode attached data.\n");
  EXPECT_FALSE(path_exists(files.ready));
  EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
}

// The payload is read where the system mapped it with the image. When the launcher's file can no
// longer be read (the share or disk it runs from gone), a read raises the in-page error: the
// launch ends with the read error and the system's text, and takes back what it wrote. The seam
// makes a page in the middle of the block unreadable and passes its fault on as that error, read
// on the main thread and on the thread that decodes ahead.
TEST(PayloadReadFault, EndsWithTheReadErrorAndLeavesNothing) {
  std::string image;
  ASSERT_TRUE(read_file(launcher(L"fault_launcher.exe"), image));
  const block_location block = locate_block(image);
  ASSERT_NE(block.length_field, std::string::npos);
  const std::uint64_t middle = read_le64(image, block.length_field) / 2;
  ASSERT_GT(middle, 8192u) << "too small a block to fault in the middle of";
  for (const wchar_t* threads : {L"1", L"4"}) {
    SCOPED_TRACE(narrow(threads) + " unpacking threads");
    launch_files files;
    started_launch run(
        launcher(L"fault_launcher.exe"),
        files.environment({L"ONEFILE_TEST_PAGE_FAULT_AT=" + std::to_wstring(middle),
                           std::wstring(L"ONEFILE_TEST_UNPACK_THREADS=") + threads}));
    ASSERT_TRUE(run.wait(60000)) << "hangs";
    EXPECT_EQ(run.exit_code(), 2u) << run.err();
    EXPECT_EQ(run.out(), "");
    const system_error_line line =
        parse_system_error(run.err(), "Error, couldn't read attached data.");
    ASSERT_TRUE(line.parsed) << run.err();
    EXPECT_EQ(line.code, ERROR_NETNAME_DELETED) << run.err();
    EXPECT_FALSE(path_exists(files.ready));
    EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
  }
}

// ---------------------------------------------------------------------------------------------
// Unpacking on several threads (ONEFILE_TEST_UNPACK_THREADS, hooked_main.cpp): the files the same
// as the main thread alone writes them, each one whole when run_code begins; a file that can't
// be created in the middle ends the launch with its own message and takes back the rest.

// "name|size|hash" lines, sorted, as fault_main writes them for ONEFILE_TEST_LIST.
std::vector<std::string> sorted_lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    start = end == std::string::npos ? text.size() : end + 1;
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// The same lines for a tree here.
std::vector<std::string> tree_lines(const std::wstring& root) {
  std::vector<std::wstring> names;
  list_tree(root, L"", names);
  std::string text;
  for (const std::wstring& name : names) {
    std::string bytes;
    if (is_directory(root + L"\\" + name) || !read_file(root + L"\\" + name, bytes)) continue;
    unsigned long long hash = 14695981039346656037ull;
    for (unsigned char byte : bytes) hash = (hash ^ byte) * 1099511628211ull;
    char line[64];
    std::snprintf(line, sizeof line, "|%zu|%016llx\n", bytes.size(), hash);
    text += narrow(name) + line;
  }
  return sorted_lines(text);
}

TEST(ParallelUnpacking, EveryFileIsWholeWhenRunCodeBeginsAndTheSameAsOnOneThread) {
  std::vector<std::string> on_one_thread;
  for (const wchar_t* writers : {L"1", L"2", L"4"}) {
    SCOPED_TRACE(narrow(writers) + " writers");
    launch_files files;
    const std::wstring list = files.work / L"list";
    started_launch run(
        launcher(L"mixed_launcher.exe"),
        files.environment({L"ONEFILE_TEST_LIST=" + list,
                           std::wstring(L"ONEFILE_TEST_UNPACK_THREADS=") + writers}));
    ASSERT_TRUE(run.wait(120000));
    EXPECT_EQ(run.exit_code(), 0u) << run.out() << run.err();
    std::string text;
    ASSERT_TRUE(read_file(list, text));
    const std::vector<std::string> lines = sorted_lines(text);
    if (on_one_thread.empty()) {
      on_one_thread = lines;
    } else {
      EXPECT_EQ(lines, on_one_thread);
    }
    EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
  }
  // Every file of the tree, with its bytes; beside them only the main module and the mark.
  const std::vector<std::string> expected = tree_lines(TEST_MIXED_DIR);
  ASSERT_GE(expected.size(), 600u);
  for (const std::string& line : expected) {
    EXPECT_TRUE(std::binary_search(on_one_thread.begin(), on_one_thread.end(), line)) << line;
  }
  EXPECT_EQ(on_one_thread.size(), expected.size() + 2);
}

TEST(ParallelUnpacking, AFileThatCannotBeCreatedEndsTheLaunchNamingItAndNothingStays) {
  // Three hundred small files, the one in the middle under a name that no file may have.
  std::string entries;
  add_entry(entries, listed_main, std::string("MZ") + std::string(3000, 'm'));
  for (int i = 0; i < 300; ++i) {
    std::string name = "d";
    name += std::to_string(i / 100);
    name += i == 150 ? "\\not*allowed.txt" : "\\f" + std::to_string(i) + ".txt";
    std::string data(i % 7 * 300, '.');
    data += std::to_string(i);
    add_entry(entries, name, data);
  }
  const std::string frame = compress_frame(entries + std::string(2, '\0'));
  for (const wchar_t* writers : {L"4", L"1"}) {
    SCOPED_TRACE(narrow(writers) + " writers");
    scratch_directory where;
    const std::wstring exe = launcher_with_block(where, frame + trailer(frame.size()));
    launch_files files;
    started_launch run(
        exe, files.environment({std::wstring(L"ONEFILE_TEST_UNPACK_THREADS=") + writers}));
    ASSERT_TRUE(run.wait(120000));
    EXPECT_EQ(run.exit_code(), 2u);
    EXPECT_EQ(run.out(), "");
    const std::string err = run.err();
    const std::string head = "Error, failed to open '" + narrow(files.temp.path()) + "\\onefile_";
    const std::string tail = "\\d1\\not*allowed.txt' for writing.\n";
    EXPECT_EQ(err.rfind(head, 0), 0u) << err;
    ASSERT_GE(err.size(), tail.size()) << err;
    EXPECT_EQ(err.substr(err.size() - tail.size()), tail) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_FALSE(path_exists(files.ready));
    EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
  }
}

// ---------------------------------------------------------------------------------------------
// A file held open at cleanup: retried for about 2 s, then left; the exit code is the child's.

TEST(HeldFile, IsRetriedThenLeftAndTheChildsExitCodeStands) {
  launch_files files;
  started_launch run(launcher(L"fault_launcher.exe"),
                     files.environment({L"ONEFILE_TEST_GO=" + files.go, L"ONEFILE_TEST_EXIT=5"}));
  ASSERT_TRUE(run.writes(files.ready));
  const std::wstring target = read_ready(files.ready).target;
  HANDLE held = CreateFileW((target + L"\\held.txt").c_str(), GENERIC_READ, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE) << GetLastError();
  const auto released = std::chrono::steady_clock::now();
  files.release();
  ASSERT_TRUE(run.wait(120000));
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - released).count();
  EXPECT_EQ(run.exit_code(), 5u);
  EXPECT_EQ(run.out() + run.err(), "");
  // 20 pauses of 100 ms lie between the first and the last attempt.
  EXPECT_GE(seconds, 1.9);
  note("seconds_from_release_to_exit", std::to_string(seconds));
  // Everything went except the held file and the directory that holds it, which gets its mark
  // back for a later sweep.
  std::vector<std::wstring> left;
  list_tree(target, L"", left);
  EXPECT_EQ(left, (std::vector<std::wstring>{L"held.txt", L"onefile.lock"}));
  CloseHandle(held);
  remove_tree(target);
}

// ---------------------------------------------------------------------------------------------
// A link inside the target directory to a directory outside it, made from the Linux side while
// the child runs: whatever ends the launch, the outside directory and its files stay.

class LinkOutside : public ::testing::Test {
 protected:
  void SetUp() override {
    if (unix_path(outside_base.path()).empty()) GTEST_SKIP() << "needs Wine's file name mapping";
    ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((outside + L"\\sub").c_str(), nullptr));
    ASSERT_TRUE(write_file(outside + L"\\a.txt", "a"));
    ASSERT_TRUE(write_file(outside + L"\\sub\\b.txt", "b"));
  }
  void TearDown() override {
    // The link goes first: a Win32 deletion of it would act on what it points to.
    if (!link.empty()) run_unix(L"/bin/rm -f " + widen(unix_path(link)), link, false);
    if (!target.empty()) remove_tree(target);
  }
  // Waits for the child, then makes the link from the Linux side.
  void link_when_ready() {
    ASSERT_TRUE(wait_for_path(files.ready));
    target = read_ready(files.ready).target;
    link = target + L"\\sub\\to_outside";
    ASSERT_TRUE(run_unix(L"/bin/ln -s " + widen(unix_path(outside)) + L" " + widen(unix_path(link)),
                         link, true));
  }
  void expect_outside_intact() {
    std::string content;
    EXPECT_TRUE(read_file(outside + L"\\a.txt", content) && content == "a");
    EXPECT_TRUE(read_file(outside + L"\\sub\\b.txt", content) && content == "b");
    EXPECT_EQ(directory_entries(outside), (std::vector<std::wstring>{L"a.txt", L"sub"}));
  }

  launch_files files;
  scratch_directory outside_base;
  const std::wstring outside = outside_base / L"outside";
  std::wstring target;
  std::wstring link;
};

TEST_F(LinkOutside, OutsideDirectoryStaysAfterANormalEnd) {
  started_launch run(launcher(L"fault_launcher.exe"),
                     files.environment({L"ONEFILE_TEST_GO=" + files.go}));
  link_when_ready();
  files.release();
  ASSERT_TRUE(run.wait(120000));
  EXPECT_EQ(run.exit_code(), 0u);
  expect_outside_intact();
}

TEST_F(LinkOutside, OutsideDirectoryStaysAfterAConsoleEvent) {
  control_request request(CTRL_C_EVENT);
  std::vector<std::wstring> environment = files.environment({L"ONEFILE_TEST_SLEEP_MS=60000"});
  for (const std::wstring& change : request.environment()) environment.push_back(change);
  started_launch run(launcher(L"fault_launcher.exe"), environment);
  link_when_ready();
  request.raise();
  ASSERT_TRUE(run.wait(120000));
  expect_outside_intact();
}

TEST_F(LinkOutside, OutsideDirectoryStaysDuringACleanupThatRetries) {
  started_launch run(launcher(L"fault_launcher.exe"),
                     files.environment({L"ONEFILE_TEST_GO=" + files.go}));
  link_when_ready();
  HANDLE held = CreateFileW((target + L"\\held.txt").c_str(), GENERIC_READ, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  files.release();
  ASSERT_TRUE(run.wait(120000));
  EXPECT_EQ(run.exit_code(), 0u);
  expect_outside_intact();
  CloseHandle(held);
}

// ---------------------------------------------------------------------------------------------
// Console control events. Whatever the moment, the launch ends with the target directory
// removed and no child left running once the launcher has ended.

// Waits for the launcher to end after an event and checks what it leaves.
void expect_interrupted_cleanly(const started_launch& run, const launch_files& files, HANDLE child,
                                const wchar_t* executable, double* seconds) {
  const auto raised = std::chrono::steady_clock::now();
  ASSERT_TRUE(run.wait(120000)) << "the launcher did not end";
  *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - raised).count();
  if (child != nullptr) {
    EXPECT_EQ(WaitForSingleObject(child, 0), WAIT_OBJECT_0) << "the child outlived the launcher";
  }
  EXPECT_FALSE(has_running_child(run.id(), executable));
  EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{})
      << "target directory left";
}

// During the child's run: the child sleeps for a minute, so the cleanup stops it after 5 s
// unless the event reached the child too.
struct during_child {
  launch_files files;
  std::unique_ptr<started_launch> run;
  HANDLE child = nullptr;
  const wchar_t* executable;
  during_child(const wchar_t* name, std::vector<std::wstring> more, DWORD flags = 0)
      : executable(name) {
    std::vector<std::wstring> environment = files.environment(
        {L"ONEFILE_TEST_SLEEP_MS=60000", L"ONEFILE_TEST_EVENTS=" + (files.work / L"events")});
    environment.insert(environment.end(), more.begin(), more.end());
    run = std::make_unique<started_launch>(launcher(executable), environment, flags);
    if (const ::testing::AssertionResult ready = run->writes(files.ready); !ready) {
      std::string events;
      read_file(files.work / L"events", events);
      std::printf("%s (a child %s); the child's events: [%s]\n", ready.message(),
                  has_running_child(run->id(), executable) ? "runs" : "does not run",
                  events.c_str());
    } else {
      child = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE,
                          read_ready(files.ready).child_id);
      if (child == nullptr) {
        std::string events;
        read_file(files.work / L"events", events);
        std::printf("child %lu gone at once (error %lu), its events: [%s]\n",
                    read_ready(files.ready).child_id, GetLastError(), events.c_str());
      }
    }
  }
  ~during_child() {
    if (child != nullptr) {
      TerminateProcess(child, 0xDEAD);
      CloseHandle(child);
    }
  }
};

// During unpacking: many_launcher writes 3000 files, on a pool of four writers unless the test
// says otherwise; the event comes as soon as the target directory shows up, and the child must
// never start.
struct during_unpacking {
  launch_files files;
  std::unique_ptr<started_launch> run;
  bool unpacking = false;
  const wchar_t* executable;
  during_unpacking(const wchar_t* name, std::vector<std::wstring> more, DWORD flags = 0,
                   const wchar_t* writers = L"4")
      : executable(name) {
    std::vector<std::wstring> environment =
        files.environment({std::wstring(L"ONEFILE_TEST_UNPACK_THREADS=") + writers});
    environment.insert(environment.end(), more.begin(), more.end());
    run = std::make_unique<started_launch>(launcher(executable), environment, flags);
    for (int i = 0; i < 120000 && directory_entries(files.temp.path()).empty() && !run->wait(0);
         ++i)
      Sleep(1);
    unpacking = !directory_entries(files.temp.path()).empty();
  }
  void expect_never_started_the_child() {
    EXPECT_FALSE(path_exists(files.ready))
        << "the event came after unpacking; or the child ran anyway";
  }
};

const DWORD all_events[] = {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT,
                            CTRL_SHUTDOWN_EVENT};

// The graphical launcher has no console: the events are raised inside it (hooked_main.cpp).
TEST(GuiEvents, DuringTheChildsRun) {
  for (DWORD code : all_events) {
    SCOPED_TRACE("event " + std::to_string(code));
    control_request request(code);
    during_child launch(L"fault_launcher.exe", request.environment());
    ASSERT_NE(launch.child, nullptr);
    request.raise();
    double seconds = 0;
    expect_interrupted_cleanly(*launch.run, launch.files, launch.child, launch.executable,
                               &seconds);
    // Stopped by the cleanup after its 5 s, with exit code 0.
    DWORD child_code = 0xFFFFFFFF;
    GetExitCodeProcess(launch.child, &child_code);
    EXPECT_EQ(child_code, 0u);
    note("event_" + std::to_string(code) + "_seconds", std::to_string(seconds));
  }
}

TEST(GuiEvents, DuringUnpacking) {
  for (DWORD code : all_events) {
    SCOPED_TRACE("event " + std::to_string(code));
    control_request request(code);
    during_unpacking launch(L"many_launcher.exe", request.environment());
    ASSERT_TRUE(launch.unpacking);
    request.raise();
    double seconds = 0;
    expect_interrupted_cleanly(*launch.run, launch.files, nullptr, launch.executable, &seconds);
    launch.expect_never_started_the_child();
  }
}

// Late in unpacking: the event comes half-way through the last but one of the thirty directories
// (in the order of the entries, d8 and d9 come last), so that without the handler's stop the
// remaining files would be written and the child started while the cleanup is still under way.
// The first round unpacks on the main thread alone, the others on the pool.
TEST(GuiEvents, LateInUnpacking) {
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    control_request request(CTRL_C_EVENT);
    during_unpacking launch(L"many_launcher.exe", request.environment(), 0,
                            round == 0 ? L"1" : L"4");
    ASSERT_TRUE(launch.unpacking);
    const std::wstring target = launch.files.temp / directory_entries(launch.files.temp.path())[0];
    for (int i = 0; i < 120000 && !path_exists(target + L"\\d8\\f050.txt") && !launch.run->wait(0);
         ++i) {
      Sleep(1);
    }
    ASSERT_FALSE(launch.run->wait(0)) << "unpacking ended before the event";
    request.raise();
    double seconds = 0;
    expect_interrupted_cleanly(*launch.run, launch.files, nullptr, launch.executable, &seconds);
    launch.expect_never_started_the_child();
    note("round_" + std::to_string(round), "exit code " + std::to_string(launch.run->exit_code()) +
                                               " after " + std::to_string(seconds) + " s");
  }
}

// Close raised inside a stock runner whose program no job holds (Windows 7, in a job of someone
// else's): the program has its second to end, then the runner ends it itself, within the time
// that the parent's own cleanup gives the child, and the directory goes.
TEST(GuiEvents, CloseInARunnerWhoseProgramNoJobHolds) {
  control_request request(CTRL_CLOSE_EVENT);
  launch_files files;
  std::vector<std::wstring> environment =
      files.environment({L"ONEFILE_TEST_GO=" + files.go, L"ONEFILE_TEST_NO_PROGRAM_JOB=1"});
  for (const std::wstring& change : request.environment(L"ONEFILE_TEST_RUNNER_CTRL")) {
    environment.push_back(change);
  }
  started_launch run(launcher(L"run_launcher.exe"), environment);
  ASSERT_TRUE(run.writes(files.ready));
  HANDLE program = OpenProcess(SYNCHRONIZE, FALSE, read_ready(files.ready).child_id);
  ASSERT_NE(program, nullptr);
  request.raise();
  const auto raised = std::chrono::steady_clock::now();
  EXPECT_EQ(WaitForSingleObject(program, 3000), WAIT_OBJECT_0) << "the program outlived its runner";
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - raised).count();
  note("program_end_seconds", std::to_string(seconds));
  EXPECT_LT(seconds, 1.5);
  CloseHandle(program);
  ASSERT_TRUE(run.wait(120000));
  EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
}

// The console launcher gets a console of its own; the test attaches to it to send the event.
// Wine delivers Ctrl+C through GenerateConsoleCtrlEvent (as SIGINT to every process attached to
// the console) but refuses Ctrl+Break; that one is then raised inside the launcher instead.
BOOL WINAPI ignore_event(DWORD) {
  return TRUE;
}

// Sends the event to every process of the launcher's console; false when the system refuses.
bool send_console_event(DWORD launcher_id, DWORD code, DWORD* error) {
  SetConsoleCtrlHandler(ignore_event, TRUE);  // this process gets it as well
  FreeConsole();
  bool sent = false;
  if (AttachConsole(launcher_id)) {
    sent = GenerateConsoleCtrlEvent(code, 0);
    *error = sent ? 0 : GetLastError();
    FreeConsole();
  } else {
    *error = GetLastError();
  }
  return sent;
}

void console_event_during_child(DWORD code) {
  control_request fallback(code);
  during_child launch(L"console_fault_launcher.exe", fallback.environment(), CREATE_NEW_CONSOLE);
  ASSERT_NE(launch.child, nullptr);
  DWORD error = 0;
  const bool delivered = send_console_event(launch.run->id(), code, &error);
  if (!delivered) fallback.raise();
  note("delivered_by_the_system", delivered ? "yes" : "no, error " + std::to_string(error));
  double seconds = 0;
  expect_interrupted_cleanly(*launch.run, launch.files, launch.child, launch.executable, &seconds);
  note("seconds", std::to_string(seconds));
  std::string child_events;
  read_file(launch.files.work / L"events", child_events);
  note("events_that_reached_the_child", child_events.empty() ? "none" : child_events);
}

void console_event_during_unpacking(DWORD code) {
  control_request fallback(code);
  during_unpacking launch(L"console_many_launcher.exe", fallback.environment(), CREATE_NEW_CONSOLE);
  ASSERT_TRUE(launch.unpacking);
  DWORD error = 0;
  const bool delivered = send_console_event(launch.run->id(), code, &error);
  if (!delivered) fallback.raise();
  note("delivered_by_the_system", delivered ? "yes" : "no, error " + std::to_string(error));
  double seconds = 0;
  expect_interrupted_cleanly(*launch.run, launch.files, nullptr, launch.executable, &seconds);
  launch.expect_never_started_the_child();
}

TEST(ConsoleEvents, CtrlCDuringTheChildsRun) {
  console_event_during_child(CTRL_C_EVENT);
}
TEST(ConsoleEvents, CtrlBreakDuringTheChildsRun) {
  console_event_during_child(CTRL_BREAK_EVENT);
}
TEST(ConsoleEvents, CtrlCDuringUnpacking) {
  console_event_during_unpacking(CTRL_C_EVENT);
}
TEST(ConsoleEvents, CtrlBreakDuringUnpacking) {
  console_event_during_unpacking(CTRL_BREAK_EVENT);
}

// Ctrl+C in the console of the Windows build of the packaging tool, while it packs, removes the
// temporary file it writes beside the output; the output never appears.
TEST(ConsoleEvents, CtrlCDuringAToolBuildRemovesItsTemporary) {
  launch_files files;
  std::string noise(40 << 20, '\0');
  std::uint64_t state = 88172645463325252ull;
  for (char& byte : noise) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    byte = static_cast<char>(state);
  }
  ASSERT_TRUE(write_file(files.work / L"noise.bin", noise));
  const std::wstring arguments =
      L"build --main " + quote_argument(std::wstring(TEST_LAUNCHERS_DIR) + L"\\fault_main.dll") +
      L" --file " + quote_argument(files.work / L"noise.bin") + L" --level 19 --threads 1 -o " +
      quote_argument(files.work / L"slow.exe");
  started_launch run(TEST_TOOL, files.environment(), CREATE_NO_WINDOW, nullptr, arguments);
  const auto building = [&] {
    for (const std::wstring& name : directory_entries(files.work.path())) {
      if (name.starts_with(L"slow.exe.onefile-")) return true;
    }
    return false;
  };
  for (int wait = 0; wait < 600 && !building(); ++wait) Sleep(50);
  ASSERT_TRUE(building()) << "no temporary beside the output";
  DWORD error = 0;
  ASSERT_TRUE(send_console_event(run.id(), CTRL_C_EVENT, &error)) << error;
  ASSERT_TRUE(run.wait(60000));
  EXPECT_EQ(directory_entries(files.work.path()), std::vector<std::wstring>{L"noise.bin"});
}

// Ctrl+C in a console launch of a program is the program's, as if it had been started directly,
// in a console that Wine shares (one made with CREATE_NO_WINDOW): the program finishes its
// handler, and ends with its own exit code, or goes on past the five seconds after which the
// launcher's cleanup would stop a child.
TEST(ConsoleEvents, CtrlCIsTheRunProgramsToHandle) {
  for (const bool goes_on : {false, true}) {
    SCOPED_TRACE(goes_on ? "the program goes on" : "the program ends");
    launch_files files;
    const std::wstring handled = files.work / L"handled";
    std::vector<std::wstring> changes = {L"ONEFILE_TEST_CTRL=" + handled,
                                         L"ONEFILE_TEST_GO=" + files.go, L"ONEFILE_TEST_EXIT=42"};
    if (goes_on) changes.push_back(L"ONEFILE_TEST_CTRL_GOES_ON=1");
    started_launch run(launcher(L"console_run_launcher.exe"), files.environment(changes),
                       CREATE_NO_WINDOW);
    ASSERT_TRUE(run.writes(files.ready));
    DWORD error = 0;
    ASSERT_TRUE(send_console_event(run.id(), CTRL_C_EVENT, &error)) << error;
    ASSERT_TRUE(run.writes(handled, 10000)) << "the program's handler did not finish";
    std::string event;
    read_file(handled, event);
    EXPECT_EQ(event, "event 0");
    if (goes_on) {
      EXPECT_FALSE(run.wait(5500)) << "the launch ended while the program went on";
      files.release();
    }
    ASSERT_TRUE(run.wait(120000));
    EXPECT_EQ(run.exit_code(), 42u);
    EXPECT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{});
  }
}

TEST(ConsoleEvents, ARefusedCtrlBreakLeavesTheLaunchAlone) {
  // Records whether the system delivers Ctrl+Break (Windows does, Wine refuses it).
  launch_files files;
  started_launch run(launcher(L"console_fault_launcher.exe"),
                     files.environment({L"ONEFILE_TEST_GO=" + files.go}), CREATE_NEW_CONSOLE);
  ASSERT_TRUE(run.writes(files.ready));
  DWORD error = 0;
  const bool break_sent = send_console_event(run.id(), CTRL_BREAK_EVENT, &error);
  note("ctrl_break", break_sent ? "delivered" : "refused, error " + std::to_string(error));
  if (!break_sent) {
    EXPECT_FALSE(run.wait(500)) << "a refused event ended the launch";
  }
  files.release();
  ASSERT_TRUE(run.wait(120000));
}

// ---------------------------------------------------------------------------------------------
// Load.

// A private copy of a launcher, so that counting processes by name sees only this test's.
std::wstring private_copy(const scratch_directory& where, const wchar_t* name) {
  const std::wstring copy = where / name;
  EXPECT_TRUE(CopyFileW(launcher(L"fault_launcher.exe").c_str(), copy.c_str(), FALSE));
  return copy;
}

TEST(Load, ThirtyTwoLaunchesAtOnce) {
  constexpr int count = 32;
  scratch_directory where;
  const std::wstring name = L"load32_" + std::to_wstring(GetCurrentProcessId()) + L".exe";
  const std::wstring exe = private_copy(where, name.c_str());
  launch_files shared;  // one temporary folder for all, one release for all
  std::vector<std::unique_ptr<started_launch>> runs;
  std::vector<std::wstring> ready;
  for (int i = 0; i < count; ++i) {
    ready.push_back(shared.work / (L"ready" + std::to_wstring(i)));
    runs.push_back(std::make_unique<started_launch>(
        exe,
        shared.environment({L"ONEFILE_TEST_READY=" + ready.back(), L"ONEFILE_TEST_GO=" + shared.go,
                            L"ONEFILE_TEST_EXIT=" + std::to_wstring(10 + i)})));
    ASSERT_TRUE(runs.back()->started())
        << "launch " << i << ": error " << runs.back()->start_error();
  }
  // All 32 children run at the same time, each in a directory of its own.
  std::set<std::wstring> targets;
  std::string notes;
  for (int i = 0; i < count; ++i) {
    ASSERT_TRUE(runs[i]->writes(ready[i])) << i;
    const ready_note note = read_ready(ready[i]);
    targets.insert(note.target);
    notes +=
        std::to_string(i) + ": " + std::to_string(note.child_id) + " " + narrow(note.target) + "\n";
  }
  EXPECT_EQ(targets.size(), static_cast<std::size_t>(count)) << notes;
  EXPECT_EQ(directory_entries(shared.temp.path()).size(), static_cast<std::size_t>(count));
  shared.release();
  for (int i = 0; i < count; ++i) {
    ASSERT_TRUE(runs[i]->wait(120000)) << i;
    EXPECT_EQ(runs[i]->exit_code(), static_cast<DWORD>(10 + i)) << runs[i]->out() << runs[i]->err();
  }
  EXPECT_EQ(directory_entries(shared.temp.path()), std::vector<std::wstring>{});
  EXPECT_EQ(processes_named(name), 0u);
}

// Run by reliability_launches_in_a_row (500 launches) and reliability_soak (5000, ctest -L soak).
TEST(Load, LaunchesOneAfterAnother) {
  const int count = std::atoi(narrow(environment(L"ONEFILE_TEST_LAUNCHES")).c_str());
  if (count <= 0) GTEST_SKIP() << "runs in reliability_launches_in_a_row and reliability_soak";
  scratch_directory where;
  const std::wstring name = L"soak_" + std::to_wstring(GetCurrentProcessId()) + L".exe";
  const std::wstring exe = private_copy(where, name.c_str());
  launch_files files;
  const std::wstring memory = files.work / L"memory";
  std::vector<std::uint64_t> working_set, private_bytes;
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    const process_result result =
        run_process(quote_argument(exe),
                    files.environment({L"ONEFILE_TEST_MEMORY=" + memory,
                                       L"ONEFILE_TEST_EXIT=" + std::to_wstring(i % 200)}),
                    120000);
    ASSERT_FALSE(result.timed_out) << i;
    ASSERT_EQ(result.exit_code, static_cast<DWORD>(i % 200)) << i << result.out << result.err;
    std::string figures;
    ASSERT_TRUE(read_file(memory, figures)) << i;
    DeleteFileW(memory.c_str());
    working_set.push_back(std::strtoull(figures.c_str(), nullptr, 10));
    private_bytes.push_back(
        std::strtoull(figures.substr(figures.find('|') + 1).c_str(), nullptr, 10));
    ASSERT_EQ(directory_entries(files.temp.path()), std::vector<std::wstring>{})
        << "left behind by launch " << i;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(processes_named(name), 0u);
  // The parent's peak, as its child reads it just before it ends: the same at the end as at the
  // start (no growth from launch to launch; the figures are per process). Compared by the lowest
  // of each tenth: the unpacking threads make a launch's peak depend on how their memory and that
  // of the parent's other threads meet in time (up to about 1 MiB under load), while a growth
  // would lift every launch's figure.
  const auto figures = [&](const std::vector<std::uint64_t>& values, const char* what,
                           std::uint64_t tolerance) {
    const std::size_t tenth = values.size() / 10;
    const std::uint64_t first = *std::min_element(values.begin(), values.begin() + tenth);
    const std::uint64_t last = *std::min_element(values.end() - tenth, values.end());
    const std::uint64_t low = *std::min_element(values.begin(), values.end());
    const std::uint64_t high = *std::max_element(values.begin(), values.end());
    std::printf(
        "%s: first launch %llu KiB, last %llu KiB, lowest %llu KiB, highest %llu KiB; "
        "lowest of the first tenth %llu KiB, of the last tenth %llu KiB\n",
        what, static_cast<unsigned long long>(values.front() / 1024),
        static_cast<unsigned long long>(values.back() / 1024),
        static_cast<unsigned long long>(low / 1024), static_cast<unsigned long long>(high / 1024),
        static_cast<unsigned long long>(first / 1024),
        static_cast<unsigned long long>(last / 1024));
    EXPECT_LE(last, first + tolerance) << what << " grew from the first launches to the last";
  };
  // The working set also counts shared pages (the system's DLLs) that happen to be resident, which
  // vary by a few hundred KiB under load; the private bytes are the process's own.
  figures(working_set, "parent's peak working set", 512 * 1024);
  figures(private_bytes, "parent's peak private bytes", 64 * 1024);
  std::printf("%d launches in %.1f s\n", count, seconds);
}

}  // namespace
