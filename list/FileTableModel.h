#pragma once

#include "list/SortDescriptor.h"

#include <QAbstractTableModel>
#include <QIcon>
#include <QStringList>

#include <functional>

class FileList;

// A thin table model over the controller's list: row i is files[i]. It holds no copy of the
// list; every reload re-reads it. Each column has an identifier, and a cell shows what
// FileItem::displayField gives for that identifier (an empty text for one it does not know).
// Only the column identified exactly as "isselected" is editable: its check box sets the
// item's check mark. Cells show control characters as visible symbols; the name and location
// cells have the whole text as their tool tip, and the name cell of a password-protected item
// carries a lock icon and says so in its tool tip.
class FileTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum class Column { IsSelected, Name, Pages, SizeInKB, Type, DateModified, DateCreated, DateAccessed, Location };

    explicit FileTableModel(FileList& files, QObject* parent = nullptr);

    // The identifiers of the default columns, in column order.
    static const QStringList& columnIdentifiers();
    static QString identifier(Column column);
    // The FileItem property a column's identifier sorts by; empty for none.
    static QString sortKeyForIdentifier(const QString& identifier);

    // This model's columns (the defaults unless replaced).
    QString columnIdentifier(int column) const;
    void setColumnIdentifiers(const QStringList& identifiers);
    // The column of the first identifier sorting by `key`, or -1.
    int columnForSortKey(const QString& key) const;

    // Consulted before a check-box edit is taken; while it answers false, edits are refused.
    void setEditGuard(std::function<bool()> canEdit) { m_canEdit = std::move(canEdit); }

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Re-reads the whole list (the table's reloadData).
    void reloadData();

    // Reorders the list by `descriptors`. Persistent indexes (the view's selection among
    // them) keep their row numbers: they now stand for whichever items the sort put there.
    void sortFiles(const SortDescriptors& descriptors);

signals:
    // The check box of `row` was edited and the item's check mark set.
    void checkMarkEdited(int row);

private:
    FileList& m_files;
    QStringList m_identifiers;
    std::function<bool()> m_canEdit;
    QIcon m_lockIcon; // at 16 px, and 32 px on a doubled scale (lock@2x.png)
};
