#pragma once

#include "list/Exporter.h"

#include <QString>
#include <QStringList>

#include <optional>

// What the command line asks of folimeter-cli. Paths keep the bytes of their arguments: a byte
// that is not UTF-8 is held as decodeSurrogateEscape holds it (app/SurrogateEscape.h).
struct CliOptions {
    QStringList paths; // files and folders, gathered as a drop onto the list
    QStringList lists; // list files ("-" for standard input), parsed as the import dialog does
    exporter::Format format = exporter::Format::Tsv;
    bool includeSubfolders = true; // --no-subfolders turns it off
    int jobs = 0;                  // threads for counting; 0: one per core
    QString output;                // empty: standard output
    bool help = false;
    bool version = false;
};

// The outcome of reading the arguments: options, or a one-line reason for bad usage.
struct CliParseResult {
    std::optional<CliOptions> options;
    QString error;
};

// Reads `arguments` (the program name first), each decoded with decodeSurrogateEscape. Never
// throws.
CliParseResult parseCliArguments(const QStringList& arguments);

// The --help text, ending in a line feed.
QString cliHelpText();
