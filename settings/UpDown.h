// An up-down control attached to an edit: its arrows step the number in the edit, which
// stays free for any text. With the default range (100 down to 0) the up arrow lowers the
// number and the down arrow raises it, and both stay within 0..100.
#pragma once

#include <QWidget>

class QLineEdit;

class CUpDown : public QWidget {
  Q_OBJECT
 public:
  // Placed inside buddy's right edge; the buddy's Up and Down keys work the arrows too.
  explicit CUpDown(QLineEdit* buddy, QWidget* parent = nullptr);

  // The range as the up arrow's end and the down arrow's end: default 100 and 0.
  void SetRange(int upperEnd, int lowerEnd);

  // One step of the up (true) or down (false) arrow, as a click would do.
  void Step(bool up);

  QRect UpArrowRect() const;
  QRect DownArrowRect() const;

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void PlaceInBuddy();

  QLineEdit* m_pBuddy;
  int m_nMin = 100;  // the value at the up arrow's end
  int m_nMax = 0;    // the value at the down arrow's end
  int m_nPressed = 0;  // 1 up, -1 down, 0 none
};
