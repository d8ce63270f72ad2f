// Fixture files: a registry tree and a mount table with volume names, saved and
// replayed as JSON. The format is described in tests/fixtures/README.md.
//
// Loading is strict: unknown keys, wrong types, missing members, numbers out of
// range and texts that don't fit the fixed fields of a mount record are all
// errors. Every error is a FixtureError whose text names the file, the place in
// the document (a JSON pointer such as /children/0/properties/Size) and the
// problem.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/platform.h"
#include "util/prog.h"

namespace vlm {

// --- the in-memory mount table and volume list ---------------------------------------

int MemMountTable::getfsstat(vlm_statfs* buf, long bufsize, int) {
  if (fail) return -1;
  if (!buf) return static_cast<int>(entries.size());
  if (bufsize < 0) return 0;
  size_t room = static_cast<size_t>(bufsize) / sizeof(vlm_statfs);
  size_t n = std::min(room, entries.size());
  std::copy_n(entries.begin(), n, buf);
  return static_cast<int>(n);
}

vlm_statfs& MemMountTable::add(const std::string& from, const std::string& on,
                               const std::string& fstype, uint32_t bsize, uint64_t blocks,
                               uint64_t bfree) {
  vlm_statfs fs{};
  zcpfield(fs.f_mntfromname, from.c_str());
  zcpfield(fs.f_mntonname, on.c_str());
  zcpfield(fs.f_fstypename, fstype.c_str());
  fs.f_bsize = bsize;
  fs.f_iosize = static_cast<int32_t>(bsize);
  fs.f_blocks = blocks;
  fs.f_bfree = bfree;
  fs.f_bavail = bfree;
  entries.push_back(fs);
  return entries.back();
}

int MemVolumeList::setName(const std::string& path, const std::string& name) {
  if (refuseRename) return 1;
  for (auto& v : volumes) {
    if (v.path == path) {
      v.name = name;
      v.hasName = true;
      return 0;
    }
  }
  return 1;
}

namespace {

using json = nlohmann::ordered_json;
using Node = MemRegistry::Node;

constexpr int kMaxNesting = 200;           // registry levels and nested values
constexpr size_t kMaxFile = 64u << 20;     // bytes

// --- reading ---------------------------------------------------------------------------

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
    for (const auto& [k, v] : j.items()) {
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

  json parse() const {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw FixtureError(file + ": can't open the file");
    std::ostringstream ss;
    ss << in.rdbuf();
    std::string body = ss.str();
    if (in.bad()) throw FixtureError(file + ": can't read the file");
    if (body.size() > kMaxFile) throw FixtureError(file + ": file too large");
    try {
      return json::parse(body);
    } catch (const json::exception& e) {
      throw FixtureError(file + ": not valid JSON: " + e.what());
    }
  }
};

// --- registry: loading ------------------------------------------------------------------

struct PendingRef {
  Node* parent;
  size_t index;
  std::string id, at;
};

struct RegistryLoader : Doc {
  MemRegistry& reg;
  std::map<std::string, Node*> ids;
  std::vector<PendingRef> refs;

  RegistryLoader(std::string f, MemRegistry& r) : Doc{std::move(f)}, reg(r) {}

