// The live machine: registry, mount table and volumes read from sysroot and
// the process's mountinfo.
#include "platform/linux.h"
#include "platform/platform.h"

namespace vlm {

Platform linuxPlatform(const std::string& sysroot, const std::string& udevDir) {
  std::string root = sysroot.empty() ? std::string("/sys") : sysroot;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  const std::string mountinfo = "/proc/self/mountinfo";
  std::string udev = !udevDir.empty() ? udevDir : root == "/sys" ? live::udevDataDir() : std::string();
  auto devs = std::make_shared<live::DevSnapshot>(root, udev);  // one scan per rebuild
  Platform p;
  p.registry = std::make_shared<live::LinuxRegistry>(root, mountinfo, devs);
  p.mounts = std::make_shared<live::LinuxMountTable>(root, mountinfo, devs);
  p.volumes = std::make_shared<live::LinuxVolumeList>(root, mountinfo, devs);
  return p;
}

}  // namespace vlm
