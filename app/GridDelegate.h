// Report-view rows with grid lines between cells.
#pragma once

#include <QStyledItemDelegate>

class CGridDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};
