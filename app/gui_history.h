// The History view of one device: each figure over time (a line per phase),
// its tests with date, duration and verdicts; two of them side by side in
// the Details window's Compare view, one deleted, all exported.
#pragma once

#include <QDialog>
#include <QString>

#include <string>
#include <vector>

#include "perf/history.h"

class QChart;
class QTableWidget;

namespace vlm {

class DetailsDialog;

class HistoryDialog : public QDialog {
  Q_OBJECT
 public:
  // device: the history's key (identity, or the name of a device without one).
  HistoryDialog(const std::string& device, const QString& name, QWidget* parent = nullptr);

  QChart* chart() const { return chart_; }
  QTableWidget* table() const { return table_; }
  const std::vector<HistoryTest>& tests() const { return tests_; }

  // The actions behind the buttons, on the selected rows, without their dialogs.
  DetailsDialog* compareSelected();  // two rows: the first with the second beside it
  bool deleteSelected();             // one row, after the question
  // All tests, whole records: JSON lines, or CSV (one row per test) when the
  // name ends in ".csv". False after an alert.
  bool exportTo(const QString& path);

 private:
  void load();
  std::string device_;
  std::vector<HistoryTest> tests_;  // newest first, summaries
  QChart* chart_ = nullptr;
  QTableWidget* table_ = nullptr;
};

}  // namespace vlm
