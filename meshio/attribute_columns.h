#pragma once
// How the readers name per-point columns (PLY vertex properties, CSV
// columns): x, y, z are the position; vx vy vz or velocity_x velocity_y
// velocity_z the vector "v", nx ny nz the vector "N", NAME_x NAME_y NAME_z
// the vector NAME; every other column a scalar under its own name.

#include <string>
#include <vector>

// One attribute and the columns it is read from (1 or 3, in component order).
struct AttributeColumns {
  std::string name;
  std::vector<int> columns;
};

// The attributes of columns named `names` (an empty name is a column that
// holds no attribute), vectors first, then scalars in the columns' order; a
// name met twice keeps its first column. `xyz` gets the columns of x, y, z
// (-1 where missing).
std::vector<AttributeColumns> GroupColumns(const std::vector<std::string>& names, int xyz[3]);
