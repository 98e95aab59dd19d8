#include "dialogs/ErrorDlg.h"

#include <QFile>
#include <QFontMetrics>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QTableWidget>
#include <algorithm>

#include "dialogs/ShownText.h"
#include "dialogs/DialogFrame.h"
#include "res/Resource.h"
#include "res/gui/Pictures.h"

// The image-list picture of an error row: the icon on white, as the shared list holds it.
static QIcon ErrorRowImage() {
  QPixmap image(16, 16);
  image.fill(Qt::white);
  QPainter painter(&image);
  painter.drawPixmap(0, 0, fern::LoadIconRes(IDI_ERRORROW).pixmap(16, 16));
  painter.end();
  return QIcon(image);
}

CErrorDlg::CErrorDlg(const std::vector<std::string>* fileNames,
                     const std::vector<std::string>* errorTexts, QWidget* parent)
    : QDialog(parent), m_pFileNames(fileNames), m_pErrorTexts(errorTexts) {
  fern::SetUpTemplateDialog(this, "Fernlet Errors", 236, 142);

  m_pList = new QTableWidget(this);
  m_pList->setObjectName(QString::number(IDC_ERRORLIST));
  m_pList->setGeometry(fern::TemplateRect(7, 29, 215, 106));
  m_pList->setSelectionMode(QAbstractItemView::SingleSelection);
  m_pList->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_pList->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_pList->setShowGrid(true);
  m_pList->setWordWrap(false);
  // Column 0 holds the picture too: a name a few pixels too wide is clipped, not shortened.
  m_pList->setTextElideMode(Qt::ElideNone);
  m_pList->setIconSize(QSize(16, 16));
  m_pList->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
  m_pList->verticalHeader()->hide();
  m_pList->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  m_pList->verticalHeader()->setDefaultSectionSize(
      std::max(18, QFontMetrics(m_pList->font()).height() + 4));
  m_pList->horizontalHeader()->setSectionsClickable(false);  // no sort header
  m_pList->horizontalHeader()->setHighlightSections(false);
  m_pList->horizontalHeader()->setStretchLastSection(false);
  m_pList->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);

  auto* text = new QLabel(
      QStringLiteral("The following errors occurred during the last backup or restore operation..."),
      this);
  text->setTextFormat(Qt::PlainText);
  text->setWordWrap(true);
  text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  text->setGeometry(fern::TemplateRect(35, 7, 194, 22));

  fern::StaticIcon(this, IDI_ERRORBIG, 7, 7);

  FillList();
  m_pList->setFocus();
}

void CErrorDlg::FillList() {
  m_pList->setColumnCount(2);
  m_pList->setHorizontalHeaderLabels({QStringLiteral("FileName"), QStringLiteral("Error")});
  m_pList->setColumnWidth(0, 80);
  m_pList->setColumnWidth(1, 80);
  if (m_pFileNames == nullptr || m_pErrorTexts == nullptr) return;

  const QIcon image = ErrorRowImage();
  const QFontMetrics metrics(m_pList->font());
  const size_t rows = m_pFileNames->size();
  m_pList->setRowCount(static_cast<int>(rows));
  int width0 = 80, width1 = 80;
  for (size_t i = 0; i < rows; ++i) {
    QString name = fern::ShownText((*m_pFileNames)[i]);
    // The lists are equal in length by contract; a short error list gives empty texts.
    QString error = i < m_pErrorTexts->size()
                        ? QString::fromStdString((*m_pErrorTexts)[i]) : QString();
    auto* item0 = new QTableWidgetItem(image, name);
    auto* item1 = new QTableWidgetItem(error);
    item0->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    item1->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
    m_pList->setItem(static_cast<int>(i), 0, item0);
    m_pList->setItem(static_cast<int>(i), 1, item1);
    width0 = std::max(width0, metrics.horizontalAdvance(name) + 25);
    width1 = std::max(width1, metrics.horizontalAdvance(error) + 25);
  }
  m_pList->setColumnWidth(0, width0);
  m_pList->setColumnWidth(1, width1);
}

void CErrorDlg::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    accept();
    return;
  }
  QDialog::keyPressEvent(event);
}
