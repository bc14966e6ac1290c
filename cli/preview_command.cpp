// `glomora preview MESH_FILES --sheet OUT.png`: mesh files side by side as a
// contact sheet.

#include <cstdio>
#include <string>
#include <vector>

#include "atomic_file.h"
#include "command.h"
#include "contact_sheet.h"
#include "file_names.h"
#include "png_image.h"
#include "process_threads.h"
#include "progress_display.h"
#include "run_failure.h"
#include "tool_threads.h"

namespace {

struct PreviewOptions {
  std::vector<std::string> files;
  std::string sheet;
  std::string cellSize;
  int32_t columns = 0;
};

int RunPreview(const PreviewOptions& options) {
  SetToolThreads(ThreadsFor(0, 1));  // the pictures are the same bits at any count
  SheetLayout layout;
  if (!options.cellSize.empty() && !ParsePictureSize(options.cellSize, layout.cellWidth, layout.cellHeight)) {
    PrintError("--cell-size " + options.cellSize + ": expected W or WxH, each from " +
               std::to_string(kMinPictureSide) + " to " + std::to_string(kMaxPictureSide) + " pixels");
    return kExitBadInput;
  }
  layout.columns = options.columns;
  if (LowerExtension(options.sheet) != ".png") {
    PrintError("--sheet " + options.sheet + ": the file name must end in .png");
    return kExitBadInput;
  }
  Picture sheet;
  std::string error;
  if (!MakeContactSheet(options.files, layout, sheet, error)) {
    PrintError(error);
    return kExitBadInput;
  }
  std::string bytes;
  if (!MakeParentFolder(options.sheet, error) || !EncodePng(sheet, bytes, error) ||
      !WriteFileAtomically(options.sheet, bytes, error)) {
    PrintError(options.sheet + ": " + error);
    return kExitFailure;
  }
  std::printf("glomora: wrote %s (%d x %d, %zu frame%s)\n", options.sheet.c_str(), sheet.width, sheet.height,
              options.files.size(), options.files.size() == 1 ? "" : "s");
  return kExitSuccess;
}

}  // namespace

Command PreviewCommand() {
  return {"preview", "Draw OBJ or PLY files side by side as a contact sheet", false,
          [](CLI::App& command) -> std::function<int()> {
            auto options = std::make_shared<PreviewOptions>();
            command.add_option("MESH_FILES", options->files, "Mesh files (.obj, .ply), one per frame")
                ->required()
                ->type_name("FILE");
            command.add_option("--sheet", options->sheet, "The contact sheet to write")->required()->type_name("OUT.png");
            command
                .add_option("--cell-size", options->cellSize, "Size of each frame's cell: W or WxH pixels [default: 256]")
                ->type_name("W[xH]");
            command.add_option("--columns", options->columns, "Cells per row [default: about 3 for every 2 rows]")
                ->type_name("N")
                ->check(CLI::Range(1, 1000));
            return [options] { return RunPreview(*options); };
          }};
}
