#include "app/gui_alerts.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QVBoxLayout>

#include <algorithm>

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

namespace {

// The buttons in order, the first the default, the last taken by Escape.
std::vector<QPushButton*> addButtons(QDialogButtonBox* bar, const std::vector<std::string>& buttons) {
  std::vector<QPushButton*> made;
  for (size_t i = 0; i < buttons.size(); ++i)
    made.push_back(bar->addButton(QString::fromLocal8Bit(buttons[i].c_str()),
                                  i == 0 ? QDialogButtonBox::AcceptRole : QDialogButtonBox::RejectRole));
  return made;
}

// A text too tall for a message box on this screen (a utility's whole
// output): in a scrolling, selectable view, the dialog within the screen.
int scrollingAlert(const QString& title, const QString& text, const std::vector<std::string>& buttons,
                   const QRect& avail) {
  QDialog box;
  box.setWindowTitle(title);
  auto* layout = new QVBoxLayout(&box);
  auto* view = new QPlainTextEdit(text);
  view->setObjectName(QStringLiteral("alerttext"));
  view->setReadOnly(true);
  view->setLineWrapMode(QPlainTextEdit::NoWrap);
  layout->addWidget(view);
  auto* bar = new QDialogButtonBox;
  layout->addWidget(bar);
  int clicked = buttons.empty() ? 0 : int(buttons.size()) - 1;
  std::vector<QPushButton*> made = addButtons(bar, buttons);
  for (size_t i = 0; i < made.size(); ++i)
    QObject::connect(made[i], &QPushButton::clicked, &box, [&box, &clicked, i] {
      clicked = int(i);
      box.done(0);
    });
  if (!made.empty()) made.front()->setDefault(true);
  const QFontMetrics fm = view->fontMetrics();
  int widest = 0;
  for (const QString& line : text.split(u'\n')) widest = std::max(widest, fm.horizontalAdvance(line));
  const QSize want(widest + 4 * fm.averageCharWidth(),
                   int(text.count(u'\n') + 2) * fm.lineSpacing() + bar->sizeHint().height() + 4 * fm.height());
  box.resize(want.boundedTo(QSize(avail.width() * 9 / 10, avail.height() * 17 / 20)));
  box.exec();
  return clicked;
}

}  // namespace

int showAlertBox(const std::string& title, const std::string& msg,
                 const std::vector<std::string>& buttons) {
  // Shown literally; line ends of the "\r\n" kind become plain breaks.
  QString text = QString::fromLocal8Bit(msg.c_str());
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  const QString caption = QString::fromLocal8Bit(title.c_str());
  QWidget* over = QApplication::activeWindow();
  QScreen* screen = over ? over->screen() : QGuiApplication::primaryScreen();
  const QRect avail = screen ? screen->availableGeometry() : QRect(0, 0, 800, 600);
  const QFontMetrics fm(QApplication::font("QMessageBox"));
  if (int(text.count(u'\n') + 1) * fm.lineSpacing() > avail.height() / 2)
    return scrollingAlert(caption, text, buttons, avail);

  QMessageBox box;
  box.setWindowTitle(caption);
  box.setTextFormat(Qt::PlainText);
  box.setText(text);
  box.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
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
