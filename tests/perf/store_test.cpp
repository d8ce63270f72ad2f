// Progress lines, result lines and the per-disk result store.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "perf/store.h"
#include "util/prog.h"

namespace {

// The figures saved under a name, or nullptr.
const DISKSTAT_* saved(const char* name) {
  std::lock_guard<std::mutex> guard(storelock);
  for (const DISKSTAT_* e = diskstat0; e; e = e->next)
    if (zcpxcap(e->name, name)) return e;
  return nullptr;
}

// Whole "Percent: " lines are taken out of a chunk wherever they are, and
// the last value reported (-1: none).
TEST(Progress, TakesCompleteLinesOut) {
  const struct {
    const char *in, *out;
    double value;
  } cases[] = {
      {"Percent: 35\nPercent: 40\nabc", "abc", 40},
      {"xy Percent: 7\n", "xy ", 7},
      {"Percent: -5\nrest", "rest", 0},
      {"Percent:   12 tail\n", "", 12},
      {"before\nPercent: 50", "before\nPercent: 50", -1},
      {"Percent: 20\nPercent: 3", "Percent: 3", 20},
      {"percent: 9\n", "percent: 9\n", -1},
      {"Percent: \n", "", 0},
      {"PerPercent: 5\ncent: 7\nend", "end", 7},
      {"", "", -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    std::vector<char> chunk(c.in, c.in + std::strlen(c.in) + 1);
    double last = -1;
    pctgrab(chunk.data(), [&](double v) { last = v; });
    EXPECT_STREQ(chunk.data(), c.out);
    EXPECT_EQ(last, c.value);
  }
}

// Figures cut toward zero and held at the ends of the range; a key found
// inside a longer word; values of up to 60 characters.
TEST(Results, FiguresSaved) {
  const std::string v60 = std::string(59, ' ') + "8";
  const struct {
    std::string text;
    int32_t seq, rand, dual, thread;
  } cases[] = {
      {"vlmperfutil 1.0\nSequential: 523\nRandom: 81\nDual: 610\nThreaded: 587\n", 523, 81, 610, 587},
      {"Sequential:  1.5e3 KB/s\r\nRandom: -12.9\nDual: none\nThreaded: 1e30\n", 1500, -12, 0, INT32_MAX},
      {"NonDual: 5\nSequential: 1\nRandom: 1\nDual: 9\nThreaded: 1\n", 1, 1, 5, 1},
      {"Sequential:" + v60 + "\nRandom: 5\nDual: 5\nThreaded: 5", 8, 5, 5, 5},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(perfcapture("disk1", c.text.c_str()), 0) << c.text;
    const DISKPERF_& p = saved("disk1")->perf;
    EXPECT_EQ(std::tie(p.seqkps, p.randkps, p.dualkps, p.threadkps),
              std::make_tuple(c.seq, c.rand, c.dual, c.thread)) << c.text;
    EXPECT_GT(p.date, zdtuxto(znow()) - 2);  // the time of the measurement
  }
}

// The verdict lines travel with the figures, whole lines only, and lead the alert.
TEST(Results, VerdictsTravelWithTheFigures) {
  const std::string figures = "Sequential: 1\nRandom: 1\nDual: 1\nThreaded: 1\n";
  const std::string out = "Link: unknown\nWarning: one\nx Warning: not a line of its own\nWarning: two\r\n" + figures;
  ASSERT_EQ(perfcapture("disk98", out.c_str()), 0);
  EXPECT_STREQ(saved("disk98")->checks, "Warning: one\nWarning: two\n");
  EXPECT_EQ(perfwarnfirst(out.c_str()), "Warning: one\nWarning: two\n\n" + out);
  EXPECT_EQ(perfwarnfirst("clean\nChecked: ok\n"), "clean\nChecked: ok\n");
  ASSERT_EQ(perfcapture("disk98", ("Checked: fine\n" + figures).c_str()), 0);  // replaces the warnings
  EXPECT_STREQ(saved("disk98")->checks, "Checked: fine\n");
  std::string many;
  for (int i = 0; i < 30; ++i) many += "Warning: " + std::string(60, char('a' + i % 26)) + "\n";
  ASSERT_EQ(perfcapture("disk98", (many + figures).c_str()), 0);
  EXPECT_EQ(saved("disk98")->checks, many.substr(0, 14 * 70));  // whole lines of 70 bytes in 1024
}

TEST(Results, FailuresSaveNothing) {
  ASSERT_EQ(perfcapture("disk91", "Sequential: 1\nRandom: 2\nDual: 3\nThreaded: 4\n"), 0);
  const struct {
    std::string text;
    int rc;
  } cases[] = {
      {"Sequential:\nRandom: 5\nDual: 5\nThreaded: 5\n", 76},
      {"Sequential: " + std::string(61, '7') + "\nRandom: 5\nDual: 5\nThreaded: 5\n", 76},
      {"Sequential: 5\nRandom: 5\nDual: 5\nThreaded:", 76},
      {"Sequential: 5\nRandom: 5\nDual: 5\n", 86},
      {"Random: 5\nDual: 5\nThreaded: 5\n", 86},
  };
  for (const auto& c : cases) EXPECT_EQ(perfcapture("disk91", c.text.c_str()), c.rc) << c.text;
  const DISKPERF_& p = saved("disk91")->perf;
  EXPECT_EQ(std::tie(p.seqkps, p.threadkps), std::make_tuple(1, 4));
}

// Names fold case and are cut to 59 bytes; a new one goes first.
TEST(Store, NamesFoldCaseAndNewEntriesGoFirst) {
  ASSERT_EQ(perfcapture("disk94", "Sequential: 1\nRandom: 1\nDual: 1\nThreaded: 1\n"), 0);
  const DISKSTAT_* first = saved("disk94");
  ASSERT_EQ(perfcapture("DISK94", "Sequential: 2\nRandom: 2\nDual: 2\nThreaded: 2\n"), 0);
  EXPECT_EQ(saved("disk94"), first);
  EXPECT_EQ(first->perf.seqkps, 2);
  EXPECT_STREQ(first->name, "disk94");
  const std::string dev = "disk" + std::string(80, '1');
  ASSERT_EQ(perfcapture(dev.c_str(), "Sequential: 3\nRandom: 3\nDual: 3\nThreaded: 3\n"), 0);
  std::lock_guard<std::mutex> guard(storelock);
  EXPECT_EQ(diskstat0->name, dev.substr(0, 59));
}

// Figures belong to the measured device: they follow its identity to any name
// and never go to another device that took the name.
TEST(Store, FiguresFollowTheIdentity) {
  ASSERT_EQ(perfcapture("disk150", "wwn-A", "Sequential: 1\nRandom: 1\nDual: 1\nThreaded: 1\n"), 0);
  ASSERT_EQ(perfcapture("disk151", "", "Sequential: 2\nRandom: 2\nDual: 2\nThreaded: 2\n"), 0);
  const struct {
    const char *bsd, *devid, *what;
    int32_t seq;  // 0: no figures
  } cases[] = {
      {"150", "wwn-A", "the measured device", 1},
      {"155", "wwn-A", "the measured device under a new name", 1},
      {"150", "wwn-B", "another device under the measured one's name", 0},
      {"150", "", "a device without identity under that name", 0},
      {"151", "", "no identity on either side: by name", 2},
      {"151", "wwn-C", "a device with an identity under a name measured without one", 0},
  };
  for (const auto& c : cases) {
    DISKINFO_ rec{};
    zcpfield(rec.bsdname, c.bsd);
    zcpfield(rec.devid, c.devid);
    perfpop(&rec);
    EXPECT_EQ(rec.perf.seqkps, c.seq) << c.what;
    EXPECT_EQ(rec.perf.date != 0, c.seq != 0) << c.what;
  }
  // A new measurement of the device under its new name replaces the figures.
  ASSERT_EQ(perfcapture("disk155", "wwn-A", "Sequential: 3\nRandom: 3\nDual: 3\nThreaded: 3\n"), 0);
  DISKPERF_ p{};
  ASSERT_TRUE(perfget("disk0", "wwn-A", p));
  EXPECT_EQ(p.seqkps, 3);
  EXPECT_STREQ(saved("disk155")->devid, "wwn-A");
  EXPECT_EQ(saved("disk150"), nullptr);
}

// The worker saves results while the user-interface thread copies them back.
TEST(Store, SharedByTwoThreads) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    for (int i = 0; i < 300; ++i) {
      std::string dev = "disk" + std::to_string(200 + i % 20);
      std::string text = "Sequential: " + std::to_string(i) + "\nRandom: 1\nDual: 1\nThreaded: 1\n";
      perfcapture(dev.c_str(), text.c_str());
    }
    done = true;
  });
  int reads = 0;
  while (!done || reads < 50) {
    DISKINFO_ rec{};
    std::snprintf(rec.bsdname, sizeof rec.bsdname, "%d", 200 + reads % 20);
    perfpop(&rec);
    EXPECT_GE(rec.perf.seqkps, 0);
    ++reads;
  }
  worker.join();
  EXPECT_EQ(saved("disk219")->perf.seqkps, 299);
}

}  // namespace
