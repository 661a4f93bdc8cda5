// The status file is replaced whole and never written through what another
// user planted at its path; a link that root or the daemon's user owns (the
// system's link into the runtime folder) is followed.
#include "modem/status_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "test_support.h"

namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(StatusFile, ReplacedWholeWhateverWasPlantedAtThePath) {
  support::TempRoot root;
  const fs::path tmp = root.path() / "tmp";
  const fs::path run = root.path() / "run";
  fs::create_directories(run);
  const fs::path path = tmp / "modemInfo.txt";
  const fs::path victim = tmp / "victim";  // a file of somebody else's
  const std::string planted(2200, 'v');
  const uid_t other = 4321;

  enum Where { kAtPath, kAtTarget, kNowhere };
  struct Case {
    const char* name;
    std::function<void()> plant;
    Where goes;      // where the text lands
    bool path_link;  // the path is still a link afterwards
  };
  const Case cases[] = {
      {"nothing", [] {}, kAtPath, false},
      {"old file", [&] { std::ofstream(path) << "old"; }, kAtPath, false},
      {"fifo (never opened)", [&] { mkfifo(path.c_str(), 0666); }, kAtPath, false},
      {"folder", [&] { fs::create_directory(path); }, kNowhere, false},
      {"another user's link",
       [&] {
         fs::create_symlink(victim, path);
         ASSERT_EQ(lchown(path.c_str(), other, other), 0);
       },
       kAtPath, false},
      {"root's link into the runtime folder (relative)",
       [&] { fs::create_symlink("../run/modemInfo.txt", path); }, kAtTarget, true},
      {"root's link into a missing folder",
       [&] { fs::create_symlink(root.path() / "gone/modemInfo.txt", path); }, kNowhere, true},
  };
  if (geteuid() != 0) GTEST_SKIP() << "planting another user's link needs root";
  std::string text = "cregvalue=1\ncsqvalue=23\n";
  text.resize(512, '\0');
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(path);
    fs::remove_all(run / "modemInfo.txt");
    std::ofstream(victim, std::ios::trunc) << planted;
    c.plant();

    EXPECT_EQ(replace_status_file(path.string(), text), c.goes != kNowhere);
    if (c.goes == kAtPath) {
      EXPECT_EQ(read_file(path), text);
    }
    if (c.goes == kAtTarget) {
      EXPECT_EQ(read_file(run / "modemInfo.txt"), text);
      struct stat st {};
      ASSERT_EQ(stat((run / "modemInfo.txt").c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0644u);
    }
    EXPECT_EQ(fs::is_symlink(path), c.path_link);
    EXPECT_EQ(read_file(victim), planted);
    // No temporary file is left behind.
    for (const fs::path& folder : {tmp, run}) {
      for (const auto& e : fs::directory_iterator(folder)) {
        EXPECT_EQ(e.path().filename().string().find("modemInfo.txt."), std::string::npos);
      }
    }
  }

  // Removal: a trusted link's target goes and the link stays; another
  // user's link goes itself, its target stays.
  fs::remove_all(path);
  fs::create_symlink(run / "modemInfo.txt", path);
  ASSERT_TRUE(replace_status_file(path.string(), text));
  remove_status_file(path.string());
  EXPECT_FALSE(fs::exists(run / "modemInfo.txt"));
  EXPECT_TRUE(fs::is_symlink(path));
  fs::remove(path);
  fs::create_symlink(victim, path);
  ASSERT_EQ(lchown(path.c_str(), other, other), 0);
  remove_status_file(path.string());
  EXPECT_FALSE(fs::is_symlink(path));
  EXPECT_EQ(read_file(victim), planted);

  // The status as the gateway writes it: its text as a line, or one line
  // when the file cannot be replaced.
  support::ScopedConsoleCapture capture;
  write_modem_status(1, 23);
  EXPECT_EQ(read_file(path), text);
  fs::remove(path);
  fs::create_directory(path);
  write_modem_status(1, 23);
  EXPECT_EQ(capture.take(), "cregvalue=1\ncsqvalue=23\n\nOpen modemInfo.txt fail!!\n");
}

}  // namespace
