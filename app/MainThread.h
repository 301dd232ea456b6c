#pragma once

#include <functional>

// Runs `fn` on the application's main thread and waits until it has run. Called on the
// main thread itself, it runs `fn` at once. Returns true when `fn` ran; false when the
// application is quitting (or has no event loop any more), in which case the caller is
// released at once and `fn` never runs. A worker that gets false should stop its work.
bool performOnMainThread(const std::function<void()>& fn);

// True once the application has begun to quit: no further main-thread call will run.
bool isApplicationQuitting();
