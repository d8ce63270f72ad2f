// --dump-registry FILE / --dump-mounts FILE: the machine as fixture files, so
// that --registry FILE --mounts FILE replays what the live listing shows.
#include <cstdio>

#include "app/cli.h"
#include "platform/platform.h"

namespace vlm {

int cliDump(const CliOptions& opts) {
  Platform& p = platform();
  try {
    if (!opts.dumpRegistry.empty()) {
      if (!p.registry) throw FixtureError(opts.dumpRegistry + ": no registry to save");
      dumpRegistry(*p.registry, opts.dumpRegistry);  // one snapshot
    }
    if (!opts.dumpMounts.empty()) {
      if (!p.mounts || !p.volumes) throw FixtureError(opts.dumpMounts + ": no mount table to save");
      dumpMounts(*p.mounts, *p.volumes, opts.dumpMounts);
    }
  } catch (const FixtureError& e) {
    std::fprintf(stderr, "VLM-Performance: %s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace vlm
