// --test on the command line: the real program in a bundle of its own whose
// utility is the stand-in (tests/helpers/stub_util), on this machine's disks.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <iterator>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include "perf/runner.h"
#include "tests/helpers/schema_check.h"

namespace fs = std::filesystem;

namespace {

// Runs a shell command line (bash: its trap '' CHLD survives exec), standard
// input from /dev/null; returns the exit status and the joined output.
int shell(const std::string& cmd, std::string& out) {
  std::vector<std::string> words = {"/bin/bash", "-c", cmd + " </dev/null"};
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::vector<char> buf(32768, '\0');
  int len = 0;
  int status = run2mem(buf.data(), static_cast<int>(buf.size()), &len, argv.data());
  out.assign(buf.data(), len);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// A copy of the program's bundle with stub_util as its vlmperfutil.
struct StubBundle {
  fs::path root = mkdtemp(std::string("/tmp/vlm-clitest-XXXXXX").data());
  fs::path program = root / "VLM-Performance.app" / "Contents" / "MacOS" / "VLM-Performance";
  fs::path utility = root / "VLM-Performance.app" / "Contents" / "Resources" / "vlmperfutil";
  bool ready = false;

  StubBundle() {
    fs::path built = fs::path(VLM_BUNDLE_DIR) / "Contents" / "MacOS" / "VLM-Performance";
    if (!fs::exists(built)) return;
    fs::create_directories(program.parent_path());
    fs::create_directories(utility.parent_path());
    fs::copy_file(built, program);
    fs::copy_file(fs::path(VLM_HELPERS) / "stub_util", utility);
    fs::copy_file(fs::path(VLM_BUNDLE_DIR) / "Contents" / "Resources" / "vlmperfwrite", utility.parent_path() / "vlmperfwrite");
    ready = true;
  }
  ~StubBundle() {
    std::error_code ec;
    fs::remove_all(root, ec);
  }
  // The program (or the one given) with the shell words in args after the
  // shell's own words in env.
  int run(const std::string& args, std::string& out, const std::string& env = "", const fs::path& prog = {}) const {
    return shell("HOME=${HOME:-/root} " + env + " exec '" + (prog.empty() ? program : prog).string() + "' " + args, out);
  }
};

class CliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!bundle.ready) GTEST_SKIP() << "the program is not built: " << VLM_BUNDLE_DIR;
    std::string out;
    auto list = bundle.run("--list --json", out) == 0 ? nlohmann::json::parse(out, nullptr, false) : nullptr;
    if (!list.is_object() || list["rows"].empty()) GTEST_SKIP() << "no block device listed on this machine";
    row = list["rows"][0];
    dev = row["Device"];
  }
  StubBundle bundle;
  nlohmann::json row;
  std::string dev;
};

// The device by its name, kernel node or identity; the utility's exit status
// decides, also when the program was started with SIGCHLD ignored (which would
// make it impossible to collect). Started through a link elsewhere (as from
// PATH): the bundle is still found.
TEST_F(CliTest, UtilityStatusDecidesTheResult) {
  const struct {
    std::string name, env;
    int status;
  } cases[] = {
      {dev, "VLM_STUB_MODE=ok", 0},
      {"/dev/" + row["Node"].get<std::string>(), "VLM_STUB_MODE=fail", 1},
      {row["Id"], "; trap '' CHLD; VLM_STUB_MODE=fail", 1},
      {dev, "; trap '' CHLD; VLM_STUB_MODE=ok", 0},
  };
  const fs::path link = bundle.root / "VLM-Performance";
  fs::create_symlink(bundle.program, link);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " " + c.env);
    std::string out;
    EXPECT_EQ(bundle.run("--test '" + c.name + "' --yes", out, c.env, link), c.status) << out;
    const bool ok = c.status == 0;
    for (const std::string& want :
         {"You are about to test /dev/" + row["Node"].get<std::string>() + " (", "args: 5 [-T] [" + dev + "] [",
          std::string(" s and writes nothing."),
          std::string("] [-I] ["),  // the identity the list read
          std::string(ok ? "] 100%" : "stub: can't open"), std::string(ok ? "Result: Ok\n" : "Result: Failed\n")})
      EXPECT_NE(out.find(want), std::string::npos) << want << "\n" << out;
    EXPECT_EQ(out.find("Percent: "), std::string::npos);  // progress lines are not shown
    // The figures, and the listing after them.
    EXPECT_EQ(out.find("Figures for " + dev + ": Sequential 523  Random 81  Dual Seq 610  Threaded 587") !=
                  std::string::npos,
              ok);
    EXPECT_TRUE(!ok || out.find("Refreshed: ") != std::string::npos);
  }
}

