#include "serial/com_ports.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <fstream>

namespace kova {
namespace {

namespace fs = std::filesystem;

// A scratch folder holding a fake tty class tree and a ports folder.
class ComPortsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kova-com-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    m_root = pattern;
    m_sources.portsFolder = m_root / "data" / "simple-kova" / "ports";
    m_sources.ttyClasses = m_root / "class";
    m_sources.devices = m_root / "dev";
    fs::create_directories(m_sources.ttyClasses);
  }
  void TearDown() override { fs::remove_all(m_root); }

  // A tty class entry; type is the serial port type file's content, empty for none.
  void addTty(const std::string& name, bool hasDevice, const std::string& type = "") {
    const auto entry = m_sources.ttyClasses / name;
    fs::create_directories(entry);
    if (hasDevice) fs::create_directories(entry / "device");
    if (!type.empty()) std::ofstream(entry / "type") << type << "\n";
  }

  fs::path m_root;
  ComPortSources m_sources;
};

TEST(PortsFolderFor, FollowsTheDataFolderRules) {
  struct Row {
    const char* xdgDataHome;
    const char* home;
    fs::path expected;
  };
  const Row rows[] = {
      {"/data", "/home/ann", "/data/simple-kova/ports"},
      {nullptr, "/home/ann", "/home/ann/.local/share/simple-kova/ports"},
      {"", "/home/ann", "/home/ann/.local/share/simple-kova/ports"},
      {"relative/data", "/home/ann", "/home/ann/.local/share/simple-kova/ports"},
      {nullptr, nullptr, ""},
      {"", "relative/home", ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(PortsFolderFor(row.xdgDataHome, row.home), row.expected)
        << "XDG_DATA_HOME=" << (row.xdgDataHome ? row.xdgDataHome : "(unset)")
        << " HOME=" << (row.home ? row.home : "(unset)");
  }
}

TEST(OrderSerialDevices, PutsUsbReceiversFirstThenNaturalOrder) {
  struct Row {
    std::vector<std::string> host;
    std::vector<std::string> expected;
  };
  const Row rows[] = {
      {{"ttyS10", "ttyS2", "ttyS0"}, {"ttyS0", "ttyS2", "ttyS10"}},
      {{"ttyS0", "ttyUSB0", "ttyACM1", "ttyACM0"}, {"ttyACM0", "ttyACM1", "ttyUSB0", "ttyS0"}},
      {{"ttyUSB10", "ttyUSB9", "ttyAMA0"}, {"ttyUSB9", "ttyUSB10", "ttyAMA0"}},
      {{"ttyS1x", "ttyS1"}, {"ttyS1", "ttyS1x"}},
      {{}, {}},
  };
  for (const auto& row : rows) {
    std::string input;
    for (const auto& name : row.host) input += name + " ";
    EXPECT_EQ(OrderSerialDevices(row.host), row.expected) << "host lists: " << input;
  }
}

TEST_F(ComPortsTest, HostListsOnlyTtysWithHardwareAndNoConsole) {
  addTty("tty0", false);
  addTty("ptmx", false);
  addTty("ttyS0", true, "4");
  addTty("ttyS1", true, "0");
  addTty("ttyS10", true, "4");
  addTty("ttyS11", true, "4");
  addTty("ttyUSB0", true);
  addTty("console", false);
  std::ofstream(m_sources.ttyClasses / "console" / "active") << "tty0 ttyS11\n";

  EXPECT_EQ(HostSerialDevices(m_sources.ttyClasses),
            (std::vector<std::string>{"ttyUSB0", "ttyS0", "ttyS10"}));
}

TEST_F(ComPortsTest, WithoutPortsFolderComNIsTheNthHostDevice) {
  addTty("ttyS0", true, "4");
  addTty("ttyACM0", true);

  struct Row {
    int comPort;
    std::optional<fs::path> expected;
  };
  const Row rows[] = {
      {1, m_sources.devices / "ttyACM0"},
      {2, m_sources.devices / "ttyS0"},
      {3, std::nullopt},
      {0, std::nullopt},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ComPortDevice(row.comPort, m_sources), row.expected) << "COM" << row.comPort;
  }
}

TEST_F(ComPortsTest, PortsFolderAloneDefinesThePorts) {
  addTty("ttyS0", true, "4");
  fs::create_directories(m_sources.portsFolder);
  fs::create_symlink("/dev/pts/7", m_sources.portsFolder / "COM3");
  fs::create_symlink(m_sources.devices / "ttyUSB4", m_sources.portsFolder / "COM32");
  addTty("console", false);
  std::ofstream(m_sources.ttyClasses / "console" / "active") << "ttyUSB4\n";
  std::ofstream(m_sources.portsFolder / "notes.txt") << "COM1 is the boat's receiver\n";

  struct Row {
    int comPort;
    std::optional<fs::path> expected;
  };
  const Row rows[] = {
      {1, std::nullopt},  // the host's ttyS0 is not COM1 once the folder exists
      {2, std::nullopt},
      {3, m_sources.portsFolder / "COM3"},   // a link to a device that is missing still names it
      {32, m_sources.portsFolder / "COM32"},  // a console, pinned by the user
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ComPortDevice(row.comPort, m_sources), row.expected) << "COM" << row.comPort;
  }
}

TEST_F(ComPortsTest, PortPinnedWhileRunningIsFoundAtTheNextLookUp) {
  fs::create_directories(m_sources.portsFolder);
  ASSERT_EQ(ComPortDevice(5, m_sources), std::nullopt);

  fs::create_symlink("/dev/ttyUSB0", m_sources.portsFolder / "COM5");

  EXPECT_EQ(ComPortDevice(5, m_sources), m_sources.portsFolder / "COM5");
}

}  // namespace
}  // namespace kova
