#include "table/pool.h"

#include <QApplication>
#include <QLabel>
#include <QStyle>
#include <QThread>

#include <algorithm>
#include <mutex>

#include "perf/record.h"
#include "perf/testctl.h"

Pool* thepool = nullptr;

namespace {

struct ColumnDef {
  const char* title;
  int width;
};
// Titles and widths by the identifiers of vlm::kColumnIds, in table order.
const ColumnDef kColumnDefs[11] = {
    {"Seq", 44},           {"Name", 190},           {"Status", 124},
    {"Size", 84},          {"Info", 260},           {"Mount", 150},
    {"Device", 72},        {"Sequential (KB/s)", 120}, {"Random (KB/s)", 104},
    {"Dual Seq (KB/s)", 112}, {"Threaded (KB/s)", 112},
};
// The write test's columns, after the read figures; hidden until a row has one.
const char* const kWriteIds[3] = {"Write Seq", "Write Rand", "Write QD32"};
const ColumnDef kWriteDefs[3] = {{"Write Seq (KB/s)", 120}, {"Write Rand (KB/s)", 120}, {"Write QD32 (KB/s)", 120}};
const char* const kWritePhases[3] = {"Write sequential", "Write random", "Write random QD32"};

// Ends a model reset even when the rebuild leaves by a fatal error.
struct ResetGuard {
  Pool* model;
  void (Pool::*end)();
  ~ResetGuard() { (model->*end)(); }
};

}  // namespace

CellColors cellColors(int index, const QPalette& palette) {
  // Hues of the seven cells; white leaves the base colour as it is.
  static const QRgb hues[7] = {0, 0x3d7fff, 0x2fa84f, 0xe0b400, 0xff8c1a, 0x8a8a8a, 0xe03131};
  QColor base = palette.color(QPalette::Active, QPalette::Base);
  QColor text = palette.color(QPalette::Active, QPalette::Text);
  if (index <= 0 || index > 6) return {base, text};
  bool dark = base.lightnessF() < 0.5;
  double a = dark ? 0.30 : 0.24;
  QColor hue(hues[index]);
  QColor mixed = QColor::fromRgbF(base.redF() * (1 - a) + hue.redF() * a,
                                  base.greenF() * (1 - a) + hue.greenF() * a,
                                  base.blueF() * (1 - a) + hue.blueF() * a);
  return {mixed, text};
}

Pool::Pool(QObject* parent) : QAbstractTableModel(parent) {
  columns_.reserve(14);
  for (int i = 0; i < 11; ++i)
    columns_.emplace_back(vlm::kColumnIds[i], QString::fromLatin1(kColumnDefs[i].title), kColumnDefs[i].width);
  for (int i = 0; i < 3; ++i)
    columns_.emplace_back(kWriteIds[i], QString::fromLatin1(kWriteDefs[i].title), kWriteDefs[i].width);
  for (VLTableColumn& c : columns_) c.pool = this;
}

void Pool::takeWriteFigures() {
  std::lock_guard<std::recursive_mutex> lock(disklock);
  writes_.assign(size_t(std::max(ndiskarray, 0)), {});
  for (int r = 0; r < ndiskarray; ++r) {
    const DISKINFO_* rec = diskarray[r];
    const auto w = vlm::lastRecord(vlm::writeKey(std::string("disk") + rec->bsdname), rec->devid);
    if (!w) continue;
    WriteFigures& f = writes_[size_t(r)];
    for (const auto& ph : w->value("phases", vlm::Record::array()))
      for (int i = 0; i < 3; ++i)
        if (ph.value("name", "") == kWritePhases[i]) f.kbps[i] = ph.value("kbps", 0LL);
    f.tip = "Written in " + w->value("folder", std::string()) + ", " + w->value("time", std::string());
    if (w->contains("sustained")) f.tip += "\n" + (*w)["sustained"].value("summary", std::string());
  }
}

bool Pool::hasWriteFigures() const {
  for (const WriteFigures& f : writes_)
    if (f.kbps[0] > 0 || f.kbps[1] > 0 || f.kbps[2] > 0) return true;
  return false;
}

