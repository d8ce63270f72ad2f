// One device-name scan serves the registry, the mount table and the volume list
// of a rebuild: they agree on the names even when a device appears meanwhile.
#include <gtest/gtest.h>

#include "platform/linux.h"
#include "tests/platform/fake_sysfs.h"

namespace {

using vlm::live::DevSnapshot;

TEST(DevSnapshot, ARebuildSeesOneScanUntilTheNextFreshOne) {
  vlm::testing::FakeSysfs fs;
  fs.device("devices/pci0000:00/0000:00:1f.2", "pci");
  fs.disk("sdb", "8:16", 2048, "devices/pci0000:00/0000:00:1f.2");
  DevSnapshot snap(fs.root());

  DevSnapshot::Devs first = snap.recent();  // nothing scanned yet: scans
  ASSERT_EQ(first->size(), 1u);
  EXPECT_EQ(first->front().name, "disk0");

  // A disk with a lower device number appears: a fresh scan renumbers, but
  // the rest of the same rebuild keeps the names it started with.
  fs.disk("sda", "8:0", 2048, "devices/pci0000:00/0000:00:1f.2");
  EXPECT_EQ(snap.recent().get(), first.get());

  DevSnapshot::Devs next = snap.fresh();
  ASSERT_EQ(next->size(), 2u);
  EXPECT_EQ(next->front().kernel, "sda");
  EXPECT_EQ(snap.recent().get(), next.get());
}

}  // namespace
