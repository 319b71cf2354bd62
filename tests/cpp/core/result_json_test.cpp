#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "core/result_json_check.hpp"
#include "ovrel/core/json_text.hpp"
#include "ovrel/core/schema_migration.hpp"
#include "test_data.hpp"

namespace ovrel::core {
namespace {

constexpr const char* kDiagNoBuild =
    R"({"n":10,"d":1,"schema_version":1,"engine_version":"0.1.0","runtime_ms":null,)"
    R"("notes":[],"warnings":[],"algorithm":"pelt","cost_model":"l2_mean","seed":null,)"
    R"("repro_mode":"Balanced","thread_count":null,"blas_backend":null,"cpu_features":null,)"
    R"("params_json":null,"pruning_stats":null,"missing_policy_applied":null,)"
    R"("missing_fraction":null,"effective_sample_count":null})";

std::string document(const std::string& diagnostics, const std::string& before = "",
                     const std::string& after = "") {
  return R"({"breakpoints":[5,10],"change_points":[5],)" + before + R"("diagnostics":)" +
         diagnostics + after + "}";
}

// A diagnostics object with one key replaced (or removed when value is empty).
std::string diag_with(const std::string& key, const std::string& value) {
  nlohmann::ordered_json j = nlohmann::ordered_json::parse(kDiagNoBuild);
  if (value.empty()) {
    j.erase(key);
  } else {
    j[key] = nlohmann::ordered_json::parse(value);
  }
  return j.dump();
}

// A diagnostics object with a raw "build" text, which may repeat keys.
std::string with_build(const std::string& build) {
  std::string diag(kDiagNoBuild);
  diag.insert(diag.find(R"("params_json")"), R"("build":)" + build + ",");
  return diag;
}

OfflineChangePointResult sample_result() {
  Diagnostics d;
  d.n = 10;
  d.d = 1;
  d.algorithm = "pelt";
  d.cost_model = "l2_mean";
  d.build.reset();
  return OfflineChangePointResult::create(10, {5, 10}, d).value();
}

Result<OfflineChangePointResultWire::RuntimeParts> read_and_convert(const std::string& text) {
  OVREL_TRY_ASSIGN(auto wire, OfflineChangePointResultWire::from_json(text));
  return std::move(wire).into_runtime_parts();
}

TEST(ResultJsonTest, WritesTheDocumentAndReadsItBack) {
  const std::string text = OfflineChangePointResultWire::from_runtime(sample_result()).to_json();
  EXPECT_EQ(text, document(kDiagNoBuild));
  auto parts = read_and_convert(text);
  ASSERT_TRUE(parts.has_value()) << parts.error().display();
  EXPECT_EQ(parts->result, sample_result());
  EXPECT_TRUE(parts->extra.empty());
  EXPECT_TRUE(parts->diagnostics_extra.empty());
}

TEST(ResultJsonTest, FullResultRoundTripsWithBuildScoresAndSegments) {
  OfflineChangePointResult r = sample_result();
  r.diagnostics = Diagnostics{};
  r.diagnostics.n = 10;
  r.diagnostics.d = 1;
  r.diagnostics.missing_fraction = 0.1;
  r.diagnostics.params_json = canonical_json_text(R"({"pen":1.5,"k":3})").value();
  r.scores = std::vector<double>{0.125};
  SegmentStats s0{0, 5, std::vector<double>{1e-7}, std::vector<double>{1e300}, 5, 0};
  SegmentStats s1{5, 10, std::nullopt, std::nullopt, 5, 5};
  r.segments = std::vector<SegmentStats>{s0, s1};
  const std::string text = OfflineChangePointResultWire::from_runtime(r).to_json();
  auto parts = read_and_convert(text);
  ASSERT_TRUE(parts.has_value()) << parts.error().display();
  EXPECT_EQ(parts->result, r);
  EXPECT_EQ(OfflineChangePointResultWire::from_runtime(parts->result).to_json(), text);
  EXPECT_NE(text.find(R"("segments":[{"start":0,"end":5,"mean":[1e-7],"variance":[1e300],)"
                      R"("count":5,"missing_count":0},{"start":5,"end":10,"mean":null,)"
                      R"("variance":null,"count":5,"missing_count":5}])"),
            std::string::npos);
}

TEST(ResultJsonTest, ExtraKeysComeBackLastInByteOrder) {
  std::string diag(kDiagNoBuild);
  diag.insert(1, R"("zz":{"b":1,"a":[true]},"Zed":"x",)");
  const std::string text = document(diag, R"("zeta":1,"alpha":null,"zeta":2,)");
  auto parts = read_and_convert(text);
  ASSERT_TRUE(parts.has_value()) << parts.error().display();
  EXPECT_EQ(parts->extra.size(), 2u);
  EXPECT_EQ(parts->diagnostics_extra.size(), 2u);
  const std::string back = OfflineChangePointResultWire::from_runtime(parts->result, parts->extra,
                                                                      parts->diagnostics_extra)
                               .to_json();
  std::string expected_diag(kDiagNoBuild);
  expected_diag.pop_back();
  expected_diag += R"(,"Zed":"x","zz":{"a":[true],"b":1}})";
  EXPECT_EQ(back, document(expected_diag, "", R"(,"alpha":null,"zeta":2)"));
}

TEST(ResultJsonTest, UndefinedKeysOfNestedRecordsAreDropped) {
  std::string diag =
      diag_with("pruning_stats", R"({"candidates_pruned":3,"x":1,"candidates_considered":10})");
  diag = nlohmann::ordered_json::parse(diag).dump();
  auto j = nlohmann::ordered_json::parse(diag);
  j["build"] = nlohmann::ordered_json::parse(R"({"profile":"release","extra":true,"abi":null})");
  const std::string text =
      document(j.dump(), R"("segments":[{"start":0,"end":5,"count":5,"missing_count":0,"q":1},)"
                         R"({"start":5,"end":10,"count":5,"missing_count":0}],)");
  auto parts = read_and_convert(text);
  ASSERT_TRUE(parts.has_value()) << parts.error().display();
  const std::string back = OfflineChangePointResultWire::from_runtime(parts->result).to_json();
  EXPECT_EQ(back.find("\"q\""), std::string::npos);
  EXPECT_EQ(back.find("\"x\""), std::string::npos);
  EXPECT_EQ(back.find("\"extra\""), std::string::npos);
  EXPECT_NE(back.find(R"("build":{"profile":"release"},)"), std::string::npos);
  EXPECT_NE(back.find(R"("pruning_stats":{"candidates_considered":10,"candidates_pruned":3})"),
            std::string::npos);
}

TEST(ResultJsonTest, NullOptionalsReadAsAbsent) {
  const std::string text =
      document(diag_with("build", "null"), R"("scores":null,"segments":null,)");
  auto parts = read_and_convert(text);
  ASSERT_TRUE(parts.has_value()) << parts.error().display();
  EXPECT_FALSE(parts->result.scores || parts->result.segments || parts->result.diagnostics.build);
  EXPECT_EQ(OfflineChangePointResultWire::from_runtime(parts->result).to_json(),
            document(kDiagNoBuild));
  // Absent optional diagnostics keys read as absent too, engine_version included.
  auto no_engine = read_and_convert(document(diag_with("engine_version", "")));
  ASSERT_TRUE(no_engine.has_value());
  EXPECT_FALSE(no_engine->result.diagnostics.engine_version.has_value());
}

TEST(ResultJsonTest, NanScoreIsWrittenAsNullAndThenRefused) {
  OfflineChangePointResult r = sample_result();
  r.scores = std::vector<double>{NAN};
  const std::string text = OfflineChangePointResultWire::from_runtime(r).to_json();
  EXPECT_NE(text.find(R"("scores":[null])"), std::string::npos);
  auto wire = OfflineChangePointResultWire::from_json(text);
  ASSERT_FALSE(wire.has_value());
  EXPECT_EQ(wire.error().message(), "invalid type: null, expected f64 at line 1 column 53");
}

TEST(ResultJsonTest, ZeroLengthResult) {
  const std::string text =
      R"({"breakpoints":[],"change_points":[],"diagnostics":)" + diag_with("n", "0") + "}";
  auto parts = read_and_convert(text);
  ASSERT_TRUE(parts.has_value()) << parts.error().display();
  EXPECT_TRUE(parts->result.breakpoints.empty() && parts->result.change_points.empty());
}

TEST(ResultJsonTest, FreeValuesKeepNumberKindsAndSortKeys) {
  const std::string params =
      R"({"z":{"y":1,"b":-2,"a":1e2},"a":[0.5,18446744073709551615,-9223372036854775808,1.0],"d":{"k":1,"k":2}})";
  auto parts = read_and_convert(document(diag_with("params_json", params)));
  ASSERT_TRUE(parts.has_value()) << parts.error().display();
  EXPECT_EQ(*parts->result.diagnostics.params_json,
            R"({"a":[0.5,18446744073709551615,-9223372036854775808,1.0],"d":{"k":2},)"
            R"("z":{"a":100.0,"b":-2,"y":1}})");
}

struct SchemaCase {
  const char* version;
  const char* conversion_error;  // nullptr: accepted
};

class SchemaVersionTest : public ::testing::TestWithParam<SchemaCase> {};

TEST_P(SchemaVersionTest, OnlyOneAndTwoConvert) {
  const SchemaCase& c = GetParam();
  auto wire =
      OfflineChangePointResultWire::from_json(document(diag_with("schema_version", c.version)));
  ASSERT_TRUE(wire.has_value()) << wire.error().display();
  auto parts = std::move(*wire).into_runtime_parts();
  if (c.conversion_error == nullptr) {
    ASSERT_TRUE(parts.has_value()) << parts.error().display();
    const std::string back = OfflineChangePointResultWire::from_runtime(parts->result).to_json();
    EXPECT_NE(back.find(std::string(R"("schema_version":)") + c.version + ","), std::string::npos);
  } else {
    ASSERT_FALSE(parts.has_value());
    EXPECT_EQ(parts.error(), OvrelError::invalid_input(c.conversion_error));
  }
}

INSTANTIATE_TEST_SUITE_P(
    ResultJson, SchemaVersionTest,
    ::testing::Values(
        SchemaCase{"1", nullptr}, SchemaCase{"2", nullptr},
        SchemaCase{"0",
                   "Diagnostics schema_version=0 is unsupported; supported versions are 1..=2. "
                   "See ovrel/docs/templates/schema_migration.md for migration guidance."},
        SchemaCase{"3",
                   "Diagnostics schema_version=3 is unsupported; supported versions are 1..=2. "
                   "See ovrel/docs/templates/schema_migration.md for migration guidance."}));

TEST(ResultJsonTest, SchemaVersionIsCheckedBeforeTheResult) {
  auto wire = OfflineChangePointResultWire::from_json(
      R"({"breakpoints":[3],"change_points":[1],"diagnostics":)" +
      diag_with("schema_version", "3") + "}");
  ASSERT_TRUE(wire.has_value());
  auto parts = std::move(*wire).into_runtime_parts();
  ASSERT_FALSE(parts.has_value());
  EXPECT_EQ(parts.error().message().substr(0, 36), "Diagnostics schema_version=3 is unsu");
}

struct ConversionCase {
  const char* name;
  std::string text;
  const char* error;
};

class ConversionTest : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(ConversionTest, InconsistentDocumentsFailTheConversionNotTheRead) {
  auto wire = OfflineChangePointResultWire::from_json(GetParam().text);
  ASSERT_TRUE(wire.has_value()) << wire.error().display();
  auto parts = std::move(*wire).into_runtime_parts();
  ASSERT_FALSE(parts.has_value());
  EXPECT_EQ(parts.error(), OvrelError::invalid_input(GetParam().error));
}

INSTANTIATE_TEST_SUITE_P(
    ResultJson, ConversionTest,
    ::testing::Values(
        ConversionCase{"ChangePoints",
                       R"({"breakpoints":[5,10],"change_points":[4],"diagnostics":)" +
                           std::string(kDiagNoBuild) + "}",
                       "change_points must equal breakpoints excluding n; got change_points=[4], "
                       "expected=[5]"},
        ConversionCase{"LastBreakpointIsNotN",
                       R"({"breakpoints":[5,10],"change_points":[5],"diagnostics":)" +
                           diag_with("n", "12") + "}",
                       "breakpoints must include n as the final element: last=10, n=12"},
        ConversionCase{
            "SegmentMeanLength",
            document(diag_with("d", "2"), R"("segments":[{"start":0,"end":5,"mean":[1],"count":5,)"
                                          R"("missing_count":0},{"start":5,"end":10,"count":5,)"
                                          R"("missing_count":0}],)"),
            "segments[0].mean length must equal diagnostics.d; got mean_len=1, "
            "diagnostics.d=2"}),
    [](const auto& info) { return std::string(info.param.name); });

// A document of tests/data/core_json_read_errors.txt.
std::string read_error_document(const std::string& spec) {
  const std::size_t then = spec.find(" then ");
  const std::string tail = then == std::string::npos ? "" : spec.substr(then + 6);
  const std::string head = spec.substr(0, then);
  const std::string arg = head.substr(head.find(' ') + 1);
  if (head.starts_with("diag ")) {
    const std::size_t eq = arg.find('=');
    return document(diag_with(arg.substr(0, eq), arg.substr(eq + 1))) + tail;
  }
  if (head.starts_with("build ")) return document(with_build(arg)) + tail;
  if (head.starts_with("segments ")) return document(kDiagNoBuild, R"("segments":)" + arg + ",");
  if (head == "doc") return document(kDiagNoBuild) + tail;
  return spec;
}

class ReadErrorTest : public ::testing::TestWithParam<std::vector<std::string>> {};

TEST_P(ReadErrorTest, ReaderMessage) {
  ASSERT_EQ(GetParam().size(), 3u);
  auto wire = OfflineChangePointResultWire::from_json(read_error_document(GetParam()[1]));
  ASSERT_FALSE(wire.has_value());
  EXPECT_EQ(wire.error().kind(), ErrorKind::InvalidInput);
  EXPECT_EQ(wire.error().message(), GetParam()[2]);
}

INSTANTIATE_TEST_SUITE_P(ResultJson, ReadErrorTest,
                         ::testing::ValuesIn(test_support::data_rows("core_json_read_errors.txt")),
                         [](const auto& info) { return info.param.at(0); });

TEST(ReadErrorTest, EndsOfInput) {
  EXPECT_EQ(test_support::data_rows("core_json_read_errors.txt").size(), 19u);
  EXPECT_EQ(OfflineChangePointResultWire::from_json("").error().message(),
            "EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(OfflineChangePointResultWire::from_json("{\"breakpoints\":[1,\n2").error().message(),
            "EOF while parsing a list at line 2 column 1");
}

std::string nested(std::size_t levels) {
  return std::string(levels, '[') + std::string(levels, ']');
}

TEST(JsonReaderTest, NestingLimitCountsTheDocumentObject) {
  // The document is level 1, so a free value may open 126 more levels.
  const std::string ok = document(kDiagNoBuild, "", R"(,"deep":)" + nested(126));
  auto parts = read_and_convert(ok);
  ASSERT_TRUE(parts.has_value()) << parts.error().display();
  const std::string too_deep = document(kDiagNoBuild, "", R"(,"deep":)" + nested(127));
  auto wire = OfflineChangePointResultWire::from_json(too_deep);
  ASSERT_FALSE(wire.has_value());
  EXPECT_NE(wire.error().message().find("recursion limit exceeded at line 1"), std::string::npos);
  // Deep garbage ends at the limit instead of exhausting the stack.
  EXPECT_FALSE(parse_json_document(std::string(1'000'000, '[')).has_value());
}

struct NumberCase {
  const char* text;
  JsonNode::Kind kind;
  double value;
};

class JsonNumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(JsonNumberTest, KindAndValue) {
  auto node = parse_json_document(GetParam().text);
  ASSERT_TRUE(node.has_value()) << node.error().display();
  EXPECT_EQ(node->kind, GetParam().kind);
  const double v = node->kind == JsonNode::Kind::Unsigned
                       ? static_cast<double>(node->unsigned_value)
                   : node->kind == JsonNode::Kind::Signed ? static_cast<double>(node->signed_value)
                                                          : node->float_value;
  EXPECT_EQ(v, GetParam().value);
  EXPECT_EQ(std::signbit(v), std::signbit(GetParam().value));
}

INSTANTIATE_TEST_SUITE_P(
    Json, JsonNumberTest,
    ::testing::Values(
        NumberCase{"0", JsonNode::Kind::Unsigned, 0},
        NumberCase{"18446744073709551615", JsonNode::Kind::Unsigned, 18446744073709551615.0},
        NumberCase{"18446744073709551616", JsonNode::Kind::Float, 18446744073709551616.0},
        NumberCase{"-1", JsonNode::Kind::Signed, -1}, NumberCase{"-0", JsonNode::Kind::Float, -0.0},
        NumberCase{"-9223372036854775809", JsonNode::Kind::Float, -9223372036854775809.0},
        NumberCase{"1e2", JsonNode::Kind::Float, 100},
        NumberCase{"2.5E-3", JsonNode::Kind::Float, 0.0025},
        NumberCase{"1e-400", JsonNode::Kind::Float, 0},
        NumberCase{"0.0000001e-400", JsonNode::Kind::Float, 0},
        NumberCase{"1.7976931348623157e308", JsonNode::Kind::Float, 1.7976931348623157e308},
        NumberCase{"5e-324", JsonNode::Kind::Float, 5e-324}));

class JsonRejectTest : public ::testing::TestWithParam<const char*> {};

TEST_P(JsonRejectTest, Refused) {
  auto node = parse_json_document(GetParam());
  ASSERT_FALSE(node.has_value()) << GetParam();
  EXPECT_EQ(node.error().kind(), ErrorKind::InvalidInput);
  EXPECT_NE(node.error().message().find(" at line "), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Json, JsonRejectTest,
                         ::testing::Values("1e309", "-1e309", "0.00001e315", "2e99999999999999",
                                           "01", "1.", ".5", "-", "+1", "1e", "NaN", "Infinity",
                                           "[1,]", R"({"a":1,})", R"({"a" 1})", R"({a:1})", "tru",
                                           R"("\x")", "\"a\x01\"", "\"\xff\"", "\"\xc0\xaf\"",
                                           "\"\xed\xa0\x80\"", R"("\ud800")", R"("\udc00")",
                                           R"("abc)", "[1 2]", "{} {}", "nul"));

TEST(JsonWriterTest, StringEscapes) {
  std::string out;
  append_json_string(out, std::string("a\"\\/\b\t\n\f\r\x01\x1f\x7f\xc3\xa9", 15));
  EXPECT_EQ(out, "\"a\\\"\\\\/\\b\\t\\n\\f\\r\\u0001\\u001f\x7f\xc3\xa9\\u0000\"");
  out.clear();
  append_json_string(out, "bad\xff");
  EXPECT_EQ(out, "\"bad\xEF\xBF\xBD\"");
  auto node = parse_json_document(R"("\u00e9\ud83d\ude00\/")");
  ASSERT_TRUE(node.has_value());
  EXPECT_EQ(node->text, "\xc3\xa9\xf0\x9f\x98\x80/");
}

TEST(JsonWriterTest, FloatsReadBackExactly) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) {
    const std::uint64_t bits = rng();
    double v;
    std::memcpy(&v, &bits, sizeof v);
    if (!std::isfinite(v)) continue;
    std::string out;
    append_json_f64(out, v);
    auto node = parse_json_document(out);
    ASSERT_TRUE(node.has_value()) << out;
    ASSERT_EQ(node->kind, JsonNode::Kind::Float) << out;
    ASSERT_EQ(std::memcmp(&node->float_value, &v, sizeof v), 0) << out;
  }
  std::string out;
  for (double v : {100.0, -0.0, HUGE_VAL, 1e15, 1e16, 1.5e300, -2.5e-7, 1e-5, 1e-6, 0.001234, 12.34,
                   1234e7, 9007199254740993.0, 5e-324}) {
    append_json_f64(out, v);
    out.push_back(' ');
  }
  EXPECT_EQ(out,
            "100.0 -0.0 null 1000000000000000.0 1e16 1.5e300 -2.5e-7 0.00001 1e-6 0.001234 12.34 "
            "12340000000.0 9007199254740992.0 5e-324 ");
}

std::vector<std::string> fuzz_corpus() {
  std::vector<std::filesystem::path> files;
  const auto dir = test_support::source_dir() / "tests/fuzz/corpus/result_json";
  if (std::filesystem::is_directory(dir)) {
    for (const auto& entry : std::filesystem::directory_iterator(dir))
      files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  std::vector<std::string> out;
  for (const auto& f : files) out.push_back(test_support::read_file(f));
  return out;
}

// Every corpus file, then flips, insertions, cuts, truncations and splices of the corpus and of a
// full sample document: refused cleanly or read into a value that writes back to a fixed point.
TEST(ResultJsonFuzzTest, CorpusAndItsMutationsFailCleanlyOrRoundTrip) {
  std::vector<std::string> seeds = fuzz_corpus();
  ASSERT_GE(seeds.size(), 6u) << "fuzz corpus not found; set OVREL_SOURCE_DIR";
  for (const std::string& text : seeds)
    ASSERT_EQ(test_support::result_json_fault(text), "") << text;

  OfflineChangePointResult r = sample_result();
  r.scores = std::vector<double>{0.5};
  r.segments = std::vector<SegmentStats>{{0, 5, std::vector<double>{1.5}, std::nullopt, 5, 1},
                                         {5, 10, std::nullopt, std::vector<double>{2}, 5, 0}};
  r.diagnostics.build = BuildInfo::from_compile_time_env();
  r.diagnostics.params_json =
      canonical_json_text(R"({"pen":[1,2.5,"BIC"],"x":{"y":null}})").value();
  seeds.push_back(
      OfflineChangePointResultWire::from_runtime(r, ExtraKeys{{"note", "\u00e9"}}).to_json());
  static constexpr char kAlphabet[] = "{}[],:\"\\0123456789.eE+-tfnul \n\xff\xc3";
  std::mt19937_64 rng(20240601);
  for (int iter = 0; iter < 20000; ++iter) {
    std::string text = seeds[rng() % seeds.size()];
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const std::size_t at = rng() % text.size();
      switch (rng() % 5) {
        case 0:
          text[at] = kAlphabet[rng() % (sizeof kAlphabet - 1)];
          break;
        case 1:
          text.insert(at, 1, kAlphabet[rng() % (sizeof kAlphabet - 1)]);
          break;
        case 2:
          text.erase(at, 1 + rng() % 8);
          break;
        case 3:
          text.resize(at);
          break;
        default:
          text.insert(at, text.substr(rng() % text.size(), rng() % 16));
      }
    }
    ASSERT_EQ(test_support::result_json_fault(text), "") << text;
  }
}

TEST(ResultJsonFuzzTest, RandomBytesFailCleanly) {
  std::mt19937_64 rng(99);
  for (int iter = 0; iter < 20000; ++iter) {
    std::string text(rng() % 64, '\0');
    for (char& c : text) c = static_cast<char>(rng() % 256);
    auto value = parse_json_value(text);
    if (!value) {
      ASSERT_EQ(value.error().kind(), ErrorKind::InvalidInput);
    }
  }
}

}  // namespace
}  // namespace ovrel::core