vlm::CellValue Pool::value(const std::string& id, int row) const {
  for (int i = 0; i < 3; ++i) {
    if (id != kWriteIds[i]) continue;
    vlm::CellValue v;
    if (row >= 0 && size_t(row) < writes_.size() && writes_[size_t(row)].kbps[i] > 0) {
      v.kind = vlm::CellValue::Kind::Int64;
      v.number = writes_[size_t(row)].kbps[i];
    }
    return v;
  }
  return core_.objectValue(id, row);
}

void Pool::ColorInit() {
  ColorInit(QApplication::instance() ? QApplication::palette() : QPalette());
}

void Pool::ColorInit(const QPalette& palette) {
  Cell* templates[7] = {&CWhite, &CBlue, &CGreen, &CYellow, &COrange, &CGray, &CRed};
  for (int i = 0; i < 7; ++i) {
    CellColors c = cellColors(i, palette);
    // White is the view's own background, so it follows the selection and
    // theme exactly.
    templates[i]->background = i == 0 ? QBrush() : QBrush(c.background);
    templates[i]->foreground = QBrush(c.foreground);
    CArray[i] = templates[i];
  }
  for (int i = 0; i < 7; ++i) {
    ncopies_[i] = *CArray[i];
    NArray[i] = &ncopies_[i];
  }
  for (int i = 0; i < 7; ++i) {
    templates[i]->formatter = nullptr;
    templates[i]->alignment = Qt::AlignLeft | Qt::AlignVCenter;
  }
  for (int i = 0; i < 7; ++i) {
    ncopies_[i].formatter = &NFormat;
    ncopies_[i].alignment = Qt::AlignRight | Qt::AlignVCenter;
  }
}

DISKINFO_* Pool::Reload(const char* dev, int mode) {
  Q_ASSERT(QThread::currentThread() == thread());
  DISKINFO_* found;
  {
    beginResetModel();
    ResetGuard guard{this, &Pool::endResetModel};
    found = core_.Reload(dev, mode);
    takeWriteFigures();
  }
  if (refreshtime) refreshtime->setText(QString::fromStdString(core_.refreshtime()));
  return found;
}

void Pool::FinderNames() { core_.FinderNames(); }

int Pool::SetFinder(const char* name, const char* mount) { return core_.SetFinder(name, mount); }

int Pool::numberOfRowsInTableView() const {
  std::lock_guard<std::recursive_mutex> lock(disklock);
  return ndiskarray;
}

QVariant Pool::objectValueForTableColumn(const VLTableColumn& column, int row) const {
  std::lock_guard<std::recursive_mutex> lock(disklock);
  vlm::CellValue v = value(column.identifier(), row);
  if (v.isNumber()) return QVariant(static_cast<qlonglong>(v.number));
  return QVariant(QString::fromLocal8Bit(v.text.c_str()));
}

QString Pool::displayText(const VLTableColumn& column, int row) const {
  std::lock_guard<std::recursive_mutex> lock(disklock);
  vlm::CellValue v = value(column.identifier(), row);
  if (!v.isNumber()) return QString::fromLocal8Bit(v.text.c_str());
  if (column.identifier() == "Size") return readableSize(v.number);
  const Cell* cell = column.dataCellForRow(row);
  return cell->formatter ? cell->formatter->format(v.number) : QString::number(v.number);
}

QString Pool::rowsText(const std::vector<int>& rows) const {
  // A tab or line break inside a name would cut the cell or the row.
  auto clean = [](QString t) {
    for (QChar& c : t)
      if (c == u'\t' || c == u'\n' || c == u'\r') c = u' ';
    return t.trimmed();
  };
  // The columns shown: the write test's once a row has its figures.
  std::vector<const VLTableColumn*> shown;
  for (const VLTableColumn& c : columns_)
    if (c.identifier().rfind("Write", 0) != 0 || hasWriteFigures()) shown.push_back(&c);
  QStringList lines, cells;
  for (const VLTableColumn* c : shown) cells << clean(c->title());
  lines << cells.join(u'\t');
  std::lock_guard<std::recursive_mutex> lock(disklock);
  for (int row : rows) {
    if (row < 0 || row >= ndiskarray) continue;
    cells.clear();
    for (const VLTableColumn* c : shown) {
      // The window's warning sign, as text.
      const bool sign = vlm::isResultColumn(c->identifier()) && core_.warned(row) &&
                        core_.objectValue(c->identifier(), row).isNumber();
      cells << (sign ? QStringLiteral("\u26A0 ") : QString()) + clean(displayText(*c, row));
    }
    lines << cells.join(u'\t');
  }
  return lines.join(u'\n') + u'\n';
}

