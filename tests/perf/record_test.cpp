// Test records: the tap that takes them out of the output, saved records
// that are not valid, the comparison of two, and the texts made from one.
#include "perf/record.h"
#include "tests/helpers/golden.h"
#include "tests/helpers/schema_check.h"
#include "tests/platform/loop_guard.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

TEST(RecordTap, TakesTheRecordOutOfChunksOfAnySize) {
  const std::string text = "Sequential: 5 KB/s\nThreaded: 7 KB/s\n";
  const std::string stream = text + "\x1e" + vlmtest::fixtureRecord().dump() + "\n";
  for (size_t size : {size_t(1), size_t(7), size_t(512)}) {
    vlm::RecordTap tap;
    std::string kept;
    for (size_t at = 0; at < stream.size(); at += size) {
      std::string chunk = stream.substr(at, size);
      tap.take(chunk.data());
      kept += chunk.c_str();
    }
    EXPECT_EQ(kept, text) << size;
    EXPECT_EQ(vlm::Record::parse(tap.text()), vlmtest::fixtureRecord()) << size;
  }
}

// A saved record that is not valid: the file and its first problem are named.
// The program's own check agrees with python3-jsonschema on every case.
TEST(RecordLoad, NamesTheFileAndTheFirstProblem) {
  vlm::testing::TempDir tmp;
  const fs::path dir = tmp.path();
  const vlm::Record good = vlmtest::fixtureRecord();
  const auto verdict = vlmtest::checkRecord(good.dump());
  ASSERT_TRUE(verdict.available) << "python3-jsonschema is needed";
  EXPECT_EQ(verdict.problem, "");
  struct Case {
    void (*spoil)(vlm::Record&);
    std::string problem;
    bool schemaToo = true;  // false: a rule beyond what the schema can say
  };
  const Case cases[] = {
      {[](vlm::Record& r) { r.erase("device"); }, "the record: device is missing"},
      {[](vlm::Record& r) { r["phases"][0]["kbps"] = "fast"; }, "phases/0/kbps: is a string, should be integer"},
      {[](vlm::Record& r) { r["result"] = "Great"; }, "result: \"Great\" is not one of"},
      {[](vlm::Record& r) { r["device"]["name"] = "sda"; }, "device/name: \"sda\" is not of the form"},
      {[](vlm::Record& r) { r["phases"][1]["histogram"][0].push_back(1); },
       "phases/1/histogram/0: has 3 items, at most 2 allowed"},
      {[](vlm::Record& r) { r["phases"][2]["bytes"] = -1; }, "phases/2/bytes: -1 is below 0"},
      {[](vlm::Record& r) { r["formatVersion"] = 2; }, "formatVersion: should be 1"},
      // Bounds: every list and text, each named with its limit.
      {[](vlm::Record& r) {
         std::string e;
         for (int i = 0; i < 257; ++i) e += "\xc3\xa9";  // 257 characters in 514 bytes
         r["device"]["model"] = e;
       }, "device/model: is 257 characters long, at most 256 allowed"},
      {[](vlm::Record& r) { r["warnings"] = std::vector<std::string>(33, "busy"); },
       "warnings: has 33 items, at most 32 allowed"},
      {[](vlm::Record& r) { r["checks"] = {std::string(1025, 'c')}; },
       "checks/0: is 1025 characters long, at most 1024 allowed"},
      {[](vlm::Record& r) {
         vlm::Record& bins = r["phases"][1]["histogram"] = vlm::Record::array();
         for (int i = 1; i <= 257; ++i) bins.push_back({i, 1});
       }, "phases/1/histogram: has 257 items, at most 256 allowed"},
      {[](vlm::Record& r) { r["phases"].push_back(r["phases"][0]); }, "phases: has 5 items, at most 4 allowed"},
      {[](vlm::Record& r) { r["parameters"]["seconds"] = 61; }, "parameters/seconds: 61 is above 60"},
      {[](vlm::Record& r) { r["phases"][3]["sliceBytes"] = std::vector<int>(15, 1); },
       "phases/3/sliceBytes: has 15 items, at most 14 allowed (1 s in slices of 100 ms, and 4)", false},
  };
  for (const Case& c : cases) {
    vlm::Record r = good;
    c.spoil(r);
    const fs::path file = dir / "bad.json";
    std::ofstream(file) << r.dump();
    vlm::Record out = good;
    out["host"] = "untouched";
    std::string err;
    EXPECT_FALSE(vlm::loadRecord(file, out, err)) << c.problem;
    EXPECT_EQ(vlmtest::checkRecord(r.dump()).problem != "", c.schemaToo) << c.problem;
    EXPECT_EQ(err.rfind(file.string() + ": " + c.problem, 0), 0u) << err;
    EXPECT_EQ(out["host"], "untouched") << "a bad file changed the record";
  }
  std::ofstream(dir / "cut.json") << good.dump().substr(0, 100);
  std::ofstream(dir / "big.json") << good.dump() << std::string((1 << 20) - good.dump().size() + 1, ' ');
  for (auto [name, problem] : {std::pair{"cut.json", ": not JSON"}, {"", ": not a saved test record (not a regular"},
                               {"absent.json", ": No such file"},
                               {"big.json", ": not a saved test record (larger than 1 MiB)"}}) {
    std::string err;
    vlm::Record out;
    EXPECT_FALSE(vlm::loadRecord((dir / name).string(), out, err));
    EXPECT_NE(err.find(problem), std::string::npos) << err;
  }
}

