// A static text whose colour the window chooses at every paint, as a control-colour handler
// does: the text is drawn left aligned and word-wrapped on a transparent background.
#pragma once

#include <QLabel>
#include <functional>

class CStaticText : public QLabel {
  Q_OBJECT
 public:
  CStaticText(const QString& text, QWidget* parent, std::function<QColor()> colour);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::function<QColor()> m_colour;
};
