#include "gather/LocalPath.h"

#include "model/FileItem.h"

#include <unistd.h>

#include <cerrno>
#include <vector>

namespace localpath {

QByteArray currentFolder()
{
    std::vector<char> buffer(4096);
    while (!::getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE)
            return QByteArrayLiteral("/");
        buffer.resize(buffer.size() * 2);
    }
    return QByteArray(buffer.data());
}

QByteArray absolute(const QByteArray& path, const QByteArray& base)
{
    if (path.isEmpty())
        return {};
    QByteArray joined = path;
    if (!path.startsWith('/'))
        joined = base + (base.endsWith('/') ? "" : "/") + path;
    qsizetype slashes = 0;
    while (slashes < joined.size() && joined.at(slashes) == '/')
        ++slashes;
    return slashes > 1 ? joined.sliced(slashes - 1) : joined;
}

QUrl fileUrl(const QByteArray& path, const QByteArray& base)
{
    return FileItem::fileUrl(absolute(path, base));
}

QUrl fileUrl(const QByteArray& path)
{
    return fileUrl(path, path.startsWith('/') ? QByteArray() : currentFolder());
}

} // namespace localpath
