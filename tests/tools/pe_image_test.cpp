// The PE library on a real MinGW-built program: the finished image reads back, the cross objdump
// accepts it, and damaged images are refused with a message naming the damage.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>

#include "pe/bytes.h"
#include "pe/program_image.h"
#include "pe_test_inputs.h"

namespace {

namespace fs = std::filesystem;
using onefile_pe::Image;
using onefile_pe::PeError;
using onefile_pe::bytes::get32;
using onefile_pe::bytes::put16;
using onefile_pe::bytes::put32;

std::vector<std::uint8_t> sample() {
  if (std::string(PE_SAMPLE).empty()) return {};
  return pe_test::read_bytes(PE_SAMPLE);
}

std::size_t optional_header(const std::vector<std::uint8_t>& image) {
  return get32(image, 0x3C) + 24;
}

std::string command_output(const std::string& command) {
  std::string output;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  char chunk[4096];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;)
    output.append(chunk, got);
  const int status = pclose(pipe);
  return status == 0 ? output : "exit status " + std::to_string(status) + ": " + output;
}

class PeImage : public testing::Test {
 protected:
  void SetUp() override {
    stub_ = sample();
    if (stub_.empty()) GTEST_SKIP() << "no MinGW compiler for the sample program";
    ico_ = pe_test::read_bytes(PE_ICON);
  }
  std::vector<std::uint8_t> stub_, ico_;
};

TEST_F(PeImage, ChecksumAgreesWithTheLinkers) {
  const std::size_t field = optional_header(stub_) + 64;
  ASSERT_NE(get32(stub_, field), 0u);
  EXPECT_EQ(onefile_pe::pe_checksum(stub_, field), get32(stub_, field));
}

// A last section too large for memory: the caller writes its bytes after write()'s output and
// sums the checksum in pieces (of any length), and the file is the one a whole section makes.
TEST_F(PeImage, AStreamedLastSectionMakesTheSameFile) {
  std::vector<std::uint8_t> data(5001);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 7 + i / 3);
  Image whole = Image::read(stub_);
  whole.add_section(".big", data, onefile_pe::kSectionReadOnlyData);
  const std::vector<std::uint8_t> expected = whole.write();
  Image streamed = Image::read(stub_);
  streamed.add_section(".big", {data.begin(), data.begin() + 101}, onefile_pe::kSectionReadOnlyData,
                       data.size() - 101);
  EXPECT_EQ(streamed.size_of_image_with(0), whole.size_of_image_with(0));
  std::vector<std::uint8_t> file;
  try {
    file = streamed.write();
  } catch (const PeError& error) {  // data after the sections (a symbol table) can't follow them
    EXPECT_NE(std::string(error.what()).find("can't be streamed"), std::string::npos);
    return;
  }
  file.insert(file.end(), data.begin() + 101, data.end());
  file.resize(streamed.streamed_end(), 0);
  onefile_pe::PeChecksum checksum;
  for (std::size_t at = 0; at < file.size(); at += 333) {
    checksum.add({file.data() + at, std::min<std::size_t>(333, file.size() - at)});
  }
  put32(file, streamed.checksum_offset(), checksum.finish());
  EXPECT_EQ(file, expected);
}

