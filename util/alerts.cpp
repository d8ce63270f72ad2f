#include "util/alerts.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace vlm {
namespace {
ConsoleAlertSeam console_seam;
std::atomic<AlertSeam*> current_seam{nullptr};
std::mutex recording_mutex;
}  // namespace

AlertSeam* setAlertSeam(AlertSeam* seam) { return current_seam.exchange(seam); }

AlertSeam* alertSeam() {
  AlertSeam* s = current_seam.load();
  return s ? s : &console_seam;
}

int ConsoleAlertSeam::alert(const std::string& title, const std::string& msg,
                            const std::vector<std::string>& buttons) {
  std::fflush(stdout);
  std::string line = title + ": " + msg;
  if (!buttons.empty()) {
    line += "  [";
    for (size_t i = 0; i < buttons.size(); ++i) line += (i ? "/" : "") + buttons[i];
    line += "]";
  }
  line += "\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  return 0;
}

int RecordingAlertSeam::alert(const std::string& title, const std::string& msg,
                              const std::vector<std::string>& buttons) {
  std::lock_guard<std::mutex> lock(recording_mutex);
  alerts.push_back({title, msg, buttons});
  if (answers.empty()) return 0;
  int a = answers.front();
  answers.erase(answers.begin());
  return a;
}

void RecordingAlertSeam::quit() {
  std::string msg;
  {
    std::lock_guard<std::mutex> lock(recording_mutex);
    msg = alerts.empty() ? std::string() : alerts.back().msg;
  }
  throw FatalError(msg);
}

}  // namespace vlm

// The panel's results: 1 for the default button, 0 for the alternate one.
int messbox(const char* title, const char* msg, const char* button) {
  vlm::alertSeam()->alert(title ? title : "", msg ? msg : "", {button ? button : ""});
  return 1;
}

int messbox2(const char* title, const char* msg, const char* button1, const char* button2) {
  int choice = vlm::alertSeam()->alert(title ? title : "", msg ? msg : "",
                                       {button1 ? button1 : "", button2 ? button2 : ""});
  return choice == 0 ? 1 : 0;
}

void quit() { vlm::alertSeam()->quit(); }

void zerex(const char* fmt, ...) {
  std::fflush(stdout);
  char buf[4096];
  va_list ap;
  va_start(ap, fmt);
  std::vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  messbox("Velmora: Fatal Error", buf, "Exit");
  quit();
  // At once: no atexit handlers or static destructors, which could race with
  // other threads still running or repeat a forked parent's buffered output.
  std::_Exit(-1);
}
