#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "core/result_json_check.hpp"
#include "core/table_test.hpp"
#include "ovrel/core/json_text.hpp"
#include "ovrel/core/schema_migration.hpp"

namespace ovrel::core {
namespace {

// A sample text of tests/data/core_result_samples.txt.
std::string sample(const std::string& name) {
  for (const auto& row : test_support::data_rows("core_result_samples.txt"))
    if (row.at(0) == name) return row.at(1);
  return "";
}

// The base document of tests/data/core_result_documents.txt, then its edits.
std::string edited_document(const std::string& spec) {
  using Json = nlohmann::ordered_json;
  Json doc = Json::parse(sample("base"));
  doc["diagnostics"] = Json::parse(sample("diagnostics"));
  std::istringstream edits(spec == "base" ? "" : spec);
  for (std::string edit; std::getline(edits >> std::ws, edit, ';');) {
    const std::size_t eq = edit.find('=');
    if (edit[0] == '-') {
      doc = doc.patch(Json::parse(R"([{"op":"remove","path":")" + edit.substr(1) + R"("}])"));
      continue;
    }
    const Json::json_pointer at(edit.substr(0, eq));
    const Json value = Json::parse(edit.substr(eq + 1));
    if (at.parent_pointer().to_string() == "/diagnostics" &&
        !doc["diagnostics"].contains(at.back())) {
      Json diag = Json::object();
      for (auto& [key, v] : doc["diagnostics"].items()) {
        if (key == "params_json") diag[at.back()] = value;
        diag[key] = v;
      }
      doc["diagnostics"] = diag;
    } else {
      doc[at] = value;
    }
  }
  return doc.dump();
}

TEST(ResultJsonTest, WritesTheRuntimeResultNonFiniteNumbersAsNull) {
  OfflineChangePointResult r =
      std::move(*OfflineChangePointResultWire::from_json(edited_document("base")))
          .into_runtime_parts()
          ->result;
  r.scores = std::vector<double>{NAN, 2.0};
  r.diagnostics.missing_fraction = INFINITY;
  const std::string text = OfflineChangePointResultWire::from_runtime(r).to_json();
  EXPECT_EQ(text, edited_document("/scores=[null,2.0]; /diagnostics/missing_fraction=null"));
  // A written null score does not read back as a number.
  EXPECT_EQ(OfflineChangePointResultWire::from_json(text).error().message(),
            "invalid type: null, expected f64 at line 1 column 57");
}

OVREL_ROW_SUITE(ResultDocumentTest, "core_result_documents.txt", 26);

TEST_P(ResultDocumentTest, ReadConvertAndWriteAgain) {
  const auto& row = GetParam();
  ASSERT_EQ(row.size(), 3u);
  const std::string text = row[1].starts_with("{") ? row[1] : edited_document(row[1]);
  ASSERT_EQ(test_support::result_json_fault(text), "");
  auto wire = OfflineChangePointResultWire::from_json(text);
  ASSERT_TRUE(wire.has_value()) << wire.error().display();
  auto parts = std::move(*wire).into_runtime_parts();
  const std::string& want = row[2];
  const bool ok = want.starts_with("{") || want == "same" || want.starts_with("doc:");
  if (!test_support::outcome_is(parts, ok, want)) return;
  EXPECT_EQ(OfflineChangePointResultWire::from_runtime(parts->result, parts->extra,
                                                       parts->diagnostics_extra)
                .to_json(),
            want == "same"             ? text
            : want.starts_with("doc:") ? edited_document(want.substr(4))
                                       : want);
}

OVREL_ROW_SUITE(ResultBoundTest, "core_result_bounds.txt", 10);

TEST_P(ResultBoundTest, ListsLongerThanNPlusOneAreRefusedUnread) {
  const auto& row = GetParam();
  ASSERT_EQ(row.size(), 3u);
  const std::string text = edited_document(row[1]);
  ASSERT_EQ(test_support::result_json_fault(text), "");
  auto wire = OfflineChangePointResultWire::from_json(text);
  if (row[2].starts_with("read: ")) {
    ASSERT_FALSE(wire.has_value());
    EXPECT_EQ(wire.error().display(), "invalid input: " + row[2].substr(6));
    return;
  }
  ASSERT_TRUE(wire.has_value()) << wire.error().display();
  auto parts = std::move(*wire).into_runtime_parts();
  ASSERT_FALSE(parts.has_value());
  EXPECT_EQ(parts.error().display(), "invalid input: " + row[2].substr(9));
}

OVREL_ROW_SUITE(ReadErrorTest, "core_json_read_errors.txt", 20);

TEST_P(ReadErrorTest, ReaderMessage) {
  ASSERT_EQ(GetParam().size(), 3u);
  const std::string& spec = GetParam()[1];
  auto wire = OfflineChangePointResultWire::from_json(
      spec.starts_with("base then ") ? edited_document("base") + spec.substr(10) : spec);
  ASSERT_FALSE(wire.has_value());
  EXPECT_EQ(wire.error(), OvrelError::invalid_input(GetParam()[2]));
}

TEST(ReadErrorTest, EndsOfInput) {
  EXPECT_EQ(OfflineChangePointResultWire::from_json("{\"breakpoints\":[1,\n2").error().message(),
            "EOF while parsing a list at line 2 column 1");
}

TEST(JsonReaderTest, NestingLimitCountsTheDocumentObject) {
  // The document is level 1, so a free value may open 126 more levels.
  const auto nested = [](std::size_t n) { return std::string(n, '[') + std::string(n, ']'); };
  std::string text = edited_document("base");
  text.insert(text.size() - 1, R"(,"deep":)" + nested(126));
  auto wire = OfflineChangePointResultWire::from_json(text);
  ASSERT_TRUE(wire.has_value()) << wire.error().display();
  EXPECT_TRUE(std::move(*wire).into_runtime_parts().has_value());
  text.insert(text.size() - 1 - 126, "[]");  // one level more
  wire = OfflineChangePointResultWire::from_json(text);
  ASSERT_FALSE(wire.has_value());
  EXPECT_NE(wire.error().message().find("recursion limit exceeded at line 1"), std::string::npos);
  // Deep garbage ends at the limit instead of exhausting the stack.
  EXPECT_FALSE(parse_json_document(std::string(1'000'000, '[')).has_value());
}

// Numbers by kind and value, sign of zero included, or refused: tests/data/core_json_numbers.txt,
// and refused strings whose bytes a data row cannot hold.
TEST(JsonReaderTest, NumberKindsAndValues) {
  auto rows = test_support::data_rows("core_json_numbers.txt");
  ASSERT_EQ(rows.size(), 37u);
  for (const char* bad : {"\"a\x01\"", "\"\xff\"", "\"\xc0\xaf\"", "\"\xed\xa0\x80\""})
    rows.push_back({bad, "refused"});
  for (const auto& row : rows) {
    SCOPED_TRACE(row.at(0));
    auto node = parse_json_document(row[0]);
    if (row.at(1) == "refused") {
      EXPECT_TRUE(!node && node.error().kind() == ErrorKind::InvalidInput &&
                  node.error().message().find(" at line ") != std::string::npos);
      continue;
    }
    ASSERT_TRUE(node.has_value()) << node.error().display();
    using Kind = JsonNode::Kind;
    const char* const kinds[] = {"Null", "Bool", "Unsigned", "Signed", "Float", "String", "Array"};
    EXPECT_EQ(kinds[std::min(static_cast<int>(node->kind), 6)], row.at(1));
    const double v = node->kind == Kind::Unsigned ? static_cast<double>(node->unsigned_value)
                     : node->kind == Kind::Signed ? static_cast<double>(node->signed_value)
                                                  : node->float_value;
    EXPECT_TRUE(test_support::same_bits(v, std::strtod(row.at(2).c_str(), nullptr))) << v;
  }
}

TEST(JsonWriterTest, StringEscapes) {
  // The first and last code points of each UTF-8 length are read and written unchanged.
  const std::string edges =
      "\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf";
  EXPECT_EQ(parse_json_document("\"" + edges + "\"").value().text, edges);
  std::string out;
  append_json_string(out, std::string("a\"\\/\b\t\n\f\r\x01\x1f\x7f\xc3\xa9", 15) + edges);
  EXPECT_EQ(out, "\"a\\\"\\\\/\\b\\t\\n\\f\\r\\u0001\\u001f\x7f\xc3\xa9\\u0000" + edges + "\"");
  out.clear();
  append_json_string(out, "bad\xff");
  EXPECT_EQ(out, "\"bad\xEF\xBF\xBD\"");
  auto node = parse_json_document(R"("\u00e9\ud83d\ude00\/")");
  ASSERT_TRUE(node.has_value());
  EXPECT_EQ(node->text, "\xc3\xa9\xf0\x9f\x98\x80/");
}

// The texts of chosen values are in tests/data/core_float_texts.txt.
TEST(JsonWriterTest, FloatsReadBackExactly) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) {
    const double v = std::bit_cast<double>(rng());
    if (!std::isfinite(v)) continue;
    std::string out;
    append_json_f64(out, v);
    auto node = parse_json_document(out);
    ASSERT_TRUE(node.has_value()) << out;
    ASSERT_EQ(node->kind, JsonNode::Kind::Float) << out;
    ASSERT_TRUE(test_support::same_bits(node->float_value, v)) << out;
  }
}

