// The history database: SQLite's C API, one connection per process.
#include "perf/history.h"

#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "perf/store.h"
#include "util/prog.h"

namespace vlm {

namespace {

// A record's summary, what lists and charts need (a small part of it), as SQL
// over the columns or values named.
std::string summaryOf(const std::string& record, const std::string& result, const std::string& time) {
  return "json_object('result', " + result + ", 'unixTime', " + time +
         ", 'parameters', json_object('seconds', json_extract(" + record + ", '$.parameters.seconds')),"
         " 'phases', (SELECT json_group_array(json_object('name', json_extract(value, '$.name'),"
         " 'kbps', json_extract(value, '$.kbps'))) FROM json_each(" + record + ", '$.phases')),"
         " 'warnings', json(coalesce(json_extract(" + record + ", '$.warnings'), '[]')),"
         " 'slower', json(coalesce(json_extract(" + record + ", '$.slower'), '[]')))";
}

// Each step brings the schema from version i to i + 1 (PRAGMA user_version).
// Only ever append: a file of an older version is brought up step by step.
const std::vector<std::string>& migrations() {
  static const std::vector<std::string> steps = {
      // 1: the tests, whole records, with what the look-ups need beside them.
      "CREATE TABLE tests("
      " id INTEGER PRIMARY KEY,"
      " device TEXT NOT NULL,"   // identity of the medium, '' when unknown
      " name TEXT NOT NULL,"     // diskN... when it ran
      " kind TEXT NOT NULL,"     // read, ...
      " time INTEGER NOT NULL,"  // start, seconds since 1970
      " result TEXT NOT NULL,"
      " record TEXT NOT NULL);"
      "CREATE INDEX tests_device ON tests(device, time);"
      "CREATE INDEX tests_name ON tests(name COLLATE NOCASE, time);",
      // 2: each record's summary ahead of it (a column after the record would
      // be read through its overflow pages), and the launch's look-up from
      // an index alone.
      "CREATE TABLE tests2("
      " id INTEGER PRIMARY KEY, device TEXT NOT NULL, name TEXT NOT NULL, kind TEXT NOT NULL,"
      " time INTEGER NOT NULL, result TEXT NOT NULL, summary TEXT NOT NULL, record TEXT NOT NULL);"
      "INSERT INTO tests2 SELECT id, device, name, kind, time, result, " +
          summaryOf("record", "result", "time") +
          ", record FROM tests;"
          "DROP TABLE tests;"
          "ALTER TABLE tests2 RENAME TO tests;"
          "CREATE INDEX tests_device ON tests(device, time);"
          "CREATE INDEX tests_name ON tests(name COLLATE NOCASE, time);"
          "CREATE INDEX tests_last ON tests(device, kind, result, time);",
  };
  return steps;
}

constexpr int kComparable = 5;        // tests the usual figure is the median of
constexpr int64_t kSlowerTenths = 7;  // below this many tenths of it: slower
const char* const kPhases[] = {"Sequential", "Random", "Dual", "Threaded"};

bool damaged(int rc) { return (rc & 0xff) == SQLITE_CORRUPT || (rc & 0xff) == SQLITE_NOTADB; }

std::string text(const Record& r, const char* key) {
  auto it = r.find(key);
  return it != r.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::string deviceOf(const Record& rec) {
  return rec.contains("device") ? text(rec["device"], "id") : std::string();
}

// A statement, finalized when it goes out of scope.
using Stmt = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;
Stmt prepare(sqlite3* db, const char* sql, int& rc) {
  sqlite3_stmt* s = nullptr;
  rc = sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
  return Stmt(s, &sqlite3_finalize);
}
std::string column(sqlite3_stmt* s, int i) {
  const unsigned char* t = sqlite3_column_text(s, i);
  return t ? reinterpret_cast<const char*>(t) : "";
}

// Selects rows of tests: id, device, name, kind, time, result, and the whole
// record or its summary (what lists and charts need, a small part of it).
const char* const kColumns = "SELECT id, device, name, kind, time, result, ";

HistoryTest rowOf(sqlite3_stmt* s) {
  HistoryTest t;
  t.id = sqlite3_column_int64(s, 0);
  t.device = column(s, 1);
  t.name = column(s, 2);
  t.kind = column(s, 3);
  t.unixTime = sqlite3_column_int64(s, 4);
  t.result = column(s, 5);
  t.record = Record::parse(column(s, 6), nullptr, false);
  return t;
}

// Rows of a statement, or the step's error code.
int collect(sqlite3_stmt* s, std::vector<HistoryTest>& out) {
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) out.push_back(rowOf(s));
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// The owner of a folder, -1 when it can't be read.
long ownerOf(const std::string& dir) {
  struct stat st {};
  return ::stat(dir.c_str(), &st) == 0 ? static_cast<long>(st.st_uid) : -1;
}

}  // namespace

std::string historyPath() {
  // Root keeps its own history: a data folder named in the environment
  // counts only when it is root's too, never a user's folder.
  const char* xdg = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (xdg && xdg[0] == '/' && (geteuid() != 0 || ownerOf(xdg) == 0)) {
    base = xdg;
  } else {
    const char* home = geteuid() == 0 ? nullptr : std::getenv("HOME");
    if (!home || home[0] != '/') {
      const passwd* pw = getpwuid(geteuid());
      home = pw && pw->pw_dir ? pw->pw_dir : "/";
    }
    base = std::string(home) + "/.local/share";
  }
  return base + "/Velmora/history.db";
}

std::string Slower::text() const {
  char buf[160];
  std::snprintf(buf, sizeof buf, "%s is %d%% below this disk's usual %lld MB/s", phase.c_str(), percentBelow,
                static_cast<long long>(std::llround(usualKbps / 1000.0)));
  return buf;
}

void recordKbps(const Record& rec, int64_t out[4]) {
  for (int i = 0; i < 4; ++i) out[i] = 0;
  if (!rec.contains("phases") || !rec["phases"].is_array()) return;
  for (const auto& ph : rec["phases"])
    for (int i = 0; i < 4; ++i)
      if (ph.is_object() && text(ph, "name") == kPhases[i] && ph.contains("kbps") && ph["kbps"].is_number())
        out[i] = ph["kbps"].get<int64_t>();
}

History::History(std::string path) : path_(std::move(path)) {}

History::~History() { close(); }

void History::close() {
  if (db_) sqlite3_close_v2(db_);
  db_ = nullptr;
}

// Nothing kept yet: reading makes no file (a listing leaves no trace).
bool History::absent() const { return !db_ && ::access(path_.c_str(), F_OK) != 0; }

bool History::open() {
  if (db_) return true;
  // The folders, for this user only.
  for (size_t at = path_.find('/', 1); at != std::string::npos; at = path_.find('/', at + 1))
    ::mkdir(path_.substr(0, at).c_str(), 0700);
  int rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
  if (rc == SQLITE_OK) {
    sqlite3_busy_timeout(db_, 10000);
    rc = sqlite3_exec(db_, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  }
  if (rc == SQLITE_OK && migrate()) return true;
  return false;
}

bool History::migrate() {
  int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return false;
  int version = 0;
  {
    Stmt s = prepare(db_, "PRAGMA user_version", rc);
    if (rc == SQLITE_OK && (rc = sqlite3_step(s.get())) == SQLITE_ROW) {
      version = sqlite3_column_int(s.get(), 0);
      rc = SQLITE_OK;
    }
  }
  const int kVersion = static_cast<int>(migrations().size());
  if (rc == SQLITE_OK && version > kVersion) {
    notice_ = "The history " + path_ + " was written by a newer version of the program; this test is not kept in it.";
    rc = SQLITE_READONLY;
  }
  for (int v = version; rc == SQLITE_OK && v < kVersion; ++v) rc = sqlite3_exec(db_, migrations()[size_t(v)].c_str(), nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK && version < kVersion)
    rc = sqlite3_exec(db_, ("PRAGMA user_version=" + std::to_string(kVersion)).c_str(), nullptr, nullptr, nullptr);
  sqlite3_exec(db_, rc == SQLITE_OK ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr);
  return rc == SQLITE_OK;
}

void History::setAside() {
  close();
  char stamp[32];
  const time_t now = std::time(nullptr);
  tm t{};
  localtime_r(&now, &t);
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &t);
  const std::string aside = path_ + ".damaged-" + stamp;
  if (std::rename(path_.c_str(), aside.c_str()) != 0) {
    notice_ = "The history " + path_ + " is damaged and can't be set aside.";
    return;
  }
  // Its journal belongs to it.
  for (const char* part : {"-wal", "-shm"}) {
    const std::string from = path_ + part;
    if (std::rename(from.c_str(), (aside + part).c_str()) != 0) std::remove(from.c_str());
  }
  notice_ = "The history " + path_ + " was damaged: it was set aside as " + aside + " and a new one begun.";
}

template <typename F>
bool History::guarded(const char* what, F body) {
  bool setAsideOnce = false;
  for (int attempt = 0;; ++attempt) {
    int rc = open() ? body() : (db_ ? sqlite3_errcode(db_) : SQLITE_CANTOPEN);
    if (rc == SQLITE_OK) return true;
    if (damaged(rc) && !setAsideOnce) {
      setAsideOnce = true;
      setAside();
      continue;
    }
    // Another process setting the file up (its journal mode, its schema)
    // may hold it past the busy handler: a while longer.
    if (((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED) && attempt < 100) {
      close();
      ::usleep(20000);
      continue;
    }
    // The last failure counts; a file set aside stays told.
    if (notice_.find("set aside as") == std::string::npos) notice_.clear();
    notice_ += std::string(notice_.empty() ? "" : " ") + "Can't " + what + " the history " + path_ + ": " +
               (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc)) + ".";
    close();  // the next call tries anew
    return false;
  }
}

bool History::add(const Record& rec) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  const std::string json = rec.dump();
  return guarded("keep this test in", [&] {
    int rc;
    static const std::string sql = "INSERT INTO tests(device, name, kind, time, result, summary, record) "
                                   "SELECT ?1, ?2, ?3, ?4, ?5, " + summaryOf("?6", "?5", "?4") + ", ?6";
    Stmt s = prepare(db_, sql.c_str(), rc);
    if (rc != SQLITE_OK) return rc;
    const std::string dev = deviceOf(rec), name = rec.contains("device") ? text(rec["device"], "name") : "";
    const std::string kind = rec.contains("kind") ? text(rec, "kind") : "read", result = text(rec, "result");
    sqlite3_bind_text(s.get(), 1, dev.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s.get(), 2, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s.get(), 3, kind.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(s.get(), 4, rec.value("unixTime", int64_t(0)));
    sqlite3_bind_text(s.get(), 5, result.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(s.get(), 6, json.c_str(), static_cast<int>(json.size()), SQLITE_TRANSIENT);
    rc = sqlite3_step(s.get());
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
  });
}

// The tests that rest (a WHERE clause and what follows) selects, with the
// values bind binds.
template <typename B>
std::vector<HistoryTest> History::select(const std::string& rest, bool withRecords, B bind) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  std::vector<HistoryTest> out;
  if (absent()) return out;
  guarded("read", [&] {
    out.clear();
    int rc;
    Stmt s = prepare(db_, (std::string(kColumns) + (withRecords ? "record FROM tests " : "summary FROM tests ") + rest).c_str(), rc);
    if (rc != SQLITE_OK) return rc;
    bind(s.get());
    return collect(s.get(), out);
  });
  return out;
}

std::optional<Record> History::record(int64_t id) {
  std::vector<HistoryTest> t = select("WHERE id = ?1", true, [&](sqlite3_stmt* s) { sqlite3_bind_int64(s, 1, id); });
  if (t.empty() || !t[0].record.is_object()) return std::nullopt;
  return t[0].record;
}

std::vector<HistoryTest> History::tests(const std::string& device, int limit, bool withRecords) {
  return select("WHERE device = ?1 OR (device = '' AND name = ?1 COLLATE NOCASE) ORDER BY time DESC, id DESC LIMIT ?2",
                withRecords, [&](sqlite3_stmt* s) {
                  sqlite3_bind_text(s, 1, device.c_str(), -1, SQLITE_TRANSIENT);
                  sqlite3_bind_int(s, 2, limit > 0 ? limit : -1);
                });
}

std::vector<HistoryDevice> History::devices() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  std::vector<HistoryDevice> out;
  if (absent()) return out;
  guarded("read", [&] {
    out.clear();
    int rc;
    // The bare name comes from the row of max(time): the latest.
    Stmt s = prepare(db_,
                     "SELECT device, name, count(*), max(time) FROM tests "
                     "GROUP BY device, CASE WHEN device = '' THEN lower(name) END ORDER BY max(time) DESC",
                     rc);
    if (rc != SQLITE_OK) return rc;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW)
      out.push_back({column(s.get(), 0), column(s.get(), 1), sqlite3_column_int64(s.get(), 2),
                     sqlite3_column_int64(s.get(), 3)});
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
  });
  return out;
}