TEST(RecordCompare, FigureByFigureWithTheRatio) {
  const vlm::Record mine = vlmtest::fixtureRecord();
  vlm::Record theirs = mine;
  theirs["phases"][0]["kbps"] = mine["phases"][0]["kbps"].get<double>() / 2;
  theirs["phases"].erase(3);  // their test ended before the threaded phase
  const auto rows = vlm::compareRecords(mine, theirs);
  ASSERT_EQ(rows.size(), vlm::recordFigures(mine).size());
  EXPECT_DOUBLE_EQ(rows[0].ratio, 2.0);
  EXPECT_DOUBLE_EQ(rows[1].ratio, 1.0);  // Sequential IOPS
  EXPECT_TRUE(rows.back().mine.has_value());
  EXPECT_FALSE(rows.back().theirs.has_value());
  EXPECT_EQ(rows.back().ratio, 0);
}

// The texts made from a record (golden files) with names that quote, escape,
// separate, break lines, hold control bytes or begin as formulas: its copy as
// text, its CSV (read back by Python's csv module), its metrics (promtool
// checks them) and its JSON (python3-jsonschema checks it).
TEST(RecordTexts, TextCsvMetricsAndAtomicWrite) {
  vlm::Record r = vlmtest::fixtureRecord();
  r["warnings"] = {"the device was busy: 5 MB read, \"much\""};
  r["device"]["model"] = "=HYPERLINK(\"x\"),\\ \"Pro\"\r\n\x1b[2J\xc2\x9b";
  r["device"]["serial"] = "+1,2\n-3";
  r["device"]["volume"] = "@v\\\"\x7f";
  r["device"]["interconnect"] = "";  // left out with its comma
  r["slower"] = {{{"phase", "Random"}, {"kbps", 104400}, {"usualKbps", 180000}, {"percentBelow", 42},
                  {"text", "Random is 42% below this disk's usual 180 MB/s"}}};
  vlmtest::expectGolden(vlm::recordText(r), "record.txt");
  vlmtest::expectGolden(vlm::recordCsv(r), "record.csv");
  vlmtest::expectGolden(vlm::recordMetrics(r), "record.prom");
  EXPECT_EQ(vlmtest::checkRecord(r.dump()).problem, "");
  EXPECT_EQ(vlm::Record::parse(r.dump()), r);

  vlm::testing::TempDir dir;
  std::string err, cells, out;
  const std::string csv = dir.path() + "/r.csv", prom = dir.path() + "/r.prom";
  ASSERT_TRUE(vlm::writeFileAtomic(csv, vlm::recordCsv(r), err) &&
              vlm::writeFileAtomic(prom, vlm::recordMetrics(r), err));
  const char* reader = "import csv,json,sys; print(json.dumps(dict(csv.reader(open(sys.argv[1], newline='')))))";
  ASSERT_EQ(vlm::testing::run({vlm::testing::tool("python3"), "-c", reader, csv}, &cells), 0);
  const auto read = vlm::Record::parse(cells);
  EXPECT_EQ(read["model"], "'" + r["device"]["model"].get<std::string>());
  EXPECT_EQ(read["serial"], "'" + r["device"]["serial"].get<std::string>());
  EXPECT_EQ(read["warning"], r["warnings"][0]);
  const bool promtool = !vlm::testing::tool("promtool").empty();
  const std::string check = "promtool check metrics < " + prom + " 2>&1";
  EXPECT_TRUE(!promtool || vlm::testing::run({"/bin/sh", "-c", check}, &out) == 0) << out;

  ASSERT_TRUE(vlm::writeFileAtomic(csv, "second", err)) << err;  // replaced whole
  std::stringstream back;
  back << std::ifstream(csv).rdbuf();
  EXPECT_EQ(back.str(), "second");
  EXPECT_FALSE(vlm::writeFileAtomic(dir.path(), "x", err));  // a folder
  EXPECT_NE(err.find("can't write " + dir.path() + ": "), std::string::npos) << err;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
  if (!promtool) GTEST_SKIP() << "promtool (package prometheus) is missing";
}

}  // namespace
