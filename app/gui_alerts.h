// Bringing work from the test worker onto the user-interface thread, and the
// alert seam that shows alerts as message boxes.
#pragma once

#include <QObject>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "util/alerts.h"

namespace vlm {

// Runs functions on the thread that owns it (the user-interface thread). A call
// from another thread waits until the function has run there; once shutdown()
// has been called nothing more runs and waiting callers return at once, so a
// worker can never hang on a window that is gone.
class UiBridge : public QObject {
  Q_OBJECT
 public:
  explicit UiBridge(QObject* parent = nullptr) : QObject(parent) {}
  ~UiBridge() override { shutdown(); }

  bool onUiThread() const;
  // Runs f on the UI thread and waits; true when it ran.
  bool call(std::function<void()> f);
  // Runs f on the UI thread later; returns at once.
  void post(std::function<void()> f);
  void shutdown();
  bool closed() const;

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool closed_ = false;
};

// Alerts as modal message boxes on the user-interface thread; from the worker
// the call is carried over and blocks until the user answers.
class QtAlertSeam : public AlertSeam {
 public:
  explicit QtAlertSeam(UiBridge& bridge) : bridge_(bridge) {}
  int alert(const std::string& title, const std::string& msg,
            const std::vector<std::string>& buttons) override;
  void quit() override;

 private:
  UiBridge& bridge_;
};

// Installs a seam for the lifetime of the object.
class ScopedAlertSeam {
 public:
  explicit ScopedAlertSeam(AlertSeam* seam) : prev_(setAlertSeam(seam)) {}
  ~ScopedAlertSeam() { setAlertSeam(prev_); }
  ScopedAlertSeam(const ScopedAlertSeam&) = delete;
  ScopedAlertSeam& operator=(const ScopedAlertSeam&) = delete;

 private:
  AlertSeam* prev_;
};

// One message box: plain text, selectable, the buttons in order; returns the
// index chosen. A text too tall for the screen scrolls in a dialog that fits it.
int showAlertBox(const std::string& title, const std::string& msg,
                 const std::vector<std::string>& buttons);

}  // namespace vlm
