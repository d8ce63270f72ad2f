// The Details window's chart of a sustained write pass: the rate against the
// bytes written, with the point where it fell and stayed lower marked.
#include <QChart>
#include <QLineSeries>
#include <QScatterSeries>
#include <QValueAxis>

#include "app/gui_details.h"

namespace vlm {

QChart* makeSustainedChart(const Record& rec) {
  const Record& s = rec["sustained"];
  auto* c = new QChart;
  c->setTitle(QString::fromStdString(s.value("summary", std::string("Sustained write"))));
  c->legend()->setAlignment(Qt::AlignRight);
  c->setMargins(QMargins(4, 4, 4, 4));
  auto* x = new QValueAxis;
  x->setTitleText(QStringLiteral("GB written"));
  auto* y = new QValueAxis;
  y->setTitleText(QStringLiteral("MB/s"));
  c->addAxis(x, Qt::AlignBottom);
  c->addAxis(y, Qt::AlignLeft);
  auto* curve = new QLineSeries;
  curve->setName(QStringLiteral("Sustained write"));
  const double slice = s.value("sliceMs", 100) / 1000.0;
  double written = 0, top = 1;
  for (const auto& b : s.value("sliceBytes", Record::array())) {
    const double bytes = b.get<double>();
    written += bytes;
    curve->append(written / 1e9, bytes / 1e6 / slice);
    top = std::max(top, bytes / 1e6 / slice);
  }
  c->addSeries(curve);
  const Record& k = s.value("knee", Record(nullptr));
  if (k.is_object()) {
    // A vertical line where the cache ran out, and the two levels beside it.
    auto* knee = new QLineSeries;
    knee->setName(QStringLiteral("Cache runs out"));
    const double at = k.value("bytes", 0.0) / 1e9;
    knee->append(at, 0);
    knee->append(at, top * 1.05);
    c->addSeries(knee);
    auto* levels = new QScatterSeries;
    levels->setName(QStringLiteral("Before and after"));
    levels->append(at / 2, k.value("beforeKBps", 0.0) / 1000);
    levels->append(at + (written / 1e9 - at) / 2, k.value("afterKBps", 0.0) / 1000);
    c->addSeries(levels);
  }
  for (QAbstractSeries* series : c->series()) {
    series->attachAxis(x);
    series->attachAxis(y);
  }
  x->setRange(0, std::max(written / 1e9, 0.001));
  y->setRange(0, top * 1.1);
  y->applyNiceNumbers();
  x->setLabelFormat(QStringLiteral("%.1f"));
  y->setLabelFormat(QStringLiteral("%.0f"));
  return c;
}

}  // namespace vlm
