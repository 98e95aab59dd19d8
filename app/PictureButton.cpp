#include "app/PictureButton.h"

#include <QPainter>

#include "res/gui/Pictures.h"

CPictureButton::CPictureButton(QWidget* parent) : QAbstractButton(parent) {
  setFocusPolicy(Qt::TabFocus);
}

void CPictureButton::LoadBitmaps(int normal, int pressed, int focused, int disabled) {
  m_normal = fern::LoadBitmapRes(normal);
  m_pressed = fern::LoadBitmapRes(pressed);
  m_focused = fern::LoadBitmapRes(focused);
  m_disabled = fern::LoadBitmapRes(disabled);
  update();
}

QSize CPictureButton::sizeHint() const {
  if (!m_normal.isNull()) return m_normal.deviceIndependentSize().toSize();
  return QSize(15, 17);
}

void CPictureButton::SizeToContent() { resize(sizeHint()); }

const QPixmap& CPictureButton::CurrentPicture() const {
  if (isDown()) return m_pressed;
  if (hasFocus()) return m_focused;
  if (!isEnabled()) return m_disabled;
  return m_normal;
}

void CPictureButton::paintEvent(QPaintEvent*) {
  const QPixmap& picture = CurrentPicture();
  if (picture.isNull()) return;
  QPainter painter(this);
  painter.drawPixmap(0, 0, picture);
}
