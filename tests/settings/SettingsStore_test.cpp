#include <QDir>
#include <QFile>
#include <QSettings>
#include <QString>
#include <cstdlib>
#include <gtest/gtest.h>

#include "settings/SettingsStore.h"

namespace {

QString ConfigHome() { return QString::fromLocal8Bit(std::getenv("XDG_CONFIG_HOME")); }
QString StoreFile() { return ConfigHome() + QStringLiteral("/KW/fernapp.conf"); }

class SettingsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { QFile::remove(StoreFile()); }
  void TearDown() override { QFile::remove(StoreFile()); }
};

void WriteStoreText(const QByteArray& text) {
  ASSERT_TRUE(QDir().mkpath(ConfigHome() + QStringLiteral("/KW")));
  QFile file(StoreFile());
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  ASSERT_EQ(file.write(text), text.size());
}

TEST_F(SettingsStoreTest, RoundTripLandsInTheProgramsFile) {
  EXPECT_EQ(fern::GetProfileInt("Settings", "Full Days", 7), 7);
  EXPECT_EQ(fern::GetProfileInt("Settings", "Full Days", 0), 0);

  ASSERT_TRUE(fern::WriteProfileInt("Settings", "Full Days", 14));
  ASSERT_TRUE(fern::WriteProfileInt("Settings", "Purge Days", -3));
  ASSERT_TRUE(fern::WriteProfileInt("Settings", "Incremental Days", 2147483647));
  ASSERT_TRUE(QFile::exists(StoreFile()));

  EXPECT_EQ(fern::GetProfileInt("Settings", "Full Days", 7), 14);
  EXPECT_EQ(fern::GetProfileInt("Settings", "Purge Days", 60), -3);
  EXPECT_EQ(fern::GetProfileInt("Settings", "Incremental Days", 1), 2147483647);
  EXPECT_EQ(fern::GetProfileInt("Settings", "Enable Full", 1), 1);  // still missing

  // The values sit in the group "Settings" under their own names.
  QSettings direct(StoreFile(), QSettings::IniFormat);
  EXPECT_EQ(direct.value(QStringLiteral("Settings/Full Days")).toInt(), 14);
  EXPECT_EQ(direct.value(QStringLiteral("Settings/Purge Days")).toInt(), -3);
}

TEST_F(SettingsStoreTest, EveryReadSeesTheFileAsItIsNow) {
  ASSERT_TRUE(fern::WriteProfileInt("Settings", "Full Days", 3));
  EXPECT_EQ(fern::GetProfileInt("Settings", "Full Days", 7), 3);
  // A text of another length: a rewrite of the same size within the file time's resolution is
  // indistinguishable from no change to the settings file's cache.
  WriteStoreText("[Settings]\nFull%20Days=19\n");
  EXPECT_EQ(fern::GetProfileInt("Settings", "Full Days", 7), 19);
}

TEST_F(SettingsStoreTest, TextThatIsNotAnIntegerReadsAsTheDefault) {
  WriteStoreText(
      "[Settings]\nFull%20Days=abc\nPurge%20Days=12x\nIncremental%20Days=99999999999\n"
      "Enable%20Full=\n");
  EXPECT_EQ(fern::GetProfileInt("Settings", "Full Days", 7), 7);
  EXPECT_EQ(fern::GetProfileInt("Settings", "Purge Days", 60), 60);
  EXPECT_EQ(fern::GetProfileInt("Settings", "Incremental Days", 1), 1);
  EXPECT_EQ(fern::GetProfileInt("Settings", "Enable Full", 1), 1);
}

TEST_F(SettingsStoreTest, AFailedWriteIsReported) {
  // A file where the organisation's folder belongs: the store cannot be created.
  QFile::remove(StoreFile());
  QString kwFolder = ConfigHome() + QStringLiteral("/KW");
  QString moved = ConfigHome() + QStringLiteral("/KW.saved");
  ASSERT_TRUE(QDir().rename(kwFolder, moved) || !QFile::exists(kwFolder));
  {
    QFile blocker(kwFolder);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  }
  EXPECT_FALSE(fern::WriteProfileInt("Settings", "Full Days", 5));
  EXPECT_EQ(fern::GetProfileInt("Settings", "Full Days", 7), 7);
  ASSERT_TRUE(QFile::remove(kwFolder));
  if (QFile::exists(moved)) {
    ASSERT_TRUE(QDir().rename(moved, kwFolder));
  }
  EXPECT_TRUE(fern::WriteProfileInt("Settings", "Full Days", 5));
  EXPECT_EQ(fern::GetProfileInt("Settings", "Full Days", 7), 5);
}

}  // namespace
