#include "settings/Options.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include "res/Resource.h"
#include "res/gui/DialogUnits.h"
#include "settings/SettingsStore.h"
#include "settings/UpDown.h"

namespace {

const char kSection[] = "Settings";

QFont TemplateFont() { return fern::DialogFont("MS Shell Dlg", 8); }

QRect Dlu(int x, int y, int w, int h) { return fern::DluToPixels(TemplateFont(), x, y, w, h); }

void Place(QWidget* w, int id, int x, int y, int width, int height) {
  if (id != 0) w->setObjectName(QString::number(id));
  w->setGeometry(Dlu(x, y, width, height));
}

QLabel* Static(QWidget* parent, int id, const char* text, int x, int y, int w, int h) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  label->setTextFormat(Qt::PlainText);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setWordWrap(true);
  Place(label, id, x, y, w, h);
  return label;
}

}  // namespace

COptions::COptions(QWidget* parent) : QDialog(parent) {
  setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  setWindowTitle(QStringLiteral("Fernlet Options"));
  setFont(TemplateFont());
  setFixedSize(fern::DluToPixels(TemplateFont(), 186, 170));

  // Created in tab order: the focus chain follows creation.
  m_pEnableFull = new QCheckBox(QStringLiteral("Full Backup"), this);
  Place(m_pEnableFull, IDC_ENABLE_FULL, 7, 7, 149, 10);
  m_pFullDays = new QLineEdit(this);
  Place(m_pFullDays, IDC_FULL_DAYS, 45, 38, 37, 14);
  m_pFullSpin = new CUpDown(m_pFullDays, Dlu(0, 0, 11, 0).width());
  m_pFullSpin->setObjectName(QString::number(IDC_FULL_SPIN));
  m_pEnableQuick = new QCheckBox(QStringLiteral("Quick Backup"), this);
  Place(m_pEnableQuick, IDC_ENABLE_QUICK, 7, 70, 149, 10);
  m_pQuickDays = new QLineEdit(this);
  Place(m_pQuickDays, IDC_QUICK_DAYS, 45, 102, 37, 14);
  m_pQuickSpin = new CUpDown(m_pQuickDays, Dlu(0, 0, 10, 0).width());
  m_pQuickSpin->setObjectName(QString::number(IDC_QUICK_SPIN));
  m_pPurgeDays = new QLineEdit(this);
  Place(m_pPurgeDays, IDC_PURGE_DAYS, 103, 125, 37, 14);
  auto* ok = new QPushButton(QStringLiteral("&OK"), this);
  Place(ok, IDOK, 109, 149, 32, 14);
  ok->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("&Cancel"), this);
  Place(cancel, IDCANCEL, 146, 149, 33, 14);

  Static(this, IDC_FULL_TEXT, "Backup all files and folders from the USB Flash Drive.", 21, 19, 149, 16);
  Static(this, 0, "Every", 22, 39, 20, 8);
  Static(this, 0, "days", 87, 39, 16, 8);
  Static(this, IDC_QUICK_TEXT, "Backup only files that have changed since last backup.", 21, 82, 149, 16);
  Static(this, 0, "Every", 22, 102, 20, 8);
  Static(this, 0, "days", 87, 102, 16, 8);
  Static(this, 0, "Delete old backup sets after ", 7, 126, 93, 8);
  Static(this, 0, "days", 145, 127, 16, 8);

  connect(ok, &QPushButton::clicked, this, &COptions::accept);
  connect(cancel, &QPushButton::clicked, this, &COptions::reject);

  FillControls();
  m_pEnableFull->setFocus();
}

QCheckBox* COptions::CheckBox(int id) const {
  switch (id) {
    case IDC_ENABLE_FULL: return m_pEnableFull;
    case IDC_ENABLE_QUICK: return m_pEnableQuick;
    default: return nullptr;
  }
}

QLineEdit* COptions::Edit(int id) const {
  switch (id) {
    case IDC_FULL_DAYS: return m_pFullDays;
    case IDC_QUICK_DAYS: return m_pQuickDays;
    case IDC_PURGE_DAYS: return m_pPurgeDays;
    default: return nullptr;
  }
}

CUpDown* COptions::UpDown(int id) const {
  switch (id) {
    case IDC_FULL_SPIN: return m_pFullSpin;
    case IDC_QUICK_SPIN: return m_pQuickSpin;
    default: return nullptr;
  }
}

int COptions::ParseNumber(const QString& text) {
  bool ok = false;
  int value = text.trimmed().toInt(&ok, 10);
  return ok ? value : 0;
}

void COptions::FillControls() {
  // The dialog's own defaults (7, 1, 60) differ from the schedule's for the two day counts.
  m_pFullDays->setText(QString::number(fern::GetProfileInt(kSection, "Full Days", 7)));
  m_pEnableFull->setChecked(fern::GetProfileInt(kSection, "Enable Full", 1) != 0);
  m_pQuickDays->setText(QString::number(fern::GetProfileInt(kSection, "Incremental Days", 1)));
  m_pEnableQuick->setChecked(fern::GetProfileInt(kSection, "Enable Incremental", 1) != 0);
  m_pPurgeDays->setText(QString::number(fern::GetProfileInt(kSection, "Purge Days", 60)));
}

void COptions::accept() {
  bool written = true;
  written &= fern::WriteProfileInt(kSection, "Full Days", ParseNumber(m_pFullDays->text()));
  written &= fern::WriteProfileInt(kSection, "Incremental Days", ParseNumber(m_pQuickDays->text()));
  written &= fern::WriteProfileInt(kSection, "Enable Full", m_pEnableFull->isChecked() ? 1 : 0);
  written &= fern::WriteProfileInt(kSection, "Enable Incremental", m_pEnableQuick->isChecked() ? 1 : 0);
  written &= fern::WriteProfileInt(kSection, "Purge Days", ParseNumber(m_pPurgeDays->text()));
  if (!written) {
    // The values would silently be lost: say so and leave the dialog open.
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Ferncastle"),
                    QStringLiteral("The settings could not be saved."), QMessageBox::Ok, this);
    box.exec();
    return;
  }
  QDialog::accept();
}
