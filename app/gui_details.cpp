#include "app/gui_details.h"

#include <QApplication>
#include <QChart>
#include <QChartView>
#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QPlainTextEdit>
#include <QLineSeries>
#include <QLocale>
#include <QLogValueAxis>
#include <QPushButton>
#include <QScreen>
#include <QStandardPaths>
#include <QTableWidget>
#include <QValueAxis>
#include <QVBoxLayout>

#include "app/gui_history.h"
#include "util/alerts.h"

namespace vlm {

namespace {

QString qs(const std::string& s) { return QString::fromStdString(s); }

QChart* makeChart(const QString& title) {
  auto* c = new QChart;
  c->setTitle(title);
  c->legend()->setAlignment(Qt::AlignRight);
  c->setMargins(QMargins(4, 4, 4, 4));
  return c;
}

QChartView* view(QChart* c) {
  auto* v = new QChartView(c);
  v->setRenderHint(QPainter::Antialiasing);
  v->setMinimumHeight(220);
  return v;
}

// Throughput in MB/s (10^6 bytes) over each phase, one point per slice.
void fillThroughput(QChart* c, const Record& rec) {
  auto* x = new QValueAxis;
  x->setTitleText(QStringLiteral("seconds into the phase"));
  auto* y = new QValueAxis;
  y->setTitleText(QStringLiteral("MB/s"));
  c->addAxis(x, Qt::AlignBottom);
  c->addAxis(y, Qt::AlignLeft);
  double top = 1, right = 1;
  for (const auto& ph : rec["phases"]) {
    auto* s = new QLineSeries;
    s->setName(qs(ph.value("name", "")));
    const double slice = ph.value("sliceMs", 100) / 1000.0;
    int i = 0;
    for (const auto& b : ph["sliceBytes"]) {
      const double mbps = b.get<double>() / 1e6 / slice;
      s->append((i + 1) * slice, mbps);
      top = std::max(top, mbps);
      right = std::max(right, (i + 1) * slice);
      ++i;
    }
    c->addSeries(s);
    s->attachAxis(x);
    s->attachAxis(y);
  }
  x->setRange(0, right);
  y->setRange(0, top * 1.1);
  x->applyNiceNumbers();
  y->applyNiceNumbers();
  x->setLabelFormat(QStringLiteral("%.1f"));
  y->setLabelFormat(QStringLiteral("%.0f"));
}

// Share of the reads in each histogram bin, at the bin's upper bound in µs.
void fillLatency(QChart* c, const Record& rec) {
  auto* x = new QLogValueAxis;
  x->setTitleText(QStringLiteral("latency, µs (below)"));
  x->setLabelFormat(QStringLiteral("%g"));
  auto* y = new QValueAxis;
  y->setTitleText(QStringLiteral("% of reads"));
  c->addAxis(x, Qt::AlignBottom);
  c->addAxis(y, Qt::AlignLeft);
  double lo = 1e9, hi = 1, top = 1;
  for (const auto& ph : rec["phases"]) {
    auto* s = new QLineSeries;
    s->setName(qs(ph.value("name", "")));
    const double ios = std::max(1.0, ph.value("ios", 0.0));
    for (const auto& bin : ph["histogram"]) {
      const double us = std::max(0.001, bin[0].get<double>() / 1e3);
      const double pct = bin[1].get<double>() * 100 / ios;
      s->append(us, pct);
      lo = std::min(lo, us);
      hi = std::max(hi, us);
      top = std::max(top, pct);
    }
    c->addSeries(s);
    s->attachAxis(x);
    s->attachAxis(y);
  }
  x->setRange(std::min(lo, hi / 10), hi * 2);
  y->setRange(0, top * 1.1);
  y->applyNiceNumbers();
  y->setLabelFormat(QStringLiteral("%.0f"));
}

// Where Save and Compare start: the user's documents, else home.
QString startFolder() {
  const QString docs = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  return !docs.isEmpty() && QDir(docs).exists() ? docs : QDir::homePath();
}

// What a record is called: its model, node and time, those it has.
QString label(const Record& rec) {
  const Record& d = rec["device"];
  QStringList parts;
  for (const std::string& p : {d.value("model", std::string()), d.value("node", std::string()),
                               rec.value("time", std::string())})
    if (!p.empty()) parts << qs(p);
  return parts.join(u' ');
}

// A file name for a record, without its type: model, identity and date,
// "2026-12-07 0547" of its (UTC) time; nothing a file name can't hold.
QString suggestedName(const Record& rec) {
  const Record& d = rec["device"];
  QStringList parts;
  for (const char* key : {"model", "id"})
    if (std::string v = d.value(key, std::string()); !v.empty()) parts << qs(v);
  if (parts.isEmpty()) parts << qs(d.value("name", std::string("disk")));
  const QString t = qs(rec.value("time", std::string()));
  if (t.size() >= 16) parts << t.left(10) + u' ' + t.mid(11, 2) + t.mid(14, 2);
  QString name = parts.join(u' ');
  for (QChar& c : name)
    if (c.unicode() < 0x20 || QStringLiteral("/\\:*?\"<>|").contains(c)) c = u'-';
  return name;
}

// Thousands grouped, as in the disk table; KB/s as whole numbers.
QString number(double v, const std::string& figure) {
  QLocale l;
  l.setNumberOptions(l.numberOptions() & ~QLocale::OmitGroupSeparator);
  return l.toString(v, 'f', figure.find("KB/s") != std::string::npos ? 0 : 1);
}

}  // namespace

DetailsDialog::DetailsDialog(const Record& rec, QWidget* parent) : QDialog(parent), rec_(rec) {
  setObjectName(QStringLiteral("details"));
  const Record& d = rec_["device"];
  setWindowTitle(QStringLiteral("Details: %1 (%2), %3")
                     .arg(qs(d.value("name", "")), qs(d.value("node", "")), qs(rec_.value("time", ""))));
  auto* layout = new QVBoxLayout(this);

  throughput_ = makeChart(QStringLiteral("Throughput per %1 ms").arg(100));
  fillThroughput(throughput_, rec_);
  latency_ = makeChart(QStringLiteral("Latency"));
  fillLatency(latency_, rec_);
  auto* charts = new QHBoxLayout;
  charts->addWidget(view(throughput_), 1);
  charts->addWidget(view(latency_), 1);
  layout->addLayout(charts, 3);
  if (rec_.contains("sustained")) {
    sustained_ = makeSustainedChart(rec_);
    layout->addWidget(view(sustained_), 3);
  }

  QStringList w;
  for (const auto& s : rec_.value("warnings", Record::array())) w << QStringLiteral("Warning: ") + qs(s.get<std::string>());
  for (const auto& s : rec_.value("checks", Record::array())) w << QStringLiteral("Checked: ") + qs(s.get<std::string>());
  w.prepend(QStringLiteral("Result: %1 (exit status %2)").arg(qs(rec_.value("result", ""))).arg(rec_.value("exitStatus", 0)));
  // Read-only text that scrolls past six lines: a long list costs only what is
  // on screen, where a word-wrapped label lays out all of it, again and again.
  warnings_ = new QPlainTextEdit(w.join(QLatin1Char('\n')));
  warnings_->setObjectName(QStringLiteral("warnings"));
  warnings_->setReadOnly(true);
  warnings_->setFrameShape(QFrame::NoFrame);
  warnings_->viewport()->setAutoFillBackground(false);
  const int lines = std::min(int(w.size()), 6);
  warnings_->setFixedHeight(warnings_->fontMetrics().height() * lines +
                            2 * int(warnings_->document()->documentMargin()) + 2);
  warnings_->setVerticalScrollBarPolicy(w.size() > 6 ? Qt::ScrollBarAsNeeded : Qt::ScrollBarAlwaysOff);
  layout->addWidget(warnings_);

  figures_ = new QTableWidget;
  figures_->setObjectName(QStringLiteral("figures"));
  figures_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  figures_->verticalHeader()->hide();
  figures_->verticalHeader()->setDefaultSectionSize(figures_->fontMetrics().height() + 6);
  figures_->setAlternatingRowColors(true);
  layout->addWidget(figures_, 2);
  fillFigures();

  auto* bar = new QHBoxLayout;
  auto button = [&](const QString& title, const char* name, auto action) {
    auto* b = new QPushButton(title);
    b->setObjectName(QLatin1String(name));
    b->setAutoDefault(false);
    connect(b, &QPushButton::clicked, this, action);
    bar->addWidget(b);
  };
  button(QStringLiteral("Copy"), "copy", [this] { copy(); });
  button(QStringLiteral("Save\u2026"), "save", [this] {
    const QString json = QStringLiteral("Test record (*.json)"), csv = QStringLiteral("Table (*.csv)");
    QString chosen;
    QString f = QFileDialog::getSaveFileName(this, QStringLiteral("Save the test record"),
                                             startFolder() + u'/' + suggestedName(rec_), json + QStringLiteral(";;") + csv, &chosen);
    if (f.isEmpty()) return;
    // A name without a type takes the one chosen.
    if (!f.endsWith(QStringLiteral(".json"), Qt::CaseInsensitive) && !f.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive))
      f += chosen == csv ? QStringLiteral(".csv") : QStringLiteral(".json");
    saveTo(f);
  });
  button(QStringLiteral("Compare\u2026"), "compare", [this] {
    QString f = QFileDialog::getOpenFileName(this, QStringLiteral("Compare with a saved test record"), startFolder(),
                                             QStringLiteral("Test record (*.json);;All files (*)"));
    if (!f.isEmpty()) compareWith(f);
  });
  button(QStringLiteral("History\u2026"), "history", [this] { showHistory(); });
  bar->addStretch(1);
  button(QStringLiteral("Close"), "close", [this] { accept(); });
  layout->addLayout(bar);
  // Within the screen: its buttons stay reachable on a small or scaled one.
  QSize size(900, 720);
  if (QScreen* screen = parent ? parent->screen() : QGuiApplication::primaryScreen())
    size = size.boundedTo(screen->availableGeometry().size() - QSize(40, 60));
  resize(size);
}

