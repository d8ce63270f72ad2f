// Support for the window tests: one application object under the offscreen
// platform, machines built in code, and a guard that empties the disk list.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QSettings>
#include <QTemporaryDir>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <functional>
#include <memory>
#include <string>

#include "disk/disk.h"
#include "platform/platform.h"
#include "perf/record.h"
#include "perf/store.h"
#include "table/poolcore.h"
#include "tests/disk/records.h"

namespace guitest {

// The one QApplication of the test program (created on first use, so that
// listing the tests needs no display).
inline QApplication* ensureApp() {
  static QApplication* app = [] {
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (!std::getenv("HOME")) setenv("HOME", "/root", 1);
    static int argc = 1;
    static char name[] = "gui_tests";
    static char* argv[] = {name, nullptr};
    auto* a = new QApplication(argc, argv);  // lives for the whole test program
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0.0"));
    // Settings the window saves stay with the test program.
    static QTemporaryDir settings;
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, settings.path());
    return a;
  }();
  return app;
}

// Processes events until done() or the timeout; true when done.
inline bool spinUntil(const std::function<bool()>& done, int timeoutMs = 5000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > timeoutMs) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// A machine built in code: registry, mount table and volume names.
struct Machine : vlmtest::PlatformParts {
  vlmtest::RegBuilder b;
  Machine() { reg = b.reg; }

  vlm::MemRegistry::Node& disk(int n, const std::string& name, long long size,
                               const std::string& content) {
    auto& ctl = b.node(reg->rootNode(), "IOAHCIController", "ahci" + std::to_string(n));
    auto& drv = b.node(ctl, "IOBlockStorageDriver", "drive" + std::to_string(n));
    auto& m = b.media(drv, "disk" + std::to_string(n), name + " Media", true, size, content);
    return identify(m, n, "");
  }
  vlm::MemRegistry::Node& part(vlm::MemRegistry::Node& whole, int n, int p,
                               const std::string& name, long long size,
                               const std::string& content) {
    auto& m = b.media(whole, "disk" + std::to_string(n) + "s" + std::to_string(p), name, false,
                      size, content);
    return identify(m, n, std::to_string(p));
  }
  // Disk n is the kernel's sd<a+n>, of identity serial-S<n>.
  static vlm::MemRegistry::Node& identify(vlm::MemRegistry::Node& m, int n, const std::string& p) {
    m.set("io-device-location", vlm::RegValue::Str("sd" + std::string(1, char('a' + n)) + p));
    m.set("Device Identity", vlm::RegValue::Str("serial-S" + std::to_string(n) + (p.empty() ? "" : "-part" + p)));
    return m;
  }
  void mount(const std::string& dev, const std::string& on, const std::string& volname) {
    mounts->add("/dev/" + dev, on, "ext4", 4096, 262144, 65536);
    volumes->volumes.push_back({on, true, volname});
  }
};

constexpr const char* kGpt = "GUID_partition_scheme";
constexpr const char* kHfsPlus = "48465300-0000-11AA-AA11-00306543ECAC";

// Two disks: disk0 (256 MiB) with an EFI partition, a mounted HFS+ partition
// "Data" and a product partition; disk1 (1 GiB) with an Apple_HFS partition.
inline Machine smallMachine() {
  Machine m;
  auto& d0 = m.disk(0, "Example Disk", 268435456LL, kGpt);
  m.part(d0, 0, 1, "EFI System Partition", 209715200LL, "C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
  m.part(d0, 0, 2, "Untitled 2", 52428800LL, kHfsPlus);
  m.part(d0, 0, 3, "Mirror Slice", 5242880LL, "Velmora_HFS");
  auto& d1 = m.disk(1, "Spare Drive", 1073741824LL, kGpt);
  m.part(d1, 1, 1, "Old Volume", 1073000000LL, "Apple_HFS");
  m.mount("disk0s2", "/media/data", "Data");
  return m;
}

// The table column of an identifier of vlm::kColumnIds.
inline int column(const char* id) {
  for (int i = 0; i < static_cast<int>(std::size(vlm::kColumnIds)); ++i)
    if (std::strcmp(vlm::kColumnIds[i], id) == 0) return i;
  const char* const window[] = {"Write Seq", "Write Rand", "Write QD32"};  // the window's own, after them
  for (int i = 0; i < 3; ++i)
    if (std::strcmp(window[i], id) == 0) return int(std::size(vlm::kColumnIds)) + i;
  return -1;
}

using ListGuard = vlmtest::ListGuard;

// The result store and the kept test records, empty before and after a test.
struct StoreGuard : vlmtest::StoreGuard {
  StoreGuard() { vlm::forgetRecords(); }
  ~StoreGuard() { vlm::forgetRecords(); }
};

}  // namespace guitest
