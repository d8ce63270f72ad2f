// The interface objects of the controller, made in code: the main window with
// the disk table and its buttons, the progress window and the splash window.
#include <QCloseEvent>
#include <QDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>

#include "app/appdelegate.h"
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
  table->setSelectionMode(QAbstractItemView::SingleSelection);
  table->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table->setSortingEnabled(false);
  table->setWordWrap(false);
  table->setShowGrid(false);
  table->setTextElideMode(Qt::ElideRight);
  table->verticalHeader()->hide();
  table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 6);
  QHeaderView* header = table->horizontalHeader();
  header->setSectionsClickable(false);
  header->setSectionsMovable(false);
  header->setHighlightSections(false);
  header->setStretchLastSection(false);
  int total = 0;
  for (int i = 0; i < static_cast<int>(pool->columns().size()); ++i) {
    table->setColumnWidth(i, pool->columns()[i].width());
    total += pool->columns()[i].width();
  }
  layout->addWidget(table, 1);

  auto* bar = new QHBoxLayout;
  refresh = addButton(bar, "Refresh", this, [this] { Refresh(); });
  refresh->setObjectName(QStringLiteral("refresh"));
  testmedia = addButton(bar, "Test Media", this, [this] { Testmedia(); });
  testmedia->setObjectName(QStringLiteral("testmedia"));
  bar->addStretch(1);
  pool->refreshtime = new QLabel;
  pool->refreshtime->setObjectName(QStringLiteral("refreshtime"));
  bar->addWidget(pool->refreshtime);
  bar->addStretch(1);
  addButton(bar, "About", this, [this] { About(); })->setObjectName(QStringLiteral("about"));
  addButton(bar, "Help", this, [this] { Help(); })->setObjectName(QStringLiteral("help"));
  addButton(bar, "Visit", this, [this] { Visit(); })->setObjectName(QStringLiteral("visit"));
  layout->addLayout(bar);

  window->setCentralWidget(central);
  window->resize(total + 40, 460);

  buildProgressWindow();
  buildSplashWindow();
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
  layout->addWidget(new QLabel(QStringLiteral("Measuring the device; this takes several minutes.")));
  Progress = new QProgressBar;
  Progress->setObjectName(QStringLiteral("Progress"));
  Progress->setRange(0, 100);
  Progress->setValue(0);
  Progress->setMinimumWidth(360);
  layout->addWidget(Progress);
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  addButton(row, "Cancel", this, [this] { Testcancel(); })
      ->setObjectName(QStringLiteral("cancel"));
  layout->addLayout(row);
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
