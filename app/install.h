// Installation of the test utility: it must be a regular file owned by root
// with mode 4711 to run as root.
#pragma once

#include <string>
#include <vector>

// Checks perfutilpath once at launch and, on the user's consent, installs the
// utility with administrator rights.
void autoauth();
// Runs the owner and mode commands on path with administrator rights.
void rootybin(const char* path);

namespace vlm {

// Runs one command (argv[0] a full path), waits for it and returns its exit
// status: 0 on success, non-zero when it failed or could not be started.
class PrivilegedRunner {
 public:
  virtual ~PrivilegedRunner() = default;
  virtual int run(const std::vector<std::string>& argv) = 0;
};

// Installs a runner (nullptr: the real one, fork and execv). Returns the previous one.
PrivilegedRunner* setPrivilegedRunner(PrivilegedRunner* runner);

// The commands rootybin runs for path, in order; each runs only when the one
// before succeeded. As root: chown root:root, then chmod 4711 (a change of
// owner clears the set-user-ID bit). Otherwise one pkexec call that runs both
// under a single password prompt.
std::vector<std::vector<std::string>> rootycommands(const char* path, bool asroot);

}  // namespace vlm
