// The History view over a real history file, against what sqlite3 and
// Python's json and csv modules read: rows newest first, a chart line per
// phase, two tests compared, one deleted, all exported.
#include <QChart>
#include <QItemSelectionModel>
#include <QLineSeries>
#include <QTableWidget>
#include <gtest/gtest.h>

#include <string>

#include "app/gui_details.h"
#include "app/gui_history.h"
#include "tests/helpers/schema_check.h"
#include "tests/platform/loop_guard.h"
#include "tests/table/gui_support.h"
#include "util/alerts.h"

namespace {

TEST(HistoryView, ListChartCompareDeleteExport) {
  guitest::ensureApp();
  const std::string sqlite3 = vlm::testing::tool("sqlite3"), python3 = vlm::testing::tool("python3");
  if (sqlite3.empty() || python3.empty()) GTEST_SKIP() << "sqlite3 or python3 is missing";
  vlm::Record rec = vlmtest::fixtureRecord();
  rec["device"]["id"] = "id-H";
  for (int i = 0; i < 6; ++i) {
    rec["unixTime"] = 1700000000 + (i * 7919) % 6 * 86400;  // out of order
    rec["result"] = i == 4 ? "Failed" : "Ok";
    ASSERT_TRUE(vlm::history().add(rec));
  }
  rec["device"]["id"] = "id-other";
  ASSERT_TRUE(vlm::history().add(rec));
  auto sql = [&](const std::string& q) {
    std::string out;
    EXPECT_EQ(vlm::testing::run({sqlite3, vlm::history().path(), q}, &out), 0);
    return out;
  };

  rec["device"]["id"] = "id-H";
  vlm::DetailsDialog details(rec);
  vlm::HistoryDialog* h = details.showHistory();
  QTableWidget* t = h->table();
  std::string dates;
  for (const auto& test : h->tests()) dates += std::to_string(test.unixTime) + "\n";
  EXPECT_EQ(dates, sql("SELECT time FROM tests WHERE device = 'id-H' ORDER BY time DESC"));
  EXPECT_EQ(std::to_string(t->rowCount()) + "\n", sql("SELECT count(*) FROM tests WHERE device = 'id-H'"));
  ASSERT_EQ(h->chart()->series().size(), rec["phases"].size());
  for (QAbstractSeries* s : h->chart()->series())
    EXPECT_EQ(std::to_string(static_cast<QLineSeries*>(s)->count()) + "\n",
              sql("SELECT count(*) FROM tests WHERE device = 'id-H' AND result = 'Ok'"));

  vlm::ScopedRecordingSeam seam;
  auto select = [&](std::initializer_list<int> rows) {
    t->clearSelection();
    for (int r : rows) t->selectionModel()->select(t->model()->index(r, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
  };
  select({0, 1});
  vlm::DetailsDialog* cmp = h->compareSelected();
  ASSERT_NE(cmp, nullptr);
  EXPECT_EQ(cmp->figures()->columnCount(), 4);  // figure, this, the other, ratio
  select({2});
  const std::string gone = std::to_string(h->tests()[2].id);
  seam.seam.answers = {0};  // Delete
  EXPECT_TRUE(h->deleteSelected());
  EXPECT_EQ(sql("SELECT count(*) FROM tests WHERE id = " + gone), "0\n");
  EXPECT_EQ(t->rowCount(), 5);

  vlm::testing::TempDir dir;
  const char* count = "import csv,json,sys; f=sys.argv[1]; "
                      "print(len([json.loads(l) for l in open(f)]) if f.endswith('l') else len(list(csv.DictReader(open(f, newline='')))))";
  for (const char* name : {"/all.jsonl", "/all.csv"}) {
    ASSERT_TRUE(h->exportTo(QString::fromStdString(dir.path() + name)));
    std::string n;
    ASSERT_EQ(vlm::testing::run({python3, "-c", count, dir.path() + name}, &n), 0);
    EXPECT_EQ(n, sql("SELECT count(*) FROM tests WHERE device = 'id-H'")) << name;
  }
}

}  // namespace
