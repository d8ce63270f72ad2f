// The real program renders its window to a PNG (--screenshot) from a replayed
// machine; the picture must exist and show more than a blank surface.
#include <QImage>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "tests/table/gui_support.h"

namespace {

// The program on a replayed machine under the offscreen platform, with the
// given arguments; its exit status (-1: it did not end) and its output.
int run(const QStringList& args, QString& output) {
  guitest::ensureApp();
  QProcess p;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  env.insert("HOME", QDir::tempPath());
  p.setProcessEnvironment(env);
  p.setProcessChannelMode(QProcess::MergedChannels);
  const QString base = QString::fromLatin1(VLM_FIXTURES "/desktop");
  p.start(QString::fromLatin1(VLM_BUNDLE_DIR "/Contents/MacOS/VLM-Performance"),
          QStringList{"--registry", base + ".registry.json", "--mounts", base + ".mounts.json"} + args);
  const bool ended = p.waitForFinished(20000);
  if (!ended) p.kill();
  p.waitForFinished();
  output = QString::fromLocal8Bit(p.readAll());
  return ended ? p.exitCode() : -1;
}

// Never installing the utility on the way: root runs the bundle's own and is
// never asked. A path that can't be written is an error.
TEST(Screenshot, ProgramRendersItsWindowFromAFixture) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString out = dir.filePath("desktop.png");
  const bool installed = access(VLM_UTILITY_DIR "/vlmperfutil", F_OK) == 0;
  QString output;
  ASSERT_EQ(run({"--screenshot", out}, output), 0) << output.toStdString();
  if (!installed) {
    EXPECT_EQ(output.contains("Administrator's Password"), geteuid() != 0) << output.toStdString();
    EXPECT_NE(access(VLM_UTILITY_DIR "/vlmperfutil", F_OK), 0);
  }
  QImage image(out);
  ASSERT_FALSE(image.isNull()) << "no PNG at " << out.toStdString();
  EXPECT_GT(image.width(), 600);
  EXPECT_GT(image.height(), 200);
  QSet<QRgb> colours;
  for (int y = 0; y < image.height(); y += 3)
    for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y));
  EXPECT_GT(colours.size(), 8);

  EXPECT_EQ(run({"--screenshot", "/nonexistent-dir/x.png"}, output), 1);
  EXPECT_TRUE(output.contains("can't write the screenshot")) << output.toStdString();
}

}  // namespace
