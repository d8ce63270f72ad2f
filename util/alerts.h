// Alerts and the fatal-error path. Every message the system shows goes through
// messbox/messbox2; every unrecoverable error goes through zerex.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

int messbox(const char* title, const char* msg, const char* button);
int messbox2(const char* title, const char* msg, const char* button1, const char* button2);
[[noreturn]] void zerex(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void quit();

namespace vlm {

// Where alerts are shown. The window fills this in; without it alerts go to
// standard error and the first button is taken.
class AlertSeam {
 public:
  virtual ~AlertSeam() = default;
  // Shows one alert and blocks until answered; returns the 0-based index of the
  // button chosen. Text is shown literally.
  virtual int alert(const std::string& title, const std::string& msg,
                    const std::vector<std::string>& buttons) = 0;
  // Asks the application to end (the platform's orderly termination).
  virtual void quit() = 0;
};

// Installs a seam (nullptr: the console seam). Returns the previous one.
AlertSeam* setAlertSeam(AlertSeam* seam);
AlertSeam* alertSeam();

// The console seam: title, message and buttons on standard error, first button taken.
class ConsoleAlertSeam : public AlertSeam {
 public:
  int alert(const std::string& title, const std::string& msg,
            const std::vector<std::string>& buttons) override;
  void quit() override {}
};

// Thrown by RecordingAlertSeam::quit so that a test can catch zerex.
struct FatalError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Test seam: records every alert, answers with a scripted button index
// (default 0), and makes zerex throw FatalError with its message.
class RecordingAlertSeam : public AlertSeam {
 public:
  struct Alert {
    std::string title, msg;
    std::vector<std::string> buttons;
  };
  std::vector<Alert> alerts;
  std::vector<int> answers;  // consumed front to back; empty -> 0
  int alert(const std::string& title, const std::string& msg,
            const std::vector<std::string>& buttons) override;
  void quit() override;
};

// Installs a RecordingAlertSeam for the lifetime of the object (tests).
class ScopedRecordingSeam {
 public:
  ScopedRecordingSeam() : prev_(setAlertSeam(&seam)) {}
  ~ScopedRecordingSeam() { setAlertSeam(prev_); }
  RecordingAlertSeam seam;

 private:
  AlertSeam* prev_;
};

}  // namespace vlm
