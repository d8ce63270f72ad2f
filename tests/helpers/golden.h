// Golden files: a test's whole output against tests/fixtures/NAME. With
// VLM_WRITE_GOLDEN=1 the output is written there instead; read the
// difference before committing it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace vlmtest {

inline void expectGolden(const std::string& got, const std::string& name) {
  const std::string file = std::string(VLM_FIXTURES) + "/" + name;
  if (std::getenv("VLM_WRITE_GOLDEN")) std::ofstream(file, std::ios::binary) << got;
  std::stringstream want;
  want << std::ifstream(file, std::ios::binary).rdbuf();
  EXPECT_EQ(got, want.str()) << "golden file " << file;
}

}  // namespace vlmtest
