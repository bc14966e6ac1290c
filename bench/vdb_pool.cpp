// The OpenVDB reference of bench/pool.py: the same particles rasterised as
// spheres into a narrow-band level set (tools::ParticlesToLevelSet) at the
// same voxel size, then meshed (tools::volumeToMesh at 0). Run as a whole
// process so that its time and peak memory compare with `glomora run`'s.
//
// Usage: vdb_pool POINTS.ply RESOLUTION RADIUS
//   POINTS.ply  binary little-endian PLY of float x, y, z (bench/pool.py's)
//   RESOLUTION  cells across the unit box: voxel size 1 / RESOLUTION
//   RADIUS      particle radius in world units

#include <openvdb/openvdb.h>
#include <openvdb/tools/ParticlesToLevelSet.h>
#include <openvdb/tools/VolumeToMesh.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

struct Particles {
  using PosType = openvdb::Vec3R;
  std::vector<openvdb::Vec3R> positions;
  openvdb::Real radius = 0.0;
  size_t size() const { return positions.size(); }
  void getPos(size_t n, openvdb::Vec3R& xyz) const { xyz = positions[n]; }
  void getPosRad(size_t n, openvdb::Vec3R& xyz, openvdb::Real& rad) const {
    xyz = positions[n];
    rad = radius;
  }
};

bool ReadPly(const char* path, std::vector<openvdb::Vec3R>& positions) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  size_t count = 0;
  while (std::getline(in, line) && line != "end_header") {
    if (line.rfind("element vertex ", 0) == 0) count = std::stoul(line.substr(15));
  }
  std::vector<float> values(count * 3);
  in.read(reinterpret_cast<char*>(values.data()), static_cast<std::streamsize>(values.size() * sizeof(float)));
  if (!in) return false;
  positions.resize(count);
  for (size_t n = 0; n < count; ++n) positions[n] = openvdb::Vec3R(values[3 * n], values[3 * n + 1], values[3 * n + 2]);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: vdb_pool POINTS.ply RESOLUTION RADIUS\n");
    return 2;
  }
  Particles particles;
  if (!ReadPly(argv[1], particles.positions)) {
    std::fprintf(stderr, "vdb_pool: %s: cannot read the points\n", argv[1]);
    return 1;
  }
  const double voxel = 1.0 / std::atof(argv[2]);
  particles.radius = std::atof(argv[3]);
  openvdb::initialize();
  openvdb::FloatGrid::Ptr grid = openvdb::createLevelSet<openvdb::FloatGrid>(voxel, 3.0);
  openvdb::tools::ParticlesToLevelSet<openvdb::FloatGrid> raster(*grid);
  raster.setRmin(1.0);  // at resolution 256 the particles are 1.25 voxels wide
  raster.rasterizeSpheres(particles);
  raster.finalize(true);
  std::vector<openvdb::Vec3s> points;
  std::vector<openvdb::Vec3I> triangles;
  std::vector<openvdb::Vec4I> quads;
  openvdb::tools::volumeToMesh(*grid, points, triangles, quads, 0.0);
  std::printf("%zu leaf nodes, %zu points, %zu triangles, %zu quads\n", grid->tree().leafCount(), points.size(),
              triangles.size(), quads.size());
  return 0;
}
