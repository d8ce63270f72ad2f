// The live machine: registry, mount table and volumes read from sysroot and
// the process's mountinfo.
#include "platform/linux.h"
#include "platform/platform.h"

namespace vlm {

Platform linuxPlatform(const std::string& sysroot) {
  std::string root = sysroot.empty() ? std::string("/sys") : sysroot;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  Platform p;
  p.registry = std::make_shared<live::LinuxRegistry>(root);
  p.mounts = std::make_shared<live::LinuxMountTable>(root);
  p.volumes = std::make_shared<live::LinuxVolumeList>(root);
  return p;
}

}  // namespace vlm
