// The interface objects of the controller, made in code: the main window with
// the disk table and its buttons, the progress window and the splash window.
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <QShortcut>
#include <QStatusBar>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "app/appdelegate.h"
#include "perf/testplan.h"
#include "table/pool.h"

namespace {

// Escape and the window's close box ask the running test to stop; the window
// itself stays up until the test has ended. A close that is not the user's
// (the application ending) is accepted.
class ProgressWindow : public QDialog {
 public:
  explicit ProgressWindow(QWidget* parent) : QDialog(parent) {}
  std::function<void()> onCancel;
  void reject() override {
    if (onCancel) onCancel();
  }

 protected:
  void closeEvent(QCloseEvent* e) override {
    if (!e->spontaneous()) return e->accept();
    reject();
    e->ignore();
  }
};

QPushButton* addButton(QHBoxLayout* row, const char* title, QObject* ctx,
                       std::function<void()> action) {
  auto* b = new QPushButton(QString::fromLatin1(title));
  b->setAutoDefault(false);
  b->setAccessibleName(b->text());
  QObject::connect(b, &QPushButton::clicked, ctx, [action = std::move(action)] { action(); });
  row->addWidget(b);
  return b;
}

}  // namespace

void QorConfigureAppDelegate::buildWindows() {
  windowOwner_ = std::make_unique<QMainWindow>();
  window = windowOwner_.get();
  window->setObjectName(QStringLiteral("window"));
  window->setWindowTitle(QStringLiteral("Velmora: Performance Tool"));

  pool = new Pool(this);
  auto* central = new QWidget;
  auto* layout = new QVBoxLayout(central);
  layout->setContentsMargins(8, 8, 8, 8);

  table = new QTableView;
  table->setObjectName(QStringLiteral("table"));
  table->setModel(pool);
  table->setSelectionBehavior(QAbstractItemView::SelectRows);
  table->setSelectionMode(QAbstractItemView::ExtendedSelection);  // rows to copy
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setSortingEnabled(false);
  table->setWordWrap(false);
  table->setShowGrid(false);
  table->setTextElideMode(Qt::ElideRight);
  table->verticalHeader()->hide();
  table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  QHeaderView* header = table->horizontalHeader();
  header->setSectionsClickable(false);
  header->setSectionsMovable(false);
  header->setHighlightSections(false);
  header->setStretchLastSection(false);
  header->setSectionResizeMode(QHeaderView::Interactive);
  header->setMinimumSectionSize(table->fontMetrics().averageCharWidth() * 3);
  for (int i = 0; i < static_cast<int>(pool->columns().size()); ++i)
    table->setColumnWidth(i, pool->columns()[i].width());
  table->setTabKeyNavigation(false);  // Tab goes on to the buttons
  table->setAccessibleName(QStringLiteral("Disks"));
  table->installEventFilter(this);
  table->viewport()->installEventFilter(this);
  // A narrow column dragged wider or narrower: the wide ones give way at once.
  connect(header, &QHeaderView::sectionResized, this, [this](int i) {
    if (i >= 0 && i < static_cast<int>(pool->columns().size()) && !pool->columns()[i].wide()) spreadWideColumns();
  });
  layout->addWidget(table, 1);
  setupline = new QLabel(QStringLiteral(
      "Tests need this build's VLM-Utility installed (owner root, mode 4711): press Test Media "
      "to install it, or run VLM-Performance --install-utility."));
  setupline->setObjectName(QStringLiteral("setupline"));
  setupline->setWordWrap(true);
  setupline->hide();
  layout->addWidget(setupline);

  auto* bar = new QHBoxLayout;
  refresh = addButton(bar, "Refresh", this, [this] { Refresh(); });
  refresh->setObjectName(QStringLiteral("refresh"));
  testmedia = addButton(bar, "Test Media", this, [this] { Testmedia(); });
  testmedia->setObjectName(QStringLiteral("testmedia"));
  // A menu: the timed phases alone, or then the sustained pass.
  writetest = addButton(bar, "Write Test", this, [] {});
  writetest->setText(QStringLiteral("Write Test\u2026"));  // it asks before it writes
  writetest->setObjectName(QStringLiteral("writetest"));
  writetest->setToolTip(QStringLiteral(
      "Write an unnamed test file into the selected volume, as you: sequential and random writes, "
      "each ended by a flush"));
  auto* writes = new QMenu(writetest);
  writes->addAction(QStringLiteral("Write Test"), this, [this] { Writetest(false); });
  sustained = writes->addAction(QStringLiteral("Write Test with the Sustained Pass"), this, [this] { Writetest(true); });
  sustained->setToolTip(QStringLiteral(
      "Then write the whole test file once more as fast as it goes, to find where the drive's write "
      "cache runs out"));
  writetest->setMenu(writes);
  details = addButton(bar, "Details", this, [this] { Details(); });
  details->setObjectName(QStringLiteral("details"));
  QObject::connect(table, &QTableView::doubleClicked, this, [this] { Details(); });
  duration = new QComboBox;
  duration->setObjectName(QStringLiteral("duration"));
  duration->setAccessibleName(QStringLiteral("Test duration"));
  duration->setToolTip(QStringLiteral("Measured time of each of the four phases of a test"));
  // Standard is the utility's own duration: no -s is passed for it.
  duration->addItem(QStringLiteral("Quick (1 s per phase)"), 1);
  duration->addItem(QStringLiteral("Standard (%1 s per phase)").arg(vlm::testplan::kDefaultSeconds), 0);
  duration->addItem(QStringLiteral("Thorough (20 s per phase)"), 20);
  duration->setCurrentIndex(1);
  duration->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);  // its texts whole
  bar->addWidget(duration);
  remember = new QCheckBox(QStringLiteral("Remember results"));
  remember->setObjectName(QStringLiteral("remember"));
  remember->setToolTip(QStringLiteral("At launch, show each disk's figures from its last test in the history"));
  remember->setAccessibleName(QStringLiteral("Remember results"));
  remember->setChecked(true);
  bar->addWidget(remember);
  bar->addStretch(1);
  // In the status bar: the row of buttons keeps its room on a narrow screen.
  pool->refreshtime = new QLabel;
  pool->refreshtime->setObjectName(QStringLiteral("refreshtime"));
  window->statusBar()->addPermanentWidget(pool->refreshtime);
  QPushButton* about = addButton(bar, "About", this, [this] { About(); });
  about->setObjectName(QStringLiteral("about"));
  QPushButton* help = addButton(bar, "Help", this, [this] { Help(); });
  help->setObjectName(QStringLiteral("help"));
  QPushButton* visit = addButton(bar, "Visit", this, [this] { Visit(); });
  visit->setObjectName(QStringLiteral("visit"));
  layout->addLayout(bar);
  QWidget* order[] = {table, refresh, testmedia, writetest, details, duration, remember, about, help, visit};
  connect(table->selectionModel(), &QItemSelectionModel::currentRowChanged, this, [this] { updateWriteTest(); });
  for (size_t i = 1; i < std::size(order); ++i) QWidget::setTabOrder(order[i - 1], order[i]);

  window->setCentralWidget(central);
  // The screen's free area, up to a size the table needs for long names.
  QSize size(1440, 640);
  if (QScreen* screen = QGuiApplication::primaryScreen())
    size = size.boundedTo(screen->availableGeometry().size() - QSize(40, 60));
  window->resize(size);

  buildProgressWindow();
  buildSplashWindow();
  buildShortcuts();
}

