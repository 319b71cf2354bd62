#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/table_test.hpp"
#include "ovrel/core/diagnostics.hpp"
#include "ovrel/core/json_text.hpp"
#include "ovrel/core/results.hpp"

namespace ovrel::core {
namespace {

using Strings = std::vector<std::string>;

// The segment bounds the breakpoints give are checked through the documents of
// tests/data/core_result_documents.txt, whose segments must match them.
OVREL_ROW_SUITE(BreakpointTest, "core_breakpoints.txt", 12);

TEST_P(BreakpointTest, CreateChecksInOrder) {
  const Strings& c = GetParam();
  ASSERT_EQ(c.size(), 4u);
  const std::size_t n = std::stoull(c[1]);
  std::vector<std::size_t> breakpoints = test_support::numbers<std::size_t>(c[2]);
  auto r = OfflineChangePointResult::create(n, breakpoints, Diagnostics{});
  if (!test_support::outcome_is(r, c[3] == "ok", c[3])) return;
  EXPECT_EQ(r->breakpoints, breakpoints);
  if (!breakpoints.empty()) breakpoints.pop_back();
  EXPECT_EQ(r->change_points, breakpoints);
  EXPECT_FALSE(r->scores.has_value());
  EXPECT_FALSE(r->segments.has_value());
  EXPECT_TRUE(r->validate(n).has_value());
}

// Written and read documents, every diagnostics field included, are in
// tests/data/core_result_documents.txt.

// A JSON text of the table: null, or a value of type T.
template <class T>
std::optional<T> json_opt(const std::string& text) {
  const auto j = nlohmann::json::parse(text);
  return j.is_null() ? std::nullopt : std::optional<T>(j.get<T>());
}

// A build of tests/data/core_enrich_build.txt: its base word, then features and abi as JSON.
std::optional<BuildInfo> build_of(const std::vector<std::string>& words) {
  std::optional<BuildInfo> b;
  if (words[0] != "none") b = words[0] == "env" ? BuildInfo::from_compile_time_env() : BuildInfo{};
  if (words[0] == "prev") {
    b->features = Strings{"old"};
    b->abi = "old-abi";
  }
  if (words.size() < 3) return b;
  b->features = json_opt<Strings>(words[1]);
  b->abi = json_opt<std::string>(words[2]);
  return b;
}

OVREL_ROW_SUITE(EnrichTest, "core_enrich_build.txt", 13);

TEST_P(EnrichTest, MergesFeaturesAndAbi) {
  const auto& r = GetParam();
  Diagnostics d;
  d.build = build_of({r.at(1)});
  Diagnostics expected = d;
  expected.build = build_of(std::vector<std::string>(r.begin() + 4, r.end()));
  enrich_diagnostics_build(d, json_opt<Strings>(r.at(2)), json_opt<std::string>(r.at(3)));
  EXPECT_EQ(d, expected);
}

// A broken UTF-8 sequence is not a blank, whatever bytes it starts with.
TEST(EnrichTest, BrokenSequenceIsNotBlank) {
  Diagnostics d;
  enrich_diagnostics_build(d, Strings{"\u3000", "\xe2\x80\x41"}, std::nullopt);
  EXPECT_EQ(d.build->features, Strings{"\xe2\x80\x41"});
}

}  // namespace
}  // namespace ovrel::core
