#include "ui/RemoteFileList.h"

#include "ftp/FtpEntry.h"
#include "ui/Icons.h"
#include "ui/ResourceIds.h"

#include <QApplication>
#include <QFontMetrics>
#include <QHash>
#include <QHeaderView>
#include <QLineEdit>
#include <QListView>
#include <QMimeDatabase>
#include <QStackedLayout>
#include <QStyle>
#include <QStyledItemDelegate>
#include <QTreeView>

#include <QAnyStringView>
#include <QUtf8StringView>

#include <algorithm>
#include <ctime>

namespace tavro {

namespace {

constexpr int kColumns = 4;
constexpr int kIconGrowth = 50;
const char* const kHeadings[kColumns] = {"ファイル名", "サイズ", "ファイルの種類", "更新日時"};
constexpr double kWidthFactors[kColumns] = {0.4, 0.15, 0.25, 0.2};
constexpr Qt::Alignment kAlignments[kColumns] = {Qt::AlignLeft, Qt::AlignRight, Qt::AlignLeft,
                                                 Qt::AlignRight};
const QString kFolderType = QStringLiteral("フォルダ");

struct TypeInfo {
  QIcon Icon;
  QString Name;
};

// Patterns kept for the program's life; a listing whose names have more
// different endings than this gets the rest looked up afresh each time.
constexpr qsizetype kKnownPatterns = 4096;

// The icon and type name for a pattern. Each listing asks for the same few
// patterns thousands of times, and the answers never change while the
// program runs.
const TypeInfo& LookUpType(const QString& pattern) {
  static QHash<QString, TypeInfo> known;
  if (const auto it = known.constFind(pattern); it != known.cend()) {
    return *it;
  }
  static const QMimeDatabase database;
  // The pattern itself is the file name looked up: "*.html" matches the
  // glob of its type by extension, "*" and "*." match none and get the
  // generic type, without any real file being read.
  const QMimeType type = database.mimeTypeForFile(pattern, QMimeDatabase::MatchExtension);
  QIcon icon = QIcon::fromTheme(type.iconName());
  if (icon.isNull()) {
    icon = QIcon::fromTheme(type.genericIconName());
  }
  if (icon.isNull()) {
    icon = QApplication::style()->standardIcon(QStyle::SP_FileIcon);
  }
  QString name = type.comment();
  if (name.isEmpty()) {
    name = type.name();
  }
  if (known.size() < kKnownPatterns) {
    return *known.insert(pattern, TypeInfo{icon, name});
  }
  static TypeInfo unkept;
  unkept = TypeInfo{icon, name};
  return unkept;
}

// TypePattern of a UTF-8 name.
QString TypePatternOf(std::string_view name) {
  const auto dot = name.rfind('.');
  return dot == std::string_view::npos
             ? QStringLiteral("*")
             : QStringLiteral("*") +
                   QString::fromUtf8(name.data() + dot, static_cast<qsizetype>(name.size() - dot));
}

QUtf8StringView Utf8(std::string_view text) {
  return QUtf8StringView(text.data(), static_cast<qsizetype>(text.size()));
}

// Hands the editor's text over however the edit ends (Enter, Escape or the
// focus leaving), and never writes it into the model itself.
class LabelDelegate final : public QStyledItemDelegate {
public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void setModelData(QWidget*, QAbstractItemModel*, const QModelIndex&) const override {}
};

}  // namespace

QString FormatSize(std::uint64_t length) {
  constexpr std::uint64_t kb = 1024;
  constexpr std::uint64_t mb = kb * 1024;
  constexpr std::uint64_t gb = mb * 1024;
  if (length >= gb) {
    return QStringLiteral("%1GB").arg(length / gb);
  }
  if (length >= mb) {
    return QStringLiteral("%1MB").arg(length / mb);
  }
  if (length >= kb) {
    return QStringLiteral("%1KB").arg(length / kb);
  }
  return QStringLiteral("%1B").arg(length);
}

QString FormatDate(std::int64_t secondsSince1970) {
  // 9999-12-31 23:59:59 UTC: beyond it the year takes five digits.
  constexpr std::int64_t lastShown = 253402300799;
  if (secondsSince1970 < 0 || secondsSince1970 > lastShown) {
    return {};
  }
  const auto time = static_cast<std::time_t>(secondsSince1970);
  std::tm fields{};
  if (gmtime_r(&time, &fields) == nullptr) {
    return {};
  }
  return QString::asprintf("%04d/%02d/%02d %02d:%02d", fields.tm_year + 1900, fields.tm_mon + 1,
                           fields.tm_mday, fields.tm_hour, fields.tm_min);
}

QString TypePattern(const QString& name) {
  const auto dot = name.lastIndexOf(QLatin1Char('.'));
  return dot < 0 ? QStringLiteral("*") : QStringLiteral("*") + name.mid(dot);
}

int RowIconList::Append(const QIcon& icon) {
  if (Count() == Room) {
    // The room is counted in steps of 50; the vector itself grows by half
    // again, since steps of 50 would copy a million icons thousands of times.
    Room += kIconGrowth;
  }
  Icons.push_back(icon);
  return Count() - 1;
}

void RowIconList::Clear() {
  // A new list with room for the first 50, as at creation.
  std::vector<QIcon>().swap(Icons);
  Room = 0;
}

NameStore::Ref NameStore::Add(std::string_view utf8) {
  constexpr std::size_t blockSize = std::size_t(1) << 20;
  if (utf8.empty()) {
    return {};
  }
  if (Blocks.empty() || Blocks.back().capacity() - Blocks.back().size() < utf8.size()) {
    Blocks.emplace_back().reserve(std::max(blockSize, utf8.size()));
  }
  std::string& block = Blocks.back();
  const Ref ref{static_cast<std::uint32_t>(Blocks.size() - 1),
                static_cast<std::uint32_t>(block.size()), static_cast<std::uint32_t>(utf8.size())};
  block.append(utf8);
  return ref;
}

std::string_view NameStore::View(Ref ref) const {
  if (ref.Length == 0) {
    return {};
  }
  return std::string_view(Blocks[ref.Block]).substr(ref.Offset, ref.Length);
}

void NameStore::Clear() {
  std::vector<std::string>().swap(Blocks);
}

RemoteFileModel::RemoteFileModel(QObject* parent) : QAbstractTableModel(parent) {}

std::uint16_t RemoteFileModel::TypeIndex(const QString& typeName, bool* added) {
  if (added != nullptr) {
    *added = false;
  }
  if (const auto it = TypeIndexes.constFind(typeName); it != TypeIndexes.cend()) {
    return *it;
  }
  // The types come from the system's type list, a few hundred names; past
  // the table's end a type shares the first entry rather than wrap around.
  if (TypeNames.size() > 0xFFFF) {
    return 0;
  }
  if (added != nullptr) {
    *added = true;
  }
  const auto index = static_cast<std::uint16_t>(TypeNames.size());
  TypeNames.push_back(typeName);
  TypeIndexes.insert(typeName, index);
  return index;
}

QString RemoteFileModel::Name(int at) const {
  return Utf8(Names.View(At(at).Name)).toString();
}

int RemoteFileModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(Rows.size());
}

int RemoteFileModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumns;
}

QString RemoteFileModel::Text(int at, int column) const {
  const Row& row = At(at);
  switch (column) {
    case 0:
      return Utf8(Names.View(row.Name)).toString();
    case 1:
      return row.Placeholder ? QString() : FormatSize(row.Size);
    case 2:
      return TypeNames.value(row.Type);
    case 3:
      return row.Placeholder ? QString() : FormatDate(row.Time);
    default:
      return {};
  }
}

QVariant RemoteFileModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) {
    return {};
  }
  switch (role) {
    case Qt::DisplayRole:
    case Qt::EditRole:
      return Text(index.row(), index.column());
    case Qt::DecorationRole:
      if (index.column() == 0) {
        const int icon = At(index.row()).Icon;
        if (icon >= 0 && icon < Icons.Count()) {
          return Icons.At(icon);
        }
      }
      return {};
    case Qt::TextAlignmentRole:
      return (kAlignments[index.column()] | Qt::AlignVCenter).toInt();
    default:
      return {};
  }
}

QVariant RemoteFileModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || section < 0 || section >= kColumns) {
    return {};
  }
  if (role == Qt::DisplayRole) {
    return QString::fromUtf8(kHeadings[section]);
  }
  if (role == Qt::TextAlignmentRole) {
    return (kAlignments[section] | Qt::AlignVCenter).toInt();
  }
  // A first click on a heading sorts from the smallest, A before Z.
  if (role == Qt::InitialSortOrderRole) {
    return int(Qt::AscendingOrder);
  }
  return {};
}

