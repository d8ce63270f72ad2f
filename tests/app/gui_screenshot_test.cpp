// The real program renders its window to a PNG (--screenshot) from replayed
// machines; the picture must exist and show more than a blank surface.
#include <sys/stat.h>
#include <unistd.h>

#include <QColor>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/table/gui_support.h"

namespace {

struct Shot {
  int exitCode = -1;
  QString output;
  QImage image;
};

// The program on a replayed machine, under the offscreen platform.
void start(QProcess& p, const std::string& fixture, const QStringList& more, const QString& style = {}) {
  guitest::ensureApp();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  env.insert("HOME", QDir::tempPath());
  if (!style.isEmpty()) env.insert("QT_STYLE_OVERRIDE", style);
  p.setProcessEnvironment(env);
  p.setProcessChannelMode(QProcess::MergedChannels);
  std::string base = std::string(VLM_FIXTURES) + "/" + fixture;
  p.start(QString::fromLatin1(VLM_BUNDLE_DIR "/Contents/MacOS/VLM-Performance"),
          QStringList{"--registry", QString::fromStdString(base + ".registry.json"), "--mounts",
                      QString::fromStdString(base + ".mounts.json")} + more);
}

Shot screenshot(const std::string& fixture, const QString& out, const QString& style = {}) {
  QProcess p;
  start(p, fixture, {"--screenshot", out}, style);
  Shot s;
  if (!p.waitForFinished(20000)) {
    p.kill();
    p.waitForFinished();
    return s;
  }
  s.exitCode = p.exitCode();
  s.output = QString::fromLocal8Bit(p.readAll());
  s.image.load(out);
  return s;
}

int distinctColours(const QImage& img) {
  QSet<QRgb> seen;
  for (int y = 0; y < img.height(); y += 3)
    for (int x = 0; x < img.width(); x += 3) seen.insert(img.pixel(x, y));
  return seen.size();
}

// Never installing the utility on the way: root runs the bundle's own and is
// never asked.
TEST(Screenshot, ProgramRendersItsWindowFromAFixture) {
  const char* copy = VLM_UTILITY_DIR "/vlmperfutil";
  const bool installed = access(copy, F_OK) == 0;
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  for (const char* fixture : {"desktop", "laptop"}) {
    SCOPED_TRACE(fixture);
    QString out = dir.filePath(QString::fromLatin1(fixture) + ".png");
    Shot s = screenshot(fixture, out);
    ASSERT_EQ(s.exitCode, 0) << s.output.toStdString();
    if (!installed) {
      EXPECT_EQ(s.output.contains("Administrator's Password"), geteuid() != 0) << s.output.toStdString();
      EXPECT_NE(access(copy, F_OK), 0);
    }
    ASSERT_FALSE(s.image.isNull()) << "no PNG at " << out.toStdString();
    EXPECT_GT(s.image.width(), 600);
    EXPECT_GT(s.image.height(), 200);
    EXPECT_GT(distinctColours(s.image), 8);
  }
}

// The window proper: up and waiting (here at the notice about the utility)
// rather than ended; stopped from outside.
TEST(Screenshot, InteractiveStartStaysUp) {
  QProcess p;
  start(p, "laptop", {});
  ASSERT_TRUE(p.waitForStarted(5000));
  EXPECT_FALSE(p.waitForFinished(1500)) << p.readAll().toStdString();
  p.kill();
  p.waitForFinished(5000);
}

TEST(Screenshot, UnwritablePathIsAnError) {
  Shot s = screenshot("desktop", "/nonexistent-dir/x.png");
  EXPECT_EQ(s.exitCode, 1);
  EXPECT_TRUE(s.output.contains("can't write the screenshot")) << s.output.toStdString();
}

}  // namespace

// In-process: the window under Fusion with a dark palette keeps its rows dark
// and tinted (VLM_SHOT_DIR=DIR also saves the light and dark pictures there).
#include <QMainWindow>
#include <QStyle>
#include <QStyleFactory>

#include <memory>
#include <QTableView>

#include "util/alerts.h"
#include "app/appdelegate.h"
#include "table/pool.h"

namespace {

// Also gives a point inside the first row, away from the text.
QImage renderWindow(const QPalette& pal, const char* name, QPoint* inRow) {
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  QApplication::setPalette(pal);
  guitest::ListGuard list;
  vlm::ScopedRecordingSeam rec;
  std::string base = std::string(VLM_FIXTURES) + "/mirror";
  vlm::setPlatform(vlm::fixturePlatform(base + ".registry.json", base + ".mounts.json"));
  QImage img;
  {
    QorConfigureAppDelegate d;
    d.window->show();
    d.applicationDidFinishLaunching();
    d.table->selectRow(2);
    QApplication::processEvents();
    img = d.window->grab().toImage();
    QRect cell = d.table->visualRect(d.pool->index(0, d.pool->columnCount() - 2));
    *inRow = d.table->viewport()->mapTo(d.window, cell.center());
  }
  if (const char* dir = std::getenv("VLM_SHOT_DIR"))
    img.save(QString::fromLocal8Bit(dir) + "/" + name + ".png");
  QApplication::setPalette(QPalette());
  return img;
}

TEST(Screenshot, DarkPaletteKeepsTintedRowsReadable) {
  guitest::ensureApp();
  QPalette dark(QColor(0x353535), QColor(0x2b2b2b));
  dark.setColor(QPalette::Base, QColor(0x1f1f1f));
  dark.setColor(QPalette::Text, QColor(0xeeeeee));
  dark.setColor(QPalette::WindowText, QColor(0xeeeeee));
  dark.setColor(QPalette::ButtonText, QColor(0xeeeeee));
  dark.setColor(QPalette::Highlight, QColor(0x2f65ca));
  std::unique_ptr<QStyle> fusion(QStyleFactory::create("Fusion"));
  QPalette light = fusion->standardPalette();
  QPoint p;
  QImage l = renderWindow(light, "window-light", &p);
  QImage dk = renderWindow(dark, "window-dark", &p);
  ASSERT_FALSE(l.isNull());
  ASSERT_FALSE(dk.isNull());
  // The first row is a mirror member (green).
  QColor lc = l.pixelColor(p), dc = dk.pixelColor(p);
  EXPECT_GT(lc.lightnessF(), 0.7);
  EXPECT_LT(dc.lightnessF(), 0.35);
  EXPECT_GT(dc.greenF(), dc.redF());  // still green
  EXPECT_GT(lc.greenF(), lc.redF());
}

}  // namespace
