#include "app/StaticText.h"

#include <QPainter>

CStaticText::CStaticText(const QString& text, QWidget* parent, std::function<QColor()> colour)
    : QLabel(text, parent), m_colour(std::move(colour)) {
  setWordWrap(true);
  setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void CStaticText::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setFont(font());
  painter.setPen(m_colour ? m_colour() : palette().color(QPalette::WindowText));
  painter.drawText(contentsRect(), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, text());
}
