// The remote file list of the FTP browser: one row per entry of the worker's
// current directory (name, size, type, last-write time, a small icon), shown
// either as a details table with headings or as a plain list. Both views show
// the very same rows, so switching never reloads anything.
//
// Folders come first, then files, each by name, whatever order the server
// sent them in; a click on a column's heading sorts by that column. Every row
// gets an icon of its own in the icon list, which is emptied only when the
// next listing starts.
//
// The list never takes an edited label itself: an edit ends by handing the
// typed text to the dialog, and the name changes only when the server has
// agreed.
#pragma once

#include <QAbstractTableModel>
#include <QHash>
#include <QIcon>
#include <QList>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class QStackedLayout;
class QTreeView;
class QListView;
class QAbstractItemView;

namespace tavro {

struct ListedEntry;

// Marks a directory row in its data word.
inline constexpr std::uint32_t DirectoryFlag = 0x20000000;

// "0B", "1023B", "1KB", "5GB": the largest unit whose whole quotient is not
// zero, truncated, from the full 64-bit length.
QString FormatSize(std::uint64_t length);
// "2003/05/07 09:05" in UTC; empty for a time the calendar cannot show
// (before 1970 or after the year 9999).
QString FormatDate(std::int64_t secondsSince1970);
// The pattern whose type is looked up for a name: "*.html", "*.", or "*".
QString TypePattern(const QString& name);

// The 16 x 16 icons of the rows, one per row, grown 50 at a time.
class RowIconList {
public:
  int Append(const QIcon& icon);
  void Clear();
  int Count() const { return static_cast<int>(Icons.size()); }
  int Capacity() const { return Room; }
  const QIcon& At(int index) const { return Icons[static_cast<std::size_t>(index)]; }

private:
  std::vector<QIcon> Icons;
  int Room = 0;
};

// The rows' names, as UTF-8 in large blocks: a million names cost little more
// than their bytes, where a string apiece would cost several times that.
// Space is given back only when the whole store is cleared.
class NameStore {
public:
  struct Ref {
    std::uint32_t Block = 0;
    std::uint32_t Offset = 0;
    std::uint32_t Length = 0;
  };

  Ref Add(std::string_view utf8);
  std::string_view View(Ref ref) const;
  void Clear();

private:
  // Blocks never grow past the room they were made with, so the views into
  // them stay valid.
  std::vector<std::string> Blocks;
};

class RemoteFileModel final : public QAbstractTableModel {
  Q_OBJECT

public:
  // Kept small, since a listing may hold a million rows: the name lives in
  // the model's NameStore, the type name in its table, size and date are
  // formatted when drawn.
  struct Row {
    std::uint64_t Size = 0;
    std::int64_t Time = 0;
    NameStore::Ref Name;
    int Icon = -1;
    std::uint32_t Data = 0;
    std::uint16_t Type = 0;    // index of the type name, shared by its rows
    bool Placeholder = false;  // a new folder: columns 1 to 3 stay empty
  };

  explicit RemoteFileModel(QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  // Refuses: a label changes only through SetName.
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;

  // A row's name and type go into the model first; the row then refers to
  // them.
  NameStore::Ref StoreName(std::string_view utf8) { return Names.Add(utf8); }
  // The type name's index; `added` says whether the model had not known it.
  std::uint16_t TypeIndex(const QString& typeName, bool* added = nullptr);

  // Where the row is put: a new folder's placeholder stays where it was put.
  void Insert(int at, Row row);
  // Puts a row, or a run of rows, where the order puts them.
  void InsertSorted(Row row);
  void AddSorted(std::vector<Row>& rows);
  // Folders first, then by the column in the order asked, names breaking
  // ties; the header's click comes here. The selection stays on its rows.
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
  QString Text(int at, int column) const;
  QString Name(int at) const;
  void Remove(int at);
  void RemoveAll();
  void SetName(int at, const QString& name);
  const Row& At(int at) const;

  RowIconList& IconList() { return Icons; }
  const RowIconList& IconList() const { return Icons; }

private:
  // True where `a` is shown above `b`.
  bool Above(const Row& a, const Row& b) const;

  std::vector<Row> Rows;  // top row first
  NameStore Names;
  QList<QString> TypeNames;
  QHash<QString, std::uint16_t> TypeIndexes;
  RowIconList Icons;
  int SortColumn = 0;
  Qt::SortOrder SortOrder = Qt::AscendingOrder;
};

class CRemoteFileList final : public QWidget {
  Q_OBJECT

public:
  explicit CRemoteFileList(QWidget* parent);

  // A listing starts: rows and icons go, icon indexes start again at 0.
  void ClearList();
  // Rows only, the icons stay (before the dialog queues a listing itself).
  void ClearRows();
  // Adds one reported entry where the order puts it, under the name the
  // worker decoded; the dot entries are left out.
  void AddEntry(const ListedEntry& entry);
  // The same for a run of entries, in the order reported.
  void AddEntries(const std::vector<ListedEntry>& entries);
  // A new-folder row with an empty name at `at`.
  void InsertPlaceholder(int at);
  void RemoveRow(int at);
  void SetName(int at, const QString& name);

  int Count() const { return Model.rowCount(); }
  QString Name(int at) const { return Model.Name(at); }
  std::uint32_t Data(int at) const { return Model.At(at).Data; }
  const RemoteFileModel::Row& RowAt(int at) const { return Model.At(at); }
  QString Text(int at, int column) const { return Model.Text(at, column); }
  const RowIconList& Icons() const { return Model.IconList(); }
  // The selected row (single selection), or -1.
  int Selected() const;
  void Select(int at);

  // Column widths from the width W of the rectangle the list covers: 0.4 W,
  // 0.15 W, 0.25 W and 0.2 W, each truncated; the size, type and date columns
  // grow to show their longest text whole, taking the room from the name.
  void SetColumnWidths(int totalWidth);
  void ShowDetails();
  void ShowList();
  bool IsDetails() const;
  QAbstractItemView* CurrentView() const;
  QTreeView* DetailsView() const { return Details; }
  QListView* PlainView() const { return Plain; }
  bool HasFocusInside() const;

  // Opens the in-place editor on the row's name; the outcome arrives as
  // LabelEditEnded. Edits cannot be started by clicking on the list.
  bool EditLabel(int at);

signals:
  void Clicked();
  void DoubleClicked();
  // The editor closed, confirmed or not, with the text it held.
  void LabelEditEnded(int row, const QString& text);

private:
  void SetView(QAbstractItemView* view);
  bool Describe(const ListedEntry& entry, RemoteFileModel::Row& row);

  RemoteFileModel Model;
  QStackedLayout* Stack = nullptr;
  QTreeView* Details = nullptr;
  QListView* Plain = nullptr;
  void FitColumns();

  int EditingRow = -1;
  int TotalWidth = 0;
  int WidestType = 0;  // pixels, of the type names listed so far
  // By type index: the listing in which the type's width was last measured.
  std::vector<std::uint32_t> TypeMeasured;
  std::uint32_t Listing = 1;
};

}  // namespace tavro
