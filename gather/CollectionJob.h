#pragma once

#include "gather/Arguments.h"
#include "gather/GatherHost.h"

#include <QDateTime>
#include <QString>

#include <optional>

// The window side of a collection job: each call is made inside GatherHost::performOnMain.
class JobHost : public GatherHost {
public:
    // Enables (true) or disables (false) the window's commands.
    virtual void resetView(bool enable) = 0;
    // Enters the processing state: flag up, busy indicator, start time, "In Process..." text.
    virtual void startProcess() = 0;
    // Leaves it: flag down, indicator stopped, end time, totals, time taken.
    virtual void stopProcess() = 0;
    // Sorts the list by the current sort order and reloads the table.
    virtual void sortFilesAndReload() = 0;
};

// One collection job, on the calling (background) thread: disables the window, enters the
// processing state, gathers (folders or files), sorts and reloads when the list grew, then
// always leaves the processing state and enables the window again. Never throws: a failure
// is logged as "Error in (loadURLs:) : reason" and the items gathered so far stay.
// `arguments` may be null: the window is still disabled and enabled and a time shown.
void loadURLs(JobHost& host, const Arguments* arguments, int threads = 1, JobProgress* progress = nullptr);

// "Total Time Taken : 1 hr(s) 5 sec(s) ": whole hours, minutes and seconds from start to
// end, a part that is 0 left out, "0 sec(s)" when none is positive; "" when a date is missing.
QString timeTakenString(const std::optional<QDateTime>& start, const std::optional<QDateTime>& end);
