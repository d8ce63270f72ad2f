// Fixture files: exact round trips, strict loading with useful messages, the
// in-memory mount table and volume list, and the platform holder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <tuple>

#include "platform/platform.h"
#include "tests/platform/loop_guard.h"

using vlm::FixtureError;
using vlm::MemRegistry;
using vlm::RegValue;
using Node = MemRegistry::Node;

namespace {

using vlm::testing::TempDir;

// Writes body to dir/name; the file's path.
std::string put(const TempDir& dir, const std::string& name, const std::string& body) {
  std::ofstream(dir.path() + "/" + name, std::ios::binary) << body;
  return dir.path() + "/" + name;
}

// Same shape, fields and sharing (an object reached twice maps to one object).
void expectSameTree(const Node* a, const Node* b, std::map<const Node*, const Node*>& seen,
                    const std::string& at = "root") {
  auto it = seen.find(a);
  if (it != seen.end()) {
    EXPECT_EQ(it->second, b) << at << ": sharing differs";
    return;
  }
  seen[a] = b;
  auto fields = [](const Node* n) {
    return std::tie(n->cls, n->name, n->location, n->failChildren, n->failClass, n->failName, n->failProps,
                    n->propsNotDict);
  };
  EXPECT_EQ(fields(a), fields(b)) << at;
  EXPECT_TRUE(a->props == b->props) << at << ": properties differ";
  ASSERT_EQ(a->kids.size(), b->kids.size()) << at;
  for (size_t i = 0; i < a->kids.size(); ++i)
    expectSameTree(a->kids[i], b->kids[i], seen, at + "/" + a->kids[i]->name);
}

std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const FixtureError& e) {
    return e.what();
  }
  return "(no error)";
}

}  // namespace

// --- round trips ----------------------------------------------------------------------

// Every kind of value, odd text, failure flags and sharing survive a save and
// a load.
TEST(FixtureRoundTrip, EveryValueKindAndOddText) {
  TempDir tmp;
  MemRegistry reg;
  Node& ctl = reg.add(reg.rootNode(), "IOPCIDevice", "ctl\xff\xfe", std::string());  // empty location
  ctl.failName = true;
  Node& m = reg.add(ctl, "IOMedia", "Media", "1");
  m.props = {{"n", RegValue::Num(LLONG_MIN)},
             {"max", RegValue::Num(LLONG_MAX)},
             {"inexact", RegValue::Num(5, false)},
             {"b", RegValue::Bool(false)},
             {"s", RegValue::Str(std::string("with\0nul", 8))},
             {"bad\x80key", RegValue::Str("\xc0\xaf")},
             {"n", RegValue::Num(2)},  // a repeated key
             {"large", RegValue::LargeStr()},
             {"data", RegValue::Data(std::string("\0\x01\xff", 3))},
             {"dict", RegValue::Dict({{"z", RegValue::Set({RegValue::Unknown()})},
                                      {"a", RegValue::Array({RegValue::Dict(), RegValue::Str("")})}})},
             {"unknown", RegValue::Unknown()}};
  RegValue withText = RegValue::LargeStr();
  withText.bytes = "hidden";
  m.set("large2", withText);
  m.failChildren = m.failClass = m.failProps = m.propsNotDict = true;
  reg.link(reg.rootNode(), m);  // reached twice
  reg.add(reg.rootNode(), "IOService", "no location");
  const std::string f = tmp.path() + "/odd.json";
  vlm::dumpRegistry(reg, f);
  auto back = vlm::loadRegistryFixture(f);
  std::map<const Node*, const Node*> seen;
  expectSameTree(&reg.rootNode(), &back->rootNode(), seen);
}

TEST(FixtureRoundTrip, MountsWithEveryField) {
  TempDir tmp;
  vlm::MemMountTable t, back;
  vlm::MemVolumeList v, vback;
  vlm::vlm_statfs& a = t.add("/dev/disk1s1", "/media/\xe9t\xe9", "hfsplus", 4096, 100, 50);
  a.f_files = UINT64_MAX;
  a.f_fsid = 0x123456789abcdefULL;
  a.f_iosize = -5;
  a.f_reserved[7] = 9;
  t.add("proc", "/proc", "proc", 0, 0, 0);
  t.add(std::string(1023, 'f'), "/x", std::string(15, 't'), 1, 2, 3);
  v.volumes = {{"/x", false, ""}, {"/media/\xe9t\xe9", true, "N\xe9"}};
  const std::string f = tmp.path() + "/m.json";
  vlm::dumpMounts(t, v, f);
  vlm::loadMountsFixture(f, back, vback);
  ASSERT_EQ(back.entries.size(), 3u);
  for (size_t i = 0; i < 3; ++i)
    EXPECT_EQ(std::memcmp(&t.entries[i], &back.entries[i], sizeof(vlm::vlm_statfs)), 0) << i;
  // Volumes come back in mount order; /proc was no volume.
  ASSERT_EQ(vback.volumes.size(), 2u);
  EXPECT_EQ(vback.volumes[0].path + "|" + vback.volumes[0].name, "/media/\xe9t\xe9|N\xe9");
  EXPECT_FALSE(vback.volumes[1].hasName);
}

// --- strict loading ---------------------------------------------------------------------