void DetailsDialog::fillFigures() {
  const bool cmp = !other_.is_null();
  const auto rows = compareRecords(rec_, cmp ? other_ : rec_);
  QStringList heads{QStringLiteral("Figure"), cmp ? label(rec_) : QStringLiteral("This test")};
  if (cmp) heads << otherName_ << QStringLiteral("Ratio");
  figures_->clear();
  figures_->setColumnCount(int(heads.size()));
  figures_->setHorizontalHeaderLabels(heads);
  figures_->setRowCount(int(rows.size()));
  for (int r = 0; r < int(rows.size()); ++r) {
    const Comparison& c = rows[size_t(r)];
    auto cell = [&](int col, const QString& t, bool right) {
      auto* it = new QTableWidgetItem(t);
      if (right) it->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      figures_->setItem(r, col, it);
    };
    cell(0, qs(c.figure), false);
    cell(1, c.mine ? number(*c.mine, c.figure) : QString(), true);
    if (!cmp) continue;
    cell(2, c.theirs ? number(*c.theirs, c.figure) : QString(), true);
    cell(3, c.ratio > 0 ? QString::number(c.ratio, 'f', 2) : QString(), true);
  }
  // Each number next to its name, not across the window from it.
  figures_->resizeColumnsToContents();
}

void DetailsDialog::copy() { QApplication::clipboard()->setText(qs(recordText(rec_))); }

bool DetailsDialog::saveTo(const QString& path) {
  const std::string p = path.toStdString();
  const bool csv = path.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive);
  std::string err;
  if (writeFileAtomic(p, csv ? recordCsv(rec_) : rec_.dump(2) + "\n", err)) return true;
  messbox("Save", err.c_str(), "Ok");
  return false;
}

bool DetailsDialog::compareWith(const QString& path) {
  Record other;
  std::string err;
  if (!loadRecord(path.toStdString(), other, err)) {
    messbox("Compare", ("This file is not a test record that can be compared: " + err).c_str(), "Ok");
    return false;
  }
  compareWith(other);
  return true;
}

void DetailsDialog::compareWith(const Record& other) {
  other_ = other;
  otherName_ = label(other_);
  fillFigures();
}

HistoryDialog* DetailsDialog::showHistory() {
  const Record& d = rec_["device"];
  const std::string id = d.contains("id") && d["id"].is_string() ? d["id"].get<std::string>() : "";
  auto* h = new HistoryDialog(id.empty() ? d.value("name", "") : id, qs(d.value("name", "")), this);
  h->setAttribute(Qt::WA_DeleteOnClose);
  h->show();
  return h;
}

}  // namespace vlm
