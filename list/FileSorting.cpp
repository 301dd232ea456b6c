#include "list/FileSorting.h"

#include "model/FileList.h"

#include <QCollator>

#include <algorithm>
#include <numeric>
#include <optional>
#include <variant>
#include <vector>

namespace filesorting {

namespace {

enum class KeyKind { Check, Pages, Size, DateModified, DateCreated, DateAccessed, Name, Type, Location, Unknown };

KeyKind kindOf(const QString& key)
{
    static const std::pair<const char*, KeyKind> kinds[] = {
        {"isSelected", KeyKind::Check},
        {"pages", KeyKind::Pages},
        {"size", KeyKind::Size},
        {"dateModified", KeyKind::DateModified},
        {"dateCreated", KeyKind::DateCreated},
        {"dateAccessed", KeyKind::DateAccessed},
        {"name", KeyKind::Name},
        {"type", KeyKind::Type},
        {"location", KeyKind::Location},
    };
    for (const auto& [name, kind] : kinds) {
        if (key.compare(QLatin1String(name), Qt::CaseInsensitive) == 0)
            return kind;
    }
    return KeyKind::Unknown;
}

// Qt's collator ignores numeric mode in the C locale (it falls back to plain code-point
// order there); a process started with LC_ALL=C still gets file-manager order.
QCollator makeCollator(const QLocale& locale)
{
    QCollator collator(locale.language() == QLocale::C ? QLocale(QLocale::English, QLocale::AnyTerritory) : locale);
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    collator.setNumericMode(true);
    return collator;
}

// The values of one key for every item, read once per sort: numbers and dates as integers
// (an absent date as "none"), texts as collation keys.
struct KeyColumn {
    bool ascending = true;
    std::vector<std::optional<qint64>> numbers;
    std::vector<QCollatorSortKey> texts;

    int compare(size_t a, size_t b) const
    {
        int result = 0;
        if (!texts.empty()) {
            result = texts[a].compare(texts[b]);
        } else {
            const auto& x = numbers[a];
            const auto& y = numbers[b];
            if (x != y)
                result = !x ? -1 : !y ? 1 : (*x < *y ? -1 : 1);
        }
        return ascending ? result : -result;
    }
};

std::optional<qint64> msecs(const std::optional<QDateTime>& date)
{
    if (!date || !date->isValid())
        return std::nullopt;
    return date->toMSecsSinceEpoch();
}

KeyColumn makeColumn(const FileList& files, KeyKind kind, bool ascending, const QCollator& collator)
{
    KeyColumn column;
    column.ascending = ascending;
    const size_t n = size_t(files.size());
    const bool isText = kind == KeyKind::Name || kind == KeyKind::Type || kind == KeyKind::Location;
    if (isText)
        column.texts.reserve(n);
    else
        column.numbers.reserve(n);
    for (const FileItemPtr& item : files) {
        switch (kind) {
        case KeyKind::Check:
            column.numbers.emplace_back(item->isSelected() ? 1 : 0);
            break;
        case KeyKind::Pages:
            column.numbers.emplace_back(item->pages());
            break;
        case KeyKind::Size:
            column.numbers.emplace_back(item->size());
            break;
        case KeyKind::DateModified:
            column.numbers.push_back(msecs(item->dateModified()));
            break;
        case KeyKind::DateCreated:
            column.numbers.push_back(msecs(item->dateCreated()));
            break;
        case KeyKind::DateAccessed:
            column.numbers.push_back(msecs(item->dateAccessed()));
            break;
        case KeyKind::Name:
            column.texts.push_back(collator.sortKey(item->name()));
            break;
        case KeyKind::Type:
            column.texts.push_back(collator.sortKey(item->type()));
            break;
        case KeyKind::Location:
            column.texts.push_back(collator.sortKey(item->location()));
            break;
        case KeyKind::Unknown:
            break;
        }
    }
    return column;
}

} // namespace

bool isSortKey(const QString& key)
{
    return kindOf(key) != KeyKind::Unknown;
}

void sortFiles(FileList& files, const SortDescriptors& descriptors, const QLocale& locale)
{
    const QCollator collator = makeCollator(locale);
    std::vector<KeyColumn> columns;
    for (const SortDescriptor& descriptor : descriptors) {
        const KeyKind kind = kindOf(descriptor.key);
        if (kind != KeyKind::Unknown)
            columns.push_back(makeColumn(files, kind, descriptor.ascending, collator));
    }
    if (columns.empty())
        return;

    std::vector<size_t> order(size_t(files.size()));
    std::iota(order.begin(), order.end(), size_t(0));
    std::stable_sort(order.begin(), order.end(), [&columns](size_t a, size_t b) {
        for (const KeyColumn& column : columns) {
            if (const int c = column.compare(a, b); c != 0)
                return c < 0;
        }
        return false;
    });

    std::vector<FileItemPtr> items;
    items.reserve(order.size());
    for (const size_t i : order)
        items.push_back(files.at(qsizetype(i)));
    files.reorder(std::move(items));
}

SortDescriptors sortDescriptorsAfterClick(const SortDescriptors& current, const QString& key)
{
    SortDescriptors result;
    SortDescriptor primary{key, true};
    if (!current.isEmpty() && current.first().key == key)
        primary.ascending = !current.first().ascending;
    result.append(primary);
    for (const SortDescriptor& descriptor : current) {
        if (descriptor.key != key)
            result.append(descriptor);
    }
    return result;
}

} // namespace filesorting
