// Real sets in temporary folders and a viewer driven offscreen until its worker is done.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTimer>
#include <QTreeView>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "storage/CompressedFile.h"
#include "storage/SetFormat.h"
#include "viewer/SetTreeModel.h"
#include "viewer/ViewBackup.h"

namespace viewertest {

struct Entry {
  std::string name;  // stored name, "E:\docs\a.txt"
  std::string data;
  int64_t time = 1133879400;  // Tue Dec 06 2005 14:30 UTC
};

// A folder made by mkdtemp, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "fernviewer-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) m_path = pattern;
  }
  ~TempDir() {
    if (!m_path.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(m_path, ignored);
    }
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return m_path; }
  std::string operator/(const std::string& leaf) const { return m_path + "/" + leaf; }

 private:
  std::string m_path;
};

// Writes a set through the storage layer: header, name without terminator, data.
inline bool WriteSet(const std::string& path, const std::vector<Entry>& entries) {
  CCompressedFile set;
  if (!set.Open(path.c_str(), 1)) return false;
  for (const Entry& e : entries) {
    fern::EntryHeader header;
    header.nameLength = static_cast<uint32_t>(e.name.size());
    header.dataLength = static_cast<uint32_t>(e.data.size());
    header.time = e.time;
    unsigned char bytes[fern::kEntryHeaderSize];
    fern::EncodeEntryHeader(header, bytes);
    if (!set.Write(bytes, sizeof bytes) || !set.Write(e.name.data(), static_cast<unsigned>(e.name.size())) ||
        (!e.data.empty() && !set.Write(e.data.data(), static_cast<unsigned>(e.data.size())))) {
      set.Close();
      return false;
    }
  }
  return set.Close();
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

inline bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Runs the event loop until the viewer's operation has ended (or the time is up).
inline bool WaitIdle(CViewBackup& view, int timeoutMs = 30000) {
  QElapsedTimer timer;
  timer.start();
  while (view.Busy() && timer.elapsed() < timeoutMs) QApplication::processEvents(QEventLoop::AllEvents, 10);
  QApplication::processEvents();
  return !view.Busy();
}

// Opens a viewer on a set and waits until it has loaded.
inline void OpenAndLoad(CViewBackup& view, const std::string& setPath, const std::string& driveRoot = "") {
  view.SetSetAndDrive(setPath, driveRoot);
  view.show();
  ASSERT_TRUE(WaitIdle(view));
}

inline QModelIndex Child(const QModelIndex& parent, const QString& label) {
  if (!parent.isValid()) return QModelIndex();
  const QAbstractItemModel* model = parent.model();
  for (int i = 0; i < model->rowCount(parent); ++i)
    if (model->index(i, 0, parent).data().toString() == label) return model->index(i, 0, parent);
  return QModelIndex();
}

inline QStringList ChildLabels(const QModelIndex& parent) {
  QStringList labels;
  if (!parent.isValid()) return labels;
  for (int i = 0; i < parent.model()->rowCount(parent); ++i) labels << parent.model()->index(i, 0, parent).data().toString();
  return labels;
}

inline bool Checked(const QModelIndex& item) { return CSetTreeModel::IsChecked(item); }

// Closes the next message box that opens and keeps its text (for handlers that show one).
class MessageCatcher {
 public:
  MessageCatcher() {
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        texts.push_back(box->text().toStdString());
        box->done(QMessageBox::Ok);
      }
    });
    m_timer.start(20);
  }
  std::vector<std::string> texts;

 private:
  QTimer m_timer;
};

// Sets an environment variable for one test and puts the old value back.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : m_name(name) {
    const char* old = getenv(name);
    m_had = old != nullptr;
    if (m_had) m_old = old;
    setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (m_had)
      setenv(m_name, m_old.c_str(), 1);
    else
      unsetenv(m_name);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* m_name;
  bool m_had = false;
  std::string m_old;
};

}  // namespace viewertest

#include <QAbstractItemModel>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QStyledItemDelegate>

namespace viewertest {

// Where the style draws a row's check box, computed as the tree's delegate computes it.
inline QPoint CheckBoxCentre(QTreeView* tree, const QModelIndex& item) {
  struct Delegate : QStyledItemDelegate {
    using QStyledItemDelegate::initStyleOption;
  } delegate;
  QStyleOptionViewItem option;
  option.initFrom(tree);
  option.rect = tree->visualRect(item);
  option.decorationSize = tree->iconSize();
  option.font = tree->font();
  option.fontMetrics = QFontMetrics(tree->font());
  option.widget = tree;
  delegate.initStyleOption(&option, item);
  return tree->style()->subElementRect(QStyle::SE_ItemViewItemCheckIndicator, &option, tree).center();
}

inline void SendMouse(QWidget* target, QEvent::Type type, const QPoint& pos, Qt::MouseButton button) {
  const Qt::MouseButtons buttons = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
  QMouseEvent event(type, QPointF(pos), QPointF(target->mapToGlobal(pos)), button, buttons, Qt::NoModifier);
  QApplication::sendEvent(target, &event);
}

inline void Click(QWidget* target, const QPoint& pos) {
  SendMouse(target, QEvent::MouseButtonPress, pos, Qt::LeftButton);
  SendMouse(target, QEvent::MouseButtonRelease, pos, Qt::LeftButton);
  QApplication::processEvents();  // the posted check-box propagation
}

inline void DoubleClick(QWidget* target, const QPoint& pos) {
  Click(target, pos);
  SendMouse(target, QEvent::MouseButtonDblClick, pos, Qt::LeftButton);
  SendMouse(target, QEvent::MouseButtonRelease, pos, Qt::LeftButton);
  QApplication::processEvents();
}

inline void Key(QWidget* target, int key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QApplication::sendEvent(target, &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
  QApplication::sendEvent(target, &release);
  QApplication::processEvents();
}

// Clicks an item's check box as the user would.
inline void ClickBox(QTreeView* tree, const QModelIndex& item) {
  tree->scrollTo(item);
  Click(tree->viewport(), CheckBoxCentre(tree, item));
}

// Records the entries of the next pop-up menu that opens and closes it unchosen.
class PopupCatcher {
 public:
  PopupCatcher() {
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
      if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
        for (QAction* action : menu->actions()) entries.push_back({action->text().toStdString(), action->isEnabled()});
        where = menu->pos();
        menu->close();
      }
    });
    m_timer.start(20);
  }
  std::vector<std::pair<std::string, bool>> entries;
  QPoint where;  // the menu's top left corner on the screen

 private:
  QTimer m_timer;
};

}  // namespace viewertest