void QorConfigureAppDelegate::buildShortcuts() {
  struct {
    QKeySequence keys;
    void (QorConfigureAppDelegate::*action)();
  } const keys[] = {
      {QKeySequence(Qt::Key_F1), &QorConfigureAppDelegate::Help},
      {QKeySequence(Qt::Key_F5), &QorConfigureAppDelegate::Refresh},
      {QKeySequence(Qt::CTRL | Qt::Key_T), &QorConfigureAppDelegate::Testmedia},
  };
  for (const auto& k : keys) {
    auto* sc = new QShortcut(k.keys, window);
    connect(sc, &QShortcut::activated, this, k.action);
  }
  // Escape stops a running test, as the progress window's Cancel does.
  auto* esc = new QShortcut(QKeySequence(Qt::Key_Escape), window);
  connect(esc, &QShortcut::activated, this, [this] {
    if (Testing.load()) Testcancel();
  });
}

namespace {

// Room a cell needs beside its text: the style's margins and a character.
int cellPadding(const QWidget* w) {
  int m = w->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, w) + 1;
  return 2 * m + w->fontMetrics().averageCharWidth();
}

// Room a sign (a warning beside a figure) takes in a cell: the view's icon
// and the style's margins on both its sides.
int signRoom(const QTableView* t) {
  const int icon = t->iconSize().isValid() ? t->iconSize().width()
                                           : t->style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, t);
  return icon + 2 * (t->style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, t) + 1);
}

}  // namespace

