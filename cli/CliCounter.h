#pragma once

#include "cli/CliOptions.h"

// One run of folimeter-cli: gathers the given paths and lists on a job thread, shows a progress
// line on a terminal, writes the export and the totals, and ends the process with its exit
// status (0 all went well, 1 some path could not be read or the result could not be written);
// it returns that status when the run could not start, and in sanitized builds. SIGINT and
// SIGTERM cancel the job and end the process by that signal within a second, with nothing
// written to standard output or --output. With `standardOutputClosed` (the caller closed it),
// writing the list to standard output fails with a message saying so.
int runCliCounter(const CliOptions& options, bool standardOutputClosed = false);