// Every corpus file, then flips, insertions, cuts, truncations and splices of the corpus and of the
// documents of the conversion table: refused cleanly or read into a value that writes back to a
// fixed point.
TEST(ResultJsonFuzzTest, CorpusAndItsMutationsFailCleanlyOrRoundTrip) {
  std::error_code missing;  // no folder, no files: the count check fails
  const std::set<std::filesystem::path> files(
      std::filesystem::directory_iterator(
          test_support::source_dir() / "tests/fuzz/corpus/result_json", missing),
      {});
  std::vector<std::string> seeds;
  for (const auto& f : files) seeds.push_back(test_support::read_file(f));
  ASSERT_GE(seeds.size(), 6u) << "fuzz corpus not found; set OVREL_SOURCE_DIR";
  for (const std::string& text : seeds)
    ASSERT_EQ(test_support::result_json_fault(text), "") << text;

  for (const auto& row : test_support::data_rows("core_result_documents.txt"))
    seeds.push_back(row[1].starts_with("{") ? row[1] : edited_document(row[1]));
  static constexpr char kAlphabet[] = "{}[],:\"\\0123456789.eE+-tfnul \n\xff\xc3";
  std::mt19937_64 rng(20240601);
  for (int iter = 0; iter < 20000; ++iter) {
    std::string text = seeds[rng() % seeds.size()];
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const std::size_t at = rng() % text.size(), kind = rng() % 5;
      const char c = kAlphabet[rng() % (sizeof kAlphabet - 1)];
      if (kind == 0) text[at] = c;  // flip
      if (kind == 1) text.insert(at, 1, c);
      if (kind == 2) text.erase(at, 1 + rng() % 8);                                  // cut
      if (kind == 3) text.resize(at);                                                // truncate
      if (kind == 4) text.insert(at, text.substr(rng() % text.size(), rng() % 16));  // splice
    }
    ASSERT_EQ(test_support::result_json_fault(text), "") << text;
  }
}

}  // namespace
}  // namespace ovrel::core
