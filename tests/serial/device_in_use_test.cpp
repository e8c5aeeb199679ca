#include "serial/device_in_use.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/another_user.h"

namespace kova {
namespace {

namespace fs = std::filesystem;

// A lock as serial programs write it: the id right-aligned in ten characters, never four
// characters long, which would read as the old binary form.
std::string Lock(pid_t pid) {
  const std::string id = std::to_string(pid);
  return std::string(10 - id.size(), ' ') + id + "\n";
}

TEST(DeviceHeldElsewhere, LooksAtOtherProcessesDescriptorsAndLiveLocks) {
  const std::string self = std::to_string(getpid());
  const pid_t parent = getppid();
  const std::string live = std::to_string(parent);
  const std::string binary(reinterpret_cast<const char*>(&parent), sizeof parent);
  const std::string fifo = "(a FIFO)";
  const std::string nobody = std::to_string(AnotherUser);
  struct Row {
    const char* what;
    std::vector<std::pair<std::string, std::string>> links;  // tree path -> target
    std::vector<std::pair<std::string, std::string>> files;  // tree path -> content
    bool held;
    pid_t holder;
    // Checked by a process of another user, which may not signal this one.
    bool asAnotherUser = false;
    // As files another user planted.
    uid_t filesOwner = 0;
    // Part of the reason given, when there is one to check.
    std::string reason = {};
  };
  const Row rows[] = {
      {"nobody", {}, {}, false, 0},
      {"another process has it open", {{"proc/100/fd/3", "/dev/null"}}, {}, true, 100},
      {"only this process has it open",
       {{"proc/" + self + "/fd/4", "/dev/null"}, {"proc/self/fd/4", "/dev/null"}}, {}, false, 0},
      {"a descriptor not opened from /dev is not looked through (it could hang)",
       {{"proc/100/fd/3", "../../../COM1"}}, {}, false, 0},
      {"a descriptor goes by the name it was opened under, not what that leads to",
       {{"proc/100/fd/3", "/dev/./null"}}, {}, false, 0},
      {"others hold another device, a gone file, or hide their descriptors",
       {{"proc/100/fd/0", "/dev/zero"}, {"proc/100/fd/1", "/gone"}}, {{"proc/200/status", ""}},
       false, 0},
      {"a lock names a live process", {}, {{"var/LCK..null", "      " + live + "\n"}}, true,
       parent},
      {"a lock names a live process of another user", {}, {{"run/LCK..null", Lock(getpid())}},
       true, getpid(), true},
      {"a lock another user planted naming root's process", {},
       {{"run/LCK..null", Lock(parent)}, {"proc/" + live + "/status", "Uid:\t0\t0\t0\t0\n"}},
       false, 0, false, AnotherUser, "owned by user " + nobody},
      {"a lock root wrote naming another user's process", {},
       {{"run/LCK..null", Lock(parent)}, {"proc/" + live + "/status", "Uid:\t" + nobody + "\n"}},
       true, parent},
      {"a lock a setuid program wrote as its effective user", {},
       {{"run/LCK..null", Lock(parent)}, {"proc/" + live + "/status", "Uid:\t0\t" + nobody + "\t" +
                                              nobody + "\t" + nobody + "\n"}},
       true, parent, false, AnotherUser},
      {"a lock another user wrote naming a process hidden from this one", {},
       {{"run/LCK..null", Lock(parent)}}, true, parent, false, AnotherUser},
      {"the locks are stale, this process's, or another device's", {},
       {{"run/LCK..null", "  99999999\n"}, {"var/LCK..null", self}, {"run/LCK..zero", live}},
       false, 0},
      {"the lock names a process that has ended (none gets this id)", {},
       {{"run/LCK..null", "   4194304\n"}}, false, 0, false, 0, "has ended"},
      {"a text lock of four characters is not taken for the binary form", {},
       {{"run/LCK..null", "  1\n"}}, true, 1},
      {"the lock holds no process id", {}, {{"run/LCK..null", "pid\n"}}, false, 0},
      {"a lock with more words after the id", {}, {{"run/LCK..null", "  " + live + " tool user\n"}},
       true, parent},
      {"a lock ended with CR LF", {}, {{"run/LCK..null", "  " + live + "\r\n"}}, true, parent},
      {"a lock in the old binary form", {}, {{"run/LCK..null", binary}}, true, parent},
      {"a FIFO planted as the lock is not waited on", {}, {{"run/LCK..null", fifo}}, false, 0,
       false, 0, "not a regular file"},
      {"a link planted as the lock is not followed",
       {{"run/LCK..null", "../var/pid"}}, {{"var/pid", Lock(parent)}}, false, 0, false, 0,
       "a symbolic link"},
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
      if (content == fifo) {
        ASSERT_EQ(mkfifo((root / path).c_str(), 0644), 0);
      } else {
        std::ofstream(root / path) << content;
      }
      ASSERT_EQ(lchown((root / path).c_str(), row.filesOwner, row.filesOwner), 0);
    }
    // One open file per part: every part goes on from where the one before stopped.
    HolderSurvey survey(root / "proc", getpid());
    while (!survey.advance([] { return true; })) {
    }

    if (row.asAnotherUser) {
      fs::permissions(root, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
      const int held = AsAnotherUser([&] {
        HolderSurvey own(root / "proc", getpid());
        while (!own.advance([] { return true; })) {
        }
        return DeviceHeldElsewhere(root / "COM1", {root / "run", root / "var"}, own).held ? 1 : 0;
      });
      EXPECT_EQ(held, row.held ? 1 : 0) << row.what;
    } else {
      const DeviceUse use = DeviceHeldElsewhere(root / "COM1", {root / "run", root / "var"}, survey);
      EXPECT_EQ(use.held, row.held) << row.what;
      EXPECT_EQ(use.holder, row.holder) << row.what;
      EXPECT_NE(use.reason.find(row.reason), std::string::npos) << row.what << ": " << use.reason;
    }
    fs::remove_all(root);
  }
}

}  // namespace
}  // namespace kova
