// Every input that once made a fuzz target crash, hang, leak or break a promise is
// kept under fuzz/regressions/<target>/ and replayed here through the entry that
// target drives.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "../../fuzz/entries.h"
#include "lib_test_files.h"

namespace {

struct Target {
  const char* name;
  wd::fuzz::Problem (*entry)(std::span<const uint8_t>);
};

class FuzzRegression : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzRegression, EveryKeptInputKeepsEveryPromise) {
  const std::filesystem::path dir =
      std::filesystem::path(wd::testing::source_dir()) / "fuzz" / "regressions" / GetParam().name;
  std::vector<std::filesystem::path> files;
  if (std::filesystem::is_directory(dir)) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) files.push_back(entry.path());
  }
  if (files.empty()) GTEST_SKIP() << "no kept inputs in " << dir;
  std::sort(files.begin(), files.end());
  for (const std::filesystem::path& file : files) {
    const std::vector<uint8_t> bytes = wd::testing::read_bytes(file.string());
    const wd::fuzz::Problem problem = GetParam().entry(bytes);
    EXPECT_FALSE(problem.has_value()) << file.filename() << ": " << problem.value_or("");
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzRegression,
                         ::testing::Values(Target{"load_graph", wd::fuzz::load_graph_entry},
                                           Target{"clean", wd::fuzz::clean_entry},
                                           Target{"evaluate_op", wd::fuzz::evaluate_op_entry}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