// Loading is strict and says where: "<file>: <place>: <problem>"; a failed
// load leaves the mount table alone. Saved machines come with bug reports:
// nothing but a regular file of sane size is read.
TEST(FixtureErrors, EveryMessage) {
  std::string deep = R"({"class":"c","name":"n"})";
  for (int i = 0; i < 300; ++i) deep = R"({"class":"c","name":"n","children":[)" + deep + "]}";
  // 250 objects side by side, each the child of the one before through a ref.
  std::string chain = R"({"class":"c","name":"r","children":[)";
  for (int i = 0; i < 250; ++i)
    chain += std::string(i ? "," : "") + R"({"class":"c","name":"n","id":"i)" + std::to_string(i) + "\"" +
             (i + 1 < 250 ? R"(,"children":[{"ref":"i)" + std::to_string(i + 1) + "\"}]" : "") + "}";
  chain += "]}";
  // A root object with the given properties, or with the given other keys.
  auto props = [](const std::string& p) { return R"({"class":"c","name":"r","properties":)" + p + "}"; };
  auto root = [](const std::string& rest) { return R"({"class":"c","name":"r",)" + rest + "}"; };
  const std::string good =
      R"("f_mntfromname":"/dev/disk0s1","f_mntonname":"/","f_fstypename":"ext4","f_bsize":4096,"f_blocks":1,"f_bfree":1,"f_bavail":1)";
  TempDir tmp;
  const std::string fifo = tmp.path() + "/fifo.json", sparse = put(tmp, "sparse.json", "");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(truncate(sparse.c_str(), 3LL << 30), 0);
  enum { kRegistry = 1, kMounts = 2, kBoth = 3 };
  const struct {
    const char* what;
    int loaders;
    std::string body, message, file = "";  // file: read instead of the body
  } cases[] = {
      {"deep through refs", kRegistry, chain, "/: registry nested too deeply through refs"},
      {"bad JSON", kRegistry, "{\"class\": ", "not valid JSON"},
      {"not an object", kRegistry, "[]", "/: expected the root registry object"},
      {"missing class", kRegistry, R"({"name":"r"})", "/: missing \"class\""},
      {"unknown key", kRegistry, root(R"("kids":[])"), "/: unknown key \"kids\""},
      {"number range", kRegistry, props(R"({"Size":{"number":9223372036854775808}})"),
       "/properties/Size/number: number out of range"},
      {"two types", kRegistry, props(R"({"x":{"bool":true,"string":"s"}})"),
       "/properties/x: a value has exactly one type key"},
      {"bad hex", kRegistry, props(R"({"x":{"data":"zz"}})"), "/properties/x/data: not a hex digit"},
      {"dangling ref", kRegistry, root(R"("children":[{"ref":"x"}])"), "/children/0/ref: no object has the id \"x\""},
      {"duplicate id", kRegistry,
       root(R"("children":[{"class":"c","name":"a","id":"x"},{"class":"c","name":"b","id":"x"}])"),
       "/children/1/id: id \"x\" used twice"},
      {"cycle", kRegistry, root(R"("children":[{"class":"c","name":"a","id":"x","children":[{"ref":"x"}]}])"),
       "the object \"a\" is its own ancestor"},
      {"escaped key", kRegistry, props(R"({"a/b":{"number":true}})"), "/properties/a~1b/number: expected an integer"},
      {"too deep", kRegistry, deep, "registry nested too deeply"},
      {"not a list", kMounts, "{}", "/: expected an array of mount records"},
      {"type name too long", kMounts,
       "[{" + good + R"(},{"f_mntfromname":"a","f_mntonname":"/b","f_fstypename":"0123456789abcdef","f_bsize":1,"f_blocks":1,"f_bfree":1,"f_bavail":1}])",
       "/1/f_fstypename: text of 16 bytes does not fit (at most 15)"},
      {"nul", kMounts,
       R"([{"f_mntfromname":"a\u0000b","f_mntonname":"/","f_fstypename":"x","f_bsize":1,"f_blocks":1,"f_bfree":1,"f_bavail":1}])",
       "/0/f_mntfromname: text holds a NUL byte"},
      {"name without volume", kMounts, "[{" + good + R"(,"volume":false,"name":"x"}])",
       "/0/name: a record that is not a volume has no name"},
      {"fifo", kBoth, "", "not a regular file", fifo},
      {"sparse 3 GB", kBoth, "", "file too large (3221225472 bytes", sparse},
      {"missing file", kBoth, "", "can't open the file", tmp.path() + "/missing.json"},
  };
  for (const auto& c : cases) {
    const std::string f = c.file.empty() ? put(tmp, "bad.json", c.body) : c.file;
    vlm::MemMountTable t;
    vlm::MemVolumeList v;
    t.add("keep", "/keep", "x", 1, 1, 1);
    for (int loader : {kRegistry, kMounts}) {
      if (!(c.loaders & loader)) continue;
      const std::string msg = errorOf([&] {
        if (loader == kRegistry) vlm::loadRegistryFixture(f);
        else vlm::loadMountsFixture(f, t, v);
      });
      EXPECT_EQ(msg.rfind(f + ": ", 0), 0u) << c.what << ": " << msg;
      EXPECT_NE(msg.find(c.message), std::string::npos) << c.what << ": " << msg;
    }
    EXPECT_EQ(t.entries.size(), 1u) << c.what << ": a failed load leaves the table alone";
  }
}

// --- in-memory mount table, volume list and the platform holder --------------------------

TEST(PlatformHolder, FirstUseFromTwoThreadsBuildsOneMachine) {
  vlm::setPlatform({});
  std::shared_ptr<vlm::Registry> r1, r2;
  std::thread a([&] { r1 = vlm::platform().registry; }), b([&] { r2 = vlm::platform().registry; });
  a.join();
  b.join();
  EXPECT_NE(r1, nullptr);
  EXPECT_EQ(r1, r2);
  vlm::setPlatform({});
}
