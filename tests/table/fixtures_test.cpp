// Golden replays: each saved machine through the real scan, mounts, types,
// volume names and selection; every cell of every row and the row's colour,
// one row a line, against tests/fixtures/<machine>.rows.txt.
#include <gtest/gtest.h>

#include <mutex>
#include <string>

#include "table/poolcore.h"
#include "tests/disk/records.h"
#include "tests/helpers/golden.h"

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
  for (const std::string machine : {"laptop", "desktop", "mirror"})
    vlmtest::expectGolden(rowsOf(std::string(VLM_FIXTURES) + "/" + machine), machine + ".rows.txt");
}

}  // namespace
