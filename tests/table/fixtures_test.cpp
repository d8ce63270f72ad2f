// Golden replays: each saved machine through the real scan, mounts, types,
// volume names and selection; every cell of every row and the row's colour,
// one row a line, compared with tests/fixtures/<machine>.rows.txt.
// VLM_WRITE_GOLDEN=1 writes those files instead: review the difference.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>

#include "../disk/records.h"
#include "table/poolcore.h"

namespace {

std::string rowsOf(const std::string& base) {
  vlmtest::ListGuard guard;
  vlm::setPlatform(vlm::fixturePlatform(base + ".registry.json", base + ".mounts.json"));
  vlm::PoolCore pool;
  std::lock_guard<std::recursive_mutex> lock(disklock);
  pool.Reload("", 0);
  std::string out;
  for (int r = 0; r < pool.numberOfRows(); ++r) {
    for (const char* id : vlm::kColumnIds) out += pool.objectValue(id, r).str() + "|";
    out += "colour " + std::to_string(diskarray[r]->color) + "\n";
  }
  vlm::setPlatform({});
  return out;
}

TEST(Replay, EveryCellOfEverySavedMachine) {
  for (const char* machine : {"laptop", "desktop", "mirror"}) {
    const std::string base = std::string(VLM_FIXTURES) + "/" + machine;
    const std::string got = rowsOf(base);
    if (std::getenv("VLM_WRITE_GOLDEN")) std::ofstream(base + ".rows.txt") << got;
    std::stringstream want;
    want << std::ifstream(base + ".rows.txt").rdbuf();
    EXPECT_EQ(got, want.str()) << machine;
  }
}

}  // namespace
