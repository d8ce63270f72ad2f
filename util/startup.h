// Start-up state: where the program was started from and where the test
// utility and the help page lie inside the bundle.
#pragma once

extern const char* theargv0;     // the executable's real path (/proc/self/exe on Linux)
extern const char* perfutilpath; // "/Error/Error-utility" until perfutilinit succeeds
extern const char* perfutilrtfd; // "/Error/Error-Perf.rtfd" until perfutilinit succeeds

// Keeps others from writing what the program makes (the file-creation mask
// gains o-w) and checks "HOME"; fatal through zerex on failure.
void menuinit();
// Derives perfutilpath and perfutilrtfd from the executable's path; silent on failure.
void perfutilinit(const char* path);

// Help page name inside Contents/Resources (an HTML page on Linux).
constexpr const char* VLM_HELP_NAME = "Performance.html";
