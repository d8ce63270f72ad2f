// The registry scan: walk order, inherited extras, record fields, value
// conversion, and every fatal error.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "disk/disk.h"
#include "platform/platform.h"
#include "tests/disk/records.h"

using Node = vlm::MemRegistry::Node;
using vlm::RegValue;
using Names = std::vector<std::string>;
using vlmtest::fatalOf;

namespace {

bool slotsEmpty() {
  for (const auto& s : regdata)
    if (s.text[0]) return false;
  return true;
}

std::string text(const RegValue& v, uint64_t* number = nullptr, int* flag = nullptr) {
  char buf[128];
  std::memset(buf, 'x', sizeof buf);
  uint64_t n = regvalue(v, buf, flag);
  if (number) *number = n;
  EXPECT_LT(std::strlen(buf), sizeof buf);
  return buf;
}

// The BSD names of the list, in list order.
Names bsdnames() {
  Names out;
  for (DISKINFO_* r = diskinfo0; r; r = r->next) out.emplace_back(r->bsdname);
  return out;
}

DISKINFO_* record(const std::string& bsd) { return vlmtest::findrec(bsd.c_str()); }

// A registry under construction; install() makes it the platform's.
struct Tree : vlmtest::PlatformParts {
  Node& root() { return reg->rootNode(); }
  Node& add(Node& parent, const std::string& cls, const std::string& name) { return reg->add(parent, cls, name); }
  // A media object with a BSD name (and whatever else the test sets).
  Node& media(Node& parent, const std::string& name, const std::string& bsd) {
    return add(parent, "IOMedia", name).set("BSD Name", RegValue::Str(bsd));
  }
};

// A registry built by the test and scanned by scan(); the list is emptied
// (glodisk forgotten) and the live platform restored when the test ends.
struct Regscan : testing::Test {
  vlmtest::ListGuard list;
  Tree t;
  Regscan() { glodisk = nullptr; }
  ~Regscan() override {
    reset();
    vlm::setPlatform({});
  }
  void reset() {
    vlmtest::ListGuard::clear();
    glodisk = nullptr;
    t = Tree{};
  }
  void scan() {
    t.install();
    reginfo();
  }
};

}  // namespace

// --- walk order and records ---------------------------------------------------------

// The fields the program uses, from the media object's own properties (the
// others are seen in tests/fixtures/sysfs.records.txt).
TEST_F(Regscan, RecordFieldsFromTheMediaObject) {
  t.media(t.root(), "Samsung SSD 860 Media", "disk1s2")
      .set("size", RegValue::Num(500107862016))  // keys compared with case folding
      .set("WHOLE", RegValue::Bool(false))
      .set("Preferred Block Size", RegValue::Num(4096))
      .set("UUID", RegValue::Str("3F8A9B2C-7D61-4E05-B4A3-8C9D0E1F2A3B-0123456789"))
      .set("Velmora_Set", RegValue::Num(0x1FF))  // mirror: the low byte, signed
      .set("Unrelated", RegValue::Num(9));
  scan();
  DISKINFO_* r = record("1s2");
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(std::tie(r->size, r->whole, r->blocksize, r->mirror), std::make_tuple(500107862016, 0, 4096, -1));
  EXPECT_STREQ(r->uuid, "3F8A9B2C-7D61-4E05-B4A3-8C9D0E1F2A3B-01");  // 39 characters
}

// --- the " Media" cut -----------------------------------------------------------------

TEST_F(Regscan, MediaCut) {
  const std::string longname(300, 'N');
  const std::string late = std::string(70, 'A') + " Media";
  const struct {
    std::string in, out;
  } cases[] = {
      {"X Media", "X Media"},  // 7 characters: kept whole
      {"Some Media Reader Media", "Some"},
      {"ab media", "ab"},  // case-folded
      {"Mediator", "Mediator"},
      {" Media Reader", ""},
      {longname, longname.substr(0, 63)},
      {late, std::string(63, 'A')},  // only the kept 63 characters are searched
  };
  for (const auto& c : cases) {
    reset();
    t.media(t.root(), c.in, "disk0");
    scan();
    ASSERT_NE(diskinfo0, nullptr) << c.in;
    EXPECT_EQ(std::string(diskinfo0->name), c.out) << c.in;
  }
}

