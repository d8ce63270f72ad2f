// Look-ups of records by BSD name under case folding, for the passes that
// match many names against the whole list. Each gives the same answer as a
// walk from diskinfo0 taking the first record whose name equals under zcpxcap.
#pragma once

#include <string>
#include <unordered_map>

#include "disk/disk.h"
#include "util/prog.h"

namespace vlm {

// The text as zcpxcap compares it: 'a'..'z' folded, every other byte as it is.
inline std::string foldname(const char* s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(ztocap(static_cast<unsigned char>(c)));
  return out;
}

class NameIndex {
 public:
  // Indexes the list from head; the first record of each folded name wins.
  void build(DISKINFO_* head) {
    first_.clear();
    for (DISKINFO_* p = head; p; p = p->next) add(p);
  }
  // Adds rec unless its folded name is already there; false for a duplicate.
  bool add(DISKINFO_* rec) { return first_.emplace(foldname(rec->bsdname), rec).second; }
  DISKINFO_* find(const char* name) const {
    auto it = first_.find(foldname(name));
    return it == first_.end() ? nullptr : it->second;
  }

 private:
  std::unordered_map<std::string, DISKINFO_*> first_;
};

}  // namespace vlm
