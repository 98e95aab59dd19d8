// Restore of the checked files, Copy and Preview on real sets, with a temporary folder as the
// drive root and TMPDIR pointing at a temporary folder.
#include <sys/stat.h>

#include <QAction>
#include <QClipboard>
#include <QFile>
#include <QDesktopServices>
#include <QLabel>
#include <QMimeData>
#include <QUrl>

#include <QPushButton>

#include "ViewerTestSupport.h"
#include "dialogs/OWPrompt.h"
#include "viewer/ScratchActions.h"
#include "platform/TempFolder.h"
#include "tests/engine/IndependentSetWriter.h"
#include "res/Resource.h"
#include "tests/dialogs/ModalHelpers.h"

using namespace viewertest;

namespace {

// Receives the file URLs that the viewer asks the desktop to open.
class UrlRecorder : public QObject {
  Q_OBJECT
 public:
  UrlRecorder() { QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "Open"); }
  ~UrlRecorder() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }
  std::vector<QUrl> urls;
 public slots:
  void Open(const QUrl& url) { urls.push_back(url); }
};

// A program folder with an xdg-mime that answers `answer` for every type.
void MakeXdgMime(const TempDir& bin, const std::string& answer) {
  const std::string path = bin / "xdg-mime";
  std::ofstream(path) << "#!/bin/sh\n" << (answer.empty() ? "" : "echo " + answer + "\n") << "exit 0\n";
  chmod(path.c_str(), 0755);
}

std::vector<Entry> Drive() {
  return {{"E:\\keep\\a.txt", "alpha"},
          {"E:\\keep\\sub\\b.txt", "bravo"},
          {"E:\\skip\\c.txt", "charlie"},
          {"E:\\two\\same.txt", "first same"},
          {"E:\\three\\same.txt", "second same"},
          {"E:\\run.exe", "MZ program"},
          {"E:\\doc.pdf", "%PDF-1.4 body"}};
}

}  // namespace

TEST(ViewerActions, RestoreWritesCheckedFilesBelowCheckedFoldersOnly) {
  TempDir dir, drive;
  const std::string set = dir / "S-1.fcf";
  ASSERT_TRUE(WriteSet(set, Drive()));
  CViewBackup view;
  OpenAndLoad(view, set, drive.Path() + "/");
  QTreeView* tree = view.Tree();
  QModelIndex top = view.TopItem();
  tree->expandAll();
  ClickBox(tree, Child(top, "keep"));
  ClickBox(tree, Child(Child(top, "two"), "same.txt"));
  ClickBox(tree, Child(Child(top, "three"), "same.txt"));
  // A checked file below an unchecked folder (the keyboard changes one box only) is not picked.
  tree->setCurrentIndex(Child(Child(top, "skip"), "c.txt"));
  tree->setFocus();
  Key(tree, Qt::Key_Space);
  ASSERT_TRUE(Checked(Child(Child(top, "skip"), "c.txt")));
  ASSERT_FALSE(Checked(Child(top, "skip")));
  ASSERT_TRUE(view.CommandAction(ID_RESTORE_CHECKED)->isEnabled());

  view.CommandAction(ID_RESTORE_CHECKED)->trigger();
  EXPECT_EQ(view.StatusLine()->text(), "Restoring...");
  ASSERT_TRUE(WaitIdle(view));
  EXPECT_EQ(view.StatusLine()->text(), "Done!");
  EXPECT_EQ(ReadFile(drive / "keep/a.txt"), "alpha");
  EXPECT_EQ(ReadFile(drive / "keep/sub/b.txt"), "bravo");
  EXPECT_EQ(ReadFile(drive / "two/same.txt"), "first same");
  EXPECT_EQ(ReadFile(drive / "three/same.txt"), "second same");
  EXPECT_FALSE(Exists(drive / "skip"));
  EXPECT_FALSE(Exists(drive / "run.exe"));
  EXPECT_FALSE(Exists(drive / "keep/a.txt.bak"));
  // The button is not re-evaluated at the end.
  EXPECT_TRUE(view.CommandAction(ID_RESTORE_CHECKED)->isEnabled());
}

