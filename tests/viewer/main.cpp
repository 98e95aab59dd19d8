// The viewer's widgets need a QApplication, and nothing of the application.
#include <QApplication>
#include <cstdlib>
#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // Preview must never reach a real desktop: the tests decide which programs exist.
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("fernapp"));
  return RUN_ALL_TESTS();
}
