#include "dialogs/AboutDlg.h"

#include <QLabel>
#include <QPushButton>

#include "dialogs/DialogFrame.h"
#include "res/Resource.h"

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
  fern::SetUpTemplateDialog(this, "About Ferncastle", 215, 134);

  auto* ok = new QPushButton(QStringLiteral("&OK"), this);
  ok->setObjectName(QString::number(IDOK));
  ok->setGeometry(fern::TemplateRect(166, 114, 42, 13));
  ok->setDefault(true);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);

  fern::StaticIcon(this, IDR_MAINFRAME, 10, 4);

  auto* name = new QLabel(QStringLiteral("Ferncastle Ver. 1.0"), this);
  name->setTextFormat(Qt::PlainText);
  name->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  name->setGeometry(fern::TemplateRect(40, 10, 167, 8));
  ok->setFocus();
}
