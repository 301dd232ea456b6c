#include "list/FileTableModel.h"

#include "model/FileList.h"

FileTableModel::FileTableModel(const FileList& files, QObject* parent) : QAbstractTableModel(parent), m_files(files) {}

const QStringList& FileTableModel::columnIdentifiers()
{
    static const QStringList identifiers = {
        QStringLiteral("isselected"),  QStringLiteral("name"),         QStringLiteral("pages"),
        QStringLiteral("sizeInKB"),    QStringLiteral("type"),         QStringLiteral("dateModified"),
        QStringLiteral("dateCreated"), QStringLiteral("dateAccessed"), QStringLiteral("location"),
    };
    return identifiers;
}

QString FileTableModel::identifier(Column column)
{
    return columnIdentifiers().at(int(column));
}

int FileTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_files.size());
}

int FileTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(columnIdentifiers().size());
}

QVariant FileTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= m_files.size() || index.column() >= columnCount())
        return {};
    const FileItem& item = *m_files.at(index.row());
    const auto column = Column(index.column());
    if (column == Column::IsSelected) {
        if (role == Qt::CheckStateRole)
            return item.isSelected() ? Qt::Checked : Qt::Unchecked;
        return {};
    }
    if (role == Qt::DisplayRole)
        return item.displayField(identifier(column));
    if (role == Qt::TextAlignmentRole && column == Column::SizeInKB)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    return {};
}

QVariant FileTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    static const QStringList titles = {QString(),          tr("Name"),          tr("Pages"),
                                       tr("Size"),         tr("Type"),          tr("Date Modified"),
                                       tr("Date Created"), tr("Date Accessed"), tr("Location")};
    return section >= 0 && section < titles.size() ? titles.at(section) : QVariant();
}

void FileTableModel::reloadData()
{
    beginResetModel();
    endResetModel();
}
