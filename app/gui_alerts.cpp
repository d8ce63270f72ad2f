#include "app/gui_alerts.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

namespace vlm {

namespace {
// Qt hands a queued call over under its own futex-based locks, which the
// thread sanitizer can't see; taking this lock on both sides of the hand-over
// makes the order visible to it. Never held for longer than a post.
std::mutex& handoff() {
  static std::mutex m;
  return m;
}
void received() { std::lock_guard<std::mutex> lock(handoff()); }
}  // namespace

bool UiBridge::onUiThread() const { return QThread::currentThread() == thread(); }

bool UiBridge::closed() const {
  std::lock_guard<std::mutex> lock(mu_);
  return closed_;
}

void UiBridge::shutdown() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    closed_ = true;
  }
  cv_.notify_all();
}

void UiBridge::post(std::function<void()> f) {
  if (closed()) return;
  std::lock_guard<std::mutex> lock(handoff());
  QMetaObject::invokeMethod(
      this, [this, f = std::move(f)] {
        received();
        if (!closed()) f();
      },
      Qt::QueuedConnection);
}

bool UiBridge::call(std::function<void()> f) {
  if (onUiThread()) {
    if (closed()) return false;
    f();
    return true;
  }
  // The job outlives an early return of the caller (shutdown), so the
  // function and its flag are shared with the queued call.
  struct Job {
    std::function<void()> f;
    bool done = false;
  };
  auto job = std::make_shared<Job>();
  job->f = std::move(f);
  if (closed()) return false;
  {
    std::lock_guard<std::mutex> lock(handoff());
    QMetaObject::invokeMethod(
        this, [this, job] {
          received();
          if (!closed()) job->f();
          {
            std::lock_guard<std::mutex> lock(mu_);
            job->done = true;
          }
          cv_.notify_all();
        },
        Qt::QueuedConnection);
  }
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [&] { return job->done || closed_; });
  return job->done;
}

int showAlertBox(const std::string& title, const std::string& msg,
                 const std::vector<std::string>& buttons) {
  QMessageBox box;
  box.setWindowTitle(QString::fromLocal8Bit(title.c_str()));
  // Shown literally; line ends of the "\r\n" kind become plain breaks.
  QString text = QString::fromLocal8Bit(msg.c_str());
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  box.setTextFormat(Qt::PlainText);
  box.setText(text);
  std::vector<QAbstractButton*> made;
  for (size_t i = 0; i < buttons.size(); ++i) {
    auto role = i == 0 ? QMessageBox::AcceptRole : QMessageBox::RejectRole;
    made.push_back(box.addButton(QString::fromLocal8Bit(buttons[i].c_str()), role));
  }
  if (!made.empty()) {
    box.setDefaultButton(static_cast<QPushButton*>(made.front()));
    box.setEscapeButton(made.back());
  }
  box.exec();
  for (size_t i = 0; i < made.size(); ++i)
    if (box.clickedButton() == made[i]) return static_cast<int>(i);
  return made.empty() ? 0 : static_cast<int>(made.size()) - 1;
}

int QtAlertSeam::alert(const std::string& title, const std::string& msg,
                       const std::vector<std::string>& buttons) {
  // Without an answer (the window is closing) the last button: for a question
  // that means the operation is not carried out.
  const int none = buttons.empty() ? 0 : static_cast<int>(buttons.size()) - 1;
  auto answer = std::make_shared<int>(none);
  if (!bridge_.call([answer, title, msg, buttons] { *answer = showAlertBox(title, msg, buttons); }))
    return none;
  return *answer;
}

void QtAlertSeam::quit() {
  std::lock_guard<std::mutex> lock(handoff());
  QMetaObject::invokeMethod(
      QCoreApplication::instance(),
      [] {
        received();
        QCoreApplication::exit(0);
      },
      Qt::QueuedConnection);
}

}  // namespace vlm
