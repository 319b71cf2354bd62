#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "ovrel/core/diagnostics.hpp"

namespace ovrel::core {
namespace {

using Strings = std::vector<std::string>;

// Written and read documents, every diagnostics field included, are in
// tests/data/core_result_documents.txt.

struct EnrichCase {
  const char* name;
  std::optional<BuildInfo> start;
  std::optional<Strings> features;
  std::optional<std::string> abi;
  std::optional<BuildInfo> expected;
};

BuildInfo with(BuildInfo b, std::optional<Strings> features, std::optional<std::string> abi) {
  b.features = std::move(features);
  b.abi = std::move(abi);
  return b;
}

class EnrichTest : public ::testing::TestWithParam<EnrichCase> {};

TEST_P(EnrichTest, MergesFeaturesAndAbi) {
  const EnrichCase& c = GetParam();
  Diagnostics d;
  d.build = c.start;
  Diagnostics expected = d;
  expected.build = c.expected;
  enrich_diagnostics_build(d, c.features, c.abi);
  EXPECT_EQ(d, expected);
}

const BuildInfo kEnv = BuildInfo::from_compile_time_env();
const BuildInfo kPrevious = with(BuildInfo{}, Strings{"old"}, "old-abi");

INSTANTIATE_TEST_SUITE_P(
    Diagnostics, EnrichTest,
    ::testing::Values(
        EnrichCase{
            "PythonModule", kEnv, Strings{"extension-module", "serde", "preprocess"},
            "pyo3-abi3-py39",
            with(kEnv, Strings{"extension-module", "preprocess", "serde"}, "pyo3-abi3-py39")},
        EnrichCase{"AbsentBuildStartsFromCompileTime", std::nullopt, Strings{"x"}, std::nullopt,
                   with(kEnv, Strings{"x"}, std::nullopt)},
        EnrichCase{"BlankDroppedSortedUnique", kEnv, Strings{" ", "b", "a", "b"}, std::nullopt,
                   with(kEnv, Strings{"a", "b"}, std::nullopt)},
        EnrichCase{"UntrimmedSortsFirst", kEnv, Strings{"a", " a"}, std::nullopt,
                   with(kEnv, Strings{" a", "a"}, std::nullopt)},
        EnrichCase{"UnicodeSpacesAreBlankBrokenSequencesAreNot", kPrevious,
                   Strings{"\u3000\u00a0\u2009", "\xe2\x80\x41"}, std::nullopt,
                   with(BuildInfo{}, Strings{"\xe2\x80\x41"}, "old-abi")},
        EnrichCase{"AllBlankKeepsPrevious", kPrevious, Strings{"", " \t"}, std::nullopt, kPrevious},
        EnrichCase{"EmptyListKeepsPrevious", kPrevious, Strings{}, std::nullopt, kPrevious},
        EnrichCase{"BlankAbiKeepsPrevious", kPrevious, std::nullopt, "  ", kPrevious},
        EnrichCase{"AbiKeptUntrimmed", kPrevious, std::nullopt, " abi ",
                   with(BuildInfo{}, Strings{"old"}, " abi ")},
        EnrichCase{"ReplacesPreviousFeatures", kPrevious, Strings{"new"}, std::nullopt,
                   with(BuildInfo{}, Strings{"new"}, "old-abi")},
        EnrichCase{"EmptyBuildStaysAbsent", BuildInfo{}, Strings{" "}, "", std::nullopt},
        EnrichCase{"EmptyBuildGainsAbi", BuildInfo{}, std::nullopt, "abi",
                   with(BuildInfo{}, std::nullopt, "abi")}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace ovrel::core
