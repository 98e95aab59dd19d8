// The tree built from a real set: chains of nodes, sibling order, the first-entry records,
// expansion of the first level, and the end-of-load state.
#include <QAction>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <chrono>
#include <thread>

#include "res/Resource.h"
#include "res/gui/ListPictures.h"
#include "tests/storage/GermanLocale.h"
#include "viewer/SetTreeModel.h"
#include "viewer/TreeItem.h"
#include "ViewerTestSupport.h"

using namespace viewertest;

TEST(ViewerTree, ExampleSetGivesOrderExpansionAndRecords) {
  TempDir dir;
  const std::string set = dir / "MYSTICK-951.fcf";
  ASSERT_TRUE(WriteSet(set, {{"E:\\a.txt", "alpha", 1000},
                             {"E:\\docs\\b.txt", "bravo!", 2000},
                             {"E:\\docs\\sub\\c.txt", "c", 3000},
                             {"E:\\Zeta\\d.txt", "delta", 4000}}));
  CViewBackup view;
  OpenAndLoad(view, set);
  QTreeView* tree = view.Tree();

  ASSERT_EQ(view.Model()->rowCount(), 1);
  QModelIndex top = view.TopItem();
  EXPECT_EQ(top.data().toString(), "E:");
  EXPECT_TRUE(tree->isExpanded(top));
  EXPECT_EQ(ChildLabels(top), (QStringList{"docs", "Zeta", "a.txt"}));
  QModelIndex docs = Child(top, "docs");
  EXPECT_EQ(ChildLabels(docs), (QStringList{"sub", "b.txt"}));
  EXPECT_FALSE(tree->isExpanded(docs));
  EXPECT_FALSE(tree->isExpanded(Child(docs, "sub")));
  EXPECT_FALSE(tree->isExpanded(Child(top, "Zeta")));

  // The first entry through a node defines its record.
  const CTreeItem* topNode = CViewBackup::NodeOf(top);
  ASSERT_NE(topNode, nullptr);
  EXPECT_EQ(topNode->m_strName, "E:\\a.txt");
  EXPECT_EQ(topNode->m_time, 1000);
  EXPECT_EQ(topNode->m_dwSize, 5u);
  EXPECT_TRUE(topNode->m_bFolder);
  const CTreeItem* docsNode = CViewBackup::NodeOf(docs);
  EXPECT_EQ(docsNode->m_strName, "E:\\docs\\b.txt");
  EXPECT_EQ(docsNode->m_time, 2000);
  EXPECT_EQ(docsNode->m_dwSize, 6u);
  EXPECT_TRUE(docsNode->m_bFolder);
  const CTreeItem* c = CViewBackup::NodeOf(Child(Child(docs, "sub"), "c.txt"));
  ASSERT_NE(c, nullptr);
  EXPECT_FALSE(c->m_bFolder);
  EXPECT_EQ(c->m_strText, "c.txt");
  EXPECT_EQ(view.NodeCount(), 8u);  // E:, a.txt, docs, b.txt, sub, c.txt, Zeta, d.txt
  EXPECT_EQ(view.Node(0).m_strText, "E:");  // creation order

  // Loaded: idle, status empty, stop hidden, nothing enabled without a check or a selection.
  EXPECT_FALSE(view.Busy());
  EXPECT_TRUE(view.StopRequested());
  EXPECT_EQ(view.StatusLine()->text(), "");
  EXPECT_FALSE(view.StopButton()->isVisible());
  EXPECT_FALSE(view.CommandAction(ID_RESTORE_CHECKED)->isEnabled());
  EXPECT_FALSE(view.CommandAction(ID_PREVIEW)->isEnabled());
  EXPECT_FALSE(view.CommandAction(ID_COPY_TO_CLIPBOARD)->isEnabled());
  EXPECT_EQ(view.Title().rfind("MYSTICK (", 0), 0u) << view.Title();
  EXPECT_EQ(view.Title().back(), ')');
  // Folder and file pictures of the shared image list.
  EXPECT_EQ(docs.data(Qt::DecorationRole).value<QIcon>().pixmap(16, 16).toImage(), fern::ListPicture(IMAGE_FOLDER).toImage());
  EXPECT_EQ(Child(top, "a.txt").data(Qt::DecorationRole).value<QIcon>().pixmap(16, 16).toImage(), fern::ListPicture(IMAGE_FILE).toImage());
}

