// Partition type names from libfdisk's GPT and DOS tables, read once per process.
#include "platform/parttypes.h"

#include <libfdisk/libfdisk.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

namespace vlm::parttypes {

namespace {

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// GUIDs in upper case and MBR types as "0x83", each with its name.
std::unordered_map<std::string, std::string> load() {
  std::unordered_map<std::string, std::string> names;
  fdisk_context* cxt = fdisk_new_context();
  if (!cxt) return names;
  for (const char* label : {"gpt", "dos"}) {
    fdisk_label* lb = fdisk_get_label(cxt, label);
    if (!lb) continue;
    const bool dos = label[0] == 'd';
    size_t n = fdisk_label_get_nparttypes(lb);
    for (size_t i = 0; i < n; ++i) {
      fdisk_parttype* t = fdisk_label_get_parttype(lb, i);
      const char* nm = t ? fdisk_parttype_get_name(t) : nullptr;
      if (!nm || !*nm) continue;
      std::string key;
      if (dos) {
        char buf[8];
        std::snprintf(buf, sizeof buf, "0x%02X", fdisk_parttype_get_code(t) & 0xFF);
        key = buf;
      } else if (const char* s = fdisk_parttype_get_string(t)) {
        key = upper(s);
      }
      if (!key.empty()) names.emplace(key, nm);
    }
  }
  fdisk_unref_context(cxt);
  return names;
}

}  // namespace

std::string name(const std::string& content) {
  static const std::unordered_map<std::string, std::string> names = load();
  std::string key = upper(content);
  if (key.size() > 2 && key.size() <= 4 && key.rfind("0X", 0) == 0) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", static_cast<int>(std::strtol(key.c_str() + 2, nullptr, 16)) & 0xFF);
    key = buf;
  }
  auto it = names.find(key);
  return it == names.end() ? std::string() : it->second;
}

}  // namespace vlm::parttypes
