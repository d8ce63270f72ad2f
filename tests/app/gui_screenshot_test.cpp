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
