// Shared by the fixture readers and writers: strict JSON reading with messages
// that name the file and the place, and the writer's layout.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/platform.h"
#include "platform/sysfsread.h"

namespace vlm::fixture {

using json = nlohmann::ordered_json;

constexpr size_t kMaxFile = 64u << 20;  // bytes

// One document being read. Every failure is a FixtureError naming the file,
// the place (a JSON pointer such as /children/0/properties/Size) and the problem.
struct Doc {
  std::string file;

  [[noreturn]] void fail(const std::string& at, const std::string& what) const {
    throw FixtureError(file + ": " + (at.empty() ? "/" : at) + ": " + what);
  }

  static std::string child(const std::string& at, const std::string& key) {
    std::string k;  // JSON pointer escapes
    for (char c : key) k += c == '~' ? "~0" : c == '/' ? "~1" : std::string(1, c);
    return at + "/" + k;
  }
  static std::string child(const std::string& at, size_t i) { return at + "/" + std::to_string(i); }

  const json& member(const json& j, const char* key, const std::string& at) const {
    auto it = j.find(key);
    if (it == j.end()) fail(at, std::string("missing \"") + key + "\"");
    return *it;
  }

  void onlyKeys(const json& j, std::initializer_list<const char*> allowed,
                const std::string& at) const {
    if (!j.is_object()) fail(at, "expected an object");
    for (const auto& item : j.items()) {
      const std::string& k = item.key();
      bool ok = std::any_of(allowed.begin(), allowed.end(), [&](const char* a) { return k == a; });
      if (!ok) fail(at, "unknown key \"" + k + "\"");
    }
  }

  // A text: a JSON string, or {"hex": "..."} for bytes that are not UTF-8.
  std::string text(const json& j, const std::string& at) const {
    if (j.is_string()) return j.get<std::string>();
    if (j.is_object() && j.size() == 1 && j.contains("hex")) return hex(j["hex"], at + "/hex");
    fail(at, "expected a string or {\"hex\": ...}");
  }

  std::string hex(const json& j, const std::string& at) const {
    if (!j.is_string()) fail(at, "expected a string of hex digits");
    const std::string& s = j.get_ref<const std::string&>();
    if (s.size() % 2) fail(at, "odd number of hex digits");
    std::string out;
    for (size_t i = 0; i < s.size(); i += 2) {
      int hi = nibble(s[i]), lo = nibble(s[i + 1]);
      if (hi < 0 || lo < 0) fail(at, "not a hex digit at offset " + std::to_string(hi < 0 ? i : i + 1));
      out += static_cast<char>(hi * 16 + lo);
    }
    return out;
  }

  static int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool boolean(const json& j, const std::string& at) const {
    if (!j.is_boolean()) fail(at, "expected true or false");
    return j.get<bool>();
  }

  // An integer that fits T.
  template <typename T>
  T integer(const json& j, const std::string& at) const {
    if (!j.is_number_integer()) fail(at, "expected an integer");
    if (j.is_number_unsigned()) {
      uint64_t u = j.get<uint64_t>();
      if (u > static_cast<uint64_t>(std::numeric_limits<T>::max())) fail(at, "number out of range");
      return static_cast<T>(u);
    }
    int64_t v = j.get<int64_t>();
    if (v < 0 && (!std::numeric_limits<T>::is_signed ||
                  v < static_cast<int64_t>(std::numeric_limits<T>::min())))
      fail(at, "number out of range");
    return static_cast<T>(v);
  }

  // Saved machines travel in bug reports: only a regular file is read, and
  // only when its size allows, so a FIFO, a device or a huge sparse file is an
  // error at once instead of a hang or an exhausted memory.
  json parse() const {
    int fd;
    do {
      fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) throw FixtureError(file + ": can't open the file");
    sysfs::UniqueFd owner(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0) throw FixtureError(file + ": can't read the file");
    if (!S_ISREG(st.st_mode)) throw FixtureError(file + ": not a regular file");
    if (st.st_size < 0 || static_cast<uint64_t>(st.st_size) > kMaxFile)
      throw FixtureError(file + ": file too large (" + std::to_string(st.st_size) + " bytes, at most " +
                         std::to_string(kMaxFile) + ")");
    std::string body(static_cast<size_t>(st.st_size) + 1, '\0');
    size_t got = 0;
    while (got < body.size()) {
      ssize_t n = ::read(fd, body.data() + got, body.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw FixtureError(file + ": can't read the file");
      if (n == 0) break;
      got += static_cast<size_t>(n);
    }
    if (got > static_cast<size_t>(st.st_size)) throw FixtureError(file + ": file grew while read");
    body.resize(got);
    try {
      return json::parse(body);
    } catch (const json::exception& e) {
      throw FixtureError(file + ": not valid JSON: " + e.what());
    }
  }
};

// A text as JSON: a string when it is UTF-8, else {"hex": "..."}.
json textOut(const std::string& s);
std::string hexOf(const std::string& bytes);
// Writes j, one line per value where it fits in 100 columns.
void writeFile(const std::string& file, const json& j);

}  // namespace vlm::fixture
