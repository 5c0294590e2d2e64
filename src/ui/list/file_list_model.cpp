#include "ui/list/file_list_model.h"

// Resources of a static library are registered by hand.
static void InitIcons() { Q_INIT_RESOURCE(icons); }

namespace sonquarry {

void InitUiResources() {
  static const bool done = (InitIcons(), true);
  (void)done;
}

TFileListModel::TFileListModel(TWNetTree &ATree, QObject *Parent)
    : QAbstractTableModel(Parent), Tree(ATree) {}

int TFileListModel::rowCount(const QModelIndex &Parent) const {
  return Parent.isValid() ? 0 : Rows;
}

int TFileListModel::columnCount(const QModelIndex &Parent) const {
  return Parent.isValid() ? 0 : Columns;
}

const std::array<QIcon, 4> &TFileListModel::StateIcons() {
  InitUiResources();
  static const std::array<QIcon, 4> icons = {
      QIcon(":/icons/state-known.svg"), QIcon(":/icons/state-new.svg"),
      QIcon(":/icons/state-inaccessible.svg"), QIcon(":/icons/state-unreached.svg")};
  return icons;
}

QString TFileListModel::StateName(unsigned State) {
  static const char *const names[] = {"Found again", "New", "Removed (or inaccessible)",
                                      "Unknown (computer not found)"};
  return State < 4 ? QString::fromLatin1(names[State]) : QString();
}

QVariant TFileListModel::data(const QModelIndex &Index, int Role) const {
  if (!Index.isValid() || Index.row() >= Rows) return {};
  // A row the tree cannot serve stays empty; the view never sees an error.
  try {
    const int row = Index.row();
    if (Role == Qt::DisplayRole) {
      switch (Index.column()) {
      case scFileName: {
        const std::string_view name = Tree.File(row).Name();
        return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
      }
      case scDomain:
        return QString::fromStdString(Tree.GetDomain(row));
      case scDirectory:
        return QString::fromStdString(Tree.GetDirectory(row));
      case StateColumn:
        return StateName(Tree.File(row).State());
      default:
        if (Tags_ && Index.column() >= TagColumn && Index.column() < Columns)
          return TagText(Tree.TagRef(row), TTagField(Index.column() - TagColumn));
        return {};
      }
    }
    // Numbers (year, length) to the right; the State column's names stay at the left.
    if (Role == Qt::TextAlignmentRole && Index.column() >= TagColumn + tfYear &&
        Index.column() < StateColumn)
      return int(Qt::AlignRight | Qt::AlignVCenter);
    if (Role == Qt::DecorationRole && Index.column() == scFileName) {
      const unsigned state = Tree.File(row).State();
      if (state < 4) return StateIcons()[state];
    }
    // Only the file name's cell carries the icon; the view shows this tooltip over it.
    if (Role == Qt::ToolTipRole && Index.column() == scFileName)
      return StateName(Tree.File(row).State());
  } catch (...) {
  }
  return {};
}

// Nothing at all for an empty cell: the delegate then lays out no text.
QVariant TFileListModel::TagText(uint32_t Ref, TTagField Field) const {
  if (!Tags_->Has(Ref)) return {};
  if (Field == tfYear) {
    const int Year = Tags_->Year(Ref);
    return Year > 0 ? QVariant(QString::number(Year)) : QVariant();
  }
  if (Field == tfLength) {
    const int S = Tags_->Length(Ref);
    return S < 0 ? QVariant() : QVariant(QString::asprintf("%d:%02d", S / 60, S % 60));
  }
  const std::string_view Text = Tags_->Text(Ref, Field);
  if (Text.empty()) return {};
  return QString::fromUtf8(Text.data(), static_cast<qsizetype>(Text.size()));
}

QVariant TFileListModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
  if (Orientation != Qt::Horizontal || Role != Qt::DisplayRole) return {};
  static const char *const captions[] = {"File name", "Domain", "Directory", "Artist", "Title",
                                         "Album",     "Year",   "Length",    "State"};
  if (Section < 0 || Section >= Columns) return {};
  return QString::fromLatin1(captions[Section]);
}

void TFileListModel::SetRowCount(int Count) {
  if (Count < 0) Count = 0;
  if (Count == Rows) return;
  if (Count > Rows) {
    beginInsertRows({}, Rows, Count - 1);
    Rows = Count;
    endInsertRows();
  } else if (Count == 0) {
    beginResetModel();
    Rows = 0;
    endResetModel();
  } else {
    beginRemoveRows({}, Count, Rows - 1);
    Rows = Count;
    endRemoveRows();
  }
}

void TFileListModel::Reload() {
  beginResetModel();
  Rows = Tree.Count();
  endResetModel();
}

void TFileListModel::BeginReorder() { emit layoutAboutToBeChanged(); }

void TFileListModel::EndReorder() { emit layoutChanged(); }

void TFileListModel::RefreshAll() {
  if (Rows > 0) emit dataChanged(index(0, 0), index(Rows - 1, Columns - 1));
}

void TFileListModel::RefreshTags() {
  if (Rows > 0) emit dataChanged(index(0, TagColumn), index(Rows - 1, Columns - 1));
}

} // namespace sonquarry
