// The options dialog: the schedule of full and quick backups and the age at which old sets
// are deleted. It reads the store when it opens and writes all five values on OK only.
// Controls carry their template id as objectName ("1018" ... "1026").
#pragma once

#include <QDialog>

class QCheckBox;
class QLineEdit;
class CUpDown;

class COptions : public QDialog {
  Q_OBJECT
 public:
  explicit COptions(QWidget* parent = nullptr);

  // The control of that template id (1018, 1019, 1021, 1023, 1026 edits and boxes), for tests.
  QCheckBox* CheckBox(int id) const;
  QLineEdit* Edit(int id) const;
  CUpDown* UpDown(int id) const;  // 1024, 1025

  // An edit's text as a signed decimal integer; anything else, or beyond 32 bits, is 0.
  static int ParseNumber(const QString& text);

 public slots:
  void accept() override;  // OK: write the store, then close

 private:
  void FillControls();

  QCheckBox* m_pEnableFull;
  QCheckBox* m_pEnableQuick;
  QLineEdit* m_pFullDays;
  QLineEdit* m_pQuickDays;
  QLineEdit* m_pPurgeDays;
  CUpDown* m_pFullSpin;
  CUpDown* m_pQuickSpin;
};
