#include "perf/vlmperfutil/args.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "perf/vlmperfutil/common.h"
#include "perf/vlmperfutil/device.h"
#include "platform/devnames.h"

namespace vpu {

namespace {

// A cancel ends the process within about a second even when reads in flight
// never complete: the first SIGCONT arms a one-second alarm, which reports the
// cancel if the measurement has not, closes the output so that the reader sees
// its end, and exits. exit() could hang on reads the kernel still holds.
extern "C" void onCont(int) {
  if (gCancel.exchange(1) == 0) alarm(1);
}

extern "C" void onAlarm(int) {
  if (gCancelReported.exchange(1) == 0) {
    static const char kLine[] = "Canceled\n";
    ssize_t w = write(1, kLine, sizeof kLine - 1);
    (void)w;
  }
  unlockDevice();
  close(1);
  close(2);
  _exit(kExitCanceled);
}

// Strict decimal in [lo, hi]: digits only, no sign, no blanks.
bool parseRange(const char* s, int lo, int hi, int& out) {
  if (s[0] == '\0' || strlen(s) > 3) return false;
  int v = 0;
  for (const char* p = s; *p; ++p) {
    if (*p < '0' || *p > '9') return false;
    v = v * 10 + (*p - '0');
  }
  if (v < lo || v > hi) return false;
  out = v;
  return true;
}

}  // namespace

void installCancelHandler() {
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a blocked wait returns at once
  sa.sa_handler = onAlarm;
  sigaction(SIGALRM, &sa, nullptr);
  sa.sa_handler = onCont;
  sigaction(SIGCONT, &sa, nullptr);
}

void sanitiseProcess() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int nfd = open("/dev/null", O_RDWR);
    if (nfd >= 0 && nfd != fd) {
      dup2(nfd, fd);
      close(nfd);
    }
  }
  if (close_range(3, ~0U, 0) != 0) {
    for (int fd = 3; fd < 1024; ++fd) close(fd);
  }
  clearenv();
  // Dispositions survive exec: whatever the parent ignored or caught (SIGINT,
  // SIGQUIT, SIGPIPE, SIGCHLD...) gets its default action here, apart from the
  // two handlers of our own; and no signal stays blocked.
  struct sigaction dfl;
  memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig)
    if (sig != SIGKILL && sig != SIGSTOP && sig != SIGCONT && sig != SIGALRM)
      sigaction(sig, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

std::string buildId() {
  std::string hex;
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* out) {
        // The first object is the program itself.
        for (int i = 0; i < info->dlpi_phnum; ++i) {
          const ElfW(Phdr)& ph = info->dlpi_phdr[i];
          if (ph.p_type != PT_NOTE) continue;
          const char* p = reinterpret_cast<const char*>(info->dlpi_addr + ph.p_vaddr);
          const char* end = p + ph.p_memsz;
          while (p + sizeof(ElfW(Nhdr)) <= end) {
            const auto* n = reinterpret_cast<const ElfW(Nhdr)*>(p);
            const char* name = p + sizeof *n;
            const char* desc = name + ((n->n_namesz + 3) & ~3u);
            if (desc + n->n_descsz > end) break;
            if (n->n_type == NT_GNU_BUILD_ID && n->n_namesz == 4 && std::memcmp(name, "GNU", 4) == 0) {
              auto& h = *static_cast<std::string*>(out);
              for (unsigned k = 0; k < n->n_descsz; ++k) {
                char b[3];
                snprintf(b, sizeof b, "%02x", static_cast<unsigned char>(desc[k]));
                h += b;
              }
              return 1;
            }
            p = desc + ((n->n_descsz + 3) & ~3u);
          }
        }
        return 1;
      },
      &hex);
  return hex;
}

bool parseArgs(int argc, char** argv, Args& out, std::string& why) {
  if (argc == 2 && strcmp(argv[1], "-V") == 0) {
    out.build = true;
    return true;
  }
  bool haveT = false, haveS = false, haveI = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (strcmp(a, "-T") == 0 && !haveT) {
      if (i + 2 >= argc) {
        why = "-T needs a device name and a volume name";
        return false;
      }
      out.device = argv[i + 1];
      out.name = argv[i + 2];
      haveT = true;
      i += 2;
    } else if (strcmp(a, "-s") == 0 && !haveS) {
      if (i + 1 >= argc || !parseRange(argv[i + 1], vlm::testplan::kMinSeconds, vlm::testplan::kMaxSeconds, out.seconds)) {
        why = "-s needs a whole number of seconds from 1 to 60";
        return false;
      }
      haveS = true;
      i += 1;
    } else if (strcmp(a, "-I") == 0 && !haveI) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0' || strlen(argv[i + 1]) > 127) {
        why = "-I needs the device's identity as the list gave it";
        return false;
      }
      out.ident = argv[i + 1];
      haveI = true;
      i += 1;
    } else {
      char shown[41];
      printable(shown, sizeof shown, a);
      why = std::string("unexpected argument '") + shown + "'";
      return false;
    }
  }
  if (!haveT) {
    why = "missing -T DEVICE NAME";
    return false;
  }
  if (!vlm::devnames::wellFormed(out.device)) {
    why = "device must be a name like disk2 or disk2s1, not a path";
    return false;
  }
  return true;
}

}  // namespace vpu
