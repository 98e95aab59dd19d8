// The question asked before a restore overwrites a file that is newer on the drive than in
// the set. It only asks; remembering an answer "to All" is the caller's business.
#pragma once

#include <QDialog>
#include <string>

class QLabel;
class QPushButton;

class COWPrompt : public QDialog {
  Q_OBJECT
 public:
  // Results of exec().
  enum { RESULT_NO = 0, RESULT_NO_TO_ALL = 1, RESULT_YES = 2, RESULT_YES_TO_ALL = 3 };

  explicit COWPrompt(QWidget* parent = nullptr);

  // The full path of the existing file; set before exec().
  std::string m_strFileName;

  // The button of that control id (1025 Yes, 1026 Yes to All, 2 No, 1027 No to All), for tests.
  QPushButton* Button(int id) const;
  // Static 1028, which shows the file name.
  QLabel* FileNameLabel() const { return m_pFileName; }

 protected:
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void reject() override;  // Escape and the close box: No

 private:
  void ShowFileName();

  QLabel* m_pFileName;
  QPushButton* m_pYes;
  QPushButton* m_pYesToAll;
  QPushButton* m_pNo;
  QPushButton* m_pNoToAll;
};
