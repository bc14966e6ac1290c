#include "contact_sheet.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "camera.h"
#include "digit_font.h"
#include "mesh_files.h"
#include "mesh_renderer.h"

namespace {

constexpr int32_t kGap = 2;
// Largest side of a sheet, in pixels (a square that large takes 1 GiB).
constexpr int64_t kMaxSheetSide = 16384;
constexpr uint8_t kGapColour[3] = {34, 36, 40};

struct Cell {
  std::string file;
  int64_t label;
};

}  // namespace

std::optional<int64_t> FrameNumberOfFile(const std::string& path) {
  const std::string stem = std::filesystem::path(path).stem().string();
  size_t end = stem.size();
  while (end > 0 && !std::isdigit(static_cast<unsigned char>(stem[end - 1]))) --end;
  if (end == 0) return std::nullopt;
  size_t begin = end;
  while (begin > 0 && std::isdigit(static_cast<unsigned char>(stem[begin - 1]))) --begin;
  if (end - begin > 18) return std::nullopt;
  int64_t number = std::stoll(stem.substr(begin, end - begin));
  if (begin > 0 && stem[begin - 1] == '-' &&
      (begin == 1 || !std::isalnum(static_cast<unsigned char>(stem[begin - 2])))) {
    number = -number;
  }
  return number;
}

bool MakeContactSheet(const std::vector<std::string>& files, const SheetLayout& layout, Picture& sheet,
                      std::string& error) {
  // 1) the cells, in frame order when every file has a number
  std::vector<Cell> cells;
  bool numbered = true;
  for (size_t n = 0; n < files.size(); ++n) {
    if (!IsWritableMeshName(files[n])) {
      error = files[n] + ": not a .obj or .ply file";
      return false;
    }
    const std::optional<int64_t> frame = FrameNumberOfFile(files[n]);
    numbered = numbered && frame.has_value();
    cells.push_back(Cell{files[n], frame.value_or(static_cast<int64_t>(n) + 1)});
  }
  if (!numbered) {
    for (size_t n = 0; n < cells.size(); ++n) cells[n].label = static_cast<int64_t>(n) + 1;
  } else {
    std::stable_sort(cells.begin(), cells.end(), [](const Cell& a, const Cell& b) { return a.label < b.label; });
  }

  // 2) one camera for all: the union of the meshes' bounds
  MeshData mesh;
  Box3 bounds;
  for (const Cell& cell : cells) {
    if (!ReadMeshFile(cell.file, mesh, error)) {
      error = cell.file + ": " + error;
      return false;
    }
    bounds.Add(BoundsOf(mesh.positions.data(), mesh.VertexCount()));
  }
  const Camera camera = FrameBox(bounds, layout.cellWidth, layout.cellHeight);

  // 3) the sheet, cell by cell
  const auto count = static_cast<int32_t>(cells.size());
  int32_t columns = layout.columns;
  if (columns <= 0) columns = static_cast<int32_t>(std::ceil(std::sqrt(1.5 * static_cast<double>(count))));
  columns = std::clamp(columns, 1, std::max(count, 1));
  const int32_t rows = std::max(1, (count + columns - 1) / columns);
  const int64_t sheetWidth = static_cast<int64_t>(columns) * (layout.cellWidth + kGap) + kGap;
  const int64_t sheetHeight = static_cast<int64_t>(rows) * (layout.cellHeight + kGap) + kGap;
  if (sheetWidth > kMaxSheetSide || sheetHeight > kMaxSheetSide) {
    error = "the sheet would be " + std::to_string(sheetWidth) + " x " + std::to_string(sheetHeight) +
            " pixels, above " + std::to_string(kMaxSheetSide) + " a side: use smaller cells or other columns";
    return false;
  }
  sheet.Reset(static_cast<int32_t>(sheetWidth), static_cast<int32_t>(sheetHeight), kGapColour[0], kGapColour[1],
              kGapColour[2]);
  MeshRenderer renderer;
  Picture cellPicture;
  for (int32_t n = 0; n < count; ++n) {
    const Cell& cell = cells[static_cast<size_t>(n)];
    if (!ReadMeshFile(cell.file, mesh, error)) {
      error = cell.file + ": " + error;
      return false;
    }
    renderer.Render(mesh, camera, cellPicture);
    LabelFrame(cellPicture, cell.label);
    const int32_t left = kGap + (n % columns) * (layout.cellWidth + kGap);
    const int32_t top = kGap + (n / columns) * (layout.cellHeight + kGap);
    const size_t rowBytes = static_cast<size_t>(layout.cellWidth) * 3;
    for (int32_t y = 0; y < layout.cellHeight; ++y) {
      const size_t from = static_cast<size_t>(y) * rowBytes;
      const size_t to = 3 * ((static_cast<size_t>(top + y)) * static_cast<size_t>(sheet.width) + static_cast<size_t>(left));
      std::copy_n(cellPicture.rgb.begin() + static_cast<std::ptrdiff_t>(from), rowBytes,
                  sheet.rgb.begin() + static_cast<std::ptrdiff_t>(to));
      std::copy_n(cellPicture.coverage.begin() + static_cast<std::ptrdiff_t>(y) * layout.cellWidth, layout.cellWidth,
                  sheet.coverage.begin() + static_cast<std::ptrdiff_t>((top + y) * sheet.width + left));
    }
  }
  return true;
}
