// Test support for the registry scan: registry trees built in code, the
// platform installed for one test, and the list emptied afterwards.
#pragma once

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "disk/disk.h"
#include "platform/platform.h"

namespace regtree {

using Node = vlm::MemRegistry::Node;
using vlm::RegValue;

// Frees the list (and forgets glodisk) when the test starts and ends.
struct ScanGuard {
  ScanGuard() { clear(); }
  ~ScanGuard() {
    clear();
    vlm::setPlatform({});  // the next platform() is the live machine again
  }
  static void clear() {
    while (diskinfo0) {
      DISKINFO_* next = diskinfo0->next;
      std::free(diskinfo0);
      diskinfo0 = next;
    }
    glodisk = nullptr;
  }
};

// A registry under construction; install() makes it the platform's.
struct Tree {
  std::shared_ptr<vlm::MemRegistry> reg = std::make_shared<vlm::MemRegistry>();

  Node& root() { return reg->rootNode(); }
  Node& add(Node& parent, const std::string& cls, const std::string& name) {
    return reg->add(parent, cls, name);
  }
  // A media object with a BSD name (and whatever else the test sets).
  Node& media(Node& parent, const std::string& name, const std::string& bsd) {
    Node& m = reg->add(parent, "IOMedia", name);
    m.set("BSD Name", RegValue::Str(bsd));
    return m;
  }
  void install() {
    vlm::Platform p;
    p.registry = reg;
    p.mounts = std::make_shared<vlm::MemMountTable>();
    p.volumes = std::make_shared<vlm::MemVolumeList>();
    vlm::setPlatform(p);
  }
};

// The BSD names of the list, in list order.
inline std::vector<std::string> bsdnames() {
  std::vector<std::string> out;
  for (DISKINFO_* r = diskinfo0; r; r = r->next) out.emplace_back(r->bsdname);
  return out;
}

inline DISKINFO_* record(const std::string& bsd) {
  for (DISKINFO_* r = diskinfo0; r; r = r->next)
    if (bsd == r->bsdname) return r;
  return nullptr;
}

}  // namespace regtree
