#include "app/Utilities.h"

#include "BuildInfo.h"
#include "app/Constants.h"

QString bundleInfoValue(const QString& key)
{
    if (key == QLatin1String(constants::kDisplayNameKey))
        return QStringLiteral(FOLIMETER_DISPLAY_NAME);
    if (key == QLatin1String(constants::kVersionKey))
        return QStringLiteral(FOLIMETER_VERSION);
    if (key == QLatin1String(constants::kIconFileKey))
        return QStringLiteral(FOLIMETER_ICON_FILE);
    if (key == QLatin1String(constants::kCopyrightKey))
        return QString::fromUtf8(FOLIMETER_COPYRIGHT);
    return {};
}

QString getAppTitle(const QString& suffix)
{
    const QString name = bundleInfoValue(QLatin1String(constants::kDisplayNameKey));
    return suffix.isNull() ? name : name + suffix;
}

const QStringList& allowedFileTypes()
{
    // Built once, on first use, and kept for the life of the process.
    static const QStringList types = QString::fromLatin1(constants::kAllowedFileTypes).split(QLatin1Char(','));
    return types;
}