TEST(ViewerActions, EveryRestoreAsksAgainAboutNewerFiles) {
  TempDir dir, drive;
  const std::string set = dir / "S-1.fcf";
  ASSERT_TRUE(WriteSet(set, {{"E:\\a.txt", "alpha"}}));
  std::ofstream(drive / "a.txt") << "newer";  // written now: newer than the set's 2005
  CViewBackup view;
  OpenAndLoad(view, set, drive.Path() + "/");
  ClickBox(view.Tree(), Child(view.TopItem(), "a.txt"));
  ASSERT_TRUE(view.CommandAction(ID_RESTORE_CHECKED)->isEnabled());
  {
    WhenModal<COWPrompt> yesToAll([](COWPrompt* prompt) { prompt->Button(IDC_OW_YESTOALL)->click(); });
    view.CommandAction(ID_RESTORE_CHECKED)->trigger();
    ASSERT_TRUE(WaitIdle(view));
    EXPECT_TRUE(yesToAll.Seen());
  }
  EXPECT_EQ(ReadFile(drive / "a.txt"), "alpha");

  // "Yes to All" held for that restore only: the next one asks again, and No keeps the file.
  std::ofstream(drive / "a.txt") << "newer again";
  WhenModal<COWPrompt> no([](COWPrompt* prompt) { prompt->Button(IDCANCEL)->click(); });
  view.CommandAction(ID_RESTORE_CHECKED)->trigger();
  ASSERT_TRUE(WaitIdle(view));
  EXPECT_TRUE(no.Seen());
  EXPECT_EQ(ReadFile(drive / "a.txt"), "newer again");
}

TEST(ViewerActions, CopyPutsTheScratchCopyOnTheClipboard) {
  TempDir dir, temp;
  ScopedEnv tmpdir("TMPDIR", temp.Path());
  const std::string set = dir / "S-1.fcf";
  ASSERT_TRUE(WriteSet(set, Drive()));
  CViewBackup view;
  OpenAndLoad(view, set);
  QTreeView* tree = view.Tree();
  QModelIndex top = view.TopItem();
  QGuiApplication::clipboard()->clear();

  // A program may be copied, though not previewed.
  tree->setCurrentIndex(Child(top, "run.exe"));
  ASSERT_TRUE(view.CommandAction(ID_COPY_TO_CLIPBOARD)->isEnabled());
  view.CommandAction(ID_COPY_TO_CLIPBOARD)->trigger();
  const QMimeData* data = QGuiApplication::clipboard()->mimeData();
  ASSERT_NE(data, nullptr);
  ASSERT_TRUE(data->hasFormat("text/uri-list"));
  ASSERT_EQ(data->urls().size(), 1);
  const std::string path = data->urls()[0].toLocalFile().toStdString();
  EXPECT_EQ(path, fern::ScratchPath("run.exe"));
  EXPECT_EQ(path.rfind(temp.Path() + "/", 0), 0u) << path;
  EXPECT_EQ(ReadFile(path), "MZ program");
  EXPECT_EQ(data->text().toStdString(), path);
  EXPECT_EQ(data->data("x-special/gnome-copied-files").toStdString(),
            "copy\n" + QUrl::fromLocalFile(QString::fromStdString(path)).toEncoded().toStdString());
  EXPECT_FALSE(view.Busy());
  EXPECT_TRUE(view.StopRequested());

  // The same name in another folder replaces the scratch copy.
  tree->setCurrentIndex(Child(Child(top, "three"), "same.txt"));
  view.OnCommand(ID_COPY_TO_CLIPBOARD);
  ASSERT_EQ(QGuiApplication::clipboard()->mimeData()->urls().size(), 1);
  EXPECT_EQ(ReadFile(QGuiApplication::clipboard()->mimeData()->urls()[0].toLocalFile().toStdString()), "second same");

  // A folder is not copied: the clipboard keeps what it had.
  tree->setCurrentIndex(Child(top, "keep"));
  view.OnCommand(ID_COPY_TO_CLIPBOARD);
  EXPECT_EQ(QGuiApplication::clipboard()->mimeData()->urls()[0].fileName(), "same.txt");
}

TEST(ViewerActions, PreviewOpensWithTheDefaultApplication) {
  TempDir dir, temp, bin;
  ScopedEnv tmpdir("TMPDIR", temp.Path());
  MakeXdgMime(bin, "reader.desktop");
  ScopedEnv path("PATH", bin.Path() + ":/usr/bin:/bin");
  const std::string set = dir / "S-1.fcf";
  ASSERT_TRUE(WriteSet(set, Drive()));
  CViewBackup view;
  OpenAndLoad(view, set);
  QTreeView* tree = view.Tree();
  QModelIndex top = view.TopItem();
  UrlRecorder opened;

  tree->setCurrentIndex(Child(top, "doc.pdf"));
  ASSERT_TRUE(view.CommandAction(ID_PREVIEW)->isEnabled());
  view.CommandAction(ID_PREVIEW)->trigger();
  ASSERT_EQ(opened.urls.size(), 1u);
  EXPECT_EQ(opened.urls[0].toLocalFile().toStdString(), fern::ScratchPath("doc.pdf"));
  EXPECT_EQ(ReadFile(fern::ScratchPath("doc.pdf")), "%PDF-1.4 body");
  EXPECT_EQ(view.StatusLine()->text(), "");

  // A program is refused however it is asked for.
  tree->setCurrentIndex(Child(top, "run.exe"));
  view.OnCommand(ID_PREVIEW);
  DoubleClick(tree->viewport(), tree->visualRect(Child(top, "run.exe")).center());
  EXPECT_EQ(opened.urls.size(), 1u);
  EXPECT_FALSE(Exists(fern::ScratchPath("run.exe")));

  // A double-click on a file opens it; on a folder it opens nothing and expands it.
  DoubleClick(tree->viewport(), tree->visualRect(Child(top, "doc.pdf")).center());
  EXPECT_EQ(opened.urls.size(), 2u);
  QModelIndex keep = Child(top, "keep");
  ASSERT_FALSE(tree->isExpanded(keep));
  DoubleClick(tree->viewport(), tree->visualRect(keep).center());
  EXPECT_TRUE(tree->isExpanded(keep));
  EXPECT_EQ(opened.urls.size(), 2u);
  EXPECT_EQ(view.StatusLine()->text(), "");
}