TEST(ViewerTree, SegmentsShareNodesOnlyWhenEqualWithCase) {
  TempDir dir;
  const std::string set = dir / "STICK-1.fcf";
  ASSERT_TRUE(WriteSet(set, {{"E:\\docs\\docs\\f.txt", "f"},
                             {"E:\\Backup\\Photos\\x.jpg", "x"},
                             {"E:\\Photos\\y.jpg", "y"},
                             {"E:\\docs\\b.txt", "b"},
                             {"E:\\Docs\\a.txt", "a"},
                             {"E:\\zz.txt", "z"},
                             {"E:\\ZZ.txt", "Z"},
                             {"E:\\_x", "_"}}));
  CViewBackup view;
  OpenAndLoad(view, set);
  QModelIndex top = view.TopItem();
  ASSERT_TRUE((top).isValid());
  // Folders first; labels without regard to case; equal but for case: capitals first, whatever
  // order they were read in; '_' sorts before letters as with a lower-case comparison.
  EXPECT_EQ(ChildLabels(top), (QStringList{"Backup", "Docs", "docs", "Photos", "_x", "ZZ.txt", "zz.txt"}));
  // A folder may hold a folder of its own name.
  QModelIndex docs = Child(top, "docs");
  EXPECT_EQ(ChildLabels(docs), (QStringList{"docs", "b.txt"}));
  EXPECT_EQ(ChildLabels(Child(docs, "docs")), QStringList{"f.txt"});
  // Photos below Backup and Photos below the drive are different nodes.
  EXPECT_EQ(ChildLabels(Child(Child(top, "Backup"), "Photos")), QStringList{"x.jpg"});
  EXPECT_EQ(ChildLabels(Child(top, "Photos")), QStringList{"y.jpg"});
  EXPECT_EQ(ChildLabels(Child(top, "Docs")), QStringList{"a.txt"});
}

// A file kept in pieces is one node with the file's size; nothing of the piece names shows.
TEST(ViewerTree, AFileInPiecesIsOneNodeOfItsRealSize) {
  TempDir dir;
  const std::string set = dir / "STICK-2.fcf";
  ASSERT_TRUE(WriteSet(set, {{"E:\\v\\film.mkv.fernpiece-1-of-3", std::string(1000, 'a'), 5000},
                             {"E:\\v\\film.mkv.fernpiece-2-of-3", std::string(1000, 'b'), 5000},
                             {"E:\\v\\film.mkv.fernpiece-3-of-3", "end", 5000},
                             {"E:\\v\\z.txt", "z", 6000}}));
  CViewBackup view;
  OpenAndLoad(view, set);
  QModelIndex v = Child(view.TopItem(), "v");
  EXPECT_EQ(ChildLabels(v), (QStringList{"film.mkv", "z.txt"}));
  const CTreeItem* film = CViewBackup::NodeOf(Child(v, "film.mkv"));
  ASSERT_NE(film, nullptr);
  EXPECT_EQ(film->m_strName, "E:\\v\\film.mkv");
  EXPECT_EQ(film->m_dwSize, 2003u);
  EXPECT_EQ(film->m_time, 5000);
}

TEST(ViewerTree, CompareItemsRanksFoldersFirstThenLabels) {
  CTreeItem folder, file, upper, lower;
  folder.m_strText = "zeta";
  folder.m_bFolder = 1;
  file.m_strText = "Alpha";
  upper.m_strText = "Docs";
  lower.m_strText = "docs";
  EXPECT_LT(CSetTreeBuilder::CompareItems(folder, file), 0);
  EXPECT_GT(CSetTreeBuilder::CompareItems(file, folder), 0);
  EXPECT_LT(CSetTreeBuilder::CompareItems(upper, lower), 0);
  EXPECT_GT(CSetTreeBuilder::CompareItems(lower, upper), 0);
  EXPECT_EQ(CSetTreeBuilder::CompareItems(lower, lower), 0);
  EXPECT_LT(CSetTreeBuilder::CompareItems(file, lower), 0);
}

TEST(ViewerTree, MissingOrEmptySetGivesEmptyTree) {
  TempDir dir;
  {
    CViewBackup view;
    OpenAndLoad(view, dir / "GONE-5.fcf", dir.Path() + "/");
    EXPECT_EQ(view.Model()->rowCount(), 0);
    EXPECT_TRUE(view.Title().empty());
    EXPECT_EQ(view.StatusLine()->text(), "");
    EXPECT_FALSE(view.StopButton()->isVisible());
    EXPECT_FALSE(view.CommandAction(ID_RESTORE_CHECKED)->isEnabled());
  }
  {
    const std::string set = dir / "nodash.fcf";
    ASSERT_TRUE(WriteSet(set, {}));
    CViewBackup view;
    OpenAndLoad(view, set, dir.Path() + "/");
    EXPECT_EQ(view.Model()->rowCount(), 0);
    EXPECT_FALSE(view.CommandAction(ID_RESTORE_CHECKED)->isEnabled());
    // No '-' in the name: the band starts with " (" and the date.
    EXPECT_EQ(view.Title().rfind(" (", 0), 0u) << view.Title();
  }
}

