// --test on the command line: the real program in a bundle of its own whose
// utility is the stand-in (tests/helpers/stub_util), on this machine's disks.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "perf/runner.h"

namespace fs = std::filesystem;

namespace {

// A copy of the program's bundle with stub_util as its vlmperfutil.
class StubBundle {
 public:
  StubBundle() {
    char tmpl[] = "/tmp/vlm-clitest-XXXXXX";
    root_ = mkdtemp(tmpl);
    fs::path contents = root_ / "VLM-Performance.app" / "Contents";
    fs::create_directories(contents / "MacOS");
    fs::create_directories(contents / "Resources");
    program_ = contents / "MacOS" / "VLM-Performance";
    utility_ = contents / "Resources" / "vlmperfutil";
    fs::path built = fs::path(VLM_BUNDLE_DIR) / "Contents" / "MacOS" / "VLM-Performance";
    if (!fs::exists(built)) return;
    fs::copy_file(built, program_);
    fs::copy_file(fs::path(VLM_HELPERS) / "stub_util", utility_);
    ready_ = true;
  }
  ~StubBundle() {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  bool ready() const { return ready_; }
  const fs::path& utility() const { return utility_; }
  const fs::path& root() const { return root_; }

  // Runs the program with the shell words in args, standard input from
  // /dev/null; returns the exit status and the joined output.
  int run(const std::string& args, std::string& out, const std::string& env = "",
          const fs::path& program = {}) const {
    std::string cmd = "HOME=${HOME:-/root} " + env + " exec '" +
                      (program.empty() ? program_ : program).string() + "' " + args + " </dev/null";
    std::vector<std::string> words = {"/bin/bash", "-c", cmd};  // bash: its trap '' CHLD survives exec
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    std::vector<char> buf(32768, '\0');
    int len = 0;
    int status = run2mem(buf.data(), static_cast<int>(buf.size()), &len, argv.data());
    out.assign(buf.data(), len);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // The first device of the listing, or empty.
  std::string firstDevice() const {
    std::string out;
    if (run("--list --json", out) != 0) return "";
    size_t at = out.find("\"Device\": \"");
    if (at == std::string::npos) return "";
    at += 11;
    return out.substr(at, out.find('"', at) - at);
  }

 private:
  fs::path root_, program_, utility_;
  bool ready_ = false;
};

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!bundle.ready()) GTEST_SKIP() << "the program is not built: " << VLM_BUNDLE_DIR;
    dev = bundle.firstDevice();
    if (dev.empty()) GTEST_SKIP() << "no block device listed on this machine";
  }
  StubBundle bundle;
  std::string dev;
};

TEST_F(CliTest, SuccessfulTestPrintsOutputFiguresAndListing) {
  std::string out;
  EXPECT_EQ(bundle.run("--test " + dev + " --yes", out), 0) << out;
  EXPECT_NE(out.find("You are about to test /dev/" + dev + " (/dev/"), std::string::npos) << out;
  EXPECT_NE(out.find("args: 5 [-T] [" + dev + "] ["), std::string::npos) << out;
  EXPECT_NE(out.find("] [-I] ["), std::string::npos) << out;  // the identity the list read
  EXPECT_NE(out.find("] 100%"), std::string::npos) << out;  // the bar reached the end
  EXPECT_NE(out.find("Result: Ok\n"), std::string::npos);
  EXPECT_NE(out.find("Figures for " + dev + ": Sequential 523  Random 81  Dual Seq 610  Threaded 587"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("Refreshed: "), std::string::npos);  // the listing follows
  EXPECT_EQ(out.find("Percent: "), std::string::npos);   // progress lines are not shown
}

// The utility's warnings lead its output and stay with the figures in the listing.
TEST_F(CliTest, WarningsComeFirstAndStayWithTheFigures) {
  const std::string warning =
      "Warning: the device was busy: 5.0 MB read and 0.0 MB written by other programs during the Random phase";
  std::string out;
  EXPECT_EQ(bundle.run("--test " + dev + " --yes --list --json", out, "VLM_STUB_MODE=warn"), 0) << out;
  size_t first = out.find(warning), testing = out.find("stub: testing");
  ASSERT_NE(first, std::string::npos) << out;
  EXPECT_LT(first, testing) << out;
  EXPECT_NE(out.find(warning, testing), std::string::npos) << "the output itself is shown whole\n" << out;
  size_t row = out.find("\"Device\": \"" + dev + "\"");
  ASSERT_NE(row, std::string::npos) << out;
  size_t warnings = out.find("\"Warnings\": [", row);
  ASSERT_NE(warnings, std::string::npos) << out;
  EXPECT_EQ(out.find(warning, warnings), out.find("\"" + warning + "\"", warnings) + 1) << out;
  EXPECT_LT(out.find(warning, warnings), out.find("\"Checked\": null", warnings)) << out;
}

// The utility's exit status decides, also when the program was started with
// SIGCHLD ignored (which would make it impossible to collect).
TEST_F(CliTest, UtilityStatusDecidesTheResult) {
  const struct {
    const char* env;
    int status;
    const char* result;
  } cases[] = {
      {"VLM_STUB_MODE=fail", 1, "Result: Failed\n"},
      {"; trap '' CHLD; VLM_STUB_MODE=fail", 1, "Result: Failed\n"},
      {"; trap '' CHLD; VLM_STUB_MODE=ok", 0, "Result: Ok\n"},
  };
  // Started through a link elsewhere (as from PATH): the bundle is still found.
  const fs::path link = bundle.root() / "VLM-Performance";
  fs::create_symlink(bundle.root() / "VLM-Performance.app" / "Contents" / "MacOS" / "VLM-Performance", link);
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(bundle.run("--test " + dev + " --yes", out, c.env, link), c.status) << c.env << "\n" << out;
    EXPECT_NE(out.find(c.result), std::string::npos) << out;
    EXPECT_EQ(out.find("Figures for") == std::string::npos, c.status != 0) << out;
  }
}

TEST_F(CliTest, RefusedRequests) {
  struct Case {
    std::string args;
    int status;
    std::string message;
  };
  const Case cases[] = {
      {"--test " + dev, 2, "answer on a terminal or give --yes"},
      {"--test disk987654 --yes", 2, "no device disk987654 in the list"},
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(bundle.run(c.args, out), c.status) << c.args << "\n" << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    EXPECT_EQ(out.find("stub: testing"), std::string::npos) << c.args;
  }
}

TEST_F(CliTest, MissingUtility) {
  fs::remove(bundle.utility());
  std::string out;
  EXPECT_EQ(bundle.run("--test " + dev + " --yes", out), 1);
  EXPECT_NE(out.find("the test utility is missing"), std::string::npos) << out;
}

}  // namespace