  RegValue value(const json& j, const std::string& at, int depth) const {
    static const char* kinds[] = {"number", "bool", "string", "largeString", "data",
                                  "dict",   "array", "set",   "unknown"};
    if (depth > kMaxNesting) fail(at, "values nested too deeply");
    if (!j.is_object()) fail(at, "expected a typed value such as {\"number\": 1}");
    std::string kind;
    for (const char* k : kinds) {
      if (!j.contains(k)) continue;
      if (!kind.empty()) fail(at, "a value has exactly one type key (\"" + kind + "\", \"" + k + "\")");
      kind = k;
    }
    if (kind.empty()) fail(at, "expected a typed value such as {\"number\": 1}");
    if (kind == "number") {
      onlyKeys(j, {"number", "exact"}, at);
      bool exact = j.contains("exact") ? boolean(j["exact"], at + "/exact") : true;
      return RegValue::Num(integer<long long>(j["number"], at + "/number"), exact);
    }
    if (kind == "largeString") {
      onlyKeys(j, {"largeString", "text"}, at);
      if (!boolean(j["largeString"], at + "/largeString")) fail(at, "\"largeString\" must be true");
      RegValue v = RegValue::LargeStr();
      if (j.contains("text")) v.bytes = text(j["text"], at + "/text");
      return v;
    }
    onlyKeys(j, {kinds[0], kinds[1], kinds[2], kinds[3], kinds[4], kinds[5], kinds[6], kinds[7],
                 kinds[8]}, at);
    const json& body = j[kind];
    const std::string in = child(at, kind);
    if (kind == "bool") return RegValue::Bool(boolean(body, in));
    if (kind == "string") return RegValue::Str(text(body, in));
    if (kind == "data") return RegValue::Data(hex(body, in));
    if (kind == "dict") return RegValue::Dict(entries(body, in, depth + 1));
    if (kind == "array" || kind == "set") {
      if (!body.is_array()) fail(in, "expected an array");
      std::vector<RegValue> items;
      for (size_t i = 0; i < body.size(); ++i) items.push_back(value(body[i], child(in, i), depth + 1));
      return kind == "array" ? RegValue::Array(std::move(items)) : RegValue::Set(std::move(items));
    }
    if (kind == "unknown") {
      if (!boolean(body, in)) fail(in, "\"unknown\" must be true");
      return RegValue::Unknown();
    }
    fail(at, "unknown value type \"" + kind + "\"");
  }

  // Dictionary entries: an object (ordered), or an array of [key, value] pairs.
  std::vector<std::pair<std::string, RegValue>> entries(const json& j, const std::string& at,
                                                        int depth) const {
    std::vector<std::pair<std::string, RegValue>> out;
    if (j.is_object()) {
      for (const auto& [k, v] : j.items()) out.emplace_back(k, value(v, child(at, k), depth));
    } else if (j.is_array()) {
      for (size_t i = 0; i < j.size(); ++i) {
        const std::string in = child(at, i);
        if (!j[i].is_array() || j[i].size() != 2) fail(in, "expected a [key, value] pair");
        out.emplace_back(text(j[i][0], child(in, 0)), value(j[i][1], child(in, 1), depth));
      }
    } else {
      fail(at, "expected an object or an array of [key, value] pairs");
    }
    return out;
  }

  void failures(const json& j, Node& n, const std::string& at) const {
    if (!j.is_array()) fail(at, "expected an array of failure names");
    for (size_t i = 0; i < j.size(); ++i) {
      const std::string in = child(at, i);
      if (!j[i].is_string()) fail(in, "expected a failure name");
      const std::string f = j[i].get<std::string>();
      if (f == "children") n.failChildren = true;
      else if (f == "class") n.failClass = true;
      else if (f == "name") n.failName = true;
      else if (f == "properties") n.failProps = true;
      else if (f == "notDictionary") n.propsNotDict = true;
      else fail(in, "unknown failure \"" + f + "\"");
    }
  }

  void node(const json& j, Node& n, const std::string& at, int depth) {
    if (depth > kMaxNesting) fail(at, "registry nested too deeply");
    onlyKeys(j, {"class", "name", "location", "id", "properties", "children", "fail", "comment"},
             at);
    n.cls = text(member(j, "class", at), at + "/class");
    n.name = text(member(j, "name", at), at + "/name");
    if (j.contains("location")) n.location = text(j["location"], at + "/location");
    if (j.contains("id")) {
      if (!j["id"].is_string()) fail(at + "/id", "expected a string");
      if (!ids.emplace(j["id"].get<std::string>(), &n).second)
        fail(at + "/id", "id \"" + j["id"].get<std::string>() + "\" used twice");
    }
    if (j.contains("comment") && !j["comment"].is_string()) fail(at + "/comment", "expected a string");
    if (j.contains("properties")) n.props = entries(j["properties"], at + "/properties", 0);
    if (j.contains("fail")) failures(j["fail"], n, at + "/fail");
    if (!j.contains("children")) return;
    const json& kids = j["children"];
    const std::string kat = at + "/children";
    if (!kids.is_array()) fail(kat, "expected an array");
    for (size_t i = 0; i < kids.size(); ++i) {
      const std::string in = child(kat, i);
      if (kids[i].is_object() && kids[i].contains("ref")) {
        onlyKeys(kids[i], {"ref", "comment"}, in);
        if (!kids[i]["ref"].is_string()) fail(in + "/ref", "expected a string");
        refs.push_back({&n, n.kids.size(), kids[i]["ref"].get<std::string>(), in + "/ref"});
        n.kids.push_back(nullptr);  // filled once every id is known
      } else {
        if (!kids[i].is_object()) fail(in, "expected a registry object");
        node(kids[i], reg.add(n, "", ""), in, depth + 1);
      }
    }
  }