void QorConfigureAppDelegate::fitColumns(bool contents) {
  QHeaderView* h = table->horizontalHeader();
  const QFontMetrics fm = table->fontMetrics();
  table->verticalHeader()->setDefaultSectionSize(fm.height() + 6);
  const int pad = cellPadding(table), sign = signRoom(table);
  const int rows = pool->rowCount();
  const auto& cols = pool->columns();
  for (int i = 0; i < static_cast<int>(cols.size()); ++i) {
    int natural = h->sectionSizeHint(i);
    for (int r = 0; r < rows; ++r) {
      const QModelIndex at = pool->index(r, i);
      const int icon = pool->data(at, Qt::DecorationRole).isValid() ? sign : 0;
      natural = std::max(natural, fm.horizontalAdvance(pool->data(at).toString()) + pad + icon);
    }
    if (cols[i].wide()) {
      // Long names don't claim more than forty characters before the spread.
      if (contents) table->setColumnWidth(i, std::min(natural, std::max(wideMinimum(i), 40 * fm.averageCharWidth())));
    } else if (contents || natural > h->sectionSize(i)) {
      table->setColumnWidth(i, natural);
    }
  }
  spreadWideColumns();
}

// A wide column shows at least its title and the first few characters.
int QorConfigureAppDelegate::wideMinimum(int column) const {
  return std::max(table->horizontalHeader()->sectionSizeHint(column),
                  10 * table->fontMetrics().averageCharWidth());
}

// The wide columns take the view's width that the narrow ones leave: each
// its minimum first, then the rest in proportion to their widths now. When
// even the minimums don't fit, the table scrolls.
void QorConfigureAppDelegate::spreadWideColumns() {
  QHeaderView* h = table->horizontalHeader();
  const auto& cols = pool->columns();
  std::vector<int> wide;
  int narrow = 0, now = 0, least = 0;
  for (int i = 0; i < static_cast<int>(cols.size()); ++i) {
    if (!cols[i].wide()) {
      narrow += h->sectionSize(i);
      continue;
    }
    wide.push_back(i);
    now += h->sectionSize(i);
    least += wideMinimum(i);
  }
  const int room = table->viewport()->width() - narrow;
  if (wide.empty() || now <= 0 || room == now) return;
  int extra = std::max(0, room - least);
  for (size_t k = 0; k < wide.size(); ++k) {
    const int i = wide[k];
    const int share = k + 1 == wide.size() ? extra
                                           : static_cast<int>(std::lround(double(h->sectionSize(i)) * extra / now));
    now -= h->sectionSize(i);
    extra -= share;
    table->setColumnWidth(i, wideMinimum(i) + share);
  }
}

void QorConfigureAppDelegate::restoreSettings() {
  QSettings s;
  window->restoreGeometry(s.value(QStringLiteral("window/geometry")).toByteArray());
  // Widths saved under another font no longer fit their texts.
  if (s.value(QStringLiteral("table/font")).toString() == table->font().toString() &&
      table->horizontalHeader()->restoreState(s.value(QStringLiteral("table/columns")).toByteArray()))
    fitted_ = true;
  int i = duration->findData(s.value(QStringLiteral("test/seconds"), 0).toInt());
  if (i >= 0) duration->setCurrentIndex(i);
  remember->setChecked(s.value(QStringLiteral("history/remember"), true).toBool());
}

