// glomora: the command-line host. Builds a host scene, evaluates the plug-in's
// operators frame by frame and writes mesh files.

#include <cstdio>
#include <cstring>

#include "glomora_api.h"

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "--version") == 0)) {
    std::printf("glomora %s\n", Glomora_Version());
    return 0;
  }
  std::printf(
      "glomora %s: metaball sources to polygon meshes\n\n"
      "Usage: glomora --help | --version\n",
      Glomora_Version());
  return argc > 1 && std::strcmp(argv[1], "--help") != 0 ? 2 : 0;
}
