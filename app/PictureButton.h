// A button that shows only pictures: pressed, focused, disabled or normal, in that order of
// precedence. Its size is the size of its pictures.
#pragma once

#include <QAbstractButton>
#include <QPixmap>

class CPictureButton : public QAbstractButton {
  Q_OBJECT
 public:
  explicit CPictureButton(QWidget* parent = nullptr);

  // Bitmap resource ids of the four pictures; a missing picture leaves a blank button.
  void LoadBitmaps(int normal, int pressed, int focused, int disabled);
  // Resizes the button to its pictures (15 x 17 when none could be loaded).
  void SizeToContent();

  // The picture the button shows in its present state (for tests).
  const QPixmap& CurrentPicture() const;

  QSize sizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap m_normal, m_pressed, m_focused, m_disabled;
};