std::vector<HistoryTest> History::lastOfEach() {
  // The bare id comes from the row of max(time): each device's latest.
  return select("WHERE id IN (SELECT id FROM (SELECT id, max(time) FROM tests WHERE device <> '' "
                "AND result = 'Ok' AND kind = 'read' GROUP BY device))",
                true, [](sqlite3_stmt*) {});
}

std::vector<Slower> History::slower(const Record& rec) {
  std::vector<Slower> out;
  if (text(rec, "result") != "Ok") return out;
  const std::string dev = deviceOf(rec).empty() && rec.contains("device") ? text(rec["device"], "name") : deviceOf(rec);
  const std::string kind = rec.contains("kind") ? text(rec, "kind") : "read";
  auto seconds = [](const Record& r) {
    return r.contains("parameters") ? r["parameters"].value("seconds", int64_t(0)) : int64_t(0);
  };
  std::vector<int64_t> past[4];
  for (const HistoryTest& t : tests(dev, 200, false)) {
    const Record& r = t.record;
    if (!r.is_object() || t.result != "Ok" || t.kind != kind || seconds(r) != seconds(rec) ||
        !r.value("warnings", Record::array()).empty())
      continue;
    int64_t k[4];
    recordKbps(r, k);
    for (int i = 0; i < 4; ++i)
      if (k[i] > 0 && past[i].size() < kComparable) past[i].push_back(k[i]);
  }
  int64_t now[4];
  recordKbps(rec, now);
  for (int i = 0; i < 4; ++i) {
    if (past[i].size() < kComparable || now[i] <= 0) continue;
    std::sort(past[i].begin(), past[i].end());
    const int64_t usual = past[i][kComparable / 2];
    if (now[i] * 10 >= usual * kSlowerTenths) continue;
    const int below = static_cast<int>(std::lround(100.0 * (usual - now[i]) / usual));
    out.push_back({kPhases[i], now[i], usual, below});
  }
  return out;
}

