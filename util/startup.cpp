#include "util/startup.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstring>

#include "util/alerts.h"
#include "util/prog.h"

const char* theargv0 = nullptr;
const char* perfutilpath = "/Error/Error-utility";
const char* perfutilrtfd = "/Error/Error-Perf.rtfd";

void menuinit() {
  // The user's own mask, but nothing the program makes is writable by others.
  const mode_t mask = umask(0);
  umask(mask | S_IWOTH);
  char home[256];
  if (!zgetenv("HOME", home, 252)) zerex("menuinit; No 'HOME' setting. *STOP*");
  if (std::strlen(home) > 200) zerex("menuinit: home directory too long: ( %s ) *STOP*", home);
}

void perfutilinit(const char* path) {
  if (!path || path[0] != '/') return;
  int p = zchrpos('/', path);
  if (p < 0) return;
  if (!zcps("VLM", path + p + 1)) return;

  char* util = static_cast<char*>(zmemclr(p + 100));
  char* help = static_cast<char*>(zmemclr(p + 100));
  perfutilpath = util;
  perfutilrtfd = help;

  std::memcpy(util, path, p);  // the executable's folder, without its final "/"
  util[p] = '\0';
  int q = zchrpos('/', util);
  if (q < 0) return;
  util[q] = '\0';  // the bundle's Contents folder
  std::snprintf(help, q + 100, "%s/Resources/%s", util, VLM_HELP_NAME);
  std::snprintf(util + q, 100, "/Resources/vlmperfutil");
}
