// The Qt alert seam and the bridge to the user-interface thread: an alert from
// the worker is shown on the UI thread and its answer returned.
#include <QApplication>
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

}  // namespace
