// The window's entry: the application object, the alert seam, the controller
// and its launch; or, with --screenshot, one rendering of the window to a PNG.
#include <QApplication>
#include <QIcon>
#include <QMainWindow>
#include <QPixmap>
#include <QTimer>

#include <cstdio>

#include "app/appdelegate.h"
#include "app/cli.h"
#include "app/gui_alerts.h"

#ifndef VLM_VERSION
#define VLM_VERSION ""
#endif

namespace vlm {

namespace {

// Alerts of a screenshot run: written to standard error, and every question
// declined (the last button), so that a picture never installs anything.
class ScreenshotAlertSeam : public ConsoleAlertSeam {
 public:
  int alert(const std::string& title, const std::string& msg,
            const std::vector<std::string>& buttons) override {
    ConsoleAlertSeam::alert(title, msg, buttons);
    return buttons.empty() ? 0 : static_cast<int>(buttons.size()) - 1;
  }
};

int screenshot(QorConfigureAppDelegate& delegate, const std::string& path) {
  delegate.window->show();
  delegate.applicationDidFinishLaunching();
  delegate.splashwindow->close();
  QApplication::processEvents();
  QPixmap shot = delegate.window->grab();
  if (shot.isNull() || !shot.save(QString::fromLocal8Bit(path.c_str()), "PNG")) {
    std::fprintf(stderr, "VLM-Performance: can't write the screenshot %s\n", path.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int guiMain(int argc, char** argv, const CliOptions& opts) {
  static int qargc;  // QApplication keeps a reference to it
  qargc = argc;
  QApplication app(qargc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("VLM-Performance"));
  QCoreApplication::setOrganizationName(QStringLiteral("Velmora"));
  QCoreApplication::setApplicationVersion(QStringLiteral(VLM_VERSION));
  QGuiApplication::setDesktopFileName(QStringLiteral("vlm-performance"));
  QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("vlm-performance")));
  QApplication::setQuitOnLastWindowClosed(true);

  // Under --screenshot nothing may wait for a user: alerts go to the console.
  UiBridge alertBridge;
  QtAlertSeam windowAlerts(alertBridge);
  ScreenshotAlertSeam consoleAlerts;
  ScopedAlertSeam seam(opts.screenshot.empty() ? static_cast<AlertSeam*>(&windowAlerts)
                                               : &consoleAlerts);
  int rc;
  {
    QorConfigureAppDelegate delegate;
    if (!opts.screenshot.empty()) {
      rc = screenshot(delegate, opts.screenshot);
    } else {
      delegate.restoreSettings();
      delegate.window->show();
      const bool live = opts.registryFile.empty() && opts.mountsFile.empty() && opts.sysroot == "/sys";
      QTimer::singleShot(0, &delegate, [&delegate, live] {
        delegate.applicationDidFinishLaunching();
        if (live) delegate.followHotplug(true);
      });
      rc = app.exec();
      delegate.saveSettings();
    }
    // A test still running: its alerts and window calls return at once, the
    // utility is asked to stop, and its worker is waited for.
    alertBridge.shutdown();
    delegate.shutdown();
  }
  return rc;
}

}  // namespace vlm