TEST(ViewerTree, DamagedSetKeepsEntriesReadBefore) {
  TempDir dir;
  const std::string good = dir / "good.fcf";
  ASSERT_TRUE(WriteSet(good, {{"E:\\one.txt", "1111"}, {"E:\\two\\t.txt", std::string(5000, 't')}}));
  // The same set cut inside the second entry's data, gzip trailer and all.
  {
    CCompressedFile plain;
    ASSERT_TRUE(plain.Open(good.c_str(), 2));
    char* block = nullptr;
    int size = 0;
    ASSERT_TRUE(plain.ReadAll(&block, &size));
    std::string content(block, size);
    delete[] block;
    plain.Close();
    CCompressedFile cut;
    const std::string cutPath = dir / "cut.fcf";
    ASSERT_TRUE(cut.Open(cutPath.c_str(), 1));
    ASSERT_TRUE(cut.Write(content.data(), static_cast<unsigned>(content.size() - 100)));
    ASSERT_TRUE(cut.Close());
  }
  MessageCatcher messages;
  CViewBackup view;
  OpenAndLoad(view, dir / "cut.fcf");
  QModelIndex top = view.TopItem();
  ASSERT_TRUE((top).isValid());
  // The entry whose data is incomplete is not added.
  EXPECT_EQ(ChildLabels(top), QStringList{"one.txt"});
  EXPECT_EQ(messages.texts, std::vector<std::string>{"error reading"});
}

TEST(ViewerTree, TipIsEnglishUnderAGermanLocale) {
  ferntest::CGermanLocale german;
  std::string why;
  ASSERT_TRUE(german.Enter(why)) << why;
  const char* old = getenv("TZ");
  const std::string saved = old != nullptr ? old : "";
  setenv("TZ", "UTC", 1);
  tzset();
  const QString tip = CSetTreeModel::LastModifiedTip(1133879400);
  char localDay[64];
  time_t t = 1133879400;
  struct tm local {};
  gmtime_r(&t, &local);
  strftime(localDay, sizeof localDay, "%a %b", &local);
  if (old != nullptr) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
  ASSERT_STREQ(localDay, "Di Dez") << "the locale is not German, the test would prove nothing";
  EXPECT_EQ(tip.toStdString(), "Last Modified: Tue Dec 06, 2005");
}

TEST(ViewerTree, TipShowsLastModifiedDate) {
  TempDir dir;
  const std::string set = dir / "S-1.fcf";
  ASSERT_TRUE(WriteSet(set, {{"E:\\a.txt", "a", 1133879400}}));
  CViewBackup view;
  OpenAndLoad(view, set);
  QModelIndex top = view.TopItem();
  ASSERT_TRUE((top).isValid());
  time_t t = 1133879400;
  struct tm local {};
  localtime_r(&t, &local);
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  char expected[64];
  snprintf(expected, sizeof expected, "Last Modified: %s %s %02d, %d", kDays[local.tm_wday], kMonths[local.tm_mon],
           local.tm_mday, local.tm_year + 1900);
  EXPECT_EQ(Child(top, "a.txt").data(Qt::ToolTipRole).toString().toStdString(), expected);
  // A folder shows the time of the entry that created it.
  EXPECT_EQ(top.data(Qt::ToolTipRole).toString().toStdString(), expected);
}

// The worker reads and parses while the GUI thread builds the tree: with the GUI thread held
// up, nothing of the tree changes, and once it runs again the whole set arrives in order.
TEST(ViewerTree, TreeIsBuiltOnTheGuiThreadWhileTheWorkerReadsAhead) {
  TempDir dir;
  const std::string set = dir / "WIDE-3.fcf";
  std::vector<Entry> entries;
  // Several batches' worth, in no order, across folders and back.
  for (int i = 0; i < 60000; ++i) {
    const int n = (i * 7919) % 60000;
    entries.push_back({"E:\\f" + std::to_string(n % 3) + "\\n" + std::to_string(n) + ".txt", "x"});
  }
  ASSERT_TRUE(WriteSet(set, entries));
  CViewBackup view;
  view.SetSetAndDrive(set, "");
  view.show();
  ASSERT_TRUE(view.Busy());
  std::this_thread::sleep_for(std::chrono::milliseconds(400));  // no events handled meanwhile
  EXPECT_TRUE(view.NodeCount() == 0);
  EXPECT_EQ(view.Model()->rowCount(), 0);
  ASSERT_TRUE(WaitIdle(view));

  ASSERT_EQ(view.NodeCount(), 1u + 3u + 60000u);
  const QModelIndex top = view.TopItem();
  EXPECT_EQ(ChildLabels(top), (QStringList{"f0", "f1", "f2"}));
  const QModelIndex f1 = Child(top, "f1");
  ASSERT_EQ(view.Model()->rowCount(f1), 20000);
  // Ordered without regard to case, as text: n1, n10, n100, ...
  QString previous;
  for (int row = 0; row < 20000; ++row) {
    const QString label = view.Model()->index(row, 0, f1).data().toString();
    EXPECT_LT(previous.compare(label, Qt::CaseInsensitive), 0) << label.toStdString();
    previous = label;
  }
  EXPECT_TRUE(Child(f1, "n59998.txt").isValid());
}
