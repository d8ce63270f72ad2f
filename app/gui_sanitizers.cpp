// Sanitizer builds of the window: leaks and races inside the system's own
// libraries, which are not built with the sanitizer, are left out.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __lsan_default_suppressions() {
  // fontconfig keeps its caches for the life of the process.
  return "leak:libfontconfig.so\n";
}
#endif

#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
  // Qt's own locks (futexes) are invisible to the sanitizer.
  return "race:libQt6Core.so\nrace:libQt6Gui.so\nrace:libQt6Widgets.so\n";
}
#endif