// The utility's warnings lead its output and stay with the figures in the listing.
TEST_F(CliTest, WarningsComeFirstAndStayWithTheFigures) {
  const std::string warning =
      "Warning: the device was busy: 5.0 MB read and 0.0 MB written by other programs during the Random phase";
  std::string out;
  EXPECT_EQ(bundle.run("--test " + dev + " --yes --list --json", out, "VLM_STUB_MODE=warn"), 0) << out;
  size_t first = out.find(warning), testing = out.find("stub: testing");
  EXPECT_LT(first, testing) << out;
  EXPECT_NE(out.find(warning, testing), std::string::npos) << "the output itself is shown whole\n" << out;
  size_t warnings = out.find("\"Warnings\": [", out.find("\"Device\": \"" + dev + "\""));
  ASSERT_NE(warnings, std::string::npos) << out;
  EXPECT_EQ(out.find(warning, warnings), out.find("\"" + warning + "\"", warnings) + 1) << out;
  EXPECT_LT(out.find(warning, warnings), out.find("\"Checked\": null", warnings)) << out;
}

// Requests refused before the utility runs; a missing utility.
TEST_F(CliTest, RefusedRequests) {
  const struct {
    std::string args, message;
  } cases[] = {
      {"--test " + dev, "answer on a terminal or give --yes"},
      {"--test disk987654 --yes", "no device disk987654 in the list"},
      {"--test /dev/ --yes", "no device /dev/ in the list"},  // not a row without a kernel name
      {"--write-test /dev/null --yes", "never writes a device"},
      {"--write-test disk987654 --yes", "no device or folder disk987654"},
      {"--write-test /proc --yes", "no listed device holds /proc"},
      {"--write-test " + dev + " --yes --size 1X", "--size 1X: not a size"},
      {"--test " + dev + " --sustained", "--size and --sustained go with --write-test"},
  };
  std::string out;
  for (const auto& c : cases) {
    EXPECT_EQ(bundle.run(c.args, out), 2) << c.args << "\n" << out;
    EXPECT_NE(out.find(c.message), std::string::npos) << out;
    EXPECT_EQ(out.find("stub: testing"), std::string::npos) << c.args;
  }
  fs::remove(bundle.utility);
  EXPECT_EQ(bundle.run("--test " + dev + " --yes", out), 1);
  EXPECT_NE(out.find("the test utility is missing"), std::string::npos) << out;
}

std::string slurp(const fs::path& p) {
  std::ifstream f(p);
  return {std::istreambuf_iterator<char>(f), {}};
}

