#pragma once

// Files the tests read: tables of exact texts under tests/data and the fuzz corpus. The source
// folder is $OVREL_SOURCE_DIR, or found from this file's path as the compiler gave it (absolute,
// or relative to the build folder).

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace ovrel::test_support {

inline std::filesystem::path source_dir() {
  namespace fs = std::filesystem;
  if (const char* root = std::getenv("OVREL_SOURCE_DIR")) return root;
  const fs::path here = fs::path(__FILE__).parent_path() / "../..";
  if (here.is_absolute()) return here;
  // A compiler cache gives the path relative to the build folder, which holds the test binaries.
  std::error_code error;
  const fs::path exe = fs::read_symlink("/proc/self/exe", error);
  return error ? here : exe.parent_path() / here;
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The rows of tests/data/<name>: every line that is neither blank nor a # comment, cut at every
// "|" into trimmed fields. Empty when the file is missing (callers require a row count).
inline std::vector<std::vector<std::string>> data_rows(const std::string& name) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(read_file(source_dir() / "tests/data" / name));
  for (std::string line; std::getline(lines, line);) {
    if (line.find_first_not_of(' ') == std::string::npos || line[0] == '#') continue;
    std::vector<std::string>& row = rows.emplace_back();
    std::istringstream fields(line);
    for (std::string field; std::getline(fields, field, '|');) {
      field.erase(0, field.find_first_not_of(' '));
      field.erase(field.find_last_not_of(' ') + 1);
      row.push_back(field);
    }
  }
  return rows;
}

}  // namespace ovrel::test_support
