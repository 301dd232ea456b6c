#pragma once

#include <QString>

namespace constants {

// Accepted file extensions, split at "," at start-up. Compared exactly, letter case included.
inline constexpr const char* kAllowedFileTypes = "tif,TIF,tiff,TIFF,pdf,PDF";

// The stored settings: include subfolders, and the main window's geometry and column widths.
inline constexpr const char* kIncludeSubfoldersKey = "INCLUDESUBFOLDERS";
inline constexpr const char* kWindowGeometryKey = "MainWindowGeometry";
inline constexpr const char* kColumnsKey = "FileListColumns";

// Information keys of the application bundle.
inline constexpr const char* kDisplayNameKey = "CFBundleDisplayName";
inline constexpr const char* kVersionKey = "CFBundleVersion";
inline constexpr const char* kIconFileKey = "CFBundleIconFile";
inline constexpr const char* kCopyrightKey = "NSHumanReadableCopyright";

// Support address shown in the About window and the maker's web site.
inline constexpr const char* kSupportEmail = "support@folimeter.org";
inline constexpr const char* kWebsiteUrl = "https://folimeter.org/";

// Organisation and application names under which the settings are stored.
inline constexpr const char* kSettingsOrganization = "Folimeter";
inline constexpr const char* kSettingsApplication = "Folimeter";

} // namespace constants