// --- the walk --------------------------------------------------------------------------

// Only the two media classes, by exact name (the mirror's own media class, an
// object without a BSD name and the depth-first order are seen in
// tests/fixtures/mirror.list.txt). An object reached twice keeps its first
// path's extras; one that is its own ancestor is not entered again. The first
// record of a BSD name stays.
TEST_F(Regscan, WalkRules) {
  t.media(t.root(), "C", "disk8").cls = "IOMediaPartition";
  t.media(t.root(), "D", "disk9").cls = "iomedia";
  Node& p1 = t.add(t.root(), "IOPCIDevice", "p1").set("Physical Interconnect", RegValue::Str("SATA"));
  Node& p2 = t.add(t.root(), "IOPCIDevice", "p2").set("Physical Interconnect", RegValue::Str("USB"));
  Node& shared = t.media(p1, "Shared", "disk5");
  t.reg->link(p2, shared);
  t.reg->link(shared, p1);  // a cycle: the walk must still end
  t.media(p2, "Other", "disk6");
  t.media(t.root(), "First", "disk3").set("Size", RegValue::Num(1));
  t.media(t.root(), "Second", "DISK3").set("Size", RegValue::Num(2));
  t.media(t.root(), "Third", "disk4");
  t.media(t.root(), "Fourth", "Disk4S1");
  t.media(t.root(), "Fifth", "disk4s1");
  scan();
  EXPECT_EQ(bsdnames(), (Names{"5", "6", "3", "4", "4S1"}));
  EXPECT_EQ(std::string(record("5")->interconnect) + record("6")->interconnect, "SATAUSB");
  EXPECT_EQ(std::string(record("3")->name) + std::to_string(record("3")->size), "First1");
  EXPECT_EQ(glodisk, nullptr);  // the last media object was a duplicate
}

// A saved machine of 40 levels, each object reached through both objects of
// the level above: 2^40 paths, and every object is walked once when the file
// is loaded, scanned and saved.
TEST_F(Regscan, SharedObjectsAreWalkedOnce) {
  std::string level = R"({"class":"IOMedia","name":"Deep","id":"l40","properties":{"BSD Name":{"string":"disk7"}}})";
  for (int i = 39; i >= 0; --i)
    level = R"({"class":"c","name":"l","id":"l)" + std::to_string(i) + R"(","children":[{"class":"c","name":"a","children":[)" +
            level + R"(]},{"class":"c","name":"b","children":[{"ref":"l)" + std::to_string(i + 1) + R"("}]}]})";
  const std::string file = ::testing::TempDir() + "shared-" + std::to_string(getpid()) + ".registry.json";
  std::ofstream(file) << level;  // the first level is the root
  t.reg = vlm::loadRegistryFixture(file);
  scan();
  EXPECT_EQ(bsdnames(), (Names{"7"}));
  vlm::dumpRegistry(*t.reg, file);
  std::remove(file.c_str());
}

// --- extras: inheritance, dictionaries and the climb back -----------------------------

