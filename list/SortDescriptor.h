#pragma once

#include <QList>
#include <QString>

// One key of a table's sort order: a FileItem property name ("name", "pages", "size", ...)
// and its direction.
struct SortDescriptor {
    QString key;
    bool ascending = true;

    friend bool operator==(const SortDescriptor&, const SortDescriptor&) = default;
};

// The whole sort order, primary key first; each later key orders only the items that are
// equal under all the keys before it.
using SortDescriptors = QList<SortDescriptor>;
