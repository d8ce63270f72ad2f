// The table model's own part over a machine built in code: header, copied
// rows, roles beyond the text and colours. The cells' texts are tested on the
// core (tests/table/poolcore_test.cpp).
#include <QIcon>
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "perf/store.h"
#include "table/pool.h"
#include "tests/table/gui_support.h"

namespace {

using guitest::ensureApp;

struct PoolFixture : ::testing::Test {
  guitest::ListGuard list;
  guitest::StoreGuard store;
  Pool pool;
  Pool* saved = thepool;
  PoolFixture() { ensureApp(); }
  ~PoolFixture() override { thepool = saved; }
  void load(const guitest::Machine& m) {
    m.install();
    pool.ColorInit();
    thepool = &pool;
    pool.Reload("", 0);
  }
  QVariant role(int row, const char* id, int r = Qt::DisplayRole) const {
    return pool.data(pool.index(row, guitest::column(id)), r);
  }
  QString text(int row, const char* id) const { return role(row, id).toString(); }
};

// Copied rows: titles, then each row as shown, trimmed, tab-separated; a tab
// or line break in a name can't split a cell or a row; rows outside are left
// out. The header puts a title's unit on a second line.
TEST_F(PoolFixture, RowsAsTextForTheClipboard) {
  guitest::Machine m = guitest::smallMachine();
  m.mount("disk1s1", "/media/old", "Old\tVol\nume");
  load(m);
  const QString titles =
      "Seq\tName\tStatus\tSize\tInfo\tMount\tDevice\tSequential (KB/s)\tRandom (KB/s)\t"
      "Dual Seq (KB/s)\tThreaded (KB/s)\n";
  struct {
    std::vector<int> rows;
    QString text;
  } const cases[] = {
      {{}, titles},
      {{-1, 6}, titles},
      {{2, 0},
       titles + "3\tData\tPartition:HFS+\t50.0 MiB\t" + text(2, "Info").trimmed() +
           "\t/media/data\tdisk0s2\t\t\t\t\n1\t*Example Disk\tDisk:GPT\t256.0 MiB\t" +
           text(0, "Info") + "\t\tdisk0\t\t\t\t\n"},
      {{5}, titles + "6\tOld Vol ume\tPartition:HFS\t1023.3 MiB\t" + text(5, "Info") +
                "\t/media/old\tdisk1s1\t\t\t\t\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(pool.rowsText(c.rows).toStdString(), c.text.toStdString());
  EXPECT_EQ(pool.headerData(guitest::column("Threaded"), Qt::Horizontal).toString(), "Threaded\n(KB/s)");
}

// Sorting takes the numbers; the size's tooltip gives its bytes, the Info
// tooltip the link. Figures with a warning carry a sign, also when copied, and
// their verdicts in the tooltip, clean ones only the verdict.
TEST_F(PoolFixture, RolesBeyondTheText) {
  guitest::Machine m;
  auto& d0 = m.disk(0, "Example Disk", 268435456LL, guitest::kGpt);
  m.part(d0, 0, 1, "Data", 52428800LL, guitest::kHfsPlus);
  auto& d1 = m.disk(1, "Spare Drive", 1073741824LL, guitest::kGpt);
  d1.set("Link Speed", vlm::RegValue::Str("SATA 6.0 Gbps"));
  d1.set("Link Ceiling", vlm::RegValue::Num(600));
  const std::string busy =
      "Warning: the device was busy: 5.0 MB read and 0.0 MB written by other programs during the Random phase";
  const std::string clean = "Checked: the kernel counted the same reads; no other I/O; within the link's ceiling";
  ASSERT_EQ(perfcapture("disk0s1", "serial-S0-part1", (busy + "\nSequential: 9\nRandom: 8\nDual: 7\nThreaded: 6\n").c_str()), 0);
  ASSERT_EQ(perfcapture("disk1", "serial-S1", (clean + "\nSequential: 5\nRandom: 4\nDual: 3\nThreaded: 2\n").c_str()), 0);
  load(m);
  ASSERT_EQ(pool.rowCount(), 3);
  const QVariant size = role(0, "Size", Pool::SortRole);
  EXPECT_EQ(size.typeId(), QMetaType::LongLong);
  EXPECT_EQ(size.toLongLong(), 268435456LL);
  EXPECT_EQ(role(0, "Seq", Pool::SortRole).toLongLong(), 1);
  EXPECT_EQ(role(0, "Size", Qt::ToolTipRole).toString(), "268,435,456 bytes");
  EXPECT_TRUE(role(0, "Info", Qt::ToolTipRole).toString().endsWith("\nLink: unknown"));
  EXPECT_EQ(role(2, "Info", Qt::ToolTipRole).toString(), text(2, "Info") + "\nLink: SATA 6.0 Gbps, ceiling 600 MB/s");
  // The row, whether its figures carry the sign, their verdict.
  for (auto [row, sign, verdict] : {std::tuple{0, false, std::string()}, {1, true, busy}, {2, false, clean}}) {
    SCOPED_TRACE(row);
    for (const char* id : {"Sequential", "Random", "Dual Seq", "Threaded"}) {
      QVariant icon = role(row, id, Qt::DecorationRole);
      EXPECT_EQ(icon.isValid() && !icon.value<QIcon>().isNull(), sign) << id;
      EXPECT_EQ(pool.rowsText({row}).contains("\t\u26A0 " + text(row, id)), sign) << id;  // copied as text
      QString tip = role(row, id, Qt::ToolTipRole).toString();
      if (verdict.empty()) {
        EXPECT_EQ(tip, QString()) << id;
        continue;
      }
      // The figure, when it was measured, and the verdicts.
      EXPECT_TRUE(tip.startsWith(text(row, id).remove(',') + "\nMeasured: ")) << id << tip.toStdString();
      EXPECT_TRUE(tip.endsWith("\n" + QString::fromStdString(verdict))) << id << tip.toStdString();
    }
  }
}

// Sizes under 1 KiB in bytes, else in the largest unit, rounded up to the next
// one where it would print 1024.
TEST(NumberText, SizesInBytesThenBinaryUnits) {
  for (auto [bytes, text] : {std::pair{1023LL, "1023 B"}, {1024LL, "1.0 KiB"}, {1048575LL, "1.0 MiB"},
                             {5000000000000LL, "4.5 TiB"}})
    EXPECT_EQ(readableSize(bytes), text) << bytes;
}

// Every cell in the colours of its row's code (codes past 6 wrap at 7),
// numbers right-aligned; two members of one set on the same disk have red
// device cells, their other cells keep the row's colour.
TEST_F(PoolFixture, EachCellIsDrawnInTheColourOfItsRow) {
  load(guitest::smallMachine());
  diskarray[3]->color = 8;
  diskarray[1]->setid = diskarray[2]->setid = 9;
  diskarray[1]->memberid = 1;
  diskarray[2]->memberid = 2;
  // Whole disks blue, the HFS+ partition orange, the others gray; the
  // product's partition (yellow) here of code 8.
  const int codes[6] = {1, 5, 4, 1, 1, 5};
  const QPalette pal = QApplication::palette();
  for (int r = 0; r < 6; ++r)
    for (const auto& c : pool.columns()) {
      const char* id = c.identifier().c_str();
      SCOPED_TRACE(testing::Message() << "row " << r << ", " << id);
      const CellColors want = cellColors((r == 1 || r == 2) && c.identifier() == "Device" ? 6 : codes[r], pal);
      EXPECT_EQ(role(r, id, Qt::BackgroundRole).value<QBrush>().color(), want.background);
      EXPECT_EQ(role(r, id, Qt::ForegroundRole).value<QBrush>().color(), want.foreground);
      EXPECT_EQ(bool(Qt::Alignment(role(r, id, Qt::TextAlignmentRole).toInt()) & Qt::AlignRight), c.numeric());
    }
}

// WCAG contrast ratio of two colours.
double contrast(const QColor& a, const QColor& b) {
  auto lum = [](const QColor& c) {
    auto ch = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
    return 0.2126 * ch(c.redF()) + 0.7152 * ch(c.greenF()) + 0.0722 * ch(c.blueF());
  };
  double x = lum(a), y = lum(b);
  return (std::max(x, y) + 0.05) / (std::min(x, y) + 0.05);
}

// Every code but 0 tinted, each its own, readable on light and dark palettes.
TEST(CellColours, TintsReadOnLightAndDarkPalettes) {
  ensureApp();
  QPalette light(QColor(0xefefef));
  light.setColor(QPalette::Base, Qt::white);
  light.setColor(QPalette::Text, Qt::black);
  QPalette dark(QColor(0x353535));
  dark.setColor(QPalette::Base, QColor(0x232323));
  dark.setColor(QPalette::Text, QColor(0xeeeeee));
  for (const QPalette* pal : {&light, &dark}) {
    for (int i = 0; i < 7; ++i) {
      SCOPED_TRACE(i);
      CellColors c = cellColors(i, *pal);
      EXPECT_GE(contrast(c.foreground, c.background), 7.0);
      EXPECT_TRUE(i == 0 || c.background != pal->color(QPalette::Base));
      for (int j = 1; j < i; ++j) EXPECT_NE(c.background, cellColors(j, *pal).background);
    }
  }
}

}  // namespace
