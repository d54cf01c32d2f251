// Input that `onefile pack` refuses: each run fails, names the culprit and leaves no block.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <initializer_list>

#include "tools/pack_harness.h"

namespace pack_test {
namespace {

class PackRefusal : public testing::Test {
 protected:
  PackRefusal() { write_file(scratch_ / "main.dll", "MZ"); }

  // Runs exactly these arguments; expects the exit code and every piece of text on standard
  // error.
  void expect_failure(const std::vector<std::string>& arguments, int exit_code,
                      std::initializer_list<std::string> texts) {
    const PackRun run = run_packer(arguments, scratch_.path());
    std::string command;
    for (const std::string& argument : arguments) command += " " + argument;
    EXPECT_EQ(run.exit_code, exit_code) << command << "\n" << run.standard_error;
    for (const std::string& text : texts) {
      EXPECT_NE(run.standard_error.find(text), std::string::npos)
          << command << "\nmissing: " << text << "\nin: " << run.standard_error;
    }
    for (const auto& item : fs::directory_iterator(scratch_.path())) {
      EXPECT_FALSE(item.path().filename().string().starts_with("out.bin")) << command;
    }
  }

  // The main module, these arguments and an output: refused with exit code 1.
  void expect_refused(std::vector<std::string> arguments,
                      std::initializer_list<std::string> texts) {
    arguments.insert(arguments.begin(), {"--main", "main.dll"});
    arguments.insert(arguments.end(), {"-o", "out.bin"});
    expect_failure(arguments, 1, texts);
  }

  void expect_packed(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {"--main", "main.dll"});
    arguments.insert(arguments.end(), {"-o", "ok.bin"});
    const PackRun run = run_packer(arguments, scratch_.path());
    EXPECT_EQ(run.exit_code, 0) << arguments[3] << "\n" << run.standard_error;
  }

  // A new directory holding one file (any bytes in its name); returns the directory.
  std::string tree_with(const std::string& relative) {
    const std::string tree = "tree" + std::to_string(++trees_);
    write_file(scratch_ / tree / relative, "x");
    return tree;
  }

  ScratchDirectory scratch_;
  int trees_ = 0;
};

TEST_F(PackRefusal, CommandLineMistakes) {
  expect_failure({"--dir", ".", "-o", "out.bin"}, 2,
                 {"onefile pack: --main", "Try 'onefile pack --help'."});
  expect_failure({"--main", "main.dll"}, 2, {"-o FILE is missing"});
  expect_failure({"--main", "main.dll", "--main", "main.dll", "-o", "out.bin"}, 2,
                 {"--main is given twice"});
  expect_failure({"--main", "main.dll", "-o"}, 2, {"-o needs a value"});
  expect_failure({"--main", "main.dll", "--bogus", "-o", "out.bin"}, 2, {"--bogus"});
  for (const char* level : {"0", "23", "fast"}) {
    expect_failure({"--main", "main.dll", "--level", level, "-o", "out.bin"}, 2,
                   {"--level", std::string("\"") + level + "\""});
  }
  expect_failure({"--main", "main.dll", "--threads=0", "-o", "out.bin"}, 2, {"--threads"});
}

TEST_F(PackRefusal, HelpNamesTheCommand) {
  const PackRun run = run_packer({"--help"}, scratch_.path());
  EXPECT_EQ(run.exit_code, 0) << run.standard_error;
  EXPECT_EQ(read_file(scratch_ / "packer.out").rfind("Usage: onefile pack --main FILE", 0), 0u);
}

TEST_F(PackRefusal, InputThatCannotBeRead) {
  expect_failure({"--main", "missing.dll", "-o", "out.bin"}, 1, {"onefile pack: ", "missing.dll"});
  fs::create_directories(scratch_ / "folder.dll");
  expect_failure({"--main", "folder.dll", "-o", "out.bin"}, 1,
                 {"folder.dll", "not a regular file"});
  fs::create_directories(scratch_ / "output.dir");
  expect_failure({"--main", "main.dll", "-o", "output.dir"}, 1,
                 {"can't write 'output.dir': it is a directory"});
  expect_refused({"--dir", "missing-dir"}, {"missing-dir"});
  expect_refused({"--dir", "main.dll"}, {"main.dll", "not a directory"});
  expect_refused({"--file", "missing.bin"}, {"missing.bin"});
  expect_refused({"--list", "missing.list"}, {"missing.list"});
  write_file(scratch_ / "listed.list", "# one missing file\nmissing-listed.bin\n");
  expect_refused({"--list", "listed.list"}, {"listed.list:2: missing-listed.bin"});

  const std::string broken = tree_with("sub/ok.txt");
  fs::create_symlink("nowhere", scratch_ / broken / "sub/broken");
  expect_refused({"--dir", broken}, {broken + "/sub/broken"});

  const std::string special = tree_with("ok.txt");
  ASSERT_EQ(mkfifo((scratch_ / special / "pipe").c_str(), 0600), 0);
  expect_refused({"--dir", special}, {special + "/pipe", "neither a regular file nor a directory"});
}

TEST_F(PackRefusal, FilesAndDirectoriesWithoutPermission) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not stop root";
  const std::string locked_file = tree_with("locked.bin");
  fs::permissions(scratch_ / locked_file / "locked.bin", fs::perms::none);
  expect_refused({"--dir", locked_file}, {locked_file + "/locked.bin"});
  const std::string locked_directory = tree_with("inner/x.txt");
  fs::permissions(scratch_ / locked_directory / "inner", fs::perms::none);
  expect_refused({"--dir", locked_directory}, {locked_directory + "/inner"});
  fs::permissions(scratch_ / locked_directory / "inner", fs::perms::owner_all);  // to remove it
}