// Extras are inherited down and emptied on the way back up; the Device and
// Protocol dictionaries replace top-level values (Device first), nested ones
// are not searched.
TEST_F(Regscan, InheritedDownAndEmptiedOnTheWayBack) {
  Node& ctl = t.add(t.root(), "IOPCIDevice", "ctl");
  ctl.set("Physical Interconnect", RegValue::Str("SATA")).set("Rotation Rate", RegValue::Str("7200"));
  Node& drive = t.add(ctl, "IOBlockStorageDevice", "drive");
  drive.set("Serial Number", RegValue::Str("  X1\t")).set("Rotation Rate", RegValue::Str("Solid State"));
  t.media(drive, "W", "disk0").set("io-device-location", RegValue::Str("sda"));
  t.media(ctl, "Sibling", "disk1");  // after drive's subtree: its rotation slot is gone
  t.media(t.root(), "Elsewhere", "disk2");
  Node& d = t.add(t.root(), "IOBlockStorageDevice", "drive");
  d.set("Physical Interconnect", RegValue::Str("SATA")).set("Rotation Rate", RegValue::Str("Rotational"));
  d.set("Device Characteristics",
        RegValue::Dict({{"rotation rate", RegValue::Num(5400)},  // key case-folded
                        {"Physical Interconnect", RegValue::Str("PCI")},
                        {"Nested", RegValue::Dict({{"Serial Number", RegValue::Str("deep")}})}}));
  d.set("Protocol Characteristics", RegValue::Dict({{"Physical Interconnect", RegValue::Str("USB")},
                                                    {"Serial Number", RegValue::Str("P1")}}));
  t.media(d, "M", "disk3");
  scan();
  ASSERT_EQ(bsdnames(), (Names{"0", "1", "2", "3"}));
  const std::pair<const char*, const char*> want[] = {
      {"0", "SATA|Solid State|X1|sda"}, {"1", "SATA|||"}, {"2", "|||"}, {"3", "PCI|5400|P1|"}};
  for (auto [bsd, extras] : want) {
    DISKINFO_* r = record(bsd);
    EXPECT_EQ(std::string(r->interconnect) + "|" + r->rotation + "|" + r->serial + "|" + r->devloc, extras) << bsd;
  }
  EXPECT_TRUE(slotsEmpty());
}

// A blank serial number that hides the one above and the GUID as text are seen
// in tests/fixtures/mirror.list.txt.
TEST_F(Regscan, SerialRules) {
  // serial on the drive two levels up; what an object between them says; result
  const struct {
    const char* name;
    std::vector<std::pair<std::string, RegValue>> top, middle;
    const char* serial;
  } cases[] = {
      {"falls to USB", {{"Serial Number", RegValue::Str("X1")}, {"USB Serial Number", RegValue::Str("U7")}},
       {{"Serial Number", RegValue::Str("")}}, "U7"},
      {"USB before GUID", {{"USB Serial Number", RegValue::Str("U7")}, {"GUID", RegValue::Num(255)}}, {}, "U7"},
      {"serial first", {{"GUID", RegValue::Num(1)}, {"USB Serial Number", RegValue::Str("U")}},
       {{"Serial Number", RegValue::Str("S")}}, "S"},
      {"long serial cut", {{"Serial Number", RegValue::Str(std::string(40, 'S'))}}, {}, "SSSSSSSSSSSSSSSSSSSSSSSSSSSSSSS"},
  };
  for (const auto& c : cases) {
    reset();
    Node& top = t.add(t.root(), "IOBlockStorageDevice", "drive");
    top.props = c.top;
    Node& mid = t.add(top, "IOService", "between");
    mid.props = c.middle;
    t.media(mid, "M", "disk0");
    scan();
    ASSERT_NE(diskinfo0, nullptr) << c.name;
    EXPECT_STREQ(diskinfo0->serial, c.serial) << c.name;
  }
}

// --- value conversion ------------------------------------------------------------------

// Every value type as text (with the number and the dictionary flag); data
// is text only when it is printable, cut at 40 and ends in at most one NUL.
TEST_F(Regscan, ValueAsText) {
  const std::string p40(40, 'p');
  const struct {
    const char* name;
    RegValue v;
    std::string text;
    uint64_t number = 0;
    int flag = 0;
  } cases[] = {
      {"array", RegValue::Array({RegValue::Num(1)}), "<Array>"},
      {"true", RegValue::Bool(true), "Yes", 1},
      {"false", RegValue::Bool(false), "No"},
      {"dict", RegValue::Dict(), "<Dict>", 0, 68},
      {"number", RegValue::Num(42), "42", 42},
      {"minus one", RegValue::Num(-1), "18446744073709551615", UINT64_MAX},
      {"inexact", RegValue::Num(42, false), "0"},
      {"string", RegValue::Str("abc"), "abc"},
      {"long string", RegValue::Str(std::string(300, 's')), std::string(127, 's')},
      {"large string", RegValue::LargeStr(), "<Large String>"},
      {"unknown", RegValue::Unknown(), "<unknown>"},
      {"data with NUL", RegValue::Data(std::string("ABC\0", 4)), "ABC"},
      {"data NUL inside", RegValue::Data(std::string("AB\0C", 4)), "<Data>"},
      {"data of 50", RegValue::Data(std::string(50, 'p')), p40},
      {"41st byte examined", RegValue::Data(p40 + "\x01"), "<Data>"},
      {"42nd byte not", RegValue::Data(p40 + "p\x01"), p40},
      {"NUL examined but not last", RegValue::Data(p40 + std::string("\0x", 2)), "<Data>"},
      {"DEL", RegValue::Data("ok\x7f"), "<Data>"},
      {"printable edges", RegValue::Data(" ~"), " ~"},
  };
  for (const auto& c : cases) {
    uint64_t n = 99;
    int flag = 0;
    EXPECT_EQ(text(c.v, &n, &flag), c.text) << c.name;
    EXPECT_EQ(n, c.number) << c.name;
    EXPECT_EQ(flag, c.flag) << c.name;
  }
  EXPECT_EQ(text(RegValue::Dict()), "<Dict>");  // no flag: nothing written
}

