#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "grid_fixture.h"
#include "support/mesh_checks.h"
#include "support/temp_folder.h"

using grid_test::SetBox;
using grid_test::Sphere;
using XSI::CDoubleArray;
using XSI::CLongArray;
using XSI::MATH::CVector3;
using XSI::MATH::CVector3Array;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<unsigned char>;

Bytes ReadBytes(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void PutInt(Bytes& bytes, size_t at, int32_t value) {
  for (int b = 0; b < 4; ++b) bytes[at + b] = static_cast<unsigned char>(static_cast<uint32_t>(value) >> (8 * b));
}

const Bytes kSignature = {0x89, 0x47, 0x52, 0x44, 0x0D, 0x0A, 0x1A, 0x0A, 0x32, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30};

// A cache base "<temporary folder>\cache\blob", stored with backslashes as the
// name rule leaves it; the files land in <temporary folder>/cache.
class GridCache : public ::testing::Test {
 protected:
  GridCache() {
    fs::create_directories(root / "cache");
    SetBox(in, Int3{8, 8, 8}, Float3{2, 2, 2});
    in.settings.cacheFileBase = XSI::CString(root.wstring() + L"\\cache\\blob");
    in.settings.cacheUsable = true;
    in.settings.mode = 3;
    in.settings.evalFrame = 12;
  }

  fs::path FrameFile(const std::string& frame) const { return root / "cache" / ("blob." + frame + ".grd"); }
  static MeshArrays Mesh(const CVector3Array& v, const CLongArray& p, const CDoubleArray& n) {
    MeshArrays mesh;
    mesh.vertices = v;
    mesh.polygons = p;
    mesh.nodeValues = n;
    return mesh;
  }
  bool Write(const CVector3Array& v, const CLongArray& p, const CDoubleArray& n) {
    return WriteGridCache(in.settings, Mesh(v, p, n));
  }
  // Reads into arrays pre-filled with one sentinel entry each.
  void Read(CVector3Array& v, CLongArray& p, CDoubleArray& n) {
    v.Clear();
    p.Clear();
    n.Clear();
    v.Add(CVector3(7, 7, 7));
    p.Add(7);
    n.Add(7.0);
    MeshArrays mesh = Mesh(v, p, n);
    ReadGridCache(in.settings, mesh);
    v = mesh.vertices;
    p = mesh.polygons;
    n = mesh.nodeValues;
  }
  static bool Untouched(const CVector3Array& v, const CLongArray& p, const CDoubleArray& n) {
    return v.GetCount() == 1 && p.GetCount() == 1 && n.GetCount() == 1 && p[0] == 7;
  }
  static bool Cleared(const CVector3Array& v, const CLongArray& p, const CDoubleArray& n) {
    return v.GetCount() == 0 && p.GetCount() == 0 && n.GetCount() == 0;
  }

  // Two triangles over four vertices with normals.
  void SmallMesh(CVector3Array& v, CLongArray& p, CDoubleArray& n) {
    v.Add(CVector3(0.1, -2.5, 3.0));
    v.Add(CVector3(1, 0, 0));
    v.Add(CVector3(0, 1, 0));
    v.Add(CVector3(0, 0, 1e-3));
    for (XSI::LONG e : {3, 0, 1, 2, 3, 0, 2, 3}) p.Add(e);
    for (int k = 0; k < 12; ++k) n.Add(0.1 * k - 0.5);
  }

  TempFolder temp{"glomora_grid_cache"};
  const fs::path root = temp.Path();
  OperatorInstance in;
};

TEST_F(GridCache, EmptyFrameIsTheThirtyTwoByteHeader) {
  Write(CVector3Array(), CLongArray(), CDoubleArray());
  Bytes expected = kSignature;
  expected.resize(32, 0);
  EXPECT_EQ(ReadBytes(FrameFile("12")), expected);
  CVector3Array v;
  CLongArray p;
  CDoubleArray n;
  Read(v, p, n);
  EXPECT_TRUE(Cleared(v, p, n));  // resized to the three zero counts
}

TEST_F(GridCache, LayoutIsLittleEndianWithEntryCounts) {
  CVector3Array v;
  CLongArray p;
  CDoubleArray n;
  SmallMesh(v, p, n);
  Write(v, p, n);
  const Bytes bytes = ReadBytes(FrameFile("12"));
  ASSERT_EQ(bytes.size(), 32u + 12 * 4 + 4 * 8 + 8 * 12);
  EXPECT_TRUE(std::equal(kSignature.begin(), kSignature.end(), bytes.begin()));
  const Bytes counts(bytes.begin() + 16, bytes.begin() + 32);
  EXPECT_EQ(counts, (Bytes{4, 0, 0, 0, 8, 0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 0}));
  // y of vertex 0 is -2.5f = 0xC0200000.
  EXPECT_EQ(Bytes(bytes.begin() + 36, bytes.begin() + 40), (Bytes{0x00, 0x00, 0x20, 0xC0}));
  // The first polygon entry (3), then the first node value -0.5 = 0xBFE0000000000000.
  EXPECT_EQ(Bytes(bytes.begin() + 80, bytes.begin() + 84), (Bytes{3, 0, 0, 0}));
  EXPECT_EQ(Bytes(bytes.begin() + 112, bytes.begin() + 120), (Bytes{0, 0, 0, 0, 0, 0, 0xE0, 0xBF}));
}

TEST_F(GridCache, RoundTripKeepsTheMeshWithCoordinatesThroughFloat) {
  CVector3Array v;
  CLongArray p;
  CDoubleArray n;
  SmallMesh(v, p, n);
  Write(v, p, n);
  CVector3Array rv;
  CLongArray rp;
  CDoubleArray rn;
  Read(rv, rp, rn);
  ASSERT_EQ(rv.GetCount(), 4);
  EXPECT_EQ(rv[0].GetX(), static_cast<double>(0.1f));
  EXPECT_EQ(rv[0].GetY(), -2.5);
  EXPECT_EQ(rv[3].GetZ(), static_cast<double>(1e-3f));
  EXPECT_TRUE(rp == p);
  EXPECT_TRUE(rn == n);
}

TEST_F(GridCache, FrameTextHasNoLeadingZerosAndKeepsTheSign) {
  for (int frame : {9, 10, -3}) {
    in.settings.evalFrame = frame;
    Write(CVector3Array(), CLongArray(), CDoubleArray());
  }
  EXPECT_TRUE(fs::exists(FrameFile("9")));
  EXPECT_TRUE(fs::exists(FrameFile("10")));
  EXPECT_TRUE(fs::exists(FrameFile("-3")));
  EXPECT_EQ(std::distance(fs::directory_iterator(root / "cache"), fs::directory_iterator()), 3);
}

TEST_F(GridCache, DamagedFilesAreRefusedOrCleared) {
  CVector3Array v;
  CLongArray p;
  CDoubleArray n;
  SmallMesh(v, p, n);
  Write(v, p, n);
  const Bytes good = ReadBytes(FrameFile("12"));

  struct Case {
    const char* what;
    Bytes bytes;
    bool refused;  // arrays untouched (not a cache file) rather than cleared
  };
  std::vector<Case> cases;
  Bytes wrongVersion = good;
  wrongVersion[15] = '1';
  cases.push_back({"16th signature byte", wrongVersion, true});
  cases.push_back({"shorter than the signature", Bytes(good.begin(), good.begin() + 10), true});
  cases.push_back({"cut inside the counts", Bytes(good.begin(), good.begin() + 24), false});
  cases.push_back({"cut inside the vertex block", Bytes(good.begin(), good.begin() + 50), false});
  cases.push_back({"cut before the last node value", Bytes(good.begin(), good.end() - 1), false});
  for (int field : {16, 20, 24}) {
    Bytes negative = good;
    PutInt(negative, field, -1);
    cases.push_back({"negative count", negative, false});
    Bytes huge = good;
    PutInt(huge, field, INT32_MAX);
    cases.push_back({"count beyond the file", huge, false});
  }
  Bytes oneMore = good;
  PutInt(oneMore, 20, 9);
  cases.push_back({"one entry more than the file holds", oneMore, false});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteBytes(FrameFile("12"), c.bytes);
    CVector3Array rv;
    CLongArray rp;
    CDoubleArray rn;
    Read(rv, rp, rn);
    if (c.refused) {
      EXPECT_TRUE(Untouched(rv, rp, rn));
    } else {
      EXPECT_TRUE(Cleared(rv, rp, rn));
    }
  }
}

