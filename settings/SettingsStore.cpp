#include "settings/SettingsStore.h"

#include <QCoreApplication>
#include <QSettings>
#include <QString>

namespace fern {

// Opened afresh for every value, so every reader sees what is on disk now.
static QString StoreApplicationName() {
  QString name = QCoreApplication::applicationName();
  return name.isEmpty() ? QStringLiteral("fernapp") : name;
}

static QString Key(const char* section, const char* valueName) {
  return QString::fromUtf8(section) + QLatin1Char('/') + QString::fromUtf8(valueName);
}

int GetProfileInt(const char* section, const char* valueName, int defaultValue) {
  QSettings settings(QStringLiteral("KW"), StoreApplicationName());
  QVariant value = settings.value(Key(section, valueName));
  if (!value.isValid()) return defaultValue;
  bool ok = false;
  int number = value.toString().trimmed().toInt(&ok, 10);
  return ok ? number : defaultValue;
}

bool WriteProfileInt(const char* section, const char* valueName, int value) {
  QSettings settings(QStringLiteral("KW"), StoreApplicationName());
  if (!settings.isWritable()) return false;
  settings.setValue(Key(section, valueName), value);
  settings.sync();
  return settings.status() == QSettings::NoError;
}

}  // namespace fern
