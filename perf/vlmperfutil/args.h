// Process hygiene for a set-user-ID start and the command line.
#pragma once

#include <string>

#include "perf/testplan.h"

namespace vpu {

struct Args {
  std::string device;  // "diskN" or "diskNsM", checked for form only
  std::string name;    // the volume's name, free text, may be empty
  int seconds = vlm::testplan::kDefaultSeconds;     // measured time of each phase
  std::string ident;   // -I: the identity the list gave the device; empty: not checked
  bool build = false;  // -V alone: say which build this is, nothing else
};

// The linker's build identity of this program, in hex, read from its own
// loaded headers (no file is opened); empty when it has none.
std::string buildId();

// The SIGCONT handler (sets gCancel); installed before anything else.
void installCancelHandler();

// Standard descriptors open (on /dev/null if not), every other descriptor
// closed, an empty environment, no blocked signals, SIGPIPE at its default.
void sanitiseProcess();

// Exactly: -T DEVICE NAME, and optionally -s SECONDS (1..60) and -I IDENTITY,
// each once; or -V alone.
// False with a message in why on anything else.
bool parseArgs(int argc, char** argv, Args& out, std::string& why);

}  // namespace vpu