// A signed stub's certificate table is dropped; the symbol table after the sections moves along.
TEST_F(PeImage, FinishedImageReadsBackAndObjdumpAcceptsIt) {
  std::vector<std::uint8_t> unsigned_stub = stub_;  // signing tools pad to 8 bytes first
  unsigned_stub.resize(onefile_pe::bytes::align_up(unsigned_stub.size(), 8), 0);
  std::vector<std::uint8_t> signed_stub = unsigned_stub;
  const std::size_t certificate_entry = optional_header(stub_) + 112 + 8 * 4;
  put32(signed_stub, certificate_entry, static_cast<std::uint32_t>(signed_stub.size()));
  put32(signed_stub, certificate_entry + 4, 16);
  signed_stub.resize(signed_stub.size() + 16, 0xCE);

  const std::vector<std::uint8_t> finished = pe_test::finish(signed_stub, ico_, 2);
  EXPECT_EQ(finished, pe_test::finish(unsigned_stub, ico_, 2)) << "the signature is not all gone";
  EXPECT_EQ(finished, pe_test::finish(signed_stub, ico_, 2)) << "not deterministic";

  Image image = Image::read(finished);
  EXPECT_EQ(image.subsystem(), 2);
  const std::vector<std::string> names = image.section_names();
  ASSERT_GE(names.size(), 3u);
  EXPECT_EQ(names[names.size() - 2], ".onefile");
  EXPECT_EQ(names.back(), ".rsrc");
  const auto payload = image.section_data(".onefile");
  ASSERT_TRUE(payload);
  EXPECT_TRUE(std::ranges::equal(*payload, pe_test::payload()));
  const std::size_t field = optional_header(finished) + 64;
  EXPECT_EQ(get32(finished, field), onefile_pe::pe_checksum(finished, field));
  EXPECT_EQ(get32(finished, certificate_entry), 0u);
  EXPECT_EQ(image.write(), finished) << "writing an unchanged image changes it";

  if (std::string(OBJDUMP_PROGRAM).empty()) GTEST_SKIP() << "no MinGW objdump";
  const fs::path path =
      fs::temp_directory_path() / ("pe_image_test_" + std::to_string(getpid()) + ".exe");
  FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_EQ(std::fwrite(finished.data(), 1, finished.size(), file), finished.size());
  std::fclose(file);
  const std::string headers =
      command_output(std::string(OBJDUMP_PROGRAM) + " -p -h -t " + path.string());
  fs::remove(path);
  EXPECT_EQ(headers.find("exit status"), std::string::npos) << headers;
  EXPECT_EQ(headers.find("warning"), std::string::npos) << headers;
  EXPECT_NE(headers.find("(Windows GUI)"), std::string::npos) << headers;
  EXPECT_NE(headers.find(" .onefile      000186a0"), std::string::npos) << headers;  // 100000 bytes
  EXPECT_NE(headers.find("Type Table: Char: 0, Time: 00000000, Ver: 0/0, Num Names: 0, IDs: 5"),
            std::string::npos)
      << headers;
  for (const char* type :
       {"ID: 0x000003,", "ID: 0x00000a,", "ID: 0x00000e,", "ID: 0x000010,", "ID: 0x000018,"}) {
    EXPECT_NE(headers.find(type), std::string::npos) << type << " in\n" << headers;
  }
  EXPECT_NE(headers.find(" main\n"), std::string::npos) << "symbol table lost:\n" << headers;
}

TEST_F(PeImage, ResourcesAreReplacedOnlyInTheLastSection) {
  Image image = Image::read(stub_);
  image.set_resources({{24, 1, 0, {'<', 'a', '/', '>'}}});
  const std::vector<std::uint8_t> once = image.write();
  Image again = Image::read(once);  // its .rsrc, the last section, is dropped and made anew
  again.set_resources({{24, 1, 0, {'<', 'a', '/', '>'}}});
  EXPECT_EQ(again.write(), once);
  again.add_section(".later", {1, 2, 3}, onefile_pe::kSectionReadOnlyData);
  EXPECT_EQ(pe_test::refusal([&] { again.set_resources({}); }),
            "the image's resources (in section .rsrc) are not in its last section, so they can't "
            "be replaced");
  EXPECT_EQ(pe_test::refusal([&] {
              image.set_resources({{24, 1, 0, {1}}, {24, 1, 0, {2}}});
            }),
            "two resources with type 24, id 1, language 0x0000");
}

