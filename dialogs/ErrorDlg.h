// The list of the files that failed during a backup or restore, one row per failure in the
// order they happened. The dialog only shows the caller's lists; it does not change them.
#pragma once

#include <QDialog>
#include <string>
#include <vector>

class QTableWidget;

class CErrorDlg : public QDialog {
  Q_OBJECT
 public:
  // Either list may be null: the list stays empty. Both must outlive the dialog.
  CErrorDlg(const std::vector<std::string>* fileNames, const std::vector<std::string>* errorTexts,
            QWidget* parent = nullptr);

  // List 1000: columns "FileName" and "Error".
  QTableWidget* List() const { return m_pList; }

 private:
  void FillList();
  void keyPressEvent(QKeyEvent* event) override;  // Enter closes, as Escape does

  const std::vector<std::string>* m_pFileNames;
  const std::vector<std::string>* m_pErrorTexts;
  QTableWidget* m_pList;
};
