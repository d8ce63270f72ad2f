// Test support: hand-made record lists, small registries and mount tables.
#pragma once

#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "util/alerts.h"
#include "disk/disk.h"
#include "perf/store.h"
#include "platform/platform.h"
#include "util/prog.h"

namespace vlmtest {

// Empties the list and the display array when a test ends, also on failure.
struct ListGuard {
  ListGuard() { clear(); }
  ~ListGuard() { clear(); }
  static void clear() {
    diskzap();
    std::free(diskarray);
    diskarray = nullptr;
    ndiskarray = 0;
    disksort_ptr = nullptr;
    disksort_size = 0;
  }
};

// What f raises through zerex (under a recording seam), or "" when it returns.
inline std::string fatalOf(const std::function<void()>& f) {
  vlm::ScopedRecordingSeam seam;
  try {
    f();
  } catch (const vlm::FatalError& e) {
    return e.what();
  }
  return "";
}

// Appends a zero-filled record to the end of the list.
inline DISKINFO_* addrec(const char* bsd, int whole = 0, const char* type = "") {
  auto* rec = static_cast<DISKINFO_*>(std::calloc(1, sizeof(DISKINFO_)));
  zcpfield(rec->bsdname, bsd);
  zcpfield(rec->type, type);
  rec->whole = whole;
  DISKINFO_** tail = &diskinfo0;
  while (*tail) tail = &(*tail)->next;
  *tail = rec;
  return rec;
}

inline DISKINFO_* findrec(const char* bsd) {
  for (DISKINFO_* r = diskinfo0; r; r = r->next)
    if (std::strcmp(r->bsdname, bsd) == 0) return r;
  return nullptr;
}

// A registry of media objects built in code: controller -> drive -> whole
// disk media -> partition media, as the Linux registry lays them out.
struct RegBuilder {
  std::shared_ptr<vlm::MemRegistry> reg = std::make_shared<vlm::MemRegistry>();

  vlm::MemRegistry::Node& node(vlm::MemRegistry::Node& parent, const char* cls,
                               const std::string& name) {
    return reg->add(parent, cls, name);
  }
  vlm::MemRegistry::Node& media(vlm::MemRegistry::Node& parent, const std::string& bsd,
                                const std::string& name, bool whole, long long size,
                                const std::string& content) {
    auto& m = reg->add(parent, "IOMedia", name);
    m.set("BSD Name", vlm::RegValue::Str(bsd));
    m.set("Whole", vlm::RegValue::Bool(whole));
    m.set("Size", vlm::RegValue::Num(size));
    m.set("Content", vlm::RegValue::Str(content));
    m.set("Leaf", vlm::RegValue::Bool(!whole));
    return m;
  }
};

// Installs a platform made of the given parts (absent parts are empty).
struct PlatformParts {
  std::shared_ptr<vlm::MemRegistry> reg = std::make_shared<vlm::MemRegistry>();
  std::shared_ptr<vlm::MemMountTable> mounts = std::make_shared<vlm::MemMountTable>();
  std::shared_ptr<vlm::MemVolumeList> volumes = std::make_shared<vlm::MemVolumeList>();
  void install() const { vlm::setPlatform(vlm::Platform{reg, mounts, volumes}); }
};

// Empties the result store before and after a test.
struct StoreGuard {
  StoreGuard() { clear(); }
  ~StoreGuard() { clear(); }
  static void clear() {
    std::lock_guard<std::mutex> lock(storelock);
    while (diskstat0) {
      DISKSTAT_* next = diskstat0->next;
      std::free(diskstat0);
      diskstat0 = next;
    }
  }
};

}  // namespace vlmtest
