#include "dialogs/OWPrompt.h"

#include <QFile>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>

#include "dialogs/ShownText.h"
#include "dialogs/DialogFrame.h"
#include "res/Resource.h"

COWPrompt::COWPrompt(QWidget* parent) : QDialog(parent) {
  fern::SetUpTemplateDialog(this, "Overwrite?", 227, 73);

  auto button = [this](const char* text, int id, int x, int result) {
    auto* b = new QPushButton(QString::fromUtf8(text), this);
    b->setObjectName(QString::number(id));
    b->setGeometry(fern::TemplateRect(x, 52, 50, 14));
    connect(b, &QPushButton::clicked, this, [this, result] { done(result); });
    return b;
  };
  // Created in tab order.
  m_pYes = button("&Yes", IDC_OW_YES, 7, RESULT_YES);
  m_pYesToAll = button("Yes to &All", IDC_OW_YESTOALL, 61, RESULT_YES_TO_ALL);
  m_pNo = button("&No", IDCANCEL, 116, RESULT_NO);
  m_pNoToAll = button("No to A&ll", IDC_OW_NOTOALL, 170, RESULT_NO_TO_ALL);
  m_pYes->setDefault(true);

  m_pFileName = new QLabel(this);
  m_pFileName->setObjectName(QString::number(IDC_OW_FILENAME));
  m_pFileName->setTextFormat(Qt::PlainText);  // a file name is never markup
  m_pFileName->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  m_pFileName->setGeometry(fern::TemplateRect(41, 30, 172, 13));

  auto* question = new QLabel(
      QStringLiteral("Existing file is newer than the file you are restoring. "
                     "Are you sure you want to overwrite the existing file?"),
      this);
  question->setTextFormat(Qt::PlainText);
  question->setWordWrap(true);
  question->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  question->setGeometry(fern::TemplateRect(40, 10, 180, 18));

  fern::StaticIcon(this, IDI_QUESTION, 7, 7);
}

QPushButton* COWPrompt::Button(int id) const {
  switch (id) {
    case IDC_OW_YES: return m_pYes;
    case IDC_OW_YESTOALL: return m_pYesToAll;
    case IDCANCEL: return m_pNo;
    case IDC_OW_NOTOALL: return m_pNoToAll;
    default: return nullptr;
  }
}

void COWPrompt::ShowFileName() {
  QString full = fern::ShownText(m_strFileName);
  QFontMetrics metrics(m_pFileName->font());
  m_pFileName->setText(metrics.elidedText(full, Qt::ElideMiddle, m_pFileName->width()));
  m_pFileName->setToolTip(full);
}

void COWPrompt::showEvent(QShowEvent* event) {
  ShowFileName();
  m_pYes->setFocus();
  QDialog::showEvent(event);
}

void COWPrompt::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  if (isVisible()) ShowFileName();
}

void COWPrompt::reject() { done(RESULT_NO); }
