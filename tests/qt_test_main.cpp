// Runs the tests in a QApplication on Qt's offscreen platform, so no screen is needed.
#include <cstdlib>

#include <QApplication>
#include <gtest/gtest.h>

int main(int argc, char* argv[]) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication application(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  // Death tests start a fresh copy of this program, which then has its own QApplication.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  return RUN_ALL_TESTS();
}