TEST_F(GridCache, ReadHappensOnlyInModeThreeWithAUsableNameAndAnExistingFile) {
  Write(CVector3Array(), CLongArray(), CDoubleArray());
  CVector3Array v;
  CLongArray p;
  CDoubleArray n;
  in.settings.mode = 2;
  Read(v, p, n);
  EXPECT_TRUE(Untouched(v, p, n));
  in.settings.mode = 3;
  in.settings.cacheUsable = false;
  Read(v, p, n);
  EXPECT_TRUE(Untouched(v, p, n));
  in.settings.cacheUsable = true;
  in.settings.evalFrame = 13;  // no such file
  Read(v, p, n);
  EXPECT_TRUE(Untouched(v, p, n));
}

TEST_F(GridCache, ExtractionWritesOnlyWhenAskedInModeTwoWithAUsableName) {
  const MetaElement e = Sphere(Float3{0, 0, 0}, 0.5f);
  const int32_t count = 1;
  in.gridPolygonizer.SimulateStep(in.settings, &e, count);
  struct Case {
    bool writeCache;
    int mode;
    bool usable;
    bool written;
  };
  for (const Case& c : {Case{true, 2, true, true}, Case{false, 2, true, false}, Case{true, 1, true, false},
                        Case{true, 3, true, false}, Case{true, 2, false, false}}) {
    SCOPED_TRACE(testing::Message() << c.writeCache << " " << c.mode << " " << c.usable);
    fs::remove(FrameFile("12"));
    in.settings.mode = c.mode;
    in.settings.cacheUsable = c.usable;
    MeshArrays mesh;
    in.gridPolygonizer.ExtractAndCache(in.settings, in.cubeTable, mesh, c.writeCache);
    EXPECT_GT(mesh.polygons.GetCount(), 0);
    EXPECT_EQ(fs::exists(FrameFile("12")), c.written);
    if (!c.written) continue;
    in.settings.mode = 3;
    CVector3Array rv;
    CLongArray rp;
    CDoubleArray rn;
    Read(rv, rp, rn);
    EXPECT_TRUE(rp == mesh.polygons);
    EXPECT_EQ(rv.GetCount(), mesh.vertices.GetCount());
    EXPECT_TRUE(IsClosedManifold(rp, true));
  }
}

