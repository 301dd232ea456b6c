#include "app/Platform.h"

#include "app/Constants.h"

#include <QFile>
#include <QLocale>
#include <QSaveFile>
#include <QSettings>
#include <QStringDecoder>

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <mutex>

namespace platform {

namespace {

std::mutex& logMutex()
{
    static std::mutex mutex;
    return mutex;
}

LogSink& logSink()
{
    static LogSink sink;
    return sink;
}

// In UTC: a date in local time looks up the time zone (glibc stats /etc/localtime) each time it
// is made and again when it is converted, which costs more than the statx that read it. Those
// who show a date convert it to local time then (formatDate).
QDateTime fromStatxTimestamp(const struct statx_timestamp& ts)
{
    return QDateTime::fromMSecsSinceEpoch(qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000, Qt::UTC);
}

} // namespace

void systemLog(const QString& line)
{
    std::lock_guard lock(logMutex());
    if (logSink()) {
        logSink()(line);
        return;
    }
    const QByteArray bytes = line.toUtf8();
    std::fprintf(stderr, "%s\n", bytes.constData());
    std::fflush(stderr);
}

void logError(const QString& operation, const QString& reason)
{
    systemLog(QStringLiteral("Error in %1 : %2").arg(operation, reason));
}

void setLogSink(LogSink sink)
{
    std::lock_guard lock(logMutex());
    logSink() = std::move(sink);
}

bool userDefaultBool(const QString& key)
{
    QSettings settings{QLatin1String(constants::kSettingsOrganization), QLatin1String(constants::kSettingsApplication)};
    return settings.value(key, false).toBool();
}

void setUserDefaultBool(const QString& key, bool value)
{
    QSettings settings{QLatin1String(constants::kSettingsOrganization), QLatin1String(constants::kSettingsApplication)};
    settings.setValue(key, value);
    settings.sync();
}

QByteArray userDefaultBytes(const QString& key)
{
    QSettings settings{QLatin1String(constants::kSettingsOrganization), QLatin1String(constants::kSettingsApplication)};
    return settings.value(key).toByteArray();
}

void setUserDefaultBytes(const QString& key, const QByteArray& value)
{
    QSettings settings{QLatin1String(constants::kSettingsOrganization), QLatin1String(constants::kSettingsApplication)};
    settings.setValue(key, value);
    settings.sync();
}

std::optional<QString> readTextFileUtf8(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return std::nullopt;
    QStringDecoder decoder(QStringDecoder::Utf8);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

bool writeTextFileAtomically(const QString& path, const QString& text, QString* errorString)
{
    return writeFileAtomically(path, text.toUtf8(), errorString);
}

bool writeFileAtomically(const QString& path, const QByteArray& bytes, QString* errorString)
{
    QSaveFile file(path);
    // Unbuffered, so that a short write (disk full, file-size limit) shows in write()'s
    // result; through Qt's buffer a partial flush can pass for success and be committed.
    bool ok = file.open(QIODevice::WriteOnly | QIODevice::Unbuffered);
    if (ok)
        ok = file.write(bytes) == bytes.size() && file.size() == bytes.size();
    if (ok)
        ok = file.commit();
    else
        file.cancelWriting();
    if (!ok && errorString)
        *errorString = file.errorString();
    return ok;
}

std::optional<ResourceValues> resourceValues(const QByteArray& nativePath)
{
    struct statx st {};
    const unsigned mask = STATX_TYPE | STATX_SIZE | STATX_BLOCKS | STATX_BTIME | STATX_MTIME | STATX_ATIME;
    if (nativePath.isEmpty() || statx(AT_FDCWD, nativePath.constData(), 0, mask, &st) != 0)
        return std::nullopt;
    ResourceValues values;
    values.isDirectory = S_ISDIR(st.stx_mode);
    if (st.stx_mask & STATX_SIZE)
        values.fileSize = qint64(st.stx_size);
    if (st.stx_mask & STATX_BLOCKS)
        values.allocatedSize = qint64(st.stx_blocks) * 512;
    if (st.stx_mask & STATX_BTIME)
        values.creationDate = fromStatxTimestamp(st.stx_btime);
    if (st.stx_mask & STATX_MTIME)
        values.contentModificationDate = fromStatxTimestamp(st.stx_mtime);
    if (st.stx_mask & STATX_ATIME)
        values.contentAccessDate = fromStatxTimestamp(st.stx_atime);
    return values;
}

std::optional<qint64> allocatedSize(const QByteArray& nativePath)
{
    struct statx st {};
    if (nativePath.isEmpty() || statx(AT_FDCWD, nativePath.constData(), 0, STATX_BLOCKS, &st) != 0 ||
        !(st.stx_mask & STATX_BLOCKS))
        return std::nullopt;
    return qint64(st.stx_blocks) * 512;
}

std::optional<QDateTime> resourceDate(const QByteArray& nativePath, DateKey key)
{
    struct statx st {};
    unsigned mask = 0;
    switch (key) {
    case DateKey::ContentModification:
        mask = STATX_MTIME;
        break;
    case DateKey::Creation:
        mask = STATX_BTIME;
        break;
    case DateKey::ContentAccess:
        mask = STATX_ATIME;
        break;
    }
    if (nativePath.isEmpty() || statx(AT_FDCWD, nativePath.constData(), 0, mask, &st) != 0 || !(st.stx_mask & mask))
        return std::nullopt;
    switch (key) {
    case DateKey::ContentModification:
        return fromStatxTimestamp(st.stx_mtime);
    case DateKey::Creation:
        return fromStatxTimestamp(st.stx_btime);
    case DateKey::ContentAccess:
        return fromStatxTimestamp(st.stx_atime);
    }
    return std::nullopt;
}

QString formatDate(const QDateTime& date, const QString& pattern)
{
    // Unicode patterns write the AM/PM marker as "a"; Qt writes it as "AP". Quoted text stays.
    QString qtPattern;
    bool quoted = false;
    for (const QChar c : pattern) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (!quoted && c == QLatin1Char('a'))
            qtPattern += QLatin1String("AP");
        else
            qtPattern += c;
    }
    return QLocale::system().toString(date.toLocalTime(), qtPattern);
}

} // namespace platform