TEST_F(PackRefusal, MainModuleWithoutAName) {
  expect_failure({"--main", "", "-o", "out.bin"}, 1, {"main module's name is empty"});
  fs::create_directories(scratch_ / "folder");
  expect_failure({"--main", "folder/", "-o", "out.bin"}, 1, {"folder/", "name is empty"});
}

TEST_F(PackRefusal, NamesThatAreNoPlainRelativePath) {
  const struct {
    const char* name;
    const char* stored;
    const char* fault;
  } cases[] = {
      {"", "", "is empty"},
      {"/abs.txt", "\\abs.txt", "is absolute"},
      {"\\abs.txt", "\\abs.txt", "is absolute"},
      {"C:x.txt", "C:x.txt", "has a drive"},
      {"d:/x.txt", "d:\\x.txt", "has a drive"},
      {"dir/", "dir\\", "ends with a separator"},
      {"a//b", "a\\\\b", "empty component"},
      {".", ".", "\".\""},
      {"./a", ".\\a", "\".\""},
      {"a/../b", "a\\..\\b", "\"..\""},
      {"..", "..", "\"..\""},
  };
  for (const auto& c : cases) {
    expect_refused({"--file", std::string("main.dll=") + c.name},
                   {std::string("--file main.dll=") + c.name,
                    std::string("name \"") + c.stored + "\"", c.fault});
  }
}

TEST_F(PackRefusal, CharactersWindowsForbids) {
  for (const char* name : {"a<b", "a>b", "a:b", "a\"b", "a|b", "a?b", "a*b", "a\\b"}) {
    const std::string tree = tree_with(std::string("sub/") + name);
    expect_refused({"--dir", tree}, {tree + "/sub/" + name, "Windows does not allow"});
  }
  // Shown escaped in the message.
  for (const auto& [name, shown] :
       {std::pair{"a\x01z", "a\\x01z"}, std::pair{"a\x1Fz", "a\\x1Fz"}, std::pair{"\t", "\\x09"}}) {
    const std::string tree = tree_with(name);
    expect_refused({"--dir", tree}, {tree + "/" + shown + ": ", "control character"});
  }
  expect_refused({"--file", "main.dll=dir/what?.txt"}, {"what?.txt", "'?'"});
}

TEST_F(PackRefusal, ComponentsEndingWithADotOrASpace) {
  for (const auto& [name, culprit] :
       {std::pair{"name.", "name."}, std::pair{"name ", "name "},
        std::pair{"dir./file.txt", "dir."}, std::pair{"dir /file.txt", "dir "}}) {
    const std::string tree = tree_with(name);
    expect_refused({"--dir", tree}, {tree + "/" + culprit + ": ", "ends with a dot or a space"});
  }
  expect_refused({"--file", "main.dll=a/b../c"}, {"\"b..\"", "ends with a dot or a space"});
}

TEST_F(PackRefusal, DeviceNames) {
  for (const char* name : {"CON", "nul.txt", "Com1", "lpt9.log", "AUX .txt", "prn.tar.gz",
                           "sub/COM0", "con.d/x.txt"}) {
    const std::string tree = tree_with(name);
    expect_refused({"--dir", tree}, {tree + "/", "reserves for a device"});
  }
  expect_refused({"--file", "main.dll=bin/LPT\u00B9"}, {"\"LPT\u00B9\"", "reserves for a device"});
  for (const char* name : {"CONSOLE.txt", "COM10.txt", "xnul.txt", "nul_x", "LPTX"}) {
    expect_packed({"--dir", tree_with(name)});
  }
  // The launcher's own mark file and kept record in the unpack directory; the names are free
  // further down.
  expect_refused({"--dir", tree_with("OneFile.Lock")}, {"\"OneFile.Lock\"", "mark file"});
  expect_packed({"--dir", tree_with("sub/onefile.lock")});
  expect_refused({"--dir", tree_with("ONEFILE.kept")}, {"\"ONEFILE.kept\"", "record"});
  expect_packed({"--dir", tree_with("sub/onefile.kept")});
}