// --- fatal errors ----------------------------------------------------------------------

TEST_F(Regscan, EveryMessage) {
  const struct {
    const char* name;
    std::function<void(Tree&)> build;
    std::string message;
    Names listed;  // records made before the error
  } cases[] = {
      {"no root", [](Tree& t) { t.reg->setNoRoot(true); }, "reginfo: I/O Kit's root service no found? *FATAL*", {}},
      {"children", [](Tree& t) {
         t.media(t.root(), "A", "disk0");
         t.media(t.root(), "B", "disk1").failChildren = true;  // before it is handled
       }, "regscan: can't obtain children, *FATAL*", {"0"}},
      {"class", [](Tree& t) { t.add(t.root(), "IOService", "x").failClass = true; },
       "regshow: can't obtain class name. *FATAL*", {}},
      {"name", [](Tree& t) { t.media(t.root(), "A", "disk0").failName = true; }, "regshow: can't obtain name. *FATAL*", {}},
      {"properties", [](Tree& t) { t.media(t.root(), "A", "disk0").failProps = true; },
       "regshow: can't obtain properties. *FATAL*", {}},
      {"not dictionary", [](Tree& t) { t.media(t.root(), "A", "disk0").propsNotDict = true; },
       "regshow: not dictionary? *FATAL*", {}},
      {"rdisk", [](Tree& t) {
         t.media(t.root(), "A", "disk0");
         t.media(t.root(), "B", "rdisk3");
       }, "regshow1: BSD Name is not diskXXX(rdisk3) for IOMedia? *FATAL*", {"0"}},
      {"disk alone", [](Tree& t) { t.media(t.root(), "Kingston DataTraveler Media", "disk"); },
       "regshow: no BSD device for(Kingston DataTraveler) *FATAL*", {}},
      {"outside media harmless", [](Tree& t) {
         t.add(t.root(), "IOService", "x").failName = true;
         t.add(t.root(), "IOService", "y").failProps = true;
         t.media(t.root(), "A", "disk0");
       }, "", {"0"}},
  };
  for (const auto& c : cases) {
    reset();
    c.build(t);
    t.install();
    EXPECT_EQ(fatalOf([] { reginfo(); }), c.message) << c.name;
    EXPECT_EQ(bsdnames(), c.listed) << c.name;
    // glodisk never points at a freed record.
    EXPECT_TRUE(glodisk == nullptr || glodisk == record(bsdnames().back())) << c.name;
    EXPECT_TRUE(slotsEmpty()) << c.name;
  }
}

// --- threads ---------------------------------------------------------------------------

TEST_F(Regscan, ConcurrentScansTakeTurns) {
  Node& ctl = t.add(t.root(), "IOPCIDevice", "ctl").set("Physical Interconnect", RegValue::Str("SATA"));
  for (int i = 0; i < 20; ++i) t.media(ctl, "M", "disk" + std::to_string(i));
  t.install();
  std::thread a([] { reginfo(); }), b([] { reginfo(); });
  a.join();
  b.join();
  // The second scan found every BSD name listed already.
  ASSERT_EQ(bsdnames().size(), 20u);
  EXPECT_STREQ(record("19")->interconnect, "SATA");
  EXPECT_TRUE(slotsEmpty());
}
