// --list and --list --json over a replayed machine.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli.h"
#include "perf/record.h"
#include "perf/store.h"
#include "platform/platform.h"

namespace {

// Runs the listing with standard output sent to a temporary file; machine
// names a fixture, or is null for the platform already installed.
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
  std::fflush(stdout);
  FILE* tmp = std::tmpfile();
  int saved = dup(1);
  dup2(fileno(tmp), 1);
  int rc = vlm::cliList(o);
  std::fflush(stdout);
  dup2(saved, 1);
  close(saved);
  EXPECT_EQ(rc, 0);
  std::string out;
  std::rewind(tmp);
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, tmp)) > 0) out.append(buf, n);
  std::fclose(tmp);
  return out;
}

std::vector<std::string> lines(const std::string& s) {
  std::vector<std::string> v;
  std::istringstream in(s);
  for (std::string l; std::getline(in, l);) v.push_back(l);
  return v;
}

TEST(CliList, TextTableIsAligned) {
  std::vector<std::string> l = lines(listing("desktop", false));
  ASSERT_EQ(l.size(), 10u);  // header, 8 rows, stamp
  const std::string& head = l[0];
  EXPECT_EQ(head.rfind("Seq  Name", 0), 0u);
  size_t dev = head.find("Device");
  size_t node = head.find("Node");
  ASSERT_NE(dev, std::string::npos);
  ASSERT_NE(node, std::string::npos);
  for (const char* t : {"Status", "Size", "Bytes", "Info", "Mount", "Sequential", "Random",
                        "Dual Seq", "Threaded"})
    EXPECT_NE(head.find(t), std::string::npos) << t;
  EXPECT_EQ(l[1].substr(dev, 6), "disk0 ");
  EXPECT_EQ(l[8].substr(dev, 7), "disk2s1");
  EXPECT_EQ(l[8].substr(node, 4), "sdc1");
  EXPECT_NE(l[1].find("1.8 TiB  2000398934016"), std::string::npos) << l[1];
  EXPECT_EQ(l[9].rfind("Refreshed: ", 0), 0u);
}

TEST(CliList, JsonRows) {
  // A test of disk4s1 earlier in this run: its figures and its record.
  DISKSTAT_ st{};
  std::snprintf(st.name, sizeof st.name, "disk4s1");
  std::snprintf(st.devid, sizeof st.devid, "diskseq-12-part1");
  st.perf.seqkps = 523;
  perfpush(&st);
  vlm::Record rec;
  std::string err;
  ASSERT_TRUE(vlm::loadRecord(VLM_FIXTURES "/record.json", rec, err)) << err;
  rec["device"]["id"] = "diskseq-12-part1";
  vlm::keepRecord("DISK4S1", rec);
  nlohmann::json j = nlohmann::json::parse(listing("mirror", true));
  vlm::forgetRecords();
  ASSERT_TRUE(j["rows"].is_array());
  ASSERT_EQ(j["rows"].size(), 15u);
  const auto& r = j["rows"][14];
  EXPECT_EQ(r["Seq"], 15);
  EXPECT_EQ(r["Device"], "disk4s1");
  EXPECT_EQ(r["Name"], "   Mirror");
  EXPECT_EQ(r["Status"], "    Partition:HFS+");
  EXPECT_TRUE(r["Size"].is_number_integer());
  EXPECT_EQ(r["Size"].get<long long>(), 999986782208LL);
  EXPECT_EQ(r["Mount"], "/media/anna/Mirror");
  EXPECT_EQ(r["Sequential"], 523);
  EXPECT_TRUE(r["Random"].is_null());
  EXPECT_EQ(r["Node"], "md0p1");
  EXPECT_EQ(r["Disk"], "md0");
  EXPECT_EQ(r["Id"], "diskseq-12-part1");
  EXPECT_EQ(r["Color"], 4);
  EXPECT_TRUE(r["Link"].is_null());  // saved machines from before links were read
  EXPECT_TRUE(r["LinkMBps"].is_null());
  // The clean fields beside the display texts.
  const nlohmann::json clean = {{"Label", "Mirror"}, {"Kind", "Partition"}, {"Type", "HFS+"}, {"Depth", 1},
                                {"Parent", "disk4"}, {"SizeBytes", 999986782208LL}};
  for (const auto& [k, v] : clean.items()) EXPECT_EQ(r[k], v) << k;
  EXPECT_EQ(r["LastTest"]["Sequential"], 523);
  EXPECT_EQ(r["LastTest"]["Random"], 0);
  EXPECT_EQ(r["LastTest"]["Time"], rec["time"]);
  const auto& whole = j["rows"][0];
  EXPECT_EQ(whole["Depth"], 0);
  EXPECT_TRUE(whole["Parent"].is_null());
  EXPECT_TRUE(whole["LastTest"].is_null());
  EXPECT_EQ(whole["Label"].get<std::string>().find('*'), std::string::npos) << whole["Label"];
  EXPECT_EQ(j["rows"][0]["Status"], "  Mirror:GPT");
  EXPECT_EQ(j["refreshtime"].get<std::string>().rfind("Refreshed: ", 0), 0u);
}

TEST(CliList, JsonOfNamesThatAreNotUtf8) {
  auto reg = std::make_shared<vlm::MemRegistry>();
  auto& m = reg->add(reg->rootNode(), "IOMedia", "Caf\xe9 Disk");
  m.set("BSD Name", vlm::RegValue::Str("disk0"));
  m.set("Whole", vlm::RegValue::Bool(true));
  m.set("Size", vlm::RegValue::Num(1000));
  m.set("Link Speed", vlm::RegValue::Str("SATA 6.0 Gbps"));
  m.set("Link Ceiling", vlm::RegValue::Num(600));
  vlm::setPlatform(vlm::Platform{reg, std::make_shared<vlm::MemMountTable>(),
                                 std::make_shared<vlm::MemVolumeList>()});
  nlohmann::json j = nlohmann::json::parse(listing(nullptr, true));
  ASSERT_EQ(j["rows"].size(), 1u);
  EXPECT_EQ(j["rows"][0]["Name"], "*Caf\xef\xbf\xbd Disk");
  EXPECT_EQ(j["rows"][0]["Label"], "Caf\xef\xbf\xbd Disk");
  EXPECT_EQ(j["rows"][0]["Size"], 1000);
  EXPECT_EQ(j["rows"][0]["Link"], "SATA 6.0 Gbps");
  EXPECT_EQ(j["rows"][0]["LinkMBps"], 600);
}

}  // namespace
