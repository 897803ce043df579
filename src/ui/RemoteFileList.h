// The remote file list of the FTP browser: one row per entry of the worker's
// current directory (name, size, type, last-write time, a small icon), shown
// either as a details table with headings or as a plain list. Both views show
// the very same rows, so switching never reloads anything.
//
// Folders come first, then files, each by name, whatever order the server
// sent them in; a click on a column's heading sorts by that column. Every row gets an icon of its own in the icon
// list, which is emptied only when the next listing starts.
//
// The list never takes an edited label itself: an edit ends by handing the
// typed text to the dialog, and the name changes only when the server has
// agreed.
#pragma once

#include <QAbstractTableModel>
#include <QIcon>
#include <QList>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <vector>

class QStackedLayout;
class QTreeView;
class QListView;
class QAbstractItemView;

namespace tavro {

struct FtpEntry;

// Marks a directory row in its data word.
inline constexpr std::uint32_t DirectoryFlag = 0x20000000;
inline constexpr int kFolderIconId = 10002;

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

class RemoteFileModel final : public QAbstractTableModel {
  Q_OBJECT

public:
  // Size and date are kept as numbers and formatted when drawn, so a long
  // listing costs little more than its names.
  struct Row {
    QString Name;
    QString Type;  // shared with every row of the same type
    std::uint64_t Size = 0;
    std::int64_t Time = 0;
    int Icon = -1;
    std::uint32_t Data = 0;
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

  // Where the row is put: a new folder's placeholder stays where it was put.
  void Insert(int at, Row row);
  // Puts a row, or a run of rows, where the order puts them.
  void InsertSorted(Row row);
  void AddSorted(std::vector<Row>& rows);
  // Folders first, then by the column in the order asked, names breaking
  // ties; the header's click comes here. The selection stays on its rows.
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
  QString Text(int at, int column) const;
  void Remove(int at);
  void RemoveAll();
  void SetName(int at, const QString& name);
  const Row& At(int at) const;

  RowIconList& IconList() { return Icons; }
  const RowIconList& IconList() const { return Icons; }

private:
  // Stored bottom row first, so inserting at the top appends.
  std::size_t Slot(int row) const { return Rows.size() - 1 - static_cast<std::size_t>(row); }

  // True where `a` is shown above `b`.
  bool Above(const Row& a, const Row& b) const;

  std::vector<Row> Rows;
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
  // Adds one reported entry at the top under its display name; the dot
  // entries are left out.
  void AddEntry(const FtpEntry& entry, const QString& name);
  // The same for a run of entries, in the order reported; names[i] is the
  // display name of entries[i].
  void AddEntries(const std::vector<FtpEntry>& entries, const QList<QString>& names);
  // A new-folder row with an empty name at `at`.
  void InsertPlaceholder(int at);
  void RemoveRow(int at);
  void SetName(int at, const QString& name);

  int Count() const { return Model.rowCount(); }
  QString Name(int at) const { return Model.At(at).Name; }
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
  bool Describe(const FtpEntry& entry, const QString& name, RemoteFileModel::Row& row);

  RemoteFileModel Model;
  QStackedLayout* Stack = nullptr;
  QTreeView* Details = nullptr;
  QListView* Plain = nullptr;
  void FitColumns();

  int EditingRow = -1;
  int TotalWidth = 0;
  int WidestType = 0;  // pixels, of the type names listed so far
};

}  // namespace tavro
