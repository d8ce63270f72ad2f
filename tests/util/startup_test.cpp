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

// Restores HOME and the file-creation mask after each test.
class Menuinit : public testing::Test {
 protected:
  void SetUp() override {
    const char* h = std::getenv("HOME");
    if (h) home_ = h;
    mask_ = umask(022);
  }
  void TearDown() override {
    if (home_)
      setenv("HOME", home_->c_str(), 1);
    else
      unsetenv("HOME");
    umask(mask_);
  }
  // The fatal message of menuinit, or nullopt when it passed.
  static std::optional<std::string> run() {
    vlm::ScopedRecordingSeam rec;
    try {
      menuinit();
    } catch (const vlm::FatalError& e) {
      EXPECT_EQ(rec.seam.alerts.size(), 1u);
      return std::string(e.what());
    }
    EXPECT_TRUE(rec.seam.alerts.empty());
    return std::nullopt;
  }

 private:
  std::optional<std::string> home_;
  mode_t mask_ = 022;
};

// HOME: unset, cut or too long is fatal; else the file-creation mask is cleared.
TEST_F(Menuinit, HomeRulesAndMask) {
  const struct {
    long len;  // -1: unset
    const char* fatal;  // nullptr: accepted
  } cases[] = {
      {-1, "menuinit; No 'HOME' setting. *STOP*"},
      {0, nullptr},
      {1, nullptr},
      {200, nullptr},
      {201, "menuinit: home directory too long: ( %s ) *STOP*"},
      {251, "menuinit: home directory too long: ( %s ) *STOP*"},
      {252, "zgetenv; size too small! HOME:{252/252}"},
      {4000, "zgetenv; size too small! HOME:{4000/252}"},
  };
  for (const auto& c : cases) {
    std::string home = c.len > 0 ? "/" + std::string(size_t(c.len - 1), 'h') : "";
    if (c.len < 0) unsetenv("HOME");
    else setenv("HOME", home.c_str(), 1);
    umask(077);
    std::optional<std::string> got = run();
    if (!c.fatal) {
      EXPECT_FALSE(got) << c.len << ": " << got.value_or("");
      EXPECT_EQ(umask(022), 0u) << c.len;
      continue;
    }
    std::string want = c.fatal;
    size_t at = want.find("%s");
    if (at != std::string::npos) want.replace(at, 2, home);
    EXPECT_EQ(got.value_or("(passed)"), want) << c.len;
  }
}

// perfutilinit only ever points the globals at new buffers: the guard frees
// those and puts the old pointers back.
class Perfutilinit : public testing::Test {
 protected:
  void SetUp() override {
    path_ = perfutilpath;
    rtfd_ = perfutilrtfd;
  }
  void TearDown() override {
    if (perfutilpath != path_) std::free(const_cast<char*>(perfutilpath));
    if (perfutilrtfd != rtfd_) std::free(const_cast<char*>(perfutilrtfd));
    perfutilpath = path_;
    perfutilrtfd = rtfd_;
  }

 private:
  const char* path_ = nullptr;
  const char* rtfd_ = nullptr;
};

TEST_F(Perfutilinit, PathsFromTheExecutable) {
  const std::string d = "/" + std::string(300, 'd') + "/Contents";  // a long path is not cut
  const struct {
    std::string exe, path, rtfd;
  } cases[] = {
      {"/opt/X.app/Contents/MacOS/VLM-Performance", "/opt/X.app/Contents/Resources/vlmperfutil",
       "/opt/X.app/Contents/Resources/Performance.html"},
      {"/a/VLM", "/Resources/vlmperfutil", "/Resources/Performance.html"},  // short folders
      {d + "/MacOS/VLM-Performance", d + "/Resources/vlmperfutil", d + "/Resources/Performance.html"},
      {"/VLM-Performance", "", ""},  // a root executable: empty paths
  };
  for (const auto& c : cases) {
    perfutilinit(c.exe.c_str());
    EXPECT_EQ(std::string(perfutilpath), c.path) << c.exe;
    EXPECT_EQ(std::string(perfutilrtfd), c.rtfd) << c.exe;
    TearDown();  // frees this call's buffers
  }
}

TEST_F(Perfutilinit, UnrecognisedPathsKeepDefaults) {
  const char* keep[] = {
      nullptr,
      "",
      "VLM-Performance",                         // relative
      "bin/VLM-Performance",
      "/opt/X.app/Contents/MacOS/Other",         // name not beginning with "VLM"
      "/opt/X.app/Contents/MacOS/vlm-performance",  // case-sensitive
      "/opt/X.app/Contents/MacOS/",
  };
  const char* path = perfutilpath;
  const char* rtfd = perfutilrtfd;
  for (const char* p : keep) {
    perfutilinit(p);
    EXPECT_EQ(perfutilpath, path) << (p ? p : "(null)");
    EXPECT_EQ(perfutilrtfd, rtfd) << (p ? p : "(null)");
  }
}

}  // namespace
