#pragma once

// FOLIMETER_SANITIZED is defined in a build that runs under AddressSanitizer or
// ThreadSanitizer (GCC says so with __SANITIZE_ADDRESS__ and __SANITIZE_THREAD__, clang with
// __has_feature): such a build keeps work that only the sanitizers need, or leaves out what they
// cannot follow.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define FOLIMETER_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define FOLIMETER_SANITIZED 1
#endif
#endif
