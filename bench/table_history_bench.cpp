// The history at size: fills a history file, and times the History view of
// one device over it (the window under the offscreen platform).
//
//   table_history_bench fill DATA N ID...  N tests of the fixture record, round robin over the
//                                          IDs, into the history of data folder DATA
//   table_history_bench open DATA ID       opens ID's History view; prints its tests and the time
#include <QApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/gui_history.h"
#include "perf/history.h"

#ifndef VLM_FIXTURES
#define VLM_FIXTURES "tests/fixtures"
#endif

int main(int argc, char** argv) {
  const std::string mode = argc > 2 ? argv[1] : "";
  if (argc > 2) setenv("XDG_DATA_HOME", argv[2], 1);
  if (mode == "fill" && argc > 4) {
    vlm::Record rec;
    std::string err;
    if (!vlm::loadRecord(VLM_FIXTURES "/record.json", rec, err)) {
      std::fprintf(stderr, "%s\n", err.c_str());
      return 1;
    }
    vlm::History& h = vlm::history();
    const long n = std::atol(argv[3]);
    const int ids = argc - 4;
    const int64_t start = rec.value("unixTime", int64_t(0));
    for (long i = 0; i < n; ++i) {
      rec["device"]["id"] = argv[4 + i % ids];
      rec["unixTime"] = start - (n - i) * 3600;
      for (auto& ph : rec["phases"]) ph["kbps"] = ph["kbps"].get<int64_t>() * (90 + i % 20) / 100;
      if (!h.add(rec)) {
        std::fprintf(stderr, "%s\n", h.takeNotice().c_str());
        return 1;
      }
    }
    return 0;
  }
  if (mode == "open" && argc == 4) {
    QApplication app(argc, argv);
    QElapsedTimer t;
    t.start();
    const size_t n = vlm::history().tests(argv[3], 0, false).size();
    const qint64 read = t.restart();
    vlm::HistoryDialog d(argv[3], QStringLiteral("bench"));
    const qint64 made = t.elapsed();
    d.show();
    QApplication::processEvents();
    std::printf("%zu tests: read %lld ms; the view made %lld ms, shown %lld ms\n", n, static_cast<long long>(read),
                static_cast<long long>(made), static_cast<long long>(t.elapsed()));
    return 0;
  }
  std::fputs("usage: table_history_bench fill DATA N ID... | open DATA ID\n", stderr);
  return 2;
}