TEST(ViewerActions, PreviewWithoutAnAssociationTakesTheChooser) {
  TempDir dir, temp, bin;
  ScopedEnv tmpdir("TMPDIR", temp.Path());
  MakeXdgMime(bin, "");  // no program for any type
  ScopedEnv path("PATH", bin.Path() + ":/usr/bin:/bin");
  const std::string set = dir / "S-1.fcf";
  ASSERT_TRUE(WriteSet(set, {{"E:\\a.xyz", "unknown kind"}}));
  CViewBackup view;
  OpenAndLoad(view, set);
  UrlRecorder opened;
  MessageCatcher messages;
  view.Tree()->setCurrentIndex(Child(view.TopItem(), "a.xyz"));
  view.OnCommand(ID_PREVIEW);
  // Not opened with a default program; the chooser's portal is out of reach here (no session
  // bus), which is said rather than left silent.
  EXPECT_TRUE(opened.urls.empty());
  EXPECT_EQ(messages.texts, std::vector<std::string>{"Error opening!"});
  EXPECT_EQ(ReadFile(fern::ScratchPath("a.xyz")), "unknown kind");
}

TEST(ViewerActions, OpenErrorTextsFollowTheCause) {
  EXPECT_EQ(CScratchActions::OpenErrorText(ENOENT), "The specified file was not found.");
  EXPECT_EQ(CScratchActions::OpenErrorText(ENOTDIR), "The specified path was not found.");
  EXPECT_EQ(CScratchActions::OpenErrorText(EACCES), "The operating system denied access to the specified file.");
  EXPECT_EQ(CScratchActions::OpenErrorText(ENOMEM), "There was not enough memory to complete the operation.");
  EXPECT_EQ(CScratchActions::OpenErrorText(EMFILE), "The operating system is out of memory or resources.");
  EXPECT_EQ(CScratchActions::OpenErrorText(EIO), "Error opening!");
  EXPECT_EQ(CScratchActions::OpenErrorText(0), "Error opening!");
}

TEST(ViewerActions, SetDeletedAfterOpeningDoesNothing) {
  TempDir dir, drive, temp;
  ScopedEnv tmpdir("TMPDIR", temp.Path());
  const std::string set = dir / "S-1.fcf";
  ASSERT_TRUE(WriteSet(set, Drive()));
  CViewBackup view;
  OpenAndLoad(view, set, drive.Path() + "/");
  QTreeView* tree = view.Tree();
  QModelIndex top = view.TopItem();
  ClickBox(tree, top);
  ASSERT_EQ(unlink(set.c_str()), 0);

  view.OnCommand(ID_RESTORE_CHECKED);
  ASSERT_TRUE(WaitIdle(view));
  EXPECT_EQ(view.StatusLine()->text(), "Done!");
  EXPECT_TRUE(std::filesystem::is_empty(drive.Path()));

  auto* before = new QMimeData;
  before->setText("before");
  QGuiApplication::clipboard()->setMimeData(before);
  UrlRecorder opened;
  tree->setCurrentIndex(Child(top, "doc.pdf"));
  view.OnCommand(ID_COPY_TO_CLIPBOARD);
  EXPECT_EQ(QGuiApplication::clipboard()->text(), "before");
  view.OnCommand(ID_PREVIEW);
  EXPECT_TRUE(opened.urls.empty());
  EXPECT_EQ(view.StatusLine()->text(), "");
  EXPECT_FALSE(Exists(fern::ScratchPath("doc.pdf")));
}

