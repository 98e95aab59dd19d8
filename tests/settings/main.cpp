// The widgets under test need a QApplication; the settings store is named after the program
// and kept in a temporary configuration folder, set before the store is first used.
#include <QApplication>
#include <QDir>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  char config[] = "/tmp/fern-settings-XXXXXX";
  if (mkdtemp(config) == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  setenv("XDG_CONFIG_HOME", config, 1);
  int result;
  {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("fernapp"));
    result = RUN_ALL_TESTS();
  }
  QDir(QString::fromLocal8Bit(config)).removeRecursively();
  return result;
}
