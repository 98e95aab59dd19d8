// The main window's tests need a QApplication, and a home of their own: settings, marks and
// the temporary folder go to a fresh folder, so the user's files are never touched.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <filesystem>
#include <string>

#include "app/fernapp.h"

int main(int argc, char** argv) {
  char pattern[] = "/tmp/fernapp-test-home-XXXXXX";
  const char* home = ::mkdtemp(pattern);
  if (home == nullptr) return 2;
  const std::string base = home;
  ::setenv("XDG_CONFIG_HOME", (base + "/config").c_str(), 1);
  ::setenv("XDG_STATE_HOME", (base + "/state").c_str(), 1);
  ::setenv("XDG_DATA_HOME", (base + "/data").c_str(), 1);
  ::setenv("TMPDIR", base.c_str(), 1);
  if (::getenv("QT_QPA_PLATFORM") == nullptr) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);

  QApplication app(argc, argv);
  QApplication::setQuitOnLastWindowClosed(false);
  theApp.InitSharedResources();
  ::testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  std::error_code ec;
  std::filesystem::remove_all(base, ec);
  return result;
}
