// Arbitrary bytes as a grid cache file, played back in Space 0 Mode 3 through
// the host's calls (main operator, then the three transfer operators), with
// every post-processing stage on so that whatever the reader accepts flows
// through the geometry dataset, relaxation, smoothing and the writers.
// Checks: the host mesh the plug-in leaves has every index in range.

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "fuzz_check.h"
#include "glomora_rig.h"
#include "host/host_scene.h"

namespace {

struct Setup {
  std::filesystem::path folder;
  std::string cacheFile;
  GlomoraRig* rig = nullptr;

  Setup() {
    folder = std::filesystem::temp_directory_path() / ("glomora-fuzz-grd-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    cacheFile = (folder / "take.1.grd").string();
    XSI::Host::Scene::Get().Reset();
    rig = new GlomoraRig(L"fuzz");
    const auto set = [&](const wchar_t* name, const XSI::CValue& value) { rig->SetParameter(name, value); };
    set(L"Space", XSI::CValue(XSI::LONG{0}));
    set(L"Mode", XSI::CValue(XSI::LONG{3}));
    set(L"Resolution_X", XSI::CValue(XSI::LONG{4}));
    set(L"Resolution_Y", XSI::CValue(XSI::LONG{4}));
    set(L"Resolution_Z", XSI::CValue(XSI::LONG{4}));
    set(L"User_normals", XSI::CValue(true));
    set(L"UVspace", XSI::CValue(true));
    set(L"Geometry_smooth_active", XSI::CValue(true));
    set(L"Geometry_degenerate_active", XSI::CValue(true));
    set(L"Geometry_degenerate_tolerance", XSI::CValue(0.5));
    set(L"Cache_filename", XSI::CValue(XSI::CString((folder / "take.grd").wstring())));
    rig->Init();
  }
  ~Setup() {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Setup setup;
  std::FILE* file = std::fopen(setup.cacheFile.c_str(), "wb");
  FUZZ_CHECK(file != nullptr);
  if (size > 0) FUZZ_CHECK(std::fwrite(data, 1, size, file) == size);
  FUZZ_CHECK(std::fclose(file) == 0);

  XSI::Host::Scene& scene = XSI::Host::Scene::Get();
  scene.ClearLog();
  setup.rig->Update(1.0);
  setup.rig->Transfer();

  XSI::MATH::CVector3Array vertices;
  XSI::CLongArray polygons;
  scene.GetMesh(setup.rig->mesh, vertices, polygons);
  FUZZ_CHECK(XSI::Host::FirstMalformedEntry(vertices.GetCount(), polygons) < 0);
  return 0;
}
