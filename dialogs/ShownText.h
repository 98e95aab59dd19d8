// The program's texts (UTF-8, or file names as the file system gave their bytes) as a widget shows
// them: decoded the way Qt decodes file names, so a name that is not valid UTF-8 still shows.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <string>

namespace fern {

inline QString ShownText(const std::string& text) { return QFile::decodeName(QByteArray::fromStdString(text)); }

}  // namespace fern
