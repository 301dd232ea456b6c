#pragma once

class QApplication;
class FolimeterAppDelegate;

// Runs the event loop for `delegate` and ends the process when it returns. Quitting never
// waits for a collection job: when a job's thread is still busy (say, counting a slow file),
// the process ends at once with the loop's status instead of joining it.
int runApplication(QApplication& app, FolimeterAppDelegate& delegate);