void QorConfigureAppDelegate::saveSettings() const {
  QSettings s;
  s.setValue(QStringLiteral("window/geometry"), window->saveGeometry());
  s.setValue(QStringLiteral("table/font"), table->font().toString());
  s.setValue(QStringLiteral("table/columns"), table->horizontalHeader()->saveState());
  s.setValue(QStringLiteral("test/seconds"), duration->currentData().toInt());
  s.setValue(QStringLiteral("history/remember"), remember->isChecked());
}

void QorConfigureAppDelegate::copyRows() {
  std::vector<int> rows;
  for (const QModelIndex& i : table->selectionModel()->selectedRows()) rows.push_back(i.row());
  if (rows.empty()) return;
  std::sort(rows.begin(), rows.end());
  QApplication::clipboard()->setText(pool->rowsText(rows));
}

void QorConfigureAppDelegate::buildProgressWindow() {
  // Owned by the main window, and transient for it: it never keeps the
  // application running once the main window is closed.
  auto* w = new ProgressWindow(window);
  w->onCancel = [this] { Testcancel(); };
  pctwindow = w;
  pctwindow->setObjectName(QStringLiteral("pctwindow"));
  pctwindow->setAttribute(Qt::WA_QuitOnClose, false);
  pctwindow->setWindowTitle(QStringLiteral("Testing"));
  auto* layout = new QVBoxLayout(pctwindow);
  pctexpected = new QLabel;
  pctexpected->setObjectName(QStringLiteral("pctexpected"));
  layout->addWidget(pctexpected);
  pctphase = new QLabel;
  pctphase->setObjectName(QStringLiteral("pctphase"));
  layout->addWidget(pctphase);
  Progress = new QProgressBar;
  Progress->setObjectName(QStringLiteral("Progress"));
  Progress->setRange(0, 100);
  Progress->setValue(0);
  Progress->setMinimumWidth(360);
  Progress->setAccessibleName(QStringLiteral("Test progress"));
  layout->addWidget(Progress);
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  addButton(row, "Cancel", this, [this] { Testcancel(); })
      ->setObjectName(QStringLiteral("cancel"));
  layout->addLayout(row);
}

namespace {
QString timeText(int64_t seconds) {
  if (seconds < 60) return QStringLiteral("%1 s").arg(seconds);
  return QStringLiteral("%1 min %2 s").arg(seconds / 60).arg(seconds % 60);
}
}  // namespace

void QorConfigureAppDelegate::setProgressPlan(int seconds) {
  using namespace vlm::testplan;
  runSeconds_ = seconds > 0 ? seconds : kDefaultSeconds;
  pctexpected->setText(QStringLiteral("This test takes about %1: four phases of %2 s each, "
                                      "after a short warm-up.")
                           .arg(timeText((totalMs(runSeconds_) + 999) / 1000))
                           .arg(runSeconds_));
  showPhase(0);
}

void QorConfigureAppDelegate::showPhase(double percent) {
  using namespace vlm::testplan;
  const int phase = phaseAt(percent);
  pctphase->setText(QStringLiteral("Phase %1 of %2: %3, about %4 left")
                        .arg(phase + 1)
                        .arg(kPhases)
                        .arg(QString::fromLatin1(kPhaseNames[phase]))
                        .arg(timeText(secondsLeft(percent, runSeconds_))));
}

void QorConfigureAppDelegate::buildSplashWindow() {
  splashwindow = new QWidget(window, Qt::SplashScreen | Qt::FramelessWindowHint);
  splashwindow->setObjectName(QStringLiteral("splashwindow"));
  splashwindow->setAttribute(Qt::WA_QuitOnClose, false);
  auto* layout = new QVBoxLayout(splashwindow);
  layout->setContentsMargins(32, 24, 32, 24);
  auto* title = new QLabel(QStringLiteral("Velmora: Performance Tool"));
  QFont f = title->font();
  f.setPointSizeF(f.pointSizeF() * 1.6);
  f.setBold(true);
  title->setFont(f);
  layout->addWidget(title);
  layout->addWidget(new QLabel(QStringLiteral("Reading the disks\u2026")));
  splashwindow->adjustSize();
}