// A DELETE with its values bound by bind: the tests deleted, 0 when it failed.
template <typename B>
int History::erase(const char* sql, B bind) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  int n = 0;
  guarded("change", [&] {
    int rc;
    Stmt s = prepare(db_, sql, rc);
    if (rc != SQLITE_OK) return rc;
    bind(s.get());
    rc = sqlite3_step(s.get());
    n = sqlite3_changes(db_);
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
  });
  return n;
}

int History::forget(const std::string& device) {
  return erase("DELETE FROM tests WHERE device = ?1 OR (device = '' AND name = ?1 COLLATE NOCASE)",
               [&](sqlite3_stmt* s) { sqlite3_bind_text(s, 1, device.c_str(), -1, SQLITE_TRANSIENT); });
}

bool History::remove(int64_t id) {
  return erase("DELETE FROM tests WHERE id = ?1", [&](sqlite3_stmt* s) { sqlite3_bind_int64(s, 1, id); }) == 1;
}

std::string History::takeNotice() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  std::string n;
  n.swap(notice_);
  return n;
}

namespace {
std::mutex historylock;
std::unique_ptr<History> theHistory;
}  // namespace

History& history() {
  std::lock_guard<std::mutex> g(historylock);
  if (!theHistory) theHistory = std::make_unique<History>(historyPath());
  return *theHistory;
}

