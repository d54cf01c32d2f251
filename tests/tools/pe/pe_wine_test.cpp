// The finished image as Windows sees it: the loader runs it, GetFileVersionInfoW/VerQueryValueW
// read the version record, FindResource/LoadResource the manifest, data and icons, and imagehlp's
// CheckSumMappedFile computes the same checksum as the header holds.
#include <windows.h>
#include <imagehlp.h>

#include <gtest/gtest.h>

#include <string>

#include "pe_test_inputs.h"
#include "tests/support/start_process.h"

namespace {

std::wstring full_path(const std::wstring& name) {
  wchar_t path[MAX_PATH];
  GetFullPathNameW(name.c_str(), MAX_PATH, path, nullptr);
  return path;
}

void write_bytes(const std::wstring& path, const std::vector<std::uint8_t>& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD written = 0;
  EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  CloseHandle(file);
}

// The program's exit code, or a code of our own when it could not start or did not end.
DWORD run(const std::wstring& path) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  std::wstring command = L"\"" + path + L"\"";
  if (!create_process_retrying(path.c_str(), command.data(), FALSE, 0, nullptr, &startup,
                               &process)) {
    return 0xBAD00000 | GetLastError();
  }
  DWORD code = 0xBAD0FFFF;
  if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.hProcess, &code);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code;
}

std::u16string utf16(const wchar_t* text, UINT length) {
  return std::u16string(reinterpret_cast<const char16_t*>(text), length);
}

class FinishedImage : public testing::Test {
 protected:
  void SetUp() override {
    stub_ = pe_test::read_bytes("pe_sample.exe");
    ico_ = pe_test::read_bytes("three_images.ico");
    ASSERT_FALSE(stub_.empty());
    finished_ = pe_test::finish(stub_, ico_, 3);
    path_ = full_path(L"pe_written_" + std::to_wstring(GetCurrentProcessId()) + L".exe");
    ASSERT_NO_FATAL_FAILURE(write_bytes(path_, finished_));
  }
  void TearDown() override { DeleteFileW(path_.c_str()); }

  std::vector<std::uint8_t> stub_, ico_, finished_;
  std::wstring path_;
};

TEST_F(FinishedImage, TheLoaderRunsItAsBefore) {
  EXPECT_EQ(run(full_path(L"pe_sample.exe")), 7u);
  EXPECT_EQ(run(path_), 7u);
  const std::wstring gui =
      full_path(L"pe_written_gui_" + std::to_wstring(GetCurrentProcessId()) + L".exe");
  ASSERT_NO_FATAL_FAILURE(write_bytes(gui, pe_test::finish(stub_, ico_, 2)));
  EXPECT_EQ(run(gui), 7u);
  DeleteFileW(gui.c_str());
}

TEST_F(FinishedImage, VersionStringsComeBackWhole) {
  DWORD handle = 0;
  const DWORD size = GetFileVersionInfoSizeW(path_.c_str(), &handle);
  ASSERT_NE(size, 0u) << GetLastError();
  std::vector<std::uint8_t> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(path_.c_str(), 0, size, info.data()));
  const onefile_pe::VersionFields fields = pe_test::version_fields();
  const struct {
    const wchar_t* query;
    std::u16string expected;
  } strings[] = {
      {L"\\StringFileInfo\\000004b0\\CompanyName", fields.company_name},
      {L"\\StringFileInfo\\000004b0\\ProductName", fields.product_name},
      {L"\\StringFileInfo\\000004b0\\FileVersion", fields.file_version_text},
      {L"\\StringFileInfo\\000004b0\\OriginalFilename", fields.original_filename},
  };
  for (const auto& s : strings) {
    wchar_t* text = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), s.query, reinterpret_cast<void**>(&text), &length))
        << s.query;
    // The length counts the terminating zero.
    EXPECT_EQ(utf16(text, length ? length - 1 : 0), s.expected) << s.query;
  }
  WORD* translation = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &length));
  ASSERT_EQ(length, 4u);
  EXPECT_EQ(translation[0], 0x0000);
  EXPECT_EQ(translation[1], 0x04B0);
  VS_FIXEDFILEINFO* fixed = nullptr;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010002u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00070008u);
}

std::vector<std::uint8_t> resource(HMODULE module, WORD type, WORD id, WORD language) {
  HRSRC found = FindResourceExW(module, MAKEINTRESOURCEW(type), MAKEINTRESOURCEW(id), language);
  if (!found) return {};
  const auto* data = static_cast<const std::uint8_t*>(LockResource(LoadResource(module, found)));
  return {data, data + SizeofResource(module, found)};
}

TEST_F(FinishedImage, ResourcesComeBackThroughTheResourceFunctions) {
  HMODULE module = LoadLibraryExW(path_.c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(module, nullptr) << GetLastError();
  const std::string_view manifest = pe_test::kManifest;
  EXPECT_EQ(resource(module, onefile_pe::kRtManifest, 1, 0),
            std::vector<std::uint8_t>(manifest.begin(), manifest.end()));
  for (const onefile_pe::Resource& leaf : pe_test::data_leaves()) {
    EXPECT_EQ(resource(module, pe_test::kRtRcdata, leaf.id, leaf.language), leaf.data)
        << "id " << leaf.id << ", language " << leaf.language;
  }

  const auto icons = onefile_pe::icon_resources(ico_, 1, 1);
  std::vector<std::uint8_t> group = resource(module, onefile_pe::kRtGroupIcon, 1, 0);
  EXPECT_EQ(group, icons.back().data);
  for (const int size : {16, 32, 256}) {
    const int id = LookupIconIdFromDirectoryEx(group.data(), TRUE, size, size, LR_DEFAULTCOLOR);
    EXPECT_EQ(id, size == 16 ? 1 : size == 32 ? 2 : 3) << size;
  }
  for (WORD id = 1; id <= 3; ++id) {
    std::vector<std::uint8_t> image = resource(module, onefile_pe::kRtIcon, id, 0);
    EXPECT_EQ(image, icons[id - 1].data) << "icon " << id;
    const int size = id == 1 ? 16 : id == 2 ? 32 : 256;
    HICON icon = CreateIconFromResourceEx(image.data(), static_cast<DWORD>(image.size()), TRUE,
                                          0x00030000, size, size, LR_DEFAULTCOLOR);
    EXPECT_NE(icon, nullptr) << "icon " << id;
    if (icon) DestroyIcon(icon);
  }
  FreeLibrary(module);
}

// An odd-sized file too: the last byte counts as a word of its own.
TEST_F(FinishedImage, ChecksumIsWhatImagehlpComputes) {
  std::vector<std::uint8_t> odd_stub = stub_;
  odd_stub.push_back(0xAB);
  for (const auto& image : {finished_, pe_test::finish(odd_stub, ico_, 3)}) {
    DWORD in_header = 0, computed = 0;
    ASSERT_NE(CheckSumMappedFile(const_cast<std::uint8_t*>(image.data()),
                                 static_cast<DWORD>(image.size()), &in_header, &computed),
              nullptr);
    EXPECT_EQ(in_header, computed) << "size " << image.size();
    EXPECT_NE(computed, 0u);
  }
  DWORD in_header = 0, computed = 0;
  ASSERT_EQ(MapFileAndCheckSumW(path_.c_str(), &in_header, &computed), CHECKSUM_SUCCESS);
  EXPECT_EQ(in_header, computed);
}

}  // namespace
