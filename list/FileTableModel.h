#pragma once

#include <QAbstractTableModel>
#include <QStringList>

class FileList;

// A thin table model over the controller's list: row i is files[i]. It holds no copy of the
// list; every reload re-reads it. Each column has an identifier, and a cell shows what
// FileItem::displayField gives for that identifier.
class FileTableModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum class Column { IsSelected, Name, Pages, SizeInKB, Type, DateModified, DateCreated, DateAccessed, Location };

    explicit FileTableModel(const FileList& files, QObject* parent = nullptr);

    // The identifiers of the columns, in column order.
    static const QStringList& columnIdentifiers();
    static QString identifier(Column column);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // Re-reads the whole list (the table's reloadData).
    void reloadData();

private:
    const FileList& m_files;
};
