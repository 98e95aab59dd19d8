#include "settings/UpDown.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOption>
#include <algorithm>

CUpDown::CUpDown(QLineEdit* buddy, int width) : QWidget(buddy->parentWidget()), m_pBuddy(buddy) {
  QRect r = buddy->geometry();
  buddy->resize(r.width() - width, r.height());
  setGeometry(r.x() + r.width() - width, r.y(), width, r.height());
  setFocusPolicy(Qt::NoFocus);
  buddy->installEventFilter(this);
  m_repeat.setInterval(100);
  connect(&m_repeat, &QTimer::timeout, this, &CUpDown::Repeat);
}

void CUpDown::SetRange(int minimum, int maximum) {
  m_nMinimum = minimum;
  m_nMaximum = maximum;
}

void CUpDown::Step(bool up) {
  const int low = std::min(m_nMinimum, m_nMaximum);
  const int high = std::max(m_nMinimum, m_nMaximum);
  // The buddy's number is taken only when it is a whole number within the range;
  // otherwise the control goes on from its own last position.
  bool ok = false;
  QString text = m_pBuddy->text().trimmed();
  int value = text.isEmpty() ? 0 : text.toInt(&ok, 10);
  if (text.isEmpty()) ok = true;
  if (ok && value >= low && value <= high) m_nPos = value;
  // The up arrow moves towards the maximum, so with the default range it lowers the number.
  int towardsMaximum = m_nMaximum >= m_nMinimum ? 1 : -1;
  int next = m_nPos + (up ? towardsMaximum : -towardsMaximum);
  m_nPos = std::clamp(next, low, high);
  m_pBuddy->setText(QString::number(m_nPos));
}

QRect CUpDown::UpArrowRect() const { return QRect(0, 0, width(), height() / 2); }

QRect CUpDown::DownArrowRect() const {
  return QRect(0, height() / 2, width(), height() - height() / 2);
}

void CUpDown::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  for (int half = 0; half < 2; ++half) {
    QRect r = half == 0 ? UpArrowRect() : DownArrowRect();
    QStyleOptionButton option;
    option.initFrom(this);
    option.rect = r;
    bool sunk = (half == 0 && m_nPressed == 1) || (half == 1 && m_nPressed == -1);
    option.state |= sunk ? QStyle::State_Sunken : QStyle::State_Raised;
    style()->drawPrimitive(QStyle::PE_PanelButtonBevel, &option, &painter, this);
    QStyleOption arrow;
    arrow.initFrom(this);
    arrow.rect = r.adjusted(2, 1, -2, -1);
    style()->drawPrimitive(half == 0 ? QStyle::PE_IndicatorArrowUp : QStyle::PE_IndicatorArrowDown,
                           &arrow, &painter, this);
  }
}

void CUpDown::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !isEnabled()) return;
  m_nPressed = UpArrowRect().contains(event->position().toPoint()) ? 1 : -1;
  Step(m_nPressed == 1);
  m_repeat.start(400);  // held down: the first repeat after a pause, then faster
  update();
}

void CUpDown::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  m_nPressed = 0;
  m_repeat.stop();
  update();
}

void CUpDown::Repeat() {
  if (m_nPressed == 0) {
    m_repeat.stop();
    return;
  }
  m_repeat.setInterval(100);
  Step(m_nPressed == 1);
}

bool CUpDown::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_pBuddy && event->type() == QEvent::KeyPress && isEnabled()) {
    int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Up || key == Qt::Key_Down) {
      Step(key == Qt::Key_Up);
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}
