// Which sanitizer runtime this test binary carries, for the few tests that
// cannot run under one. GCC says so with __SANITIZE_*__, clang with
// __has_feature.
#pragma once

namespace lodex {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kAddressSanitizer = true;
#else
inline constexpr bool kAddressSanitizer = false;
#endif
#else
inline constexpr bool kAddressSanitizer = false;
#endif

#if defined(__SANITIZE_THREAD__)
inline constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif
#else
inline constexpr bool kThreadSanitizer = false;
#endif

inline constexpr bool kSanitized = kAddressSanitizer || kThreadSanitizer;

// GCC 12's AddressSanitizer takes no lock of its allocator or thread registry
// around fork(): a child forked while another thread is inside malloc, free
// or thread start-up inherits that lock held and hangs at its first
// allocation. glibc's own malloc is fork-safe, so the tests that fork while
// other threads work run in the plain build only.
inline constexpr const char* kForkUnderAddressSanitizer =
    "this AddressSanitizer runtime is not fork-safe while other threads allocate";

}  // namespace lodex