TEST_F(PackRefusal, NamesOf1024UnitsOrMore) {
  // Components of 99 units and a separator, then a tail: n UTF-16 units in all.
  const auto long_name = [](std::size_t n, const std::string& tail) {
    std::string name;
    while (name.size() + 100 < n) name += std::string(99, 'a') + "/";
    return name + std::string(n - name.size() - (tail.empty() ? 0 : 2), 'b') + tail;
  };
  expect_packed({"--file", "main.dll=" + long_name(1023, "")});
  expect_packed({"--file", "main.dll=" + long_name(1023, "\U0001F600")});  // 2 units
  expect_refused({"--file", "main.dll=" + long_name(1024, "")}, {"has 1024 UTF-16 units"});
  expect_refused({"--file", "main.dll=" + long_name(1024, "\U0001F600")},
                 {"has 1024 UTF-16 units"});
}

TEST_F(PackRefusal, NamesThatWindowsTakesForOne) {
  const std::pair<const char*, const char*> pairs[] = {
      {"Readme.txt", "README.TXT"},
      {"\u00C4rger.txt", "\u00E4rger.txt"},          // Latin-1
      {"\u0416\u0443\u043A", "\u0436\u0443\u043A"},  // Cyrillic
      {"\u03A3\u0391\u03A3", "\u03C3\u03B1\u03C2"},  // Greek, final sigma
      {"lib/Data.bin", "LIB/data.bin"},
  };
  for (const auto& [first, second] : pairs) {
    const std::string tree = tree_with(first);
    write_file(scratch_ / tree / second, "y");
    expect_refused({"--dir", tree}, {std::string(first).substr(std::string(first).find('/') + 1),
                                     std::string(second).substr(std::string(second).find('/') + 1),
                                     "the same when case is ignored"});
  }
  // Different letters, not different case.
  const std::string distinct = tree_with("a.txt");
  write_file(scratch_ / distinct / "\u00E4.txt", "y");
  write_file(scratch_ / distinct / "\u0430.txt", "y");  // Cyrillic a
  expect_packed({"--dir", distinct});

  expect_refused({"--file", "main.dll=x.bin", "--file", "main.dll=x.bin"},
                 {"\"x.bin\" is given twice"});
  expect_refused({"--file", "main.dll=Main.DLL"}, {"\"main.dll\"", "\"Main.DLL\""});
  const std::string tree = tree_with("LIB/x.txt");
  expect_refused({"--dir", tree, "--file", "main.dll=lib"},
                 {"\"lib\" (--file main.dll=lib) is a file", "\"LIB\\x.txt\""});
}

TEST_F(PackRefusal, NamesThatAreNotUtf8) {
  const std::string tree = tree_with("sub/bad\xFF.bin");
  expect_refused({"--dir", tree}, {tree + "/sub/bad\\xFF.bin", "not valid UTF-8"});
  expect_refused({"--file", "main.dll=bad\xC3("}, {"bad\\xC3(", "not valid UTF-8"});
  expect_refused({"--file", "main.dll=bad\xED\xA0\x80"}, {"not valid UTF-8"});  // a surrogate
  write_file(scratch_ / "names.list", "main.dll=good.bin\nmain.dll=over\xC0\xAFlong\n");
  expect_refused({"--list", "names.list"}, {"names.list:2", "not valid UTF-8"});
}

TEST_F(PackRefusal, LinksThatLoop) {
  const std::string tree = tree_with("sub/file.txt");
  fs::create_directory_symlink("..", scratch_ / tree / "sub/up");
  expect_refused({"--dir", tree}, {tree + "/sub/up", "leads back"});
  const std::string self = tree_with("file.txt");
  fs::create_directory_symlink(".", scratch_ / self / "again");
  expect_refused({"--dir", self}, {self + "/again", "leads back"});
  // A link to a directory outside the walk is followed, also more than once.
  const std::string shared = tree_with("file.txt");
  const std::string linking = tree_with("own.txt");
  fs::create_directory_symlink(fs::absolute(scratch_ / shared), scratch_ / linking / "one");
  fs::create_directory_symlink(fs::absolute(scratch_ / shared), scratch_ / linking / "two");
  expect_packed({"--dir", linking});
}

}  // namespace
}  // namespace pack_test
