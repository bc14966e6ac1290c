#include "attribute_columns.h"

#include <cstddef>
#include <string_view>

std::vector<AttributeColumns> GroupColumns(const std::vector<std::string>& names, int xyz[3]) {
  struct Vector {
    const char* name;
    const char* components[3];
  };
  static constexpr Vector kVectors[] = {
      {"v", {"vx", "vy", "vz"}}, {"v", {"velocity_x", "velocity_y", "velocity_z"}}, {"N", {"nx", "ny", "nz"}}};
  const size_t n = names.size();
  std::vector<bool> used(n, false);
  auto find = [&](std::string_view name) {
    for (size_t p = 0; p < n; ++p) {
      if (!names[p].empty() && names[p] == name) return static_cast<int>(p);
    }
    return -1;
  };
  const char* axes[3] = {"x", "y", "z"};
  for (int axis = 0; axis < 3; ++axis) {
    xyz[axis] = find(axes[axis]);
    if (xyz[axis] >= 0) used[static_cast<size_t>(xyz[axis])] = true;
  }
  std::vector<AttributeColumns> attributes;
  auto taken = [&](std::string_view name) {
    for (const AttributeColumns& attribute : attributes) {
      if (attribute.name == name) return true;
    }
    return false;
  };
  auto unused = [&](int p) { return p >= 0 && !used[static_cast<size_t>(p)]; };
  auto add = [&](const std::string& name, std::vector<int> columns) {
    for (int p : columns) used[static_cast<size_t>(p)] = true;
    attributes.push_back(AttributeColumns{name, std::move(columns)});
  };
  for (const Vector& vector : kVectors) {
    const int p[3] = {find(vector.components[0]), find(vector.components[1]), find(vector.components[2])};
    if (unused(p[0]) && unused(p[1]) && unused(p[2]) && !taken(vector.name)) add(vector.name, {p[0], p[1], p[2]});
  }
  for (size_t p = 0; p < n; ++p) {
    const std::string& name = names[p];
    if (!unused(static_cast<int>(p)) || name.size() < 3 || name.compare(name.size() - 2, 2, "_x") != 0) continue;
    const std::string stem = name.substr(0, name.size() - 2);
    const int y = find(stem + "_y");
    const int z = find(stem + "_z");
    if (unused(y) && unused(z) && !taken(stem)) add(stem, {static_cast<int>(p), y, z});
  }
  for (size_t p = 0; p < n; ++p) {
    if (names[p].empty() || !unused(static_cast<int>(p)) || taken(names[p])) continue;
    add(names[p], {static_cast<int>(p)});
  }
  return attributes;
}
