#pragma once

#include <QString>
#include <QStringList>

// Value of an information key of the application ("CFBundleDisplayName", "CFBundleVersion",
// "CFBundleIconFile", "NSHumanReadableCopyright"); empty for an unknown key.
QString bundleInfoValue(const QString& key);

// The application title: the display name, with `suffix` appended when one is given.
QString getAppTitle(const QString& suffix = QString());

// The accepted extensions, in their fixed order: tif, TIF, tiff, TIFF, pdf, PDF.
const QStringList& allowedFileTypes();