// A program's manifest is the RT_MANIFEST resource with id 1, whichever language, beside others.
TEST_F(PeImage, TheProgramsManifestIsReadBackFromItsResources) {
  const auto manifest_of = [&](std::vector<onefile_pe::Resource> resources) {
    Image image = Image::read(stub_);
    image.set_resources(std::move(resources));
    return onefile_pe::read_program_image(image.write());
  };
  const std::vector<std::uint8_t> mine = {'<', 'a', '/', '>'}, other = {'<', 'b', '/', '>'};
  const onefile_pe::ProgramImage found = manifest_of(
      {{16, 1, 0, {1, 2}}, {24, 2, 0, other}, {24, 1, 0x409, mine}, {24, 3, 0x409, other}});
  EXPECT_FALSE(found.is_32_bit);
  EXPECT_EQ(found.manifest, "<a/>");
  EXPECT_EQ(manifest_of({{16, 1, 0, {1, 2}}, {24, 2, 0, other}}).manifest, std::nullopt);
  EXPECT_EQ(manifest_of({}).manifest, std::nullopt);
  EXPECT_EQ(onefile_pe::read_program_image(stub_).manifest, std::nullopt);
}

TEST_F(PeImage, SectionHeadersRunOutOfRoomClearly) {
  Image image = Image::read(stub_);
  std::string message = "accepted";
  for (int i = 0; i < 64 && message == "accepted"; ++i) {
    message = pe_test::refusal([&] {
      image.add_section(".s" + std::to_string(i), {1}, onefile_pe::kSectionReadOnlyData);
    });
  }
  EXPECT_EQ(message.rfind("no room in the headers for another section header", 0), 0u) << message;
  EXPECT_NO_THROW(Image::read(image.write()));
}

TEST_F(PeImage, DamagedImagesAreRefused) {
  using Edit = std::function<void(std::vector<std::uint8_t>&, std::size_t optional)>;
  const struct {
    const char* what;
    Edit edit;
    const char* message;
  } cases[] = {
      {"empty", [](auto& b, auto) { b.clear(); },
       "damaged PE image: truncated: 0 bytes, fewer than a DOS header"},
      {"cut in the headers", [](auto& b, auto) { b.resize(100); },
       "damaged PE image: truncated: the PE header at 0x80 lies beyond the end of the file"},
      {"cut in the sections", [](auto& b, auto) { b.resize(b.size() / 2); },
       "damaged PE image: truncated: section "},
      {"no MZ", [](auto& b, auto) { b[0] = 'Z'; }, "not a PE image: no MZ signature"},
      {"no PE", [](auto& b, auto o) { b[o - 24] = 'N'; },
       "not a PE image: no PE signature at 0x80"},
      {"32-bit image", [](auto& b, auto o) { put16(b, o - 20, 0x14C), put16(b, o, 0x10B); },
       "not a PE32+ x86-64 image: machine 0x14C (i386)"},
      {"PE32 header", [](auto& b, auto o) { put16(b, o, 0x10B); },
       "not a PE32+ x86-64 image: a 32-bit (PE32) image"},
      {"section table beyond headers", [](auto& b, auto o) { put16(b, o - 18, 60); },
       "damaged PE image: the section table (60 sections at "},
      {"sections not adjacent", [](auto& b, auto o) { put32(b, o + 240 + 40 + 12, 0x10000); },
       "damaged PE image: section .data's address 0x10000 does not follow the previous section"},
      {"file alignment", [](auto& b, auto o) { put32(b, o + 36, 0x300); },
       "damaged PE image: FileAlignment 0x300 is not a power of 2 in 512..64K"},
      {"certificate beyond the end",
       [](auto& b, auto o) {
         put32(b, o + 112 + 32, 0x7FFFFFF0);
         put32(b, o + 116 + 32, 64);
       },
       "damaged PE image: truncated: the certificate table exceeds the file"},
      {"certificate inside a section",
       [](auto& b, auto o) {
         put32(b, o + 112 + 32, 0x800);
         put32(b, o + 116 + 32, static_cast<std::uint32_t>(b.size() - 0x800));
       },
       "damaged PE image: the certificate table overlaps the sections"},
  };
  for (const auto& c : cases) {
    std::vector<std::uint8_t> bytes = stub_;
    c.edit(bytes, optional_header(bytes));
    const std::string message = pe_test::refusal([&] { Image::read(bytes); });
    EXPECT_EQ(message.rfind(c.message, 0), 0u) << c.what << ": " << message;
  }
}

}  // namespace