  void resolve() {
    for (const auto& r : refs) {
      auto it = ids.find(r.id);
      if (it == ids.end()) fail(r.at, "no object has the id \"" + r.id + "\"");
      r.parent->kids[r.index] = it->second;
    }
    std::set<const Node*> open;
    std::map<const Node*, int> known;
    height(&reg.rootNode(), 0, open, known);
  }

  // The walk must end: an object may be reached twice, never from below itself,
  // and no path (refs included) may be deeper than a file can nest. Returns the
  // height of n's subtree.
  int height(const Node* n, int depth, std::set<const Node*>& open,
             std::map<const Node*, int>& known) const {
    if (depth > kMaxNesting) fail("", "registry nested too deeply through refs");
    if (auto it = known.find(n); it != known.end()) {
      if (depth + it->second > kMaxNesting) fail("", "registry nested too deeply through refs");
      return it->second;
    }
    open.insert(n);
    int h = 0;
    for (const Node* k : n->kids) {
      if (open.count(k)) fail("", "the object \"" + k->name + "\" is its own ancestor");
      h = std::max(h, 1 + height(k, depth + 1, open, known));
    }
    open.erase(n);
    known[n] = h;
    return h;
  }
};

// --- registry: saving -------------------------------------------------------------------

const char* kPlane = "IOService";

bool isUtf8(const std::string& s) {
  try {
    (void)json(s).dump();
    return true;
  } catch (const json::exception&) {
    return false;
  }
}

std::string hexOf(const std::string& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

json textOut(const std::string& s) { return isUtf8(s) ? json(s) : json{{"hex", hexOf(s)}}; }

json valueOut(const RegValue& v);

json entriesOut(const std::vector<std::pair<std::string, RegValue>>& e) {
  std::set<std::string> seen;
  bool plain = true;
  for (const auto& [k, v] : e) plain = plain && isUtf8(k) && seen.insert(k).second;
  if (plain) {
    json o = json::object();
    for (const auto& [k, v] : e) o[k] = valueOut(v);
    return o;
  }
  json a = json::array();
  for (const auto& [k, v] : e) a.push_back(json::array({textOut(k), valueOut(v)}));
  return a;
}

json valueOut(const RegValue& v) {
  using T = RegValue::Type;
  json items = json::array();
  switch (v.type) {
    case T::Number: {
      json o{{"number", v.number}};
      if (!v.exact) o["exact"] = false;
      return o;
    }
    case T::Boolean: return {{"bool", v.boolean}};
    case T::String: {
      if (v.bytesAvailable) return {{"string", textOut(v.bytes)}};
      json o{{"largeString", true}};
      if (!v.bytes.empty()) o["text"] = textOut(v.bytes);
      return o;
    }
    case T::Data: return {{"data", hexOf(v.bytes)}};
    case T::Dictionary: return {{"dict", entriesOut(v.entries)}};
    case T::Array:
    case T::Set:
      for (const auto& i : v.items) items.push_back(valueOut(i));
      return {{v.type == T::Array ? "array" : "set", items}};
    default: return {{"unknown", true}};
  }
}

struct RegistryDumper {
  std::map<const RegEntry*, int> reached;
  std::map<const RegEntry*, std::string> ids;
  std::set<const RegEntry*> written;

  static std::vector<const RegEntry*> kidsOf(const RegEntry* e) {
    std::vector<const RegEntry*> out;
    if (auto* n = dynamic_cast<const Node*>(e))
      out.assign(n->kids.begin(), n->kids.end());
    else if (!e->children(kPlane, out))
      out.clear();
    return out;
  }

  void count(const RegEntry* e) {
    if (reached[e]++) return;
    for (const auto* k : kidsOf(e)) count(k);
  }

  // An object reached more than once gets an id; later reaches refer to it.
  void idOut(const RegEntry* e, json& o) {
    if (reached[e] < 2) return;
    std::string id = "n" + std::to_string(ids.size() + 1);
    ids[e] = id;
    o["id"] = id;
  }

  json entry(const RegEntry* e) {
    if (written.count(e)) return {{"ref", ids.at(e)}};
    written.insert(e);
    json o = json::object();
    json fails = json::array();
    if (auto* n = dynamic_cast<const Node*>(e)) {
      o["class"] = textOut(n->cls);
      o["name"] = textOut(n->name);
      if (n->location) o["location"] = textOut(*n->location);
      idOut(e, o);
      if (!n->props.empty()) o["properties"] = entriesOut(n->props);
      const std::pair<bool, const char*> flags[] = {{n->failChildren, "children"},
          {n->failClass, "class"}, {n->failName, "name"}, {n->failProps, "properties"},
          {n->propsNotDict, "notDictionary"}};
      for (const auto& [on, f] : flags)
        if (on) fails.push_back(f);
    } else {
      genericEntry(e, o, fails);
    }
    if (!fails.empty()) o["fail"] = fails;
    std::vector<const RegEntry*> kids = kidsOf(e);
    if (!kids.empty()) {
      json a = json::array();
      for (const auto* k : kids) a.push_back(entry(k));
      o["children"] = a;
    }
    return o;
  }

  // Any other registry, through its interface only.
  void genericEntry(const RegEntry* e, json& o, json& fails) {
    std::string s;
    if (e->className(s)) o["class"] = textOut(s); else { o["class"] = ""; fails.push_back("class"); }
    if (e->nameInPlane(kPlane, s)) o["name"] = textOut(s); else { o["name"] = ""; fails.push_back("name"); }
    if (e->locationInPlane(kPlane, s)) o["location"] = textOut(s);
    idOut(e, o);
    std::vector<const RegEntry*> tmp;
    if (!e->children(kPlane, tmp)) fails.push_back("children");
    RegValue props;
    if (!e->properties(props)) fails.push_back("properties");
    else if (props.type != RegValue::Type::Dictionary) fails.push_back("notDictionary");
    else if (!props.entries.empty()) o["properties"] = entriesOut(props.entries);
  }
};

// One line per value where it fits in 100 columns, else one member per line.
std::string flat(const json& j) {
  if (!j.is_structured()) return j.dump();
  std::string out(1, j.is_object() ? '{' : '[');
  bool first = true;
  for (auto it = j.begin(); it != j.end(); ++it) {
    if (!first) out += ", ";
    first = false;
    if (j.is_object()) out += json(it.key()).dump() + ": ";
    out += flat(*it);
  }
  return out + (j.is_object() ? '}' : ']');
}

void pretty(const json& j, size_t indent, std::string& out) {
  std::string f = flat(j);
  if (!j.is_structured() || j.empty() || indent + f.size() <= 100) {
    out += f;
    return;
  }
  out += j.is_object() ? "{\n" : "[\n";
  for (auto it = j.begin(); it != j.end(); ++it) {
    if (it != j.begin()) out += ",\n";
    out.append(indent + 2, ' ');
    if (j.is_object()) out += json(it.key()).dump() + ": ";
    pretty(*it, indent + 2, out);
  }
  out += "\n";
  out.append(indent, ' ');
  out += j.is_object() ? '}' : ']';
}

void writeFile(const std::string& file, const json& j) {
  std::string text;
  pretty(j, 0, text);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out) throw FixtureError(file + ": can't create the file");
  out << text << '\n';
  out.close();
  if (!out) throw FixtureError(file + ": can't write the file");
}

// --- mounts ---------------------------------------------------------------------------

template <size_t N>
void fieldIn(const Doc& d, const json& rec, const char* key, char (&field)[N], const std::string& at) {
  const std::string in = at + "/" + key;
  std::string s = d.text(d.member(rec, key, at), in);
  if (s.find('\0') != std::string::npos) d.fail(in, "text holds a NUL byte");
  if (s.size() >= N)
    d.fail(in, "text of " + std::to_string(s.size()) + " bytes does not fit (at most " +
                   std::to_string(N - 1) + ")");
  std::memcpy(field, s.data(), s.size());
}

template <size_t N>
std::string fieldOut(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

template <typename T>
void numberIn(const Doc& d, const json& rec, const char* key, T& out, const std::string& at,
              bool required) {
  if (!required && !rec.contains(key)) return;
  out = d.integer<T>(d.member(rec, key, at), at + "/" + key);
}

vlm_statfs mountIn(const Doc& d, const json& rec, const std::string& at) {
  d.onlyKeys(rec, {"f_bsize", "f_blocks", "f_bfree", "f_bavail", "f_fstypename", "f_mntonname",
                   "f_mntfromname", "f_iosize", "f_files", "f_ffree", "f_fsid", "f_owner",
                   "f_type", "f_flags", "f_fssubtype", "f_reserved", "name", "volume", "comment"},
             at);
  vlm_statfs fs{};
  numberIn(d, rec, "f_bsize", fs.f_bsize, at, true);
  numberIn(d, rec, "f_blocks", fs.f_blocks, at, true);
  numberIn(d, rec, "f_bfree", fs.f_bfree, at, true);
  numberIn(d, rec, "f_bavail", fs.f_bavail, at, true);
  fieldIn(d, rec, "f_fstypename", fs.f_fstypename, at);
  fieldIn(d, rec, "f_mntonname", fs.f_mntonname, at);
  fieldIn(d, rec, "f_mntfromname", fs.f_mntfromname, at);
  numberIn(d, rec, "f_iosize", fs.f_iosize, at, false);
  numberIn(d, rec, "f_files", fs.f_files, at, false);
  numberIn(d, rec, "f_ffree", fs.f_ffree, at, false);
  numberIn(d, rec, "f_fsid", fs.f_fsid, at, false);
  numberIn(d, rec, "f_owner", fs.f_owner, at, false);
  numberIn(d, rec, "f_type", fs.f_type, at, false);
  numberIn(d, rec, "f_flags", fs.f_flags, at, false);
  numberIn(d, rec, "f_fssubtype", fs.f_fssubtype, at, false);
  if (rec.contains("f_reserved")) {
    const json& r = rec["f_reserved"];
    if (!r.is_array() || r.size() != 8) d.fail(at + "/f_reserved", "expected 8 integers");
    for (size_t i = 0; i < 8; ++i) fs.f_reserved[i] = d.integer<uint32_t>(r[i], Doc::child(at + "/f_reserved", i));
  }
  return fs;
}

json mountOut(const vlm_statfs& fs) {
  json o{{"f_mntfromname", textOut(fieldOut(fs.f_mntfromname))},
         {"f_mntonname", textOut(fieldOut(fs.f_mntonname))},
         {"f_fstypename", textOut(fieldOut(fs.f_fstypename))},
         {"f_bsize", fs.f_bsize}, {"f_blocks", fs.f_blocks},
         {"f_bfree", fs.f_bfree}, {"f_bavail", fs.f_bavail}};
  const std::pair<const char*, long long> extra[] = {{"f_iosize", fs.f_iosize},
      {"f_owner", fs.f_owner}, {"f_type", fs.f_type}, {"f_flags", fs.f_flags},
      {"f_fssubtype", fs.f_fssubtype}};
  for (const auto& [k, v] : extra)
    if (v) o[k] = v;
  if (fs.f_files) o["f_files"] = fs.f_files;  // unsigned 64-bit: kept whole
  if (fs.f_ffree) o["f_ffree"] = fs.f_ffree;
  if (fs.f_fsid) o["f_fsid"] = fs.f_fsid;
  if (std::any_of(std::begin(fs.f_reserved), std::end(fs.f_reserved), [](uint32_t r) { return r; }))
    o["f_reserved"] = fs.f_reserved;
  return o;
}

}  // namespace

// --- entry points -----------------------------------------------------------------------

std::shared_ptr<MemRegistry> loadRegistryFixture(const std::string& file) {
  auto reg = std::make_shared<MemRegistry>();
  RegistryLoader loader(file, *reg);
  json j = loader.parse();
  if (!j.is_object()) loader.fail("", "expected the root registry object");
  loader.node(j, reg->rootNode(), "", 0);
  loader.resolve();
  return reg;
}

void dumpRegistry(const Registry& reg, const std::string& file) {
  const RegEntry* root = reg.root();
  if (!root) throw FixtureError(file + ": the registry has no root");
  RegistryDumper d;
  d.count(root);
  writeFile(file, d.entry(root));
}

void loadMountsFixture(const std::string& file, MemMountTable& mounts, MemVolumeList& volumes) {
  Doc d{file};
  json j = d.parse();
  if (!j.is_array()) d.fail("", "expected an array of mount records");
  std::vector<vlm_statfs> entries;
  std::vector<MountedVolume> vols;
  for (size_t i = 0; i < j.size(); ++i) {
    const std::string at = Doc::child("", i);
    entries.push_back(mountIn(d, j[i], at));
    bool listed = j[i].contains("volume") ? d.boolean(j[i]["volume"], at + "/volume") : true;
    if (!listed && j[i].contains("name")) d.fail(at + "/name", "a record that is not a volume has no name");
    if (j[i].contains("comment") && !j[i]["comment"].is_string()) d.fail(at + "/comment", "expected a string");
    if (!listed) continue;
    MountedVolume v;
    v.path = fieldOut(entries.back().f_mntonname);
    if (j[i].contains("name")) {
      v.hasName = true;
      v.name = d.text(j[i]["name"], at + "/name");
    }
    vols.push_back(std::move(v));
  }
  mounts.entries = std::move(entries);
  volumes.volumes = std::move(vols);
}

void dumpMounts(MountTable& mounts, VolumeList& volumes, const std::string& file) {
  int n = mounts.getfsstat(nullptr, 0, MNT_WAIT);
  if (n < 0) throw FixtureError(file + ": the mount table can't be read");
  std::vector<vlm_statfs> buf(static_cast<size_t>(n) + 16);
  n = mounts.getfsstat(buf.data(), static_cast<long>(buf.size() * sizeof(vlm_statfs)), MNT_WAIT);
  if (n < 0) throw FixtureError(file + ": the mount table can't be read");
  std::vector<MountedVolume> vols = volumes.mountedVolumes();
  std::vector<bool> used(vols.size());
  json out = json::array();
  for (int i = 0; i < n; ++i) {
    json o = mountOut(buf[i]);
    const std::string on = fieldOut(buf[i].f_mntonname);
    size_t k = 0;
    while (k < vols.size() && (used[k] || vols[k].path != on)) ++k;
    if (k == vols.size()) {
      o["volume"] = false;
    } else {
      used[k] = true;
      if (vols[k].hasName) o["name"] = textOut(vols[k].name);
    }
    out.push_back(o);
  }
  writeFile(file, out);
}

Platform fixturePlatform(const std::string& registryFile, const std::string& mountsFile) {
  Platform p;
  p.registry = loadRegistryFixture(registryFile);
  auto mounts = std::make_shared<MemMountTable>();
  auto vols = std::make_shared<MemVolumeList>();
  loadMountsFixture(mountsFile, *mounts, *vols);
  p.mounts = mounts;
  p.volumes = vols;
  return p;
}

}  // namespace vlm