TEST_F(GridCache, FailedWriteIsLoggedAndLeavesThePreviousFileAndNoPartialOne) {
  CVector3Array v;
  CLongArray p;
  CDoubleArray n;
  SmallMesh(v, p, n);
  Write(v, p, n);
  const Bytes previous = ReadBytes(FrameFile("12"));
  // Each failed write logs one line naming the frame's file ("/" separators).
  XSI::Host::Scene& host = XSI::Host::Scene::Get();
  const std::wstring failed = L"blob.polymsh.GlomoraGeometry.Glomora -> " + FrameFile("12").wstring() + L" -> error.";
  auto loggedOnce = [&] {
    const bool once = host.GetLog().size() == 1 && host.GetLog()[0].text == failed;
    host.ClearLog();
    return once;
  };
  host.ClearLog();

  // A mesh larger than the file size limit: the write fails part way.
  CVector3Array big;
  for (int k = 0; k < 10000; ++k) big.Add(CVector3(k, k, k));
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 4096;
  void (*oldHandler)(int) = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool cutShort = Write(big, CLongArray(), CDoubleArray());
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(cutShort);
  EXPECT_TRUE(loggedOnce());
  EXPECT_EQ(ReadBytes(FrameFile("12")), previous);
  EXPECT_EQ(std::distance(fs::directory_iterator(root / "cache"), fs::directory_iterator()), 1);

  // A temporary that cannot be created: nothing is written at all.
  fs::create_directory(FrameFile("12").string() + ".partial");
  EXPECT_FALSE(Write(big, CLongArray(), CDoubleArray()));
  EXPECT_TRUE(loggedOnce());
  EXPECT_EQ(ReadBytes(FrameFile("12")), previous);
  fs::remove(FrameFile("12").string() + ".partial");

  // A successful write replaces the file whole, leaves nothing beside it and
  // logs nothing.
  EXPECT_TRUE(Write(big, CLongArray(), CDoubleArray()));
  EXPECT_TRUE(host.GetLog().empty());
  EXPECT_EQ(ReadBytes(FrameFile("12")).size(), 32u + 12 * 10000);
  EXPECT_EQ(std::distance(fs::directory_iterator(root / "cache"), fs::directory_iterator()), 1);
}

}  // namespace
