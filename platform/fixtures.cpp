// Registry fixtures: a registry tree saved and replayed as JSON (the format is
// described in tests/fixtures/README.md). Loading is strict: unknown keys, wrong
// types, missing members, numbers out of range, unresolved or cyclic refs are
// all FixtureErrors that name the file, the place and the problem.
#include <strings.h>
#include <map>
#include <set>

#include "platform/fixture_json.h"

namespace vlm {
namespace fixture {

namespace {

bool isUtf8(const std::string& s) {
  try {
    (void)json(s).dump();
    return true;
  } catch (const json::exception&) {
    return false;
  }
}

}  // namespace

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

namespace {

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

}  // namespace

void writeFile(const std::string& file, const json& j) {
  std::string text;
  pretty(j, 0, text);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  if (!out) throw FixtureError(file + ": can't create the file");
  out << text << '\n';
  out.close();
  if (!out) throw FixtureError(file + ": can't write the file");
}

}  // namespace fixture

namespace {

using namespace fixture;
using Node = MemRegistry::Node;

constexpr int kMaxNesting = 200;  // registry levels and nested values
const char* kPlane = "IOService";

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
    // A null child is skipped, as the scan skips it.
    out.erase(std::remove(out.begin(), out.end(), nullptr), out.end());
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

namespace {

// A saved machine the scan can list: at least one media object with a device
// name, and every such name "disk" and more.
void checkListable(const MemRegistry& reg, const std::string& file) {
  int media = 0;
  for (const auto& n : reg.nodes()) {
    if (n->cls != "IOMedia" && n->cls != "com_softraid_driver_SoftRAID_Media") continue;
    std::optional<RegValue> v = n->property("BSD Name");
    if (!v) continue;
    ++media;
    std::string name = v->type == RegValue::Type::String ? v->bytes : std::string();
    if (name.size() <= 4 || strncasecmp(name.c_str(), "disk", 4) != 0) {
      std::string shown = name.substr(0, 64), obj = n->name.substr(0, 64);
      for (std::string* t : {&shown, &obj})
        for (char& c : *t)
          if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
      throw FixtureError(file + ": the media object \"" + obj + "\" has the device name \"" + shown +
                         "\", which is not \"disk\" and a number");
    }
  }
  if (media == 0) throw FixtureError(file + ": no media objects: the saved machine has no disk to list");
}

}  // namespace

Platform fixturePlatform(const std::string& registryFile, const std::string& mountsFile) {
  Platform p;
  auto reg = loadRegistryFixture(registryFile);
  checkListable(*reg, registryFile);
  p.registry = reg;
  auto mounts = std::make_shared<MemMountTable>();
  auto vols = std::make_shared<MemVolumeList>();
  loadMountsFixture(mountsFile, *mounts, *vols);
  p.mounts = mounts;
  p.volumes = vols;
  return p;
}
}  // namespace vlm
