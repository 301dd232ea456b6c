#include "list/FileTableModel.h"

#include "list/FileSorting.h"
#include "model/FileList.h"

namespace {

const QString kCheckColumn = QStringLiteral("isselected");
const QString kSizeColumn = QStringLiteral("sizeInKB");
const QString kNameColumn = QStringLiteral("name");
const QString kLocationColumn = QStringLiteral("location");

// The text as a cell shows it: each control character as a visible symbol, so that a name
// holding a line feed or a tab stays on one line and shows where they are. A line feed is the
// return arrow U+21B5 and a tab the tab arrow U+21E5, which common fonts draw (the Control
// Pictures block, which few fonts have, is kept for the rarer control characters). The item's
// own text is not changed.
QString visibleText(QString text)
{
    for (QChar& c : text) {
        const char16_t unit = c.unicode();
        if (unit == u'\n')
            c = QChar(u'\u21B5');
        else if (unit == u'\t')
            c = QChar(u'\u21E5');
        else if (unit < 0x20)
            c = QChar(char16_t(0x2400 + unit));
        else if (unit == 0x7F)
            c = QChar(u'\u2421');
    }
    return text;
}

} // namespace

FileTableModel::FileTableModel(FileList& files, QObject* parent)
    : QAbstractTableModel(parent), m_files(files), m_identifiers(columnIdentifiers()),
      m_lockIcon(QStringLiteral(":/images/lock.png"))
{
}

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

QString FileTableModel::sortKeyForIdentifier(const QString& identifier)
{
    // Each column sorts by the property it shows; the size text sorts by the size in bytes.
    if (identifier.compare(kSizeColumn, Qt::CaseInsensitive) == 0)
        return QStringLiteral("size");
    if (identifier.compare(kCheckColumn, Qt::CaseInsensitive) == 0)
        return QStringLiteral("isSelected");
    for (const QString& known : columnIdentifiers()) {
        if (identifier.compare(known, Qt::CaseInsensitive) == 0)
            return known;
    }
    return {};
}

QString FileTableModel::columnIdentifier(int column) const
{
    return column >= 0 && column < m_identifiers.size() ? m_identifiers.at(column) : QString();
}

void FileTableModel::setColumnIdentifiers(const QStringList& identifiers)
{
    beginResetModel();
    m_identifiers = identifiers;
    endResetModel();
}

int FileTableModel::columnForSortKey(const QString& key) const
{
    for (int column = 0; column < m_identifiers.size(); ++column) {
        if (!key.isEmpty() && sortKeyForIdentifier(m_identifiers.at(column)) == key)
            return column;
    }
    return -1;
}

int FileTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_files.size());
}

int FileTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_identifiers.size());
}

QVariant FileTableModel::data(const QModelIndex& index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const FileItem& item = *m_files.at(index.row());
    const QString id = columnIdentifier(index.column());
    const QVariant value = item.displayField(id);
    if (value.typeId() == QMetaType::Bool) {
        if (role == Qt::CheckStateRole)
            return value.toBool() ? Qt::Checked : Qt::Unchecked;
        return {};
    }
    switch (role) {
    case Qt::DisplayRole:
        // An absent date comes as an invalid value and shows as an empty text.
        return value.isValid() ? visibleText(value.toString()) : QString();
    case Qt::DecorationRole:
        if (id == kNameColumn && item.isPasswordProtected())
            return m_lockIcon;
        return {};
    case Qt::ToolTipRole:
        // The whole name, and the whole folder, however narrow the column.
        if (id == kNameColumn)
            return visibleText(item.name()) + (item.isPasswordProtected() ? tr("\nPassword protected") : QString());
        if (id == kLocationColumn)
            return visibleText(item.location());
        return {};
    case Qt::TextAlignmentRole:
        if (id == kSizeColumn)
            return QVariant::fromValue(Qt::Alignment(Qt::AlignRight | Qt::AlignVCenter));
        return {};
    default:
        return {};
    }
}

bool FileTableModel::setData(const QModelIndex& index, const QVariant& value, int role)
{
    if (role != Qt::CheckStateRole || !index.isValid() || index.parent().isValid() || index.row() >= m_files.size())
        return false;
    if (columnIdentifier(index.column()) != kCheckColumn)
        return false;
    if (m_canEdit && !m_canEdit())
        return false;
    const bool checked = value.toInt() == Qt::Checked;
    m_files.at(index.row())->setIsSelected(checked);
    emit dataChanged(index, index, {Qt::CheckStateRole});
    emit checkMarkEdited(index.row());
    return true;
}

Qt::ItemFlags FileTableModel::flags(const QModelIndex& index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
    if (columnIdentifier(index.column()) == kCheckColumn)
        flags |= Qt::ItemIsUserCheckable;
    return flags;
}

QVariant FileTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    if (section < 0 || section >= m_identifiers.size())
        return {};
    static const QStringList titles = {QString(),          tr("Name"),          tr("Pages"),
                                       tr("Size"),         tr("Type"),          tr("Date Modified"),
                                       tr("Date Created"), tr("Date Accessed"), tr("Location")};
    const QString id = m_identifiers.at(section);
    const qsizetype known = columnIdentifiers().indexOf(id);
    return known >= 0 ? titles.at(known) : id;
}

void FileTableModel::reloadData()
{
    beginResetModel();
    endResetModel();
}

void FileTableModel::sortFiles(const SortDescriptors& descriptors)
{
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    filesorting::sortFiles(m_files, descriptors);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}
