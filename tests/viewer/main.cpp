// The viewer's widgets need a QApplication and the application's shared pictures and font.
#include <QApplication>
#include <cstdlib>
#include <gtest/gtest.h>

#include "app/fernapp.h"

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  // Preview must never reach a real desktop: the tests decide which programs exist.
  unsetenv("DBUS_SESSION_BUS_ADDRESS");
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("fernapp"));
  theApp.InitSharedResources();
  int result = RUN_ALL_TESTS();
  theApp.m_imageList.clear();  // pixmaps go before the QApplication
  return result;
}
