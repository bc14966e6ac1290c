#include "csv_reader.h"

#include <charconv>
#include <cmath>
#include <string_view>
#include <vector>

#include "attribute_columns.h"
#include "finite_points.h"

namespace {

bool Fail(std::string& error, MeshData& mesh, std::string message) {
  error = std::move(message);
  mesh.Clear();
  return false;
}

std::string_view Trim(std::string_view text) {
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

// The fields of `line`, split at commas or at runs of spaces and tabs.
void Split(std::string_view line, bool commas, std::vector<std::string_view>& fields) {
  fields.clear();
  if (commas) {
    size_t start = 0;
    while (true) {
      const size_t comma = line.find(',', start);
      fields.push_back(Trim(line.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start)));
      if (comma == std::string_view::npos) return;
      start = comma + 1;
    }
  }
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) fields.push_back(line.substr(start, i - start));
  }
}

std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text.substr(0, 40)) out += (c >= 32 && c < 127) ? c : '?';
  return out + (text.size() > 40 ? "...\"" : "\"");
}

}  // namespace

bool ReadCsv(std::span<const uint8_t> bytes, MeshData& mesh, std::string& error) {
  mesh.Clear();
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  std::vector<std::string_view> fields;
  std::vector<AttributeColumns> groups;
  std::vector<double> row;
  size_t columns = 0;
  bool commas = false;
  bool headerSeen = false;
  int xyz[3] = {-1, -1, -1};
  size_t pos = 0;
  int64_t lineNumber = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = Trim(text.substr(pos, end - pos));
    pos = end + 1;
    ++lineNumber;
    if (line.empty() || line.front() == '#') continue;
    const std::string where = "line " + std::to_string(lineNumber) + ": ";
    if (!headerSeen) {
      // 1) the header: the columns' names
      headerSeen = true;
      commas = line.find(',') != std::string_view::npos;
      Split(line, commas, fields);
      std::vector<std::string> names;
      for (std::string_view field : fields) {
        if (field.empty()) return Fail(error, mesh, where + "a column has no name");
        names.emplace_back(field);
      }
      columns = names.size();
      groups = GroupColumns(names, xyz);
      if (xyz[0] < 0 || xyz[1] < 0 || xyz[2] < 0) {
        return Fail(error, mesh, where + "the header names no column x, y or z (it names " + Quoted(line) + ")");
      }
      for (const AttributeColumns& group : groups) {
        mesh.attributes.push_back(VertexAttribute{group.name, static_cast<int32_t>(group.columns.size()), {}});
      }
      row.resize(columns);
      continue;
    }
    // 2) one point per line, every column a finite decimal number
    Split(line, commas, fields);
    if (fields.size() != columns) {
      return Fail(error, mesh, where + std::to_string(fields.size()) + " values for the " + std::to_string(columns) +
                                   " columns of the header");
    }
    for (size_t c = 0; c < columns; ++c) {
      const std::string_view field = fields[c];
      const char* first = field.data();
      const char* last = field.data() + field.size();
      if (first != last && *first == '+') ++first;
      const auto result = std::from_chars(first, last, row[c]);
      if (first == last || result.ec != std::errc() || result.ptr != last || !std::isfinite(row[c])) {
        return Fail(error, mesh, where + Quoted(field) + " is not a finite decimal number");
      }
    }
    for (int axis = 0; axis < 3; ++axis) mesh.positions.push_back(row[static_cast<size_t>(xyz[axis])]);
    for (size_t a = 0; a < groups.size(); ++a) {
      for (int column : groups[a].columns) mesh.attributes[a].values.push_back(static_cast<float>(row[static_cast<size_t>(column)]));
    }
  }
  if (!headerSeen) return Fail(error, mesh, "no header line naming the columns");
  if (!CheckFinitePoints(mesh.positions, error)) return Fail(error, mesh, error);
  return true;
}