Qt::ItemFlags RemoteFileModel::flags(const QModelIndex& index) const {
  Qt::ItemFlags flags = QAbstractTableModel::flags(index);
  if (index.isValid() && index.column() == 0) {
    flags |= Qt::ItemIsEditable;
  }
  return flags;
}

bool RemoteFileModel::setData(const QModelIndex&, const QVariant&, int) {
  return false;
}

const RemoteFileModel::Row& RemoteFileModel::At(int at) const {
  return Rows[static_cast<std::size_t>(at)];
}

void RemoteFileModel::Insert(int at, Row row) {
  at = std::clamp(at, 0, rowCount());
  beginInsertRows({}, at, at);
  Rows.insert(Rows.begin() + at, row);
  endInsertRows();
}

bool RemoteFileModel::Above(const Row& a, const Row& b) const {
  const bool folderA = (a.Data & DirectoryFlag) != 0;
  const bool folderB = (b.Data & DirectoryFlag) != 0;
  if (folderA != folderB) {
    return folderA;
  }
  const auto compare = [](auto x, auto y) { return x < y ? -1 : (y < x ? 1 : 0); };
  int order = 0;
  switch (SortColumn) {
    case 1:
      order = compare(a.Size, b.Size);
      break;
    case 2:
      order = a.Type == b.Type
                  ? 0
                  : TypeNames.value(a.Type).compare(TypeNames.value(b.Type), Qt::CaseInsensitive);
      break;
    case 3:
      order = compare(a.Time, b.Time);
      break;
    default:
      break;
  }
  if (order == 0) {
    const std::string_view nameA = Names.View(a.Name);
    const std::string_view nameB = Names.View(b.Name);
    order = QAnyStringView::compare(Utf8(nameA), Utf8(nameB), Qt::CaseInsensitive);
    if (order == 0) {
      order = nameA.compare(nameB);
    }
  }
  return SortOrder == Qt::AscendingOrder ? order < 0 : order > 0;
}

void RemoteFileModel::InsertSorted(Row row) {
  // After every row that is shown above it.
  const auto slot = std::upper_bound(Rows.begin(), Rows.end(), row,
                                     [this](const Row& x, const Row& y) { return Above(x, y); });
  const int at = static_cast<int>(slot - Rows.begin());
  beginInsertRows({}, at, at);
  Rows.insert(slot, row);
  endInsertRows();
}

void RemoteFileModel::AddSorted(std::vector<Row>& rows) {
  if (rows.empty()) {
    return;
  }
  const auto above = [this](const Row& x, const Row& y) { return Above(x, y); };
  std::stable_sort(rows.begin(), rows.end(), above);
  // Most servers send a folder in order, so a run mostly lands below the
  // rows shown: the rows above where the run starts stay as they are, and
  // only the rest is merged.
  const auto first = std::upper_bound(Rows.begin(), Rows.end(), rows.front(), above);
  const int at = static_cast<int>(first - Rows.begin());
  if (first == Rows.end()) {
    beginInsertRows({}, at, at + static_cast<int>(rows.size()) - 1);
    Rows.insert(Rows.end(), rows.begin(), rows.end());
    endInsertRows();
    return;
  }
  // A listing arrives before anything can be selected or edited in it.
  beginResetModel();
  const auto middle = static_cast<std::ptrdiff_t>(Rows.size());
  Rows.insert(Rows.end(), rows.begin(), rows.end());
  std::inplace_merge(Rows.begin() + at, Rows.begin() + middle, Rows.end(), above);
  endResetModel();
}

