// The application controller: owns the windows, the table and the progress
// window, runs the launch sequence and carries the window's actions.
#pragma once

#include <QObject>
#include <QPointer>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "app/gui_alerts.h"
#include "platform/sysfsread.h"
#include "app/gui_details.h"
#include "disk/disk.h"
#include "perf/testctl.h"

class QAction;
class QCheckBox;
class QComboBox;
class QDialog;
class QFileInfo;
class QLabel;
class QMainWindow;
class QProgressBar;
class QSocketNotifier;
class QTimer;
class QPushButton;
class QTableView;
class QWidget;
class Pool;
namespace vlm {
class BlockEvents;
}

class QorConfigureAppDelegate : public QObject {
  Q_OBJECT
 public:
  // Opens a URL with the desktop's default handler; true when it did.
  using Opener = std::function<bool(const QUrl&)>;
  static const char* const kHomePage;
  // Replaces the opener of Help and Visit (tests); nullptr restores the desktop's.
  static void setOpener(Opener opener);

  explicit QorConfigureAppDelegate(QObject* parent = nullptr);
  ~QorConfigureAppDelegate() override;

  // Interface objects, made in code before the launch handler runs.
  QMainWindow* window = nullptr;
  Pool* pool = nullptr;
  QTableView* table = nullptr;
  int32_t themode = 0;
  int32_t hasmirror = 0;
  int32_t hashfs = 0;
  int32_t haspicks = 0;
  DISKINFO_* thedisk = nullptr;
  char thedev[64] = {};
  QPushButton* refresh = nullptr;
  QPushButton* testmedia = nullptr;
  QPushButton* writetest = nullptr;  // "Write Test…": enabled for a mounted, writable row
  QAction* sustained = nullptr;      // its menu's choice with the sustained pass
  QPushButton* details = nullptr;
  QPointer<vlm::DetailsDialog> detailswindow;  // the last one opened
  QDialog* pctwindow = nullptr;
  QProgressBar* Progress = nullptr;
  std::atomic<int>* Canceled = nullptr;  // the test control's count of cancel requests
  QWidget* splashwindow = nullptr;
  QComboBox* duration = nullptr;  // seconds per phase of the next test
  QCheckBox* remember = nullptr;  // "Remember results": last figures from the history at launch
  QLabel* setupline = nullptr;    // under the table while tests can't run
  QDialog* helpwindow = nullptr;  // made when Help first needs it
  QLabel* pctexpected = nullptr;  // the progress window's expected duration
  QLabel* pctphase = nullptr;     // and its phase with the time left

  void setWindow(QMainWindow* w) { window = w; }

  // Row height and column widths at the table's font: narrow columns as wide
  // as their title and contents (contents: also narrower than now; otherwise
  // only wider), the wide text columns sharing the rest of the view.
  void fitColumns(bool contents);
  // Window size, column widths and test duration from the last launch, or
  // the defaults for the screen; and back.
  void restoreSettings();
  void saveSettings() const;
  // The selected rows as text on the clipboard.
  void copyRows();

  void applicationDidFinishLaunching();
  bool applicationShouldTerminateAfterLastWindowClosed() const { return true; }
  void SetMode(int mode, DISKINFO_* disk);

  // Actions of the window.
  void Refresh();
  void About();
  void Help();
  void Visit();
  void Testmedia();
  // The write test into the selected row's volume (perf/writectl.cpp).
  void Writetest(bool sustained = false);
  void Testcancel();
  // The last test record of the selected row in its own window.
  void Details();

  // Hot-plug: the kernel's block device events, and changes of the mount
  // table, refresh the list by themselves, one refresh per burst and at most a few a second, never
  // during a rebuild or while a test runs (then once after it). False when
  // the events can't be read; the list then changes on Refresh only.
  bool followHotplug(bool on);
  bool followsHotplug() const { return events_ != nullptr; }

  vlm::TestControl& control() { return *control_; }
  // Cancels a running test and waits for its worker; later worker calls to
  // the window return at once. Called before the application ends.
  void shutdown();

  // The test road's window operations (vlm::TestUi, through testUi()).
  // The worker's calls are carried over to the user-interface thread.
  vlm::TestUi& testUi();
  int uiSelectedRow();  // the current row of the selection, -1 for none
  void uiProgressStart();
  void uiShowProgressWindow(const std::string& title);
  void uiProgressReset();
  void uiProgressSet(double value);
  void uiProgressStop();
  void uiRefresh();

 signals:
  void progressChanged(int value);  // each value the bar takes

 protected:
  // A theme change re-tints the shared cells.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void buildWindows();
  void buildProgressWindow();
  void buildSplashWindow();
  void buildShortcuts();
  bool showHelpWindow(const QFileInfo& doc);
  // The progress window's texts for a run of seconds per phase (0: the
  // utility's own), and for a progress percent of it.
  void setProgressPlan(int seconds);
  void showPhase(double percent);
  void spreadWideColumns();
  // Write Test enabled for the selected row when it can be written; the write
  // columns shown once a row has write figures.
  void updateWriteTest();
  int wideMinimum(int column) const;

  void hotplugEvent();
  void hotplugDue();

  class Ui;
  bool fitted_ = false;     // the columns have their widths (fitted or restored)
  bool measuring_ = false;  // the utility of a test runs (progress window up)
  bool quitting_ = false;   // the user chose to cancel the test and quit
  int runSeconds_ = 0;   // seconds per phase of the test shown in the progress window
  std::unique_ptr<vlm::BlockEvents> events_;
  std::unique_ptr<QSocketNotifier> notifier_;
  vlm::sysfs::UniqueFd mountinfo_;                // polled for its change event
  std::unique_ptr<QSocketNotifier> mountNotifier_;
  QTimer* hotplugTimer_ = nullptr;
  bool hotplugPending_ = false;  // events seen since the last refresh
  bool rebuilding_ = false;      // SetMode is under way
  std::chrono::steady_clock::time_point lastRefresh_{};
  vlm::UiBridge bridge_;
  std::unique_ptr<Ui> ui_;
  std::unique_ptr<QMainWindow> windowOwner_;  // and with it the progress and splash windows
  std::unique_ptr<vlm::TestControl> control_;  // last: its worker ends first
};
