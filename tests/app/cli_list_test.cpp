// --list and --list --json over a replayed machine.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "app/cli.h"
#include "perf/history.h"
#include "perf/record.h"
#include "perf/store.h"
#include "platform/platform.h"
#include "tests/helpers/schema_check.h"
#include "tests/helpers/golden.h"
#include "tests/platform/loop_guard.h"
#include "util/prog.h"

namespace {

// The listing's standard output; machine names a fixture, or is null for the
// platform already installed.
std::string listing(const char* machine, bool json) {
  vlm::CliOptions o;
  o.list = true;
  o.json = json;
  if (machine) {
    std::string base = std::string(VLM_FIXTURES) + "/" + machine;
    o.registryFile = base + ".registry.json";
    o.mountsFile = base + ".mounts.json";
    std::string err;
    EXPECT_TRUE(vlm::setupPlatform(o, err)) << err;
  }
  testing::internal::CaptureStdout();
  EXPECT_EQ(vlm::cliList(o), 0);
  std::fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

time_t fixedClock() { return 1766666400; }  // 2025-12-25 12:40 UTC

// Each saved machine through the real scan, mounts, types, volume names and
// selection, listed as text and as JSON (every cell, the colour code, the
// clean fields), against the golden files tests/fixtures/NAME.list.txt and
// NAME.list.json; on the mirror an earlier test of disk4s1 with its figures
// and its record.
TEST(CliList, GoldenListings) {
  DISKSTAT_ st{};
  std::snprintf(st.name, sizeof st.name, "disk4s1");
  std::snprintf(st.devid, sizeof st.devid, "diskseq-12-part1");
  std::snprintf(st.checks, sizeof st.checks, "Warning: the device was busy\n");
  st.perf.seqkps = 523;
  perfpush(&st);
  vlm::Record rec = vlmtest::fixtureRecord();
  rec["device"]["id"] = "diskseq-12-part1";
  vlm::keepRecord("DISK4S1", rec);
  setenv("TZ", "UTC0", 1);
  zsetclock(fixedClock);
  for (const std::string machine : {"laptop", "desktop", "mirror"})
    for (bool json : {false, true})
      vlmtest::expectGolden(listing(machine.c_str(), json), machine + ".list." + (json ? "json" : "txt"));
  zsetclock(nullptr);
  unsetenv("TZ");
  vlm::forgetRecords();
}

// The history on the command line, against what sqlite3 reads from the same
// file: the figures of a device's last good test in the listing (and only on
// that device), its tests newest first, the devices with their counts, and
// --forget deleting one device's tests only.
TEST(CliList, HistoryCommands) {
  const std::string sqlite3 = vlm::testing::tool("sqlite3");
  if (sqlite3.empty()) GTEST_SKIP() << "sqlite3 is missing";
  vlm::Record rec = vlmtest::fixtureRecord();
  vlm::History& h = vlm::history();
  for (const auto& [id, t] : {std::pair{"serial-ST1000DM010-2EP102_Z9A1B2D4-part2", 100}, {"serial-ST1000DM010-2EP102_Z9A1B2D4-part2", 300}, {"gone", 250},
                              {"serial-ST1000DM010-2EP102_Z9A1B2D4-part2", 200}}) {
    rec["device"]["id"] = id;
    rec["unixTime"] = t;
    ASSERT_TRUE(h.add(rec));
  }
  auto sql = [&](const std::string& q) {
    std::string got;
    EXPECT_EQ(vlm::testing::run({sqlite3, h.path(), q}, &got), 0);
    return got;
  };
  auto cli = [](std::initializer_list<const char*> args) {
    std::vector<char*> argv{const_cast<char*>("VLM-Performance")};
    for (const char* a : args) argv.push_back(const_cast<char*>(a));
    vlm::CliOptions o;
    std::string e;
    EXPECT_TRUE(vlm::parseCli(static_cast<int>(argv.size()), argv.data(), o, e)) << e;
    testing::internal::CaptureStdout();
    o.history || !o.forgetDevice.empty() ? vlm::cliHistory(o) : vlm::cliList(o);
    std::fflush(stdout);
    return nlohmann::json::parse(testing::internal::GetCapturedStdout(), nullptr, false);
  };

  int withFigures = 0;
  std::string seen;
  const nlohmann::json list = nlohmann::json::parse(listing("mirror", true));
  for (const auto& row : list["rows"])
    if (!row["LastTest"].is_null() && row.value("Id", "").rfind("serial-ST1000DM010-2EP102_Z9A1B2D4", 0) == 0) {
      ++withFigures;
      seen = row.value("Id", "") + "=" + row["LastTest"]["Sequential"].dump() + "\n";
    }
  EXPECT_EQ(withFigures, 1);  // of the disk and its partitions
  EXPECT_EQ(seen, "serial-ST1000DM010-2EP102_Z9A1B2D4-part2=" + sql("SELECT json_extract(record, '$.phases[0].kbps') FROM tests WHERE time = 300"));

  std::string times;
  for (const auto& r : cli({"--history", "disk1s2", "--json"})) times += std::to_string(r["unixTime"].get<int64_t>()) + "\n";
  EXPECT_EQ(times, sql("SELECT time FROM tests WHERE device = 'serial-ST1000DM010-2EP102_Z9A1B2D4-part2' ORDER BY time DESC"));
  std::string devices;
  for (const auto& d : cli({"--history", "--json"})) devices += d["id"].get<std::string>() + "|" + d["tests"].dump() + "\n";
  EXPECT_EQ(devices, sql("SELECT device, count(*) FROM tests GROUP BY device ORDER BY max(time) DESC"));
  testing::internal::CaptureStdout();
  vlm::CliOptions forget;
  forget.forgetDevice = "disk1s2";
  EXPECT_EQ(vlm::cliHistory(forget), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Forgot 3 tests of disk1s2.\n");
  EXPECT_EQ(sql("SELECT device, count(*) FROM tests GROUP BY device"), "gone|1\n");
}

// A name that is not UTF-8 still makes valid JSON; its control bytes never
// reach the terminal.
TEST(CliList, NamesThatAreNotUtf8OrHaveControlBytes) {
  auto reg = std::make_shared<vlm::MemRegistry>();
  auto& m = reg->add(reg->rootNode(), "IOMedia", "Caf\xe9 \x1b[2JDisk");
  m.set("BSD Name", vlm::RegValue::Str("disk0"));
  m.set("Whole", vlm::RegValue::Bool(true));
  m.set("Size", vlm::RegValue::Num(1000));
  m.set("Link Speed", vlm::RegValue::Str("SATA 6.0 Gbps"));
  m.set("Link Ceiling", vlm::RegValue::Num(600));
  vlm::setPlatform(vlm::Platform{reg, std::make_shared<vlm::MemMountTable>(),
                                 std::make_shared<vlm::MemVolumeList>()});
  nlohmann::json j = nlohmann::json::parse(listing(nullptr, true));
  ASSERT_EQ(j["rows"].size(), 1u);
  const auto& row = j["rows"][0];
  EXPECT_EQ(row["Name"], "*Caf\xef\xbf\xbd \x1b[2JDisk");
  EXPECT_EQ(row["Label"], "Caf\xef\xbf\xbd \x1b[2JDisk");
  EXPECT_EQ(row["Link"], "SATA 6.0 Gbps");  // the saved machines have no link
  EXPECT_EQ(row["LinkMBps"], 600);
  EXPECT_NE(listing(nullptr, false).find("*Caf\xe9 ?[2JDisk"), std::string::npos);
}

// A saved machine the scan can't list is refused, naming the file and the
// problem; a machine without disks lists none and says so.
TEST(CliList, UnlistableMachinesAndNoDisks) {
  const std::string dir = "/tmp/vlm-clilist-" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  const std::string reg = dir + "/m.registry.json", mnt = dir + "/m.mounts.json";
  std::ofstream(mnt) << "[]";
  const std::string media = R"({"class":"IORegistryEntry","name":"Root","children":[{"class":"IOMedia","name":"x\u001b Media","properties":{"BSD Name":)";
  const struct {
    std::string registry, message;
  } cases[] = {
      {media + R"({"string":"sda"}}}]})", "the media object \"x? Media\" has the device name \"sda\""},
      {media + R"({"string":"disk"}}}]})", "has the device name \"disk\""},
      {media + R"({"number":3}}}]})", "has the device name \"\""},
      {R"({"class":"IORegistryEntry","name":"Root"})", "no media objects"},
  };
  for (const auto& c : cases) {
    std::ofstream(reg, std::ios::trunc) << c.registry;
    vlm::CliOptions o;
    o.list = true;
    o.registryFile = reg;
    o.mountsFile = mnt;
    std::string err;
    EXPECT_FALSE(vlm::setupPlatform(o, err));
    EXPECT_EQ(err.rfind(reg + ": ", 0), 0u) << err;
    EXPECT_NE(err.find(c.message), std::string::npos) << err;
  }
  std::filesystem::remove_all(dir);

  vlm::setPlatform(vlm::Platform{std::make_shared<vlm::MemRegistry>(), std::make_shared<vlm::MemMountTable>(),
                                 std::make_shared<vlm::MemVolumeList>()});
  EXPECT_EQ(listing(nullptr, false).rfind("No disks found\nRefreshed: ", 0), 0u);
  EXPECT_EQ(nlohmann::json::parse(listing(nullptr, true))["rows"], nlohmann::json::array());
  vlm::setPlatform({});
}

}  // namespace
