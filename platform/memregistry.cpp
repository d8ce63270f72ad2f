// The in-memory registry: property values, nodes and the tree that holds them.
#include <utility>

#include "platform/registry.h"

namespace vlm {

// --- property values -------------------------------------------------------------

RegValue RegValue::Bool(bool b) {
  RegValue v;
  v.type = Type::Boolean;
  v.boolean = b;
  return v;
}

RegValue RegValue::Num(long long n, bool exact) {
  RegValue v;
  v.type = Type::Number;
  v.number = n;
  v.exact = exact;
  return v;
}

RegValue RegValue::Str(std::string s) {
  RegValue v;
  v.type = Type::String;
  v.bytes = std::move(s);
  return v;
}

RegValue RegValue::LargeStr() {
  RegValue v;
  v.type = Type::String;
  v.bytesAvailable = false;
  return v;
}

RegValue RegValue::Data(std::string raw) {
  RegValue v;
  v.type = Type::Data;
  v.bytes = std::move(raw);
  return v;
}

RegValue RegValue::Dict(std::vector<std::pair<std::string, RegValue>> e) {
  RegValue v;
  v.type = Type::Dictionary;
  v.entries = std::move(e);
  return v;
}

RegValue RegValue::Array(std::vector<RegValue> items) {
  RegValue v;
  v.type = Type::Array;
  v.items = std::move(items);
  return v;
}

RegValue RegValue::Set(std::vector<RegValue> items) {
  RegValue v;
  v.type = Type::Set;
  v.items = std::move(items);
  return v;
}

RegValue RegValue::Unknown() { return RegValue{}; }

const RegValue* RegValue::find(const std::string& key) const {
  if (type != Type::Dictionary) return nullptr;
  for (const auto& [k, v] : entries)
    if (k == key) return &v;
  return nullptr;
}

// --- nodes -----------------------------------------------------------------------
// The tree has one plane; every plane name sees the same objects.

bool MemRegistry::Node::className(std::string& out) const {
  if (failClass) return false;
  out = cls;
  return true;
}

bool MemRegistry::Node::nameInPlane(const std::string&, std::string& out) const {
  if (failName) return false;
  out = name;
  return true;
}

bool MemRegistry::Node::locationInPlane(const std::string&, std::string& out) const {
  if (!location) return false;
  out = *location;
  return true;
}

bool MemRegistry::Node::children(const std::string&, std::vector<const RegEntry*>& out) const {
  if (failChildren) return false;
  out.assign(kids.begin(), kids.end());
  return true;
}

std::optional<RegValue> MemRegistry::Node::property(const std::string& key) const {
  for (const auto& [k, v] : props)
    if (k == key) return v;
  return std::nullopt;
}

bool MemRegistry::Node::properties(RegValue& out) const {
  if (failProps) return false;
  if (propsNotDict) {
    // What a broken driver might publish: a table that is not a dictionary.
    out = RegValue::Array();
    return true;
  }
  out = RegValue::Dict(props);
  return true;
}

MemRegistry::Node& MemRegistry::Node::set(const std::string& key, RegValue v) {
  for (auto& [k, old] : props) {
    if (k == key) {
      old = std::move(v);
      return *this;
    }
  }
  props.emplace_back(key, std::move(v));
  return *this;
}

// --- the tree ----------------------------------------------------------------------

MemRegistry::MemRegistry() {
  nodes_.push_back(std::make_unique<Node>());
  root_ = nodes_.back().get();
  root_->cls = "IORegistryEntry";
  root_->name = "Root";
}

MemRegistry::Node& MemRegistry::add(Node& parent, std::string cls, std::string name,
                                    std::optional<std::string> location) {
  nodes_.push_back(std::make_unique<Node>());
  Node& n = *nodes_.back();
  n.cls = std::move(cls);
  n.name = std::move(name);
  n.location = std::move(location);
  parent.kids.push_back(&n);
  return n;
}

}  // namespace vlm
