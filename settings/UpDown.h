// An up-down control attached to an edit: its arrows step the number in the edit, which
// stays free for any text. With the default range (100 down to 0) the up arrow lowers the
// number and the down arrow raises it, and both stay within 0..100.
#pragma once

#include <QTimer>
#include <QWidget>

class QLineEdit;

class CUpDown : public QWidget {
  Q_OBJECT
 public:
  // Takes its place at the right edge of the buddy, which gives up that width; the buddy's
  // Up and Down keys work the arrows too. The parent is the buddy's parent.
  CUpDown(QLineEdit* buddy, int width);

  // The range as the platform gives it: the up arrow moves towards maximum, the down arrow
  // towards minimum, whichever of the two is larger.
  void SetRange(int minimum, int maximum);

  // One step of the up (true) or down (false) arrow, as a click does.
  void Step(bool up);

  QRect UpArrowRect() const;
  QRect DownArrowRect() const;
  QLineEdit* Buddy() const { return m_pBuddy; }

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void Repeat();

  QLineEdit* m_pBuddy;
  int m_nMinimum = 100;  // the platform's default range: minimum 100 ...
  int m_nMaximum = 0;    // ... maximum 0
  int m_nPos = 0;       // the last position, used when the buddy holds no number in range
  int m_nPressed = 0;   // 1 up arrow held, -1 down arrow held, 0 none
  QTimer m_repeat;
};