// --json FILE and --metrics FILE: the record and the metrics of the run, with
// or without the utility's own record, next to the unchanged text.
TEST_F(CliTest, RecordAndMetricsFiles) {
  if (access("/usr/bin/promtool", X_OK) != 0) GTEST_SKIP() << "promtool (package prometheus) is missing";
  const fs::path dir = fs::temp_directory_path() / ("vlm-out-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const fs::path rec = dir / "rec.json", prom = dir / "vlm.prom";
  // The stub's mode, the exit status, the phases in the record, its result.
  for (auto [mode, status, phases, result] :
       {std::tuple{"record", 0, 4u, "Ok"}, {"ok", 0, 0u, "Ok"}, {"fail", 1, 0u, "Failed"}}) {
    SCOPED_TRACE(mode);
    std::string out;
    EXPECT_EQ(bundle.run("--test " + dev + " --yes --json " + rec.string() + " --metrics " + prom.string(), out,
                         "VLM_STUB_MODE=" + std::string(mode)),
              status)
        << out;
    EXPECT_EQ(out.find("formatVersion"), std::string::npos) << "the record leaked into the text";
    const std::string text = slurp(rec);
    auto verdict = vlmtest::checkRecord(text);
    ASSERT_TRUE(verdict.available) << "python3-jsonschema is needed";
    EXPECT_EQ(verdict.problem, "") << text;
    auto j = nlohmann::json::parse(text);
    EXPECT_EQ(j["device"]["name"], dev);
    EXPECT_EQ(j["phases"].size(), phases);
    EXPECT_EQ(j["result"], result);
    EXPECT_EQ(j["exitStatus"], status);
    EXPECT_EQ(shell("promtool check metrics < '" + prom.string() + "' 2>&1", out), 0) << "promtool: " << out;
    const std::string metrics = slurp(prom);
    EXPECT_NE(metrics.find("vlm_test_timestamp_seconds{device=\"" + dev + "\""), std::string::npos) << metrics;
    const bool warned = phases > 0;  // the record's run warned
    EXPECT_NE(metrics.find("kind=\"busy\"} " + std::string(warned ? "1" : "0")), std::string::npos) << metrics;
    if (warned) {
      EXPECT_EQ(j["device"]["link"], "SATA 6.0 Gbps, ceiling 600 MB/s");
      EXPECT_EQ(j["device"]["linkMBps"], 600);
      EXPECT_EQ(j["warnings"][0].get<std::string>().rfind("the device was busy", 0), 0u) << j["warnings"];
      EXPECT_NE(metrics.find("pattern=\"random\",quantile=\"0.99\"}"), std::string::npos) << metrics;
    }
  }
  // An unwritable file: a message, exit 1, and the test's text all the same.
  std::string out;
  EXPECT_EQ(bundle.run("--test " + dev + " --yes --metrics " + (dir / "none" / "x.prom").string(), out), 1);
  EXPECT_NE(out.find("can't write " + (dir / "none" / "x.prom").string() + ": No such file"), std::string::npos)
      << out;
  EXPECT_NE(out.find("Result: Ok\n"), std::string::npos) << out;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2) << "temporary files left";
  fs::remove_all(dir);
}

// --write-test into a folder of a listed volume: the real write program, its
// record (python3-jsonschema), its metrics (promtool) and the listing's last
// write figures, which are the ones the text printed.
TEST_F(CliTest, WriteTestRecordMetricsAndListing) {
  if (access("/usr/bin/promtool", X_OK) != 0) GTEST_SKIP() << "promtool (package prometheus) is missing";
  const fs::path dir = fs::temp_directory_path() / ("vlm-write-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const fs::path rec = dir / "rec.json", prom = dir / "vlm.prom";
  std::string out;
  const std::string run = "--write-test " + dir.string() + " --yes --seconds 1 --size 32M ";
  const int st = bundle.run(run + "--json " + rec.string() + " --metrics " + prom.string(), out);
  if (st == 2 && out.find("no listed device holds") != std::string::npos) GTEST_SKIP() << out;
  ASSERT_EQ(st, 0) << out;
  const std::string text = slurp(rec);
  EXPECT_EQ(vlmtest::checkRecord(text).problem, "") << text;
  EXPECT_EQ(nlohmann::json::parse(text)["kind"], "write");
  EXPECT_EQ(shell("promtool check metrics < '" + prom.string() + "' 2>&1", out), 0) << "promtool: " << out;
  for (const char* p : {"write_sequential", "write_random", "write_random_qd32"})
    EXPECT_TRUE(std::regex_search(slurp(prom), std::regex("vlm_write_bytes_per_second\\{device=\"" + dev +
                                                           "\".*pattern=\"" + p + "\"\\} [1-9]"))) << p;
  ASSERT_EQ(bundle.run(run + "--json", out), 0) << out;
  const auto list = nlohmann::json::parse(out.substr(out.find("{\n  \"rows\"")));
  int seen = 0;
  for (const auto& r : list["rows"]) {
    if (!r.contains("LastWriteTest")) continue;
    ++seen;
    for (const char* k : {"Write sequential", "Write random", "Write random QD32"})
      EXPECT_NE(out.find(std::string(k) + ": " + std::to_string(r["LastWriteTest"][k].get<long>()) + " KB/s\n"),
                std::string::npos) << k;
  }
  EXPECT_EQ(seen, 1) << out;
  fs::remove_all(dir);
}

}  // namespace
