#include "app/gui_history.h"

#include <QChart>
#include <QChartView>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineSeries>
#include <QPushButton>
#include <QTableWidget>
#include <QValueAxis>
#include <QVBoxLayout>

#include <algorithm>
#include <map>

#include "app/gui_details.h"
#include "util/alerts.h"

namespace vlm {

namespace {

const char* const kPhaseNames[] = {"Sequential", "Random", "Dual", "Threaded"};

QString when(int64_t t) {
  return QDateTime::fromSecsSinceEpoch(t).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

// The verdicts of a test: its warnings and the figures below its usual ones.
QString verdicts(const Record& r) {
  QStringList v;
  for (const auto& s : r.value("slower", Record::array()))
    if (s.is_object()) v << QString::fromStdString(s.value("text", ""));
  for (const auto& w : r.value("warnings", Record::array()))
    if (w.is_string()) v << QString::fromStdString(w.get<std::string>());
  return v.join(QStringLiteral("; "));
}

}  // namespace

HistoryDialog::HistoryDialog(const std::string& device, const QString& name, QWidget* parent)
    : QDialog(parent), device_(device) {
  setObjectName(QStringLiteral("history"));
  setWindowTitle(QStringLiteral("History: %1").arg(name));
  auto* layout = new QVBoxLayout(this);
  chart_ = new QChart;
  chart_->setTitle(QStringLiteral("Figures over time"));
  chart_->legend()->setAlignment(Qt::AlignRight);
  auto* view = new QChartView(chart_);
  view->setRenderHint(QPainter::Antialiasing);
  view->setMinimumHeight(220);
  layout->addWidget(view, 3);

  table_ = new QTableWidget;
  table_->setObjectName(QStringLiteral("tests"));
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setSelectionBehavior(QAbstractItemView::SelectRows);
  table_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  table_->verticalHeader()->hide();
  table_->setAlternatingRowColors(true);
  layout->addWidget(table_, 2);

  auto* bar = new QHBoxLayout;
  auto button = [&](const QString& title, const char* objName, auto action) {
    auto* b = new QPushButton(title);
    b->setObjectName(QLatin1String(objName));
    b->setAutoDefault(false);
    connect(b, &QPushButton::clicked, this, action);
    bar->addWidget(b);
  };
  button(QStringLiteral("Compare"), "compare", [this] {
    if (DetailsDialog* d = compareSelected()) d->show();
  });
  button(QStringLiteral("Delete"), "delete", [this] { deleteSelected(); });
  button(QStringLiteral("Export\u2026"), "export", [this] {
    const QString lines = QStringLiteral("JSON lines (*.jsonl)"), csv = QStringLiteral("Table (*.csv)");
    QString chosen;
    QString f = QFileDialog::getSaveFileName(this, QStringLiteral("Export the history"), QString(),
                                             lines + QStringLiteral(";;") + csv, &chosen);
    if (f.isEmpty()) return;
    if (!f.endsWith(QStringLiteral(".jsonl"), Qt::CaseInsensitive) && !f.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive))
      f += chosen == csv ? QStringLiteral(".csv") : QStringLiteral(".jsonl");
    exportTo(f);
  });
  bar->addStretch(1);
  button(QStringLiteral("Close"), "close", [this] { accept(); });
  layout->addLayout(bar);
  resize(900, 640);
  load();
}

void HistoryDialog::load() {
  tests_ = history().tests(device_, 0, false);
  if (const std::string n = history().takeNotice(); !n.empty()) messbox("History", n.c_str(), "Ok");

  // The chart: MB/s of each phase of each test that ended well, oldest left.
  chart_->removeAllSeries();
  for (QAbstractAxis* a : chart_->axes()) {
    chart_->removeAxis(a);  // the chart gives it back: ours to delete
    delete a;
  }
  auto* x = new QDateTimeAxis;
  x->setFormat(QStringLiteral("yyyy-MM-dd"));
  auto* y = new QValueAxis;
  y->setTitleText(QStringLiteral("MB/s"));
  chart_->addAxis(x, Qt::AlignBottom);
  chart_->addAxis(y, Qt::AlignLeft);
  double top = 1;
  int64_t first = 0, last = 0;
  std::map<std::string, QLineSeries*> lines;
  for (auto it = tests_.rbegin(); it != tests_.rend(); ++it) {
    if (it->result != "Ok") continue;
    for (const auto& ph : it->record.value("phases", Record::array())) {
      if (!ph.is_object() || !ph.contains("kbps") || !ph["kbps"].is_number()) continue;
      QLineSeries*& s = lines[ph.value("name", "")];
      if (!s) {
        s = new QLineSeries;
        s->setName(QString::fromStdString(ph.value("name", "")));
        chart_->addSeries(s);
        s->attachAxis(x);
        s->attachAxis(y);
      }
      const double mbps = ph["kbps"].get<double>() / 1000;
      s->append(double(it->unixTime) * 1000, mbps);
      top = std::max(top, mbps);
    }
    first = first ? first : it->unixTime;
    last = it->unixTime;
  }
  x->setRange(QDateTime::fromSecsSinceEpoch(first), QDateTime::fromSecsSinceEpoch(std::max(last, first + 60)));
  y->setRange(0, top * 1.1);
  y->applyNiceNumbers();
  y->setLabelFormat(QStringLiteral("%.0f"));

  // The list, newest first: figures in MB/s as on the chart.
  QStringList heads{QStringLiteral("Date"), QStringLiteral("Kind"), QStringLiteral("Seconds"), QStringLiteral("Result")};
  for (const char* p : kPhaseNames) heads << QStringLiteral("%1 (MB/s)").arg(QLatin1String(p));
  heads << QStringLiteral("Verdicts");
  table_->clear();
  table_->setColumnCount(int(heads.size()));
  table_->setHorizontalHeaderLabels(heads);
  table_->setRowCount(int(tests_.size()));
  for (int r = 0; r < int(tests_.size()); ++r) {
    const HistoryTest& t = tests_[size_t(r)];
    auto cell = [&](int col, const QString& text, bool right = false) {
      auto* it = new QTableWidgetItem(text);
      if (right) it->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
      table_->setItem(r, col, it);
    };
    cell(0, when(t.unixTime));
    cell(1, QString::fromStdString(t.kind));
    cell(2, QString::number(t.record.value("parameters", Record::object()).value("seconds", 0)), true);
    cell(3, QString::fromStdString(t.result));
    int64_t k[4];
    recordKbps(t.record, k);
    for (int i = 0; i < 4; ++i) cell(4 + i, k[i] > 0 ? QString::number(k[i] / 1000.0, 'f', 1) : QString(), true);
    cell(8, verdicts(t.record));
  }
  table_->horizontalHeader()->setResizeContentsPrecision(100);  // the newest rows, not all
  table_->resizeColumnsToContents();
}

DetailsDialog* HistoryDialog::compareSelected() {
  const QModelIndexList rows = table_->selectionModel()->selectedRows();
  if (rows.size() != 2) {
    messbox("Compare", "Select two tests to compare.", "Ok");
    return nullptr;
  }
  std::optional<Record> a = history().record(tests_[size_t(rows[0].row())].id);
  std::optional<Record> b = history().record(tests_[size_t(rows[1].row())].id);
  if (!a || !b) {
    messbox("Compare", "These tests are no longer in the history.", "Ok");
    return nullptr;
  }
  auto* d = new DetailsDialog(*a, this);
  d->setAttribute(Qt::WA_DeleteOnClose);
  d->compareWith(*b);
  return d;
}

bool HistoryDialog::deleteSelected() {
  const QModelIndexList rows = table_->selectionModel()->selectedRows();
  if (rows.size() != 1) {
    messbox("Delete", "Select one test to delete.", "Ok");
    return false;
  }
  const HistoryTest& t = tests_[size_t(rows[0].row())];
  const std::string q = "Delete the test of " + when(t.unixTime).toStdString() + " from the history?";
  if (messbox2("Delete", q.c_str(), "Delete", "Cancel") != 1) return false;  // 1: the first button
  const bool ok = history().remove(t.id);
  load();
  return ok;
}

bool HistoryDialog::exportTo(const QString& path) {
  const bool csv = path.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive);
  std::string out = csv ? "time,device,kind,seconds,result,sequential kbps,random kbps,dual kbps,threaded kbps,verdicts\r\n" : "";
  for (const HistoryTest& t : history().tests(device_)) {
    if (!csv) {
      out += t.record.dump() + "\n";
      continue;
    }
    int64_t k[4];
    recordKbps(t.record, k);
    out += csvField(t.record.value("time", "")) + "," + csvField(t.name) + "," + csvField(t.kind) + "," +
           std::to_string(t.record.value("parameters", Record::object()).value("seconds", 0)) + "," + csvField(t.result);
    for (int64_t v : k) out += "," + (v > 0 ? std::to_string(v) : std::string());
    out += "," + csvField(verdicts(t.record).toStdString()) + "\r\n";
  }
  std::string err;
  if (writeFileAtomic(path.toStdString(), out, err)) return true;
  messbox("Export", err.c_str(), "Ok");
  return false;
}

}  // namespace vlm
