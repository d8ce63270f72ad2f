// Test records: a record of tests/fixtures as the program loads it, and one
// validated against docs/test-record.schema.json by the independent validator
// of python3-jsonschema.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "perf/record.h"
#include "tests/platform/loop_guard.h"

namespace vlmtest {

struct SchemaVerdict {
  bool available = false;  // python3 with jsonschema could be run
  std::string problem;     // empty when valid
};

inline SchemaVerdict checkRecord(const std::string& json) {
  SchemaVerdict v;
  char path[] = "/tmp/vlm-record-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return v;
  close(fd);
  std::ofstream(path) << json;
  const char* script =
      "import json,sys\n"
      "try:\n import jsonschema\nexcept ImportError:\n sys.exit(77)\n"
      "s=json.load(open(sys.argv[1]))\n"
      "e=sorted(jsonschema.Draft7Validator(s).iter_errors(json.load(open(sys.argv[2]))),key=str)\n"
      "print('/'.join(map(str,e[0].absolute_path))+': '+e[0].message if e else '',end='')";
  std::string out;
  const int st = vlm::testing::run({vlm::testing::tool("python3"), "-c", script, VLM_SCHEMA, path}, &out);
  unlink(path);
  if (st < 0 || st == 77 || st == 127) return v;
  v.available = true;
  v.problem = st != 0 && out.empty() ? "validator failed" : out;
  return v;
}

// A failure to load fails the test.
inline vlm::Record fixtureRecord(const std::string& name = "record.json") {
  vlm::Record r;
  std::string err;
  EXPECT_TRUE(vlm::loadRecord(std::string(VLM_FIXTURES) + "/" + name, r, err)) << err;
  return r;
}

}  // namespace vlmtest