void historyReset() {
  std::lock_guard<std::mutex> g(historylock);
  theHistory.reset();
}

std::string historyKeep(const Record& rec) {
  History& h = history();
  h.add(rec);
  const std::string n = h.takeNotice();
  return n.empty() ? n : "\n" + n + "\n";
}

void historySeed() {
  for (const HistoryTest& t : history().lastOfEach()) {
    DISKPERF_ have{};
    if (perfget(t.name.c_str(), t.device.c_str(), have)) continue;  // measured in this run
    DISKSTAT_ e{};
    zcpfield(e.name, t.name.c_str());
    zcpfield(e.devid, t.device.c_str());
    int64_t k[4];
    recordKbps(t.record, k);
    auto fig = [](int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, 0, INT32_MAX)); };
    e.perf.seqkps = fig(k[0]);
    e.perf.randkps = fig(k[1]);
    e.perf.dualkps = fig(k[2]);
    e.perf.threadkps = fig(k[3]);
    const long when = zdtuxto(static_cast<time_t>(t.unixTime));
    e.perf.date = when > 0 && when < INT32_MAX ? static_cast<int32_t>(when) : 0;
    std::string checks;
    for (const auto& s : t.record.value("slower", Record::array()))
      if (s.is_object()) checks += "Warning: " + text(s, "text") + "\n";
    for (const auto& [key, prefix] : {std::pair{"warnings", "Warning: "}, {"checks", "Checked: "}})
      for (const auto& l : t.record.value(key, Record::array()))
        if (l.is_string()) checks += prefix + l.get<std::string>() + "\n";
    zcpfield(e.checks, checks.c_str());
    perfpush(&e);
  }
}

}  // namespace vlm
