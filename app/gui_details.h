// The "Details" window of one test record: throughput over each phase and the
// latency histogram as charts, the warnings, the record's figures, and Copy,
// Save… and Compare….
#pragma once

#include <QDialog>
#include <QString>

#include "perf/record.h"

class QChart;
class QPlainTextEdit;
class QTableWidget;

namespace vlm {

class HistoryDialog;

// The rate of a sustained write pass against the bytes written, its knee
// marked (app/gui_details_write.cpp).
QChart* makeSustainedChart(const Record& rec);

class DetailsDialog : public QDialog {
  Q_OBJECT
 public:
  explicit DetailsDialog(const Record& rec, QWidget* parent = nullptr);

  QChart* throughputChart() const { return throughput_; }
  QChart* latencyChart() const { return latency_; }
  QChart* sustainedChart() const { return sustained_; }  // null without a sustained pass
  QTableWidget* figures() const { return figures_; }
  const Record& record() const { return rec_; }

  // The actions behind the buttons, without their file dialogs.
  void copy();
  // JSON, or CSV when the name ends in ".csv". False after an alert.
  bool saveTo(const QString& path);
  // Shows a saved record beside this one; an invalid one is named in an alert
  // and changes nothing. False then.
  bool compareWith(const QString& path);
  void compareWith(const Record& other);
  // The History view of this record's device.
  HistoryDialog* showHistory();

 private:
  void fillFigures();
  Record rec_;
  Record other_;  // the compared record, or null
  QString otherName_;
  QChart* throughput_ = nullptr;
  QChart* latency_ = nullptr;
  QChart* sustained_ = nullptr;
  QPlainTextEdit* warnings_ = nullptr;
  QTableWidget* figures_ = nullptr;
};

}  // namespace vlm
