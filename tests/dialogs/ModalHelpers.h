// Working a modal dialog from inside its own loop: a timer on the GUI thread waits for the
// modal widget of the wanted type and hands it to the test.
#pragma once

#include <QApplication>
#include <QKeyEvent>
#include <QTimer>
#include <functional>

template <class Dialog>
class WhenModal {
 public:
  explicit WhenModal(std::function<void(Dialog*)> act) : m_act(std::move(act)) {
    QObject::connect(&m_timer, &QTimer::timeout, [this] {
      if (auto* dialog = qobject_cast<Dialog*>(QApplication::activeModalWidget())) {
        m_timer.stop();
        m_seen = true;
        m_act(dialog);
        // A dialog that the action failed to close is ended with a result no dialog gives,
        // so a fault fails the test instead of hanging it.
        QTimer::singleShot(3000, dialog, [dialog] {
          if (dialog->isVisible()) dialog->done(kStuck);
        });
      }
    });
    m_timer.start(5);
  }
  static constexpr int kStuck = -99;
  bool Seen() const { return m_seen; }

 private:
  std::function<void(Dialog*)> m_act;
  QTimer m_timer;
  bool m_seen = false;
};

inline void SendKey(QWidget* widget, int key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
  QApplication::sendEvent(widget, &press);
  QApplication::sendEvent(widget, &release);
}
