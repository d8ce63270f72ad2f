// Validates a test record against docs/test-record.schema.json with the
// independent validator of python3-jsonschema.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace vlmtest {

struct SchemaVerdict {
  bool available = false;  // python3 with jsonschema could be run
  std::string problem;     // empty when valid
};

inline SchemaVerdict checkRecord(const std::string& json) {
  SchemaVerdict v;
  char path[] = "/tmp/vlm-record-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0) return v;
  close(fd);
  std::ofstream(path) << json;
  const std::string cmd = std::string(
      "python3 -c 'import json,sys\n"
      "try:\n import jsonschema\nexcept ImportError:\n sys.exit(77)\n"
      "s=json.load(open(sys.argv[1]))\n"
      "e=sorted(jsonschema.Draft7Validator(s).iter_errors(json.load(open(sys.argv[2]))),key=str)\n"
      "print(\"/\".join(map(str,e[0].absolute_path))+\": \"+e[0].message if e else \"\",end=\"\")' ") +
      "'" VLM_SCHEMA "' " + path + " 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  char buf[4096];
  size_t n = p ? fread(buf, 1, sizeof buf, p) : 0;
  int st = p ? pclose(p) : -1;
  unlink(path);
  if (!WIFEXITED(st) || WEXITSTATUS(st) == 77 || WEXITSTATUS(st) == 127) return v;
  v.available = true;
  v.problem.assign(buf, n);
  if (WEXITSTATUS(st) != 0 && v.problem.empty()) v.problem = "validator failed";
  return v;
}

}  // namespace vlmtest
