#include "gather/CollectionJob.h"

#include "app/Platform.h"
#include "gather/FileSystemHelper.h"

#include <exception>

namespace {

void logJobError(const QString& reason)
{
    platform::logError(QStringLiteral("(loadURLs:)"), reason);
}

} // namespace

void loadURLs(JobHost& host, const Arguments* arguments, int threads, JobProgress* progress)
{
    try {
        if (host.performOnMain([&] { host.resetView(false); }) && host.performOnMain([&] { host.startProcess(); }) &&
            arguments) {
            FileSystemHelper helper(host, threads, progress);
            const bool grew = arguments->isFolders
                                  ? helper.addFolderToList(arguments->urls, arguments->isIncludeSubdirectories)
                                  : helper.addFilesToList(arguments->urls);
            if (grew)
                host.performOnMain([&] { host.sortFilesAndReload(); });
        }
    } catch (const std::exception& e) {
        logJobError(QString::fromUtf8(e.what()));
    } catch (...) {
        logJobError(QStringLiteral("unknown error"));
    }
    // Always, also after a failure: the window returns to idle.
    try {
        host.performOnMain([&] { host.stopProcess(); });
        host.performOnMain([&] { host.resetView(true); });
    } catch (const std::exception& e) {
        logJobError(QString::fromUtf8(e.what()));
    } catch (...) {
        logJobError(QStringLiteral("unknown error"));
    }
}

QString timeTakenString(const std::optional<QDateTime>& start, const std::optional<QDateTime>& end)
{
    if (!start || !end || !start->isValid() || !end->isValid())
        return QString("");
    // Whole seconds only; an interval that runs backwards has no positive part.
    const qint64 seconds = start->secsTo(*end);
    const qint64 hours = seconds / 3600;
    const qint64 minutes = (seconds % 3600) / 60;
    const qint64 secs = seconds % 60;
    QString text;
    if (hours > 0)
        text += QStringLiteral("%1 hr(s) ").arg(hours);
    if (minutes > 0)
        text += QStringLiteral("%1 min(s) ").arg(minutes);
    if (secs > 0)
        text += QStringLiteral("%1 sec(s) ").arg(secs);
    if (text.isEmpty())
        return QStringLiteral("Total Time Taken : 0 sec(s)");
    return QStringLiteral("Total Time Taken : %1").arg(text);
}
