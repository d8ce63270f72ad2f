// Installation of the test utility. The bundle's vlmperfutil is the source;
// the program's installer (vlmperfinstall, beside it in the bundle) copies it,
// as root, into a root-owned directory as a regular file owned by root with
// mode 4711. That copy is what an ordinary user runs.
#pragma once

#include <string>
#include <vector>

// The installed copy: VLM_UTILITY_DIR/vlmperfutil (replaceable by tests).
extern const char* perfutilcopy;

// Checks the installed copy once at launch and, on the user's consent,
// installs it from the bundle's utility. Afterwards perfutilpath names what
// the tests run: the copy, or for root the bundle's own utility.
void autoauth();
// Runs the installer on path (the bundle's utility) with administrator rights;
// true when it succeeded. A failure is said, for an ordinary user with the
// command that root can run instead.
bool rootybin(const char* path);

namespace vlm {

// Runs one command (argv[0] a full path), waits for it and returns its wait
// status (0 on success), with its output in out.
class PrivilegedRunner {
 public:
  virtual ~PrivilegedRunner() = default;
  virtual int run(const std::vector<std::string>& argv, std::string& out) = 0;
};

// Installs a runner (nullptr: the real one). Returns the previous one.
PrivilegedRunner* setPrivilegedRunner(PrivilegedRunner* runner);

// The installer command for source: the bundle's vlmperfinstall, through
// pkexec unless the caller is root.
std::vector<std::string> rootycommand(const char* source, bool asroot);

// The effective user is root; setAsRoot(0 or 1) makes tests see an ordinary
// user or root, setAsRoot(-1) the real answer again.
bool asroot();
void setAsRoot(int root);

// perfutilpath can run a test: for root a program file, for anyone else a
// regular file owned by root with mode 4711 of this build.
bool utilityready();

// The installed copy as an ordinary user's tests need it.
enum class CopyState { Ready, Missing, NotRegular, WrongMode, OtherBuild };
CopyState copystate();
// Both utilities report the same build (vlmperfutil -V); the same path is.
bool samebuild(const char* copy, const char* source);

// Before a test of an ordinary user whose utility can't run: says why and
// offers the installation. True when the utility can run (at once for root).
bool offerinstall();

// argv as one command line for a POSIX shell.
std::string shellquote(const std::vector<std::string>& argv);

// Points perfutilpath at the installed copy unless the process is root, who
// needs no set-user-ID program and runs the bundle's own.
void perfutilselect();

// --install-utility: installs the copy and reports; 0 only when it is in
// place with owner root and mode 4711.
int installUtility();

}  // namespace vlm
