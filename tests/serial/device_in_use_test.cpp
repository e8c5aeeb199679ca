#include "serial/device_in_use.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/another_user.h"

namespace kova {
namespace {

namespace fs = std::filesystem;

TEST(DeviceHeldElsewhere, LooksAtOtherProcessesDescriptorsAndLiveLocks) {
  const std::string self = std::to_string(getpid());
  const std::string live = std::to_string(getppid());
  struct Row {
    const char* what;
    std::vector<std::pair<std::string, std::string>> links;  // tree path -> target
    std::vector<std::pair<std::string, std::string>> files;  // tree path -> content
    bool held;
    // Checked by a process of another user, which may not signal this one.
    bool asAnotherUser = false;
  };
  const Row rows[] = {
      {"nobody", {}, {}, false},
      {"another process has it open", {{"proc/100/fd/3", "/dev/null"}}, {}, true},
      {"only this process has it open",
       {{"proc/" + self + "/fd/4", "/dev/null"}, {"proc/self/fd/4", "/dev/null"}}, {}, false},
      {"others hold another device, a gone file, or hide their descriptors",
       {{"proc/100/fd/0", "/dev/zero"}, {"proc/100/fd/1", "/gone"}}, {{"proc/200/status", ""}},
       false},
      {"a lock names a live process", {}, {{"var/LCK..null", "      " + live + "\n"}}, true},
      {"a lock names a live process of another user", {}, {{"run/LCK..null", self + "\n"}}, true,
       true},
      {"the locks are stale, this process's, or another device's", {},
       {{"run/LCK..null", "  99999999\n"}, {"var/LCK..null", self}, {"run/LCK..zero", live}},
       false},
      {"the lock holds no process id", {}, {{"run/LCK..null", "pid\n"}}, false},
  };
  for (const auto& row : rows) {
    std::string pattern = (fs::temp_directory_path() / "kova-use-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    const fs::path root = pattern;
    fs::create_directories(root / "proc");
    fs::create_directories(root / "run");
    fs::create_directories(root / "var");
    // The port as a ports folder names it: locks go by the device's own name.
    fs::create_symlink("/dev/null", root / "COM1");
    for (const auto& [path, target] : row.links) {
      fs::create_directories((root / path).parent_path());
      fs::create_symlink(target, root / path);
    }
    for (const auto& [path, content] : row.files) {
      fs::create_directories((root / path).parent_path());
      std::ofstream(root / path) << content;
    }
    const DeviceUseSources sources{root / "proc", {root / "run", root / "var"}};

    if (row.asAnotherUser) {
      fs::permissions(root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
      const int held = AsAnotherUser(
          [&] { return DeviceHeldElsewhere(root / "COM1", getpid(), sources) ? 1 : 0; });
      EXPECT_EQ(held, row.held ? 1 : 0) << row.what;
    } else {
      EXPECT_EQ(DeviceHeldElsewhere(root / "COM1", getpid(), sources), row.held) << row.what;
    }
    fs::remove_all(root);
  }
}

}  // namespace
}  // namespace kova
