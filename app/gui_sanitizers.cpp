// Sanitizer builds of the window: leaks and races inside the system's own
// libraries, which are not built with the sanitizer, are left out. GCC says
// which sanitizer is on through __SANITIZE_*__, clang through __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define VLM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VLM_ASAN 1
#endif
#endif

#if defined(__SANITIZE_THREAD__)
#define VLM_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VLM_TSAN 1
#endif
#endif

#ifdef VLM_ASAN
extern "C" const char* __lsan_default_suppressions() {
  // fontconfig keeps its caches for the life of the process.
  return "leak:libfontconfig.so\n";
}
#endif

#ifdef VLM_TSAN
extern "C" const char* __tsan_default_suppressions() {
  // Qt is not built with the sanitizer: its own locks (futexes) are invisible
  // to it, so the allocations and copies Qt makes itself look racy. Only
  // those are left out; an access of ours stays reported even when Qt's event
  // loop called it (a race: line naming the libraries would hide that too).
  return "called_from_lib:libQt6Core.so\ncalled_from_lib:libQt6Gui.so\ncalled_from_lib:libQt6Widgets.so\n";
}
#endif
