#include "app/GridDelegate.h"

#include <QPainter>

void CGridDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
  QStyledItemDelegate::paint(painter, option, index);
  painter->save();
  painter->setPen(QColor(192, 192, 192));
  const QRect& r = option.rect;
  painter->drawLine(r.left(), r.bottom(), r.right(), r.bottom());
  painter->drawLine(r.right(), r.top(), r.right(), r.bottom());
  painter->restore();
}