int Pool::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : numberOfRowsInTableView();
}

int Pool::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(columns_.size());
}

QVariant Pool::cellRole(const Cell* cell, int role) const {
  const QBrush& b = role == Qt::BackgroundRole ? cell->background : cell->foreground;
  if (b.style() == Qt::NoBrush) return {};
  return b;
}

QVariant Pool::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.column() < 0 || index.column() >= columnCount()) return {};
  std::lock_guard<std::recursive_mutex> lock(disklock);
  const int row = index.row();
  if (row < 0 || row >= ndiskarray) return {};
  const VLTableColumn& col = columns_[index.column()];
  switch (role) {
    case Qt::DisplayRole:
      return displayText(col, row);
    case SortRole:
      return objectValueForTableColumn(col, row);
    case Qt::ToolTipRole: {
      vlm::CellValue v = value(col.identifier(), row);
      if (v.isNumber() && col.identifier().rfind("Write", 0) == 0)
        return QString::fromLocal8Bit(v.str().c_str()) + QLatin1Char('\n') +
               QString::fromStdString(writes_[size_t(row)].tip);
      if (col.identifier() == "Size" && v.isNumber())
        return QStringLiteral("%1 bytes").arg(NFormat.format(v.number));
      if (vlm::isResultColumn(col.identifier()) && v.isNumber()) {
        QString checks = QString::fromLocal8Bit(core_.checksText(row).c_str());
        QString figure = QString::fromLocal8Bit(v.str().c_str());
        QString measured = QString::fromStdString(core_.measuredText(row));
        if (!measured.isEmpty()) figure += QLatin1Char('\n') + measured;
        return checks.isEmpty() ? figure : figure + QLatin1Char('\n') + checks;
      }
      if (col.identifier() == "Mount" && !core_.mountsText(row).empty())
        return QString::fromStdString(core_.mountsText(row));
      if (col.identifier() == "Status" && !core_.typeNameText(row).empty())
        return QString::fromLocal8Bit(v.text.c_str()).trimmed() + QLatin1Char('\n') +
               QString::fromStdString(core_.typeNameText(row));
      if (col.identifier() == "Info") {
        QString info = QString::fromLocal8Bit(v.text.c_str()).trimmed();
        QString link = QString::fromLocal8Bit(core_.linkText(row).c_str());
        return info.isEmpty() ? link : info + QLatin1Char('\n') + link;
      }
      return QString::fromLocal8Bit(v.str().c_str()).trimmed();
    }
    case Qt::DecorationRole:
      // A sign beside figures that a check found wrong.
      if (vlm::isResultColumn(col.identifier()) && core_.warned(row) &&
          core_.objectValue(col.identifier(), row).isNumber() && QApplication::instance())
        return QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning);
      return {};
    case Qt::BackgroundRole:
    case Qt::ForegroundRole:
      return cellRole(col.dataCellForRow(row), role);
    case Qt::TextAlignmentRole:
      return static_cast<int>(col.dataCellForRow(row)->alignment);
    default:
      return {};
  }
}

QVariant Pool::headerData(int section, Qt::Orientation o, int role) const {
  if (o != Qt::Horizontal || section < 0 || section >= columnCount())
    return QAbstractTableModel::headerData(section, o, role);
  const VLTableColumn& col = columns_[section];
  switch (role) {
    case Qt::DisplayRole:
      // The unit on a line of its own keeps the result columns narrow.
      return QString(col.title()).replace(QStringLiteral(" ("), QStringLiteral("\n("));
    case Qt::TextAlignmentRole:
      return static_cast<int>((col.numeric() ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
    case Qt::ToolTipRole:
      if (col.numeric() && col.identifier() != "Seq" && col.identifier() != "Size")
        return QStringLiteral("Kilobytes (1000 bytes) per second");
      return {};
    default:
      return {};
  }
}

Qt::ItemFlags Pool::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}
