// The history database: a disk slower than its own past, and writers in
// several processes at once, checked with sqlite3 itself.
#include "perf/history.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/helpers/schema_check.h"
#include "tests/platform/loop_guard.h"

namespace {

// The fixture as a test of device id at time t with a Random figure.
vlm::Record test(const std::string& id, int64_t t, int64_t random) {
  vlm::Record r = vlmtest::fixtureRecord();
  r["device"]["id"] = id;
  r["unixTime"] = t;
  for (auto& ph : r["phases"])
    if (ph["name"] == "Random") ph["kbps"] = random;
  return r;
}

// The usual figure is the median of the last five comparable tests: tests
// with warnings, of another duration, that failed, of another device, or
// older than the five don't count; fewer than five give no verdict. Reading
// a history not yet kept makes no file.
TEST(History, SlowerThanItsOwnPast) {
  vlm::testing::TempDir dir;
  vlm::History h(dir.path() + "/history.db");
  EXPECT_TRUE(h.lastOfEach().empty() && h.devices().empty() && h.slower(test("A", 1, 1)).empty());
  EXPECT_NE(::access((dir.path() + "/history.db").c_str(), F_OK), 0) << "reading made the history file";
  int64_t t = 1000;
  ASSERT_TRUE(h.add(test("A", t++, 10)));  // sixth from the end
  for (int64_t k : {170000, 190000, 180000, 185000, 175000}) ASSERT_TRUE(h.add(test("A", t++, k)));
  vlm::Record warned = test("A", t++, 1), longer = test("A", t++, 1), failed = test("A", t++, 1);
  warned["warnings"] = {"the device was busy"};
  longer["parameters"]["seconds"] = longer["parameters"]["seconds"].get<int>() + 1;
  failed["result"] = "Failed";
  for (const auto& r : {warned, longer, failed, test("B", t++, 1)}) ASSERT_TRUE(h.add(r));
  for (int64_t k : {1, 1, 1, 1}) ASSERT_TRUE(h.add(test("C", t++, k * 180000)));

  const struct {
    const char* device;
    int64_t random;
    std::string says;  // empty: not slower
  } cases[] = {
      {"A", 104400, "Random is 42% below this disk's usual 180 MB/s"},
      {"A", 126000, ""},  // exactly 30% below
      {"A", 125999, "Random is 30% below this disk's usual 180 MB/s"},
      {"C", 1000, ""},  // four tests only
  };
  for (const auto& c : cases) {
    const std::vector<vlm::Slower> s = h.slower(test(c.device, t, c.random));
    ASSERT_EQ(s.size(), c.says.empty() ? 0u : 1u) << c.random;
    EXPECT_EQ(s.empty() ? "" : s[0].text(), c.says);
  }
}

// Four processes write at once into one file: every test is kept, the file
// is sound and in WAL mode at the current schema version.
TEST(History, ConcurrentWriters) {
  vlm::testing::TempDir dir;
  const std::string db = dir.path() + "/history.db";
  constexpr int kWriters = 4, kTests = 25;
  const vlm::Record rec = vlmtest::fixtureRecord();
  std::vector<pid_t> kids;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      vlm::History h(db);
      bool ok = true;
      for (int i = 0; i < kTests; ++i) ok = h.add(rec) && ok;
      _exit(ok ? 0 : 1);
    }
    kids.push_back(pid);
  }
  for (pid_t pid : kids) {
    int st = 0;
    waitpid(pid, &st, 0);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  }
  const std::string sqlite3 = vlm::testing::tool("sqlite3");
  if (sqlite3.empty()) GTEST_SKIP() << "sqlite3 is missing";
  std::string out;
  ASSERT_EQ(vlm::testing::run({sqlite3, db,
                               "PRAGMA integrity_check; PRAGMA journal_mode; PRAGMA user_version; "
                               "SELECT count(*), count(DISTINCT id) FROM tests"},
                              &out),
            0);
  EXPECT_EQ(out, "ok\nwal\n2\n" + std::to_string(kWriters * kTests) + "|" + std::to_string(kWriters * kTests) + "\n");
}

// A file of the first version, made by sqlite3 itself, is brought up to date
// with its tests kept and summed up; a file of a later version is left alone.
TEST(History, Migrations) {
  const std::string sqlite3 = vlm::testing::tool("sqlite3");
  if (sqlite3.empty()) GTEST_SKIP() << "sqlite3 is missing";
  const std::string v1 =
      "CREATE TABLE tests(id INTEGER PRIMARY KEY, device TEXT NOT NULL, name TEXT NOT NULL, kind TEXT NOT NULL,"
      " time INTEGER NOT NULL, result TEXT NOT NULL, record TEXT NOT NULL);"
      "INSERT INTO tests VALUES(1, 'id-M', 'disk1', 'read', 5, 'Ok', CAST(readfile('" VLM_FIXTURES "/record.json') AS TEXT));";
  for (int version : {1, 99}) {
    vlm::testing::TempDir dir;
    const std::string db = dir.path() + "/history.db";
    std::string out;
    ASSERT_EQ(vlm::testing::run({sqlite3, db, v1 + "PRAGMA user_version=" + std::to_string(version)}), 0);
    vlm::History h(db);
    const std::vector<vlm::HistoryTest> tests = h.tests("id-M", 0, false);
    ASSERT_EQ(tests.size(), version == 1 ? 1u : 0u) << h.takeNotice();
    ASSERT_EQ(vlm::testing::run({sqlite3, db, "PRAGMA user_version; SELECT json_extract(record, '$.phases[1].kbps') FROM tests"}, &out), 0);
    if (version != 1) {
      EXPECT_NE(h.takeNotice().find("written by a newer version"), std::string::npos);
      EXPECT_EQ(out.substr(0, 3), "99\n");
      continue;
    }
    int64_t k[4];
    vlm::recordKbps(tests[0].record, k);
    EXPECT_EQ(out, "2\n" + std::to_string(k[1]) + "\n");
    EXPECT_EQ(h.tests("id-M")[0].record, vlmtest::fixtureRecord());
  }
}

}  // namespace
