// table_bench: how fast the window's table reloads and redraws a long list.
//
//   table_bench [--disks D] [--runs N]
//
// D whole disks of seven partitions each (8 * D rows, 4096 at the default
// 512) in a table view of 1400x800 under the offscreen platform; each run is
// one reload of the model and one redraw of the view. The aim is 50 ms for
// both together.
#include <QElapsedTimer>
#include <QTableView>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "table/pool.h"
#include "tests/table/gui_support.h"

// disks whole disks of seven partitions each: disks * 8 rows.
guitest::Machine bigMachine(int disks) {
  guitest::Machine m;
  for (int d = 0; d < disks; ++d) {
    auto& w = m.disk(d, "Disk " + std::to_string(d), 1000LL * 1000 * 1000 * 1000, guitest::kGpt);
    for (int p = 1; p <= 7; ++p)
      m.part(w, d, p, "Part " + std::to_string(p), 100LL * 1000 * 1000 * 1000,
             p % 2 ? guitest::kHfsPlus : "Velmora_HFS");
  }
  return m;
}

int main(int argc, char** argv) {
  int disks = 512, runs = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--disks") == 0) disks = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
  }
  if (disks < 1 || runs < 1) {
    std::fprintf(stderr, "usage: table_bench [--disks D] [--runs N]\n");
    return 2;
  }
  guitest::ensureApp();
  bigMachine(disks).install();
  Pool pool;
  pool.ColorInit();
  thepool = &pool;
  QTableView view;
  view.setModel(&pool);
  view.resize(1400, 800);
  view.show();
  pool.Reload("", 0);  // warm up
  view.grab();
  QElapsedTimer t;
  qint64 reload = 0, redraw = 0;
  for (int i = 0; i < runs; ++i) {
    t.start();
    pool.Reload("", 0);
    reload += t.nsecsElapsed();
    t.start();
    view.grab();
    redraw += t.nsecsElapsed();
  }
  std::printf("reload + redraw of %d rows: %.1f ms (reload %.1f, redraw %.1f), mean of %d runs\n",
              pool.rowCount(), double(reload + redraw) / 1e6 / runs, double(reload) / 1e6 / runs,
              double(redraw) / 1e6 / runs, runs);
  thepool = nullptr;
  return 0;
}
