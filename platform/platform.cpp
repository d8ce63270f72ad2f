// The process-wide platform. It is meant to be set once at start-up (the
// command line picks a sysroot or fixture files) before any thread other than
// the user-interface thread exists; tests set it before each rebuild. The
// holder itself is guarded by a mutex so that the first call of platform()
// from two threads builds the live machine once. The reference it returns stays
// valid until the next setPlatform(), so a caller that may outlive a change
// keeps its own copy of the shared pointers (the registry scan does).
//
// setPlatform() with all three members null clears the holder: the next
// platform() builds the live machine again.
#include <mutex>
#include <optional>
#include <utility>

#include "platform/platform.h"

namespace vlm {
namespace {

std::mutex holder_mutex;
std::optional<Platform> holder;

}  // namespace

void setPlatform(Platform p) {
  std::lock_guard<std::mutex> lock(holder_mutex);
  if (!p.registry && !p.mounts && !p.volumes)
    holder.reset();
  else
    holder = std::move(p);
}

Platform& platform() {
  std::lock_guard<std::mutex> lock(holder_mutex);
  if (!holder) holder = linuxPlatform("/sys");
  return *holder;
}

}  // namespace vlm
