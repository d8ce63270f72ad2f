// The device registry the inventory walks: a tree of objects in a plane, each
// with a class name, a name, an optional location, ordered children, and typed
// property values.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vlm {

struct RegValue {
  enum class Type { Array, Boolean, Data, Dictionary, Number, Set, String, Unknown };
  Type type = Type::Unknown;
  bool boolean = false;
  long long number = 0;
  bool exact = true;            // Number: false when the value did not convert exactly
  std::string bytes;            // Data: raw bytes; String: the text
  bool bytesAvailable = true;   // String: false when the text can't be had as bytes
  std::vector<std::pair<std::string, RegValue>> entries;  // Dictionary, in order
  std::vector<RegValue> items;                            // Array, Set

  static RegValue Bool(bool b);
  static RegValue Num(long long n, bool exact = true);
  static RegValue Str(std::string s);
  static RegValue LargeStr();  // a string whose bytes are not available
  static RegValue Data(std::string raw);
  static RegValue Dict(std::vector<std::pair<std::string, RegValue>> e = {});
  static RegValue Array(std::vector<RegValue> v = {});
  static RegValue Set(std::vector<RegValue> v = {});
  static RegValue Unknown();

  // Dictionary look-up by exact key; nullptr when absent or not a dictionary.
  const RegValue* find(const std::string& key) const;
  bool operator==(const RegValue&) const = default;
};

class RegEntry {
 public:
  virtual ~RegEntry() = default;
  // Each returns false when the platform can't supply the item.
  virtual bool className(std::string& out) const = 0;
  virtual bool nameInPlane(const std::string& plane, std::string& out) const = 0;
  virtual bool locationInPlane(const std::string& plane, std::string& out) const = 0;
  virtual bool children(const std::string& plane, std::vector<const RegEntry*>& out) const = 0;
  // One property by exact key; empty when the object has none.
  virtual std::optional<RegValue> property(const std::string& key) const = 0;
  // The whole property table (normally of type Dictionary).
  virtual bool properties(RegValue& out) const = 0;
};

class Registry {
 public:
  virtual ~Registry() = default;
  virtual const RegEntry* root() const = 0;  // nullptr when there is none
};

// An in-memory registry: built in code, loaded from a fixture, or filled from
// the live machine. Nodes may appear under several parents (link()).
class MemRegistry : public Registry {
 public:
  struct Node : RegEntry {
    std::string cls, name;
    std::optional<std::string> location;
    std::vector<std::pair<std::string, RegValue>> props;
    std::vector<Node*> kids;
    // Failure injection for tests.
    bool failChildren = false, failClass = false, failName = false, failProps = false;
    bool propsNotDict = false;

    bool className(std::string& out) const override;
    bool nameInPlane(const std::string& plane, std::string& out) const override;
    bool locationInPlane(const std::string& plane, std::string& out) const override;
    bool children(const std::string& plane, std::vector<const RegEntry*>& out) const override;
    std::optional<RegValue> property(const std::string& key) const override;
    bool properties(RegValue& out) const override;

    Node& set(const std::string& key, RegValue v);  // replaces or appends
  };

  MemRegistry();
  const RegEntry* root() const override { return noRoot_ ? nullptr : root_; }
  Node& rootNode() { return *root_; }
  void setNoRoot(bool v) { noRoot_ = v; }
  // Appends a new child to parent and returns it.
  Node& add(Node& parent, std::string cls, std::string name,
            std::optional<std::string> location = std::nullopt);
  // Adds an existing node as a further child of parent (reached twice).
  void link(Node& parent, Node& child) { parent.kids.push_back(&child); }
  size_t size() const { return nodes_.size(); }
  const std::vector<std::unique_ptr<Node>>& nodes() const { return nodes_; }

 private:
  std::vector<std::unique_ptr<Node>> nodes_;
  Node* root_;
  bool noRoot_ = false;
};

}  // namespace vlm
