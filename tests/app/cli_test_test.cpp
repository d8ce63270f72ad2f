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

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "perf/runner.h"
#include "tests/helpers/schema_check.h"

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

  // The first row of the listing, or null.
  nlohmann::json firstRow() const {
    std::string out;
    if (run("--list --json", out) != 0) return nullptr;
    auto j = nlohmann::json::parse(out, nullptr, false);
    return j.is_object() && !j["rows"].empty() ? j["rows"][0] : nlohmann::json();
  }

 private:
  fs::path root_, program_, utility_;
  bool ready_ = false;
};

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!bundle.ready()) GTEST_SKIP() << "the program is not built: " << VLM_BUNDLE_DIR;
    row = bundle.firstRow();
    if (row.is_null()) GTEST_SKIP() << "no block device listed on this machine";
    dev = row["Device"];
  }
  StubBundle bundle;
  nlohmann::json row;
  std::string dev;
};

// The device as listed, by its kernel node, or by its identity.
TEST_F(CliTest, SuccessfulTestPrintsOutputFiguresAndListing) {
  for (const std::string& name : {dev, "/dev/" + row["Node"].get<std::string>(), row["Id"].get<std::string>()}) {
    std::string out;
    EXPECT_EQ(bundle.run("--test '" + name + "' --yes", out), 0) << out;
    for (const std::string& want :
         {"You are about to test /dev/" + dev + " (/dev/", "args: 5 [-T] [" + dev + "] [",
          std::string("] [-I] ["),  // the identity the list read
          std::string("] 100%"),    // the bar reached the end
          std::string("Result: Ok\n"), "Figures for " + dev + ": Sequential 523  Random 81  Dual Seq 610  Threaded 587",
          std::string("Refreshed: ")})  // the listing follows
      EXPECT_NE(out.find(want), std::string::npos) << name << ": " << want << "\n" << out;
    EXPECT_EQ(out.find("Percent: "), std::string::npos);  // progress lines are not shown
  }
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
      {"--test /dev/ --yes", 2, "no device /dev/ in the list"},  // not a row without a kernel name
  };
  for (const Case& c : cases) {
    std::string out;
    EXPECT_EQ(bundle.run(c.args, out), c.status) << c.args << "\n" << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    EXPECT_EQ(out.find("stub: testing"), std::string::npos) << c.args;
  }
}

std::string slurp(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// promtool's verdict on a metrics file: empty when it passes.
std::string promtoolProblem(const fs::path& file) {
  std::string cmd = "promtool check metrics < '" + file.string() + "' 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[512];
  for (size_t n; p && (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  int st = p ? pclose(p) : -1;
  return st == 0 ? "" : "promtool: " + out;
}

// --json FILE and --metrics FILE: the record and the metrics of the run, with
// or without the utility's own record, next to the unchanged text.
TEST_F(CliTest, RecordAndMetricsFiles) {
  if (access("/usr/bin/promtool", X_OK) != 0) GTEST_SKIP() << "promtool (package prometheus) is missing";
  const fs::path dir = fs::temp_directory_path() / ("vlm-out-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const fs::path rec = dir / "rec.json", prom = dir / "vlm.prom";
  struct Case {
    std::string mode;
    int status;
    size_t phases;
    const char* result;
    const char* warning;  // kind with value 1, or null
  };
  const Case cases[] = {
      {"record", 0, 4, "Ok", "busy"},
      {"ok", 0, 0, "Ok", nullptr},
      {"fail", 1, 0, "Failed", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    std::string out;
    EXPECT_EQ(bundle.run("--test " + dev + " --yes --json " + rec.string() + " --metrics " + prom.string(), out,
                         "VLM_STUB_MODE=" + c.mode),
              c.status)
        << out;
    EXPECT_NE(out.find("Result: "), std::string::npos) << out;
    EXPECT_EQ(out.find('\x1e'), std::string::npos) << "the record leaked into the text";
    EXPECT_EQ(out.find("formatVersion"), std::string::npos);
    const std::string text = slurp(rec);
    auto verdict = vlmtest::checkRecord(text);
    ASSERT_TRUE(verdict.available) << "python3-jsonschema is needed";
    EXPECT_EQ(verdict.problem, "") << text;
    auto j = nlohmann::json::parse(text);
    EXPECT_EQ(j["device"]["name"], dev);
    EXPECT_EQ(j["phases"].size(), c.phases);
    EXPECT_EQ(j["result"], c.result);
    EXPECT_EQ(j["exitStatus"], c.status);
    EXPECT_EQ(promtoolProblem(prom), "");
    const std::string metrics = slurp(prom);
    EXPECT_NE(metrics.find("vlm_test_timestamp_seconds{device=\"" + dev + "\""), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("kind=\"busy\"} " + std::string(c.warning ? "1" : "0")), std::string::npos) << metrics;
    if (c.warning) {
      EXPECT_EQ(j["device"]["link"], "SATA 6.0 Gbps, ceiling 600 MB/s");
      EXPECT_EQ(j["device"]["linkMBps"], 600);
      EXPECT_EQ(j["warnings"][0].get<std::string>().rfind("the device was busy", 0), 0u) << j["warnings"];
      EXPECT_NE(metrics.find("pattern=\"random\",quantile=\"0.99\"}"), std::string::npos) << metrics;
    }
  }
  // "-": the record alone on standard output. An unwritable file: a message,
  // exit 1, and the test's text all the same.
  std::string out;
  EXPECT_EQ(bundle.run("--test " + dev + " --yes --json - 2>/dev/null", out, "VLM_STUB_MODE=record"), 0);
  EXPECT_NO_THROW(EXPECT_EQ(nlohmann::json::parse(out)["phases"].size(), 4u)) << out;
  EXPECT_EQ(bundle.run("--test " + dev + " --yes --metrics " + (dir / "none" / "x.prom").string(), out), 1);
  EXPECT_NE(out.find("can't write " + (dir / "none" / "x.prom").string() + ": No such file"), std::string::npos)
      << out;
  EXPECT_NE(out.find("Result: Ok\n"), std::string::npos) << out;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2) << "temporary files left";
  fs::remove_all(dir);
}

TEST_F(CliTest, MissingUtility) {
  fs::remove(bundle.utility());
  std::string out;
  EXPECT_EQ(bundle.run("--test " + dev + " --yes", out), 1);
  EXPECT_NE(out.find("the test utility is missing"), std::string::npos) << out;
}

}  // namespace
