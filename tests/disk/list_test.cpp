// Numbering, selection, order, linking, colours and look-ups of the display array.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "records.h"

using vlmtest::addrec;
using vlmtest::findrec;
using Names = std::vector<std::string>;

namespace {

Names arrayNames() {
  Names v;
  for (int i = 0; i < ndiskarray; ++i) v.push_back(diskarray[i]->bsdname);
  return v;
}

// Whole disks are the names without "s".
void addNamed(const std::vector<const char*>& names) {
  for (const char* n : names) {
    bool whole = std::string(n).find('s') == std::string::npos;
    addrec(n, whole, whole ? "GPT" : "?");
  }
}

// Numeric order, each whole disk before its partitions and a nested slice
// after its slice; a partition links to the row of its whole disk ("S" is no
// separator, and a disk that is not listed gives no link).
TEST(List, OrderAndLinks) {
  vlmtest::ListGuard guard;
  addNamed({"1", "0s2", "10", "0", "0s10", "1s2s1", "1s2", "2", "0s1", "3s1", "5S1"});
  diskinfo('A');
  EXPECT_EQ(arrayNames(), (Names{"0", "0s1", "0s2", "0s10", "1", "1s2", "1s2s1", "2", "3s1", "5S1", "10"}));
  EXPECT_EQ(diskarray[ndiskarray], nullptr);  // null-filled after the last entry
  const std::pair<const char*, const char*> parents[] = {
      {"0s2", "0"}, {"1s2", "1"}, {"1s2s1", "1s2"}, {"0", nullptr}, {"3s1", nullptr}, {"5S1", nullptr}};
  for (auto [child, parent] : parents)
    EXPECT_EQ(findrec(child)->parent, parent ? findrec(parent) : nullptr) << child;
  EXPECT_EQ(std::tie(findrec("1s2s1")->diskno, findrec("1s2s1")->partno), std::make_tuple(1, 2));
}

TEST(List, EmptySelectionAndSelectionMWithoutARecordAreFatal) {
  vlmtest::ListGuard guard;
  EXPECT_EQ(vlmtest::fatalOf([] { diskinfo('A'); }), "");  // no disks at all: an empty list
  EXPECT_EQ(ndiskarray, 0);
  EXPECT_EQ(vlmtest::fatalOf([] { diskinfo('H'); }), "disksort: No disks selected?");
  addNamed({"0"});
  EXPECT_EQ(vlmtest::fatalOf([] { diskinfo('M'); }), "diskother: disksort_ptr is VOID?");
}

TEST(List, Selections) {
  const struct {
    int code;
    uint64_t size;
    Names shown;
  } cases[] = {
      {'A', 0, {"0", "0s1", "0s2", "0s3", "0s4", "1", "1s1", "2", "2s1", "3s1"}},
      {'H', ~uint64_t{0}, {"0", "2"}},                       // whole disks, no mirrors
      {'H', 0, {"0", "0s2", "0s3", "0s4", "2", "2s1"}},     // and HFS partitions, no set members
      {'H', 777, {"0", "0s3", "2"}},                        // of that size
      {'M', 0, {"0", "0s1", "0s2", "0s3", "0s4", "1", "1s1", "2", "2s1"}},
  };
  for (const auto& c : cases) {
    vlmtest::ListGuard guard;
    addrec("0", 1, "GPT");
    addrec("0s1", 0, "?");
    addrec("0s2", 0, "HFS+");
    addrec("0s3", 0, "HFS")->size = 777;
    addrec("0s4", 0, "HFS*");
    addrec("1", 1, "GPT")->mirror = 1;
    addrec("1s1", 0, "?")->mirror = 1;
    addrec("2", 1, "FDISK");
    addrec("2s1", 0, "HFS");
    addrec("3s1", 0, "HFS")->setid = 7;
    disksort_size = c.size;
    disksort_ptr = findrec("0");
    diskinfo(c.code);
    EXPECT_EQ(arrayNames(), c.shown) << "code " << char(c.code) << " size " << c.size;
  }
}

TEST(List, Colours) {
  vlmtest::ListGuard guard;
  addrec("0", 1, "GPT");
  addrec("0s1", 0, "HFS*");
  addrec("0s2", 0, "HFS+");
  addrec("0s3", 0, "HFS");
  addrec("0s4", 0, "EFI");
  addrec("0s6", 0, "hfs+");  // the HFS prefix is case-sensitive here
  addrec("1", 1, "GPT")->mirror = 1;
  addrec("1s1", 0, "HFS+")->mirror = 1;
  addrec("2", 1, "HFS");
  addrec("3s1", 0, "?")->setid = 9;  // set members: by set and member
  DISKINFO_* member = addrec("3s2", 0, "?");
  member->setid = 9;
  member->memberid = 4;
  diskinfo('A');
  const std::pair<const char*, int> want[] = {{"0", 1}, {"0s1", 3}, {"0s2", 4}, {"0s3", 5}, {"0s4", 5}, {"0s6", 5},
                                              {"1", 2}, {"1s1", 2}, {"2", 1},   {"3s1", 2}, {"3s2", 3}};
  for (auto [name, colour] : want) EXPECT_EQ(findrec(name)->color, colour) << name;
}

// Another member of a set on the same disk (look-ups by name are seen where
// the table finds its selected device).
TEST(List, SameDevice) {
  vlmtest::ListGuard guard;
  addNamed({"0", "0s1", "0s2", "1s1"});
  EXPECT_EQ(samedev(nullptr), 0);
  EXPECT_EQ(samedev(findrec("0s1")), 0);
  DISKINFO_ *a = findrec("0s1"), *b = findrec("0s2"), *c = findrec("1s1");
  a->setid = b->setid = c->setid = 5;
  a->memberid = 1;
  b->memberid = 2;
  c->memberid = 3;
  EXPECT_EQ(samedev(a), 1);
  EXPECT_EQ(samedev(c), 0);
  b->memberid = 1;  // same member: not another one
  EXPECT_EQ(samedev(a), 0);
}

}  // namespace
