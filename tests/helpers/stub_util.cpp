// stub_util: a stand-in for vlmperfutil in tests of the test road.
//
// Command line as the application runs the utility:
//     stub_util -T DEVICE NAME [-s SECONDS] [-I IDENTITY]
// Output (standard output, one write per line):
//     "stub: testing /dev/DEVICE"
//     "args: N [arg1] [arg2] ..."        every argument after argv[0], in brackets
//     "Percent: 0" "Percent: 25" "Percent: 50" "Percent: 75" "Percent: 100",
//         DELAY ms apart
//     "Block size: 4096"                  free text
//     "Sequential: 523.7" "Random: 81" "Dual: 610" "Threaded: 587"
// and exit status 0.
//
// The mode comes from the environment variable VLM_STUB_MODE:
//     ok      as above (the default)
//     fail    "stub: can't open /dev/DEVICE", then result lines with the
//             figures 1 2 3 4, and exit status 1
//     wait    "Percent: 10" every DELAY ms until SIGCONT arrives (10 s at most:
//             then "stub: no SIGCONT" and exit 4); after it goes on writing
//             progress lines for 200 ms, then "Canceled" and "SIGCONT: N" (the
//             number of signals received) and exit status 3
//     warn    as ok, with "Warning: the device was busy: 5.0 MB read and 0.0 MB
//             written by other programs during the Random phase" before the
//             result lines
//     stall   one "Percent: 10", then nothing for 60 s whatever signal comes
//             but SIGKILL (a utility stuck on a disk that stopped answering)
//     record  as warn, with "Link: SATA 6.0 Gbps, ceiling 600 MB/s" before the
//             results, and after them the record mark (byte 0x1E) and
//             tests/fixtures/record.json
// Any wrong command line, in any mode: "usage: ..." and exit 2.
// DELAY is 20 ms.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

volatile sig_atomic_t conts = 0;
void oncont(int) { conts = conts + 1; }

void nap(long ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

void say(const std::string& line) {
  const std::string s = line + "\n";
  if (write(1, s.data(), s.size()) != static_cast<ssize_t>(s.size())) std::exit(99);
}

void results(const char* seq, const char* rnd, const char* dual, const char* thr) {
  say(std::string("Sequential: ") + seq);
  say(std::string("Random: ") + rnd);
  say(std::string("Dual: ") + dual);
  say(std::string("Threaded: ") + thr);
}

int waitmode(long ms) {
  // As the utility does: the handler first, then SIGCONT unblocked (the runner
  // starts it blocked).
  signal(SIGCONT, oncont);
  sigset_t cont;
  sigemptyset(&cont);
  sigaddset(&cont, SIGCONT);
  sigprocmask(SIG_UNBLOCK, &cont, nullptr);
  for (long waited = 0, after = 0; conts == 0 || after < 200; waited += ms) {
    if (waited > 10000) {
      say("stub: no SIGCONT");
      return 4;
    }
    if (conts != 0) after += ms;
    say("Percent: 10");
    nap(ms);
  }
  say("Canceled");
  say("SIGCONT: " + std::to_string(static_cast<int>(conts)));
  return 3;
}

}  // namespace

int main(int argc, char** argv) {
  bool options = argc >= 4 && argc % 2 == 0;  // -s SECONDS and -I IDENTITY after the three
  for (int i = 4; options && i < argc; i += 2)
    options = std::strcmp(argv[i], "-s") == 0 || std::strcmp(argv[i], "-I") == 0;
  if (!options || std::strcmp(argv[1], "-T") != 0) {
    say("usage: vlmperfutil -T diskN NAME");
    return 2;
  }
  const char* mode = std::getenv("VLM_STUB_MODE");
  const std::string m = mode && *mode ? mode : "ok";
  const long ms = 20;
  say(std::string("stub: testing /dev/") + argv[2]);
  std::string args = "args: " + std::to_string(argc - 1);
  for (int i = 1; i < argc; ++i) args += std::string(" [") + argv[i] + "]";
  say(args);

  if (m == "fail") {
    say(std::string("stub: can't open /dev/") + argv[2]);
    results("1", "2", "3", "4");
    return 1;
  }
  if (m == "wait") return waitmode(ms);
  if (m == "stall") {
    signal(SIGCONT, SIG_IGN);
    say("Percent: 10");
    for (int i = 0; i < 600; ++i) nap(100);
    return 0;
  }

  for (int pct = 0; pct <= 100; pct += 25) {
    say("Percent: " + std::to_string(pct));
    nap(ms);
  }
  say("Block size: 4096");
  if (m == "record") say("Link: SATA 6.0 Gbps, ceiling 600 MB/s");
  if (m == "warn" || m == "record")
    say("Warning: the device was busy: 5.0 MB read and 0.0 MB written by other programs during the Random phase");
  results("523.7", "81", "610", "587");
  if (m == "record") {
    std::stringstream rec;
    rec << std::ifstream(VLM_FIXTURES "/record.json").rdbuf();
    say("\x1e" + rec.str());
  }
  return 0;
}
