#include "ovrel/core/json_text.hpp"

namespace ovrel::core {

Result<JsonNode> parse_json_document(std::string_view) { return invalid_input("not yet"); }
Result<nlohmann::json> parse_json_value(std::string_view) { return invalid_input("not yet"); }
nlohmann::json to_free_value(const JsonNode&) { return nullptr; }
std::string json_error_text(std::string_view message, JsonPosition) { return std::string(message); }
std::string describe_json_node(const JsonNode&) { return {}; }
void append_json_string(std::string&, std::string_view) {}
void append_json_f64(std::string&, double) {}
void append_json_value(std::string&, const nlohmann::json&) {}

}  // namespace ovrel::core