TEST(ViewerActions, CommandsDoNothingWhileLoading) {
  TempDir dir, drive, temp;
  ScopedEnv tmpdir("TMPDIR", temp.Path());
  const std::string set = dir / "BIG-1.fcf";
  std::vector<Entry> entries;
  for (int i = 0; i < 30000; ++i) entries.push_back({"E:\\n" + std::to_string(i) + ".txt", "q"});
  ASSERT_TRUE(WriteSet(set, entries));
  CViewBackup view;
  view.SetSetAndDrive(set, drive.Path() + "/");
  view.show();
  ASSERT_TRUE(view.Busy());
  view.OnCommand(ID_COPY_TO_CLIPBOARD);
  view.OnCommand(ID_PREVIEW);
  view.OnCommand(ID_RESTORE_CHECKED);
  EXPECT_EQ(view.StatusLine()->text(), "Loading...");
  ASSERT_TRUE(WaitIdle(view));
  EXPECT_TRUE(std::filesystem::is_empty(drive.Path()));
  EXPECT_EQ(view.StatusLine()->text(), "");
}

TEST(ViewerActions, EscapeDuringRestoreStopsAfterTheCurrentEntry) {
  TempDir dir, drive;
  const std::string set = dir / "S-2.fcf";
  std::vector<Entry> entries;
  for (int i = 0; i < 3000; ++i) entries.push_back({"E:\\d\\f" + std::to_string(i), std::string(2000, 'r')});
  ASSERT_TRUE(WriteSet(set, entries));
  CViewBackup view;
  OpenAndLoad(view, set, drive.Path() + "/");
  ClickBox(view.Tree(), view.TopItem());
  view.OnCommand(ID_RESTORE_CHECKED);
  ASSERT_TRUE(view.Busy());
  Key(view.Tree(), Qt::Key_Escape);
  EXPECT_TRUE(view.isVisible());
  EXPECT_EQ(view.StatusLine()->text(), "Cancelled...");
  ASSERT_TRUE(WaitIdle(view));
  EXPECT_EQ(view.StatusLine()->text(), "Done!");
  size_t written = 0;
  // A stop during the first pass over the set (before anything is written) leaves no folder.
  if (std::filesystem::exists(drive / "d")) {
    for (const auto& file : std::filesystem::directory_iterator(drive / "d")) {
      (void)file;
      ++written;
    }
  }
  EXPECT_LT(written, 3000u);
  Key(view.Tree(), Qt::Key_Escape);
  EXPECT_FALSE(view.isVisible());
}

TEST(ViewerActions, WindowsNamesShowAndCopyAsUtf8) {
  TempDir dir, temp;
  ScopedEnv tmpdir("TMPDIR", temp.Path());
  // Written on a western Windows: the names in Windows-1252 (é, ü, €, ß as single bytes).
  CIndependentSetWriter w;
  w.AddEntry("E:\\Caf\xE9\\M\xFC" "ller.txt", "mueller", 1000);
  w.AddEntry("E:\\Caf\xE9\\\x80\xDF.txt", "euro", 1000);
  w.AddEntry("E:\\docs\\plain.txt", "plain", 1000);
  const std::string set = dir / "WIN-1.fcf";
  ASSERT_TRUE(w.Write(set));
  CViewBackup view;
  OpenAndLoad(view, set);
  QModelIndex top = view.TopItem();
  EXPECT_EQ(ChildLabels(top), (QStringList{QString::fromUtf8("Caf\xC3\xA9"), "docs"}));
  QModelIndex cafe = Child(top, QString::fromUtf8("Caf\xC3\xA9"));
  ASSERT_TRUE(cafe.isValid());
  EXPECT_EQ(ChildLabels(cafe), (QStringList{QString::fromUtf8("M\xC3\xBCller.txt"),
                                            QString::fromUtf8("\xE2\x82\xAC\xC3\x9F.txt")}));

  // Copy puts a scratch copy under the decoded name on the clipboard, and the path there finds it.
  QModelIndex euro = Child(cafe, QString::fromUtf8("\xE2\x82\xAC\xC3\x9F.txt"));
  view.Tree()->setCurrentIndex(euro);
  QGuiApplication::clipboard()->clear();
  view.OnCommand(ID_COPY_TO_CLIPBOARD);
  const QMimeData* data = QGuiApplication::clipboard()->mimeData();
  ASSERT_NE(data, nullptr);
  ASSERT_EQ(data->urls().size(), 1);
  const QString copied = data->urls()[0].toLocalFile();
  EXPECT_EQ(data->urls()[0].fileName(), QString::fromUtf8("\xE2\x82\xAC\xC3\x9F.txt"));
  QFile file(copied);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << copied.toStdString();
  EXPECT_EQ(file.readAll().toStdString(), "euro");
  EXPECT_EQ(copied.toStdString(), fern::ScratchPath("\xE2\x82\xAC\xC3\x9F.txt"));
}

#include "FileActions_test.moc"
