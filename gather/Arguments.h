#pragma once

#include <QList>
#include <QUrl>

// The parameters of one collection job, made fresh by the front end that starts it.
struct Arguments {
    // What to gather: folders and files when isFolders, files only otherwise.
    QList<QUrl> urls;
    // True: scan folders and admit files by extension. False: admit the given files as they are.
    bool isFolders = false;
    // Folder scans descend into subfolders. Ignored when isFolders is false.
    bool isIncludeSubdirectories = false;
};