void RemoteFileModel::sort(int column, Qt::SortOrder order) {
  if (column < 0 || column >= kColumns) {
    return;
  }
  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  SortColumn = column;
  SortOrder = order;
  const int count = static_cast<int>(Rows.size());
  std::vector<int> shownOrder(Rows.size());
  for (int i = 0; i < count; ++i) {
    shownOrder[static_cast<std::size_t>(i)] = i;
  }
  std::stable_sort(shownOrder.begin(), shownOrder.end(), [this](int x, int y) {
    return Above(Rows[static_cast<std::size_t>(x)], Rows[static_cast<std::size_t>(y)]);
  });
  std::vector<Row> sorted;
  sorted.reserve(Rows.size());
  std::vector<int> newRow(Rows.size());
  for (int i = 0; i < count; ++i) {
    const int old = shownOrder[static_cast<std::size_t>(i)];
    newRow[static_cast<std::size_t>(old)] = i;
    sorted.push_back(Rows[static_cast<std::size_t>(old)]);
  }
  const QModelIndexList before = persistentIndexList();
  QModelIndexList after;
  after.reserve(before.size());
  for (const QModelIndex& index : before) {
    after.append(this->index(newRow[static_cast<std::size_t>(index.row())], index.column()));
  }
  Rows.swap(sorted);
  changePersistentIndexList(before, after);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void RemoteFileModel::Remove(int at) {
  if (at < 0 || at >= rowCount()) {
    return;
  }
  beginRemoveRows({}, at, at);
  Rows.erase(Rows.begin() + at);
  endRemoveRows();
}

void RemoteFileModel::RemoveAll() {
  beginResetModel();
  std::vector<Row>().swap(Rows);
  Names.Clear();
  endResetModel();
}

void RemoteFileModel::SetName(int at, const QString& name) {
  if (at < 0 || at >= rowCount()) {
    return;
  }
  Rows[static_cast<std::size_t>(at)].Name = Names.Add(name.toStdString());
  const QModelIndex cell = index(at, 0);
  emit dataChanged(cell, cell, {Qt::DisplayRole, Qt::EditRole});
}

CRemoteFileList::CRemoteFileList(QWidget* parent) : QWidget(parent) {
  Stack = new QStackedLayout(this);
  Stack->setContentsMargins(0, 0, 0, 0);
  Details = new QTreeView(this);
  Plain = new QListView(this);
  for (QAbstractItemView* view :
       {static_cast<QAbstractItemView*>(Details), static_cast<QAbstractItemView*>(Plain)}) {
    view->setModel(&Model);
    // One delegate per view: a view warns about editors of another's.
    auto* delegate = new LabelDelegate(view);
    view->setItemDelegate(delegate);
    connect(delegate, &QAbstractItemDelegate::closeEditor, this,
            [this](QWidget* editor, QAbstractItemDelegate::EndEditHint) {
              const int row = EditingRow;
              EditingRow = -1;
              auto* line = qobject_cast<QLineEdit*>(editor);
              emit LabelEditEnded(row, line != nullptr ? line->text() : QString());
            });
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    // Only the new-folder and rename commands open the editor.
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setIconSize(QSize(16, 16));
    view->setFrameShape(QFrame::StyledPanel);
    view->setFrameShadow(QFrame::Sunken);
    Stack->addWidget(view);
    connect(view, &QAbstractItemView::clicked, this, &CRemoteFileList::Clicked);
    connect(view, &QAbstractItemView::doubleClicked, this, &CRemoteFileList::DoubleClicked);
  }
  // One selection for both views: switching keeps the selected row.
  Plain->setSelectionModel(Details->selectionModel());
  Details->setRootIsDecorated(false);
  Details->setItemsExpandable(false);
  Details->setUniformRowHeights(true);
  Details->setAllColumnsShowFocus(true);
  Details->header()->setStretchLastSection(false);
  Details->header()->setSectionsMovable(false);
  Details->header()->setSortIndicator(0, Qt::AscendingOrder);
  Details->setSortingEnabled(true);
  Plain->setViewMode(QListView::ListMode);
  Plain->setFlow(QListView::TopToBottom);
  Plain->setWrapping(true);
  Plain->setResizeMode(QListView::Adjust);
  Plain->setUniformItemSizes(true);
  Plain->setLayoutMode(QListView::Batched);
  // Rows removed or added above the edited one move it.
  connect(&Model, &QAbstractItemModel::rowsInserted, this,
          [this](const QModelIndex&, int first, int last) {
            if (EditingRow >= first) {
              EditingRow += last - first + 1;
            }
          });
  connect(&Model, &QAbstractItemModel::rowsRemoved, this,
          [this](const QModelIndex&, int first, int last) {
            if (EditingRow > last) {
              EditingRow -= last - first + 1;
            } else if (EditingRow >= first) {
              EditingRow = -1;
            }
          });
  connect(&Model, &QAbstractItemModel::modelReset, this, [this] { EditingRow = -1; });
}

void CRemoteFileList::ClearList() {
  Model.RemoveAll();
  Model.IconList().Clear();
  WidestType = 0;
  ++Listing;
  FitColumns();
}

void CRemoteFileList::ClearRows() {
  Model.RemoveAll();
}

bool CRemoteFileList::Describe(const ListedEntry& entry, RemoteFileModel::Row& row) {
  if (entry.IsDotEntry()) {
    return false;
  }
  const std::string_view name = entry.Name;
  row.Name = Model.StoreName(name);
  row.Size = entry.Raw.Size;
  row.Time = entry.Raw.LastWriteTime;
  if (entry.IsDirectory()) {
    row.Type = Model.TypeIndex(kFolderType);
    row.Data = DirectoryFlag;
    row.Icon = Model.IconList().Append(LoadIconResource(IDI_FOLDER));
  } else {
    const TypeInfo& type = LookUpType(TypePatternOf(name));
    row.Type = Model.TypeIndex(type.Name);
    // Each type's width is measured once a listing, not once a row.
    if (TypeMeasured.size() <= row.Type) {
      TypeMeasured.resize(std::size_t(row.Type) + 1, 0);
    }
    if (TypeMeasured[row.Type] != Listing) {
      TypeMeasured[row.Type] = Listing;
      WidestType = std::max(WidestType, Details->fontMetrics().horizontalAdvance(type.Name));
    }
    row.Data = 0;
    row.Icon = Model.IconList().Append(type.Icon);
  }
  return true;
}

void CRemoteFileList::AddEntry(const ListedEntry& entry) {
  RemoteFileModel::Row row;
  if (Describe(entry, row)) {
    Model.InsertSorted(row);
  }
  FitColumns();
}

void CRemoteFileList::AddEntries(const std::vector<ListedEntry>& entries) {
  std::vector<RemoteFileModel::Row> rows;
  rows.reserve(entries.size());
  for (const ListedEntry& entry : entries) {
    RemoteFileModel::Row row;
    if (Describe(entry, row)) {
      rows.push_back(row);
    }
  }
  Model.AddSorted(rows);
  FitColumns();
}

void CRemoteFileList::InsertPlaceholder(int at) {
  RemoteFileModel::Row row;
  row.Icon = Model.IconList().Append(LoadIconResource(IDI_FOLDER));
  row.Data = DirectoryFlag;
  row.Type = Model.TypeIndex(QString());
  row.Placeholder = true;
  Model.Insert(at, row);
}

void CRemoteFileList::RemoveRow(int at) {
  Model.Remove(at);
}

void CRemoteFileList::SetName(int at, const QString& name) {
  Model.SetName(at, name);
}

int CRemoteFileList::Selected() const {
  const QModelIndexList rows = Details->selectionModel()->selectedRows();
  int first = -1;
  for (const QModelIndex& index : rows) {
    if (first < 0 || index.row() < first) {
      first = index.row();
    }
  }
  return first;
}

void CRemoteFileList::Select(int at) {
  if (at < 0 || at >= Count()) {
    Details->selectionModel()->clearSelection();
    return;
  }
  const QModelIndex cell = Model.index(at, 0);
  Details->selectionModel()->setCurrentIndex(
      cell, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void CRemoteFileList::SetView(QAbstractItemView* view) {
  const bool hadFocus = HasFocusInside();
  Stack->setCurrentWidget(view);
  if (hadFocus) {
    view->setFocus();
  }
  view->viewport()->update();
}

void CRemoteFileList::SetColumnWidths(int totalWidth) {
  TotalWidth = totalWidth;
  FitColumns();
}

void CRemoteFileList::FitColumns() {
  const QFontMetrics metrics = Details->fontMetrics();
  // The room a cell's text has is its width less the style's margins.
  const int margins =
      2 * (Details->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, Details) + 1) + 4;
  const int longest[kColumns] = {0, metrics.horizontalAdvance(QStringLiteral("1023KB")),
                                 std::max(WidestType, metrics.horizontalAdvance(kFolderType)),
                                 metrics.horizontalAdvance(QStringLiteral("0000/00/00 00:00"))};
  // The columns share the inside of the frame beside a vertical scroll bar,
  // which any longer listing shows: the date never hides behind it.
  const int inside = TotalWidth - 2 * Details->frameWidth() -
                     Details->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, Details);
  int widths[kColumns];
  int rest = inside;
  for (int column = kColumns - 1; column >= 0; --column) {
    widths[column] = static_cast<int>(static_cast<double>(TotalWidth) * kWidthFactors[column]);
    if (column > 0) {
      widths[column] = std::max(widths[column], longest[column] + margins);
      rest -= widths[column];
    }
  }
  // The name keeps what is left, but never less than half its share.
  widths[0] = std::max(rest, widths[0] / 2);
  for (int column = 0; column < kColumns; ++column) {
    if (Details->header()->sectionSize(column) != widths[column]) {
      Details->header()->resizeSection(column, widths[column]);
    }
  }
  // The plain list's columns are as wide as the name column: measuring every
  // name would cost a long listing dearly, and one short first name would
  // otherwise cut all the others.
  Plain->setGridSize(
      QSize(Details->header()->sectionSize(0), std::max(Plain->fontMetrics().height(), 16) + 4));
}

void CRemoteFileList::ShowDetails() {
  SetView(Details);
}

void CRemoteFileList::ShowList() {
  SetView(Plain);
}

bool CRemoteFileList::IsDetails() const {
  return Stack->currentWidget() == Details;
}

QAbstractItemView* CRemoteFileList::CurrentView() const {
  return IsDetails() ? static_cast<QAbstractItemView*>(Details) : Plain;
}

bool CRemoteFileList::HasFocusInside() const {
  // The window's focus child: the control that has the keyboard focus while
  // the window is active, and will have it again when it is.
  const QWidget* focus = window()->focusWidget();
  return focus != nullptr && (focus == this || isAncestorOf(focus));
}

bool CRemoteFileList::EditLabel(int at) {
  if (at < 0 || at >= Count()) {
    return false;
  }
  QAbstractItemView* view = CurrentView();
  const QModelIndex cell = Model.index(at, 0);
  view->setFocus();
  view->scrollTo(cell);
  view->setCurrentIndex(cell);
  EditingRow = at;
  view->edit(cell);
  if (view->indexWidget(cell) == nullptr) {
    EditingRow = -1;
    return false;
  }
  return true;
}

}  // namespace tavro
