// The tree's rows arriving in batches: every batch keeps the siblings complete and in order,
// and the view's expansion and selection stay on the same nodes while rows move.
#include <QTreeView>
#include <algorithm>
#include <memory>
#include <random>
#include <set>

#include "ViewerTestSupport.h"
#include "res/gui/ListPictures.h"
#include "viewer/SetTreeModel.h"
#include "viewer/TreeItem.h"

using namespace viewertest;

namespace {

struct Nodes {
  std::vector<std::unique_ptr<CTreeItem>> items;
  int Add(const std::string& label, bool folder) {
    auto node = std::make_unique<CTreeItem>();
    node->m_strText = label;
    node->m_strName = label;
    node->m_bFolder = folder ? 1 : 0;
    items.push_back(std::move(node));
    return static_cast<int>(items.size()) - 1;
  }
};

void ExpectSortedChildren(const QAbstractItemModel& model, const QModelIndex& parent) {
  for (int i = 0; i < model.rowCount(parent); ++i) {
    const QModelIndex child = model.index(i, 0, parent);
    ASSERT_EQ(child.parent(), parent);
    ASSERT_EQ(child.row(), i);
    if (i > 0) {
      ASSERT_LT(CSetTreeBuilder::CompareItems(*CViewBackup::NodeOf(model.index(i - 1, 0, parent)),
                                          *CViewBackup::NodeOf(child)),
                0)
          << i;
    }
    ExpectSortedChildren(model, child);
  }
}

}  // namespace

// No start-up step of the program has run in this test program: the rows have their pictures
// all the same.
TEST(ViewerModel, RowsShowFolderAndFilePicturesOfTheirOwn) {
  Nodes nodes;
  CSetTreeModel model;
  const int drive = nodes.Add("E:", true);
  const int file = nodes.Add("a.txt", false);
  model.AddNodes({{-1, drive}, {drive, file}}, nodes.items);
  const QImage folderPicture = fern::ListPicture(IMAGE_FOLDER).toImage();
  const QImage filePicture = fern::ListPicture(IMAGE_FILE).toImage();
  ASSERT_EQ(folderPicture.size(), QSize(16, 16));
  ASSERT_EQ(filePicture.size(), QSize(16, 16));
  EXPECT_NE(folderPicture, filePicture);
  // Drawn pictures on white, not blank squares.
  EXPECT_EQ(folderPicture.pixelColor(0, 0), QColor(Qt::white));
  EXPECT_NE(folderPicture.pixelColor(8, 8), QColor(Qt::white));
  const auto shown = [&](int number) {
    return model.IndexOfNode(number).data(Qt::DecorationRole).value<QIcon>().pixmap(16, 16).toImage();
  };
  EXPECT_EQ(shown(drive), folderPicture);
  EXPECT_EQ(shown(file), filePicture);
  EXPECT_TRUE(fern::ListPicture(IMAGE_COUNT).isNull());
  EXPECT_TRUE(fern::ListPicture(-1).isNull());
}

TEST(ViewerModel, BatchesKeepEveryRowInOrder) {
  Nodes nodes;
  CSetTreeModel model;
  QTreeView view;
  view.setModel(&model);
  const int drive = nodes.Add("E:", true);
  const int wide = nodes.Add("Wide", true);
  model.AddNodes({{-1, drive}, {drive, wide}}, nodes.items);
  view.expand(model.IndexOfNode(drive));

  // Shuffled labels that share long prefixes and differ in case, with folders among them,
  // in batches of varied size; one batch also brings a new folder with children of its own.
  std::mt19937 random(42);
  std::vector<std::string> labels;
  for (int i = 0; i < 3000; ++i) labels.push_back("IMG_2023101" + std::to_string(i % 7) + "_" + std::to_string(i) + ".jpg");
  for (int i = 0; i < 40; ++i) labels.push_back((i % 2 ? "Sub" : "sub") + std::to_string(i / 2));
  std::shuffle(labels.begin(), labels.end(), random);
  std::set<std::string> expected;
  size_t at = 0;
  int selectedNumber = -1;
  for (size_t batch = 1; at < labels.size(); batch = batch * 3 + 1) {
    std::vector<std::pair<int, int>> pending;
    for (size_t k = 0; k < batch && at < labels.size(); ++k, ++at) {
      const bool folder = labels[at].rfind("sub", 0) == 0 || labels[at].rfind("Sub", 0) == 0;
      const int number = nodes.Add(labels[at], folder);
      pending.emplace_back(wide, number);
      expected.insert(labels[at]);
      if (folder && k == 0) pending.emplace_back(number, nodes.Add("inside.txt", false));
    }
    model.AddNodes(pending, nodes.items);
    if (selectedNumber < 0) {
      selectedNumber = pending.front().second;
      view.setCurrentIndex(model.IndexOfNode(selectedNumber));
      view.expand(model.IndexOfNode(wide));
    }
    // The view keeps its selection and expansion on the same nodes as rows move.
    ASSERT_EQ(view.currentIndex(), model.IndexOfNode(selectedNumber));
    ASSERT_TRUE(view.isExpanded(model.IndexOfNode(wide)));
  }
  const QModelIndex wideIndex = model.IndexOfNode(wide);
  ASSERT_EQ(model.rowCount(wideIndex), static_cast<int>(expected.size()));
  ExpectSortedChildren(model, QModelIndex());
  std::set<std::string> shown;
  for (int i = 0; i < model.rowCount(wideIndex); ++i) shown.insert(model.index(i, 0, wideIndex).data().toString().toStdString());
  EXPECT_EQ(shown, expected);
  // Folders first.
  EXPECT_TRUE(CViewBackup::NodeOf(model.index(0, 0, wideIndex))->m_bFolder);
  EXPECT_FALSE(CViewBackup::NodeOf(model.index(model.rowCount(wideIndex) - 1, 0, wideIndex))->m_bFolder);
}

TEST(ViewerModel, CheckStateIsKeptPerRow) {
  Nodes nodes;
  CSetTreeModel model;
  const int drive = nodes.Add("E:", true);
  const int file = nodes.Add("a.txt", false);
  model.AddNodes({{-1, drive}, {drive, file}}, nodes.items);
  const QModelIndex a = model.IndexOfNode(file);
  EXPECT_EQ(a.data(Qt::CheckStateRole).toInt(), Qt::Unchecked);
  EXPECT_TRUE(model.flags(a) & Qt::ItemIsUserCheckable);
  EXPECT_FALSE(model.flags(a) & Qt::ItemIsAutoTristate);
  int changes = 0;
  QObject::connect(&model, &QAbstractItemModel::dataChanged, [&] { ++changes; });
  EXPECT_TRUE(model.setData(a, Qt::Checked, Qt::CheckStateRole));
  EXPECT_EQ(a.data(Qt::CheckStateRole).toInt(), Qt::Checked);
  EXPECT_EQ(model.IndexOfNode(drive).data(Qt::CheckStateRole).toInt(), Qt::Unchecked);
  EXPECT_EQ(changes, 1);
  EXPECT_FALSE(model.setData(a, QStringLiteral("x"), Qt::EditRole));
}
