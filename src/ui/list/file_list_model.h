#pragma once
// The result list's model: row i is file i of the path tree, read when the view draws it. The
// model keeps only the row count the view knows; the window changes it as the tree changes.
// Columns: the three of the tree (TSortColumn), the music tags (TagColumn + TTagField), then the
// row's state by name (StateColumn).

#include "paths/wnet_tree.h"
#include "ui/list/row_tags.h"

#include <QAbstractTableModel>
#include <QIcon>
#include <array>

namespace sonquarry {

// Registers the icons and images of the window (once; every window calls it).
void InitUiResources();

class TFileListModel final : public QAbstractTableModel {
  Q_OBJECT
public:
  static constexpr int TagColumn = 3, StateColumn = TagColumn + TagFieldCount,
                       Columns = StateColumn + 1;

  explicit TFileListModel(TWNetTree &Tree, QObject *Parent = nullptr);
  // The tags the tag columns show; none: they stay empty.
  void SetTags(const TRowTags *Tags) { Tags_ = Tags; }

  int rowCount(const QModelIndex &Parent = {}) const override;
  int columnCount(const QModelIndex &Parent = {}) const override;
  QVariant data(const QModelIndex &Index, int Role) const override;
  QVariant headerData(int Section, Qt::Orientation Orientation, int Role) const override;

  // The view's row count: rows appended or cut at the end.
  void SetRowCount(int Count);
  int RowCount() const { return Rows; }
  // Rows were removed or replaced anywhere: the view forgets rows, selection and focus.
  void Reload();
  // The rows were reordered (a sort): the view keeps its row count and redraws.
  void BeginReorder();
  void EndReorder();
  // Every row's texts or icon may have changed (marks after a search).
  void RefreshAll();
  // The tag columns' texts may have changed.
  void RefreshTags();

  static const std::array<QIcon, 4> &StateIcons();
  // "Found again", "New", ...: the state icon's tooltip and the State column's text.
  static QString StateName(unsigned State);

private:
  QVariant TagText(uint32_t Ref, TTagField Field) const;

  TWNetTree &Tree;
  const TRowTags *Tags_ = nullptr;
  int Rows = 0;
};

} // namespace sonquarry
