// Linked into every test program: each test process keeps its history (and
// any other user data) in a folder of its own, never in the real home, and
// removes it at exit. The children it starts inherit it.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

struct IsolatedData {
  std::string dir;
  pid_t owner = getpid();
  IsolatedData() {
    char t[] = "/tmp/vlm-data-XXXXXX";
    if (!mkdtemp(t)) return;
    dir = t;
    setenv("XDG_DATA_HOME", t, 1);
  }
  ~IsolatedData() {
    std::error_code ec;
    if (!dir.empty() && getpid() == owner) std::filesystem::remove_all(dir, ec);
  }
} isolated;

}  // namespace
