// The Qt alert seam and the bridge to the user-interface thread: an alert from
// the worker is shown on the UI thread and its answer returned; a closed bridge
// never leaves a worker waiting.
#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/gui_alerts.h"
#include "tests/table/gui_support.h"

namespace {

// Presses the button labelled text of the next message box that opens.
void pressWhenShown(const QString& text, QString* title, QString* body) {
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, [=] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    *title = box->windowTitle();
    *body = box->text();
    for (QAbstractButton* b : box->buttons())
      if (b->text() == text) {
        timer->stop();
        timer->deleteLater();
        b->click();
        return;
      }
  });
  timer->start(5);
}

// First in this file: the alert tests after it also show that the event loops
// still run once the application's loop has been ended.
TEST(QtAlerts, QuitFromTheWorkerEndsTheEventLoop) {
  guitest::ensureApp();
  vlm::UiBridge bridge;
  vlm::QtAlertSeam seam(bridge);
  QObject ctx;  // its timers stop with the test
  QTimer::singleShot(3000, &ctx, [] { QCoreApplication::exit(1); });  // the loop did not end
  std::thread worker;
  QTimer::singleShot(0, &ctx, [&] { worker = std::thread([&] { seam.quit(); }); });
  EXPECT_EQ(QCoreApplication::exec(), 0);
  worker.join();
}

TEST(QtAlerts, WorkerAlertIsShownOnTheUiThreadAndAnswered) {
  guitest::ensureApp();
  vlm::UiBridge bridge;
  vlm::QtAlertSeam seam(bridge);
  QString title, body;
  pressWhenShown("Cancel", &title, &body);
  std::atomic<int> answer{-2};
  std::thread worker([&] {
    answer = seam.alert("Test Media:", "100% of %s\r\nline two", {"Ok", "Cancel"});
  });
  EXPECT_TRUE(guitest::spinUntil([&] { return answer.load() != -2; }));
  worker.join();
  EXPECT_EQ(answer.load(), 1);  // "Cancel"
  EXPECT_EQ(title, "Test Media:");
  EXPECT_EQ(body, "100% of %s\nline two");  // literal text, plain line breaks
}

// The UI thread does not serve events: shutdown frees a waiting worker, and
// the function never runs afterwards.
TEST(UiBridge, ShutdownReleasesWaiters) {
  guitest::ensureApp();
  vlm::UiBridge bridge;
  std::atomic<bool> ran{false}, returned{false}, result{true};
  std::thread blocked([&] {
    result = bridge.call([&] { ran = true; });
    returned = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(returned.load());
  bridge.shutdown();
  blocked.join();
  EXPECT_FALSE(result.load());
  QApplication::processEvents();
  EXPECT_FALSE(ran.load());
  EXPECT_FALSE(bridge.call([&] { ran = true; }));  // closed: nothing more runs
  EXPECT_FALSE(ran.load());
}

}  // namespace
