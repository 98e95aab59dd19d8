#include "dialogs/GuiThread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace fern {

void RunOnGuiThread(const std::function<void()>& f) {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || QThread::currentThread() == app->thread()) {
    f();
    return;
  }
  QMetaObject::invokeMethod(app, [&f] { f(); }, Qt::BlockingQueuedConnection);
}

}  // namespace fern
