// Start-up: the HOME rules and file-creation mask of menuinit, and the paths
// perfutilinit derives from the executable's path.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "util/alerts.h"
#include "util/startup.h"

namespace {

// HOME: unset, cut or too long is fatal; else the user's file-creation mask
// is kept, less writing by others.
TEST(Menuinit, HomeRulesAndMask) {
  const char* h = std::getenv("HOME");
  const std::optional<std::string> oldhome = h ? std::optional<std::string>(h) : std::nullopt;
  const mode_t oldmask = umask(022);
  const struct {
    long len;           // -1: unset
    const char* fatal;  // nullptr: accepted
  } cases[] = {
      {-1, "menuinit; No 'HOME' setting. *STOP*"},
      {0, nullptr},
      {200, nullptr},
      {201, "menuinit: home directory too long: ( %s ) *STOP*"},
      {251, "menuinit: home directory too long: ( %s ) *STOP*"},
      {252, "zgetenv; size too small! HOME:{252/252}"},
  };
  for (const auto& c : cases) {
    std::string home = c.len > 0 ? "/" + std::string(size_t(c.len - 1), 'h') : "";
    if (c.len < 0) unsetenv("HOME");
    else setenv("HOME", home.c_str(), 1);
    umask(c.len == 200 ? 0 : 027);
    vlm::ScopedRecordingSeam rec;
    std::string got = "(passed)";
    try {
      menuinit();
    } catch (const vlm::FatalError& e) {
      got = e.what();
    }
    std::string want = c.fatal ? c.fatal : "(passed)";
    if (size_t at = want.find("%s"); at != std::string::npos) want.replace(at, 2, home);
    EXPECT_EQ(got, want) << c.len;
    EXPECT_EQ(rec.seam.alerts.size(), c.fatal ? 1u : 0u) << c.len;
    EXPECT_TRUE(c.fatal || umask(022) == (c.len == 200 ? 002 : 027)) << c.len;
  }
  if (oldhome) setenv("HOME", oldhome->c_str(), 1);
  else unsetenv("HOME");
  umask(oldmask);
}

// The utility and the help page in the bundle's Resources folder; paths that
// are not the program's keep the defaults.
TEST(Perfutilinit, PathsFromTheExecutable) {
  const char* const defpath = perfutilpath;
  const char* const defrtfd = perfutilrtfd;
  const std::string d = "/" + std::string(300, 'd') + "/Contents";  // a long path is not cut
  const struct {
    std::string exe, path, rtfd;  // path empty: the defaults stay
  } cases[] = {
      {"/opt/X.app/Contents/MacOS/VLM-Performance", "/opt/X.app/Contents/Resources/vlmperfutil",
       "/opt/X.app/Contents/Resources/Performance.html"},
      {"/a/VLM", "/Resources/vlmperfutil", "/Resources/Performance.html"},  // short folders
      {d + "/MacOS/VLM-Performance", d + "/Resources/vlmperfutil", d + "/Resources/Performance.html"},
      {"bin/VLM-Performance", "", ""},                        // relative
      {"/opt/X.app/Contents/MacOS/vlm-performance", "", ""},  // case-sensitive
      {"/opt/X.app/Contents/MacOS/", "", ""},
  };
  perfutilinit(nullptr);
  for (const auto& c : cases) {
    perfutilinit(c.exe.c_str());
    EXPECT_EQ(perfutilpath == defpath ? "" : std::string(perfutilpath), c.path) << c.exe;
    EXPECT_EQ(perfutilrtfd == defrtfd ? "" : std::string(perfutilrtfd), c.rtfd) << c.exe;
    if (perfutilpath != defpath) std::free(const_cast<char*>(perfutilpath));
    if (perfutilrtfd != defrtfd) std::free(const_cast<char*>(perfutilrtfd));
    perfutilpath = defpath;
    perfutilrtfd = defrtfd;
  }
}

}  // namespace
