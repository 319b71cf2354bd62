#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "ovrel/core/diagnostics.hpp"
#include "ovrel/core/json_text.hpp"
#include "ovrel/core/schema_migration.hpp"

namespace ovrel::core {
namespace {

using Strings = std::vector<std::string>;

TEST(ReproModeTest, NamesAndDefault) {
  EXPECT_EQ(repro_mode_name(ReproMode::Strict), "Strict");
  EXPECT_EQ(repro_mode_name(ReproMode::Balanced), "Balanced");
  EXPECT_EQ(repro_mode_name(ReproMode::Fast), "Fast");
  EXPECT_EQ(static_cast<int>(ReproMode::Fast), 2);
  EXPECT_EQ(Diagnostics{}.repro_mode, ReproMode::Balanced);
}

TEST(DiagnosticsJsonTest, DefaultWithoutBuildHasNineteenKeysInOrder) {
  Diagnostics d;
  d.build.reset();
  EXPECT_EQ(to_json(d),
            R"({"n":0,"d":0,"schema_version":1,"engine_version":"0.1.0","runtime_ms":null,)"
            R"("notes":[],"warnings":[],"algorithm":"","cost_model":"","seed":null,)"
            R"("repro_mode":"Balanced","thread_count":null,"blas_backend":null,)"
            R"("cpu_features":null,"params_json":null,"pruning_stats":null,)"
            R"("missing_policy_applied":null,"missing_fraction":null,)"
            R"("effective_sample_count":null})");
}

TEST(DiagnosticsJsonTest, EveryFieldSet) {
  Diagnostics d;
  d.n = 10;
  d.d = 2;
  d.schema_version = 2;
  d.engine_version.reset();
  d.runtime_ms = 7;
  d.notes = {"a=1, b=2"};
  d.warnings = {"w\"\\"};
  d.algorithm = "pelt";
  d.cost_model = "l2_mean";
  d.seed = 42;
  d.repro_mode = ReproMode::Strict;
  d.thread_count = 1;
  d.blas_backend = "none";
  d.cpu_features = Strings{"avx2"};
  d.build = BuildInfo{};
  d.build->profile = "release";
  d.params_json = canonical_json_text(R"({"b":[1,-2,2.5],"a":null})").value();
  d.pruning_stats = PruningStats{10, 3};
  d.missing_policy_applied = "Error";
  d.missing_fraction = 0.25;
  d.effective_sample_count = 20;
  EXPECT_EQ(to_json(d),
            R"({"n":10,"d":2,"schema_version":2,"engine_version":null,"runtime_ms":7,)"
            R"("notes":["a=1, b=2"],"warnings":["w\"\\"],"algorithm":"pelt",)"
            R"("cost_model":"l2_mean","seed":42,"repro_mode":"Strict","thread_count":1,)"
            R"("blas_backend":"none","cpu_features":["avx2"],"build":{"profile":"release"},)"
            R"("params_json":{"a":null,"b":[1,-2,2.5]},)"
            R"("pruning_stats":{"candidates_considered":10,"candidates_pruned":3},)"
            R"("missing_policy_applied":"Error","missing_fraction":0.25,)"
            R"("effective_sample_count":20})");
}

TEST(DiagnosticsJsonTest, NonFiniteMissingFractionIsNull) {
  for (double v : {NAN, INFINITY, -INFINITY}) {
    Diagnostics d;
    d.missing_fraction = v;
    EXPECT_NE(to_json(d).find(R"("missing_fraction":null,)"), std::string::npos);
  }
}

TEST(BuildInfoJsonTest, AbsentFieldsAreLeftOut) {
  BuildInfo b;
  EXPECT_EQ(to_json(b), "{}");
  b.profile = "release";
  EXPECT_EQ(to_json(b), R"({"profile":"release"})");
  b.git_dirty = false;
  EXPECT_EQ(to_json(b), R"({"git_dirty":false,"profile":"release"})");
  b = BuildInfo{"abc", true, "g++ 12", "x86_64-linux-gnu", "debug", Strings{"a", "b"}, "abi3"};
  EXPECT_EQ(to_json(b),
            R"({"git_sha":"abc","git_dirty":true,"rustc_version":"g++ 12",)"
            R"("target_triple":"x86_64-linux-gnu","profile":"debug","features":["a","b"],)"
            R"("abi":"abi3"})");
}

TEST(PruningStatsJsonTest, KeyOrder) {
  EXPECT_EQ(to_json(PruningStats{10, 3}), R"({"candidates_considered":10,"candidates_pruned":3})");
}

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

TEST(EnrichTest, EmptyBuildDisappearsFromJson) {
  Diagnostics d;
  d.build = BuildInfo{};
  EXPECT_NE(to_json(d).find(R"("build":{})"), std::string::npos);
  enrich_diagnostics_build(d, std::nullopt, std::nullopt);
  EXPECT_FALSE(d.build.has_value());
  EXPECT_EQ(to_json(d).find("\"build\""), std::string::npos);
}

}  // namespace
}  // namespace ovrel::core
