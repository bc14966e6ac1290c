"""Particle files written by the libraries themselves (VTK's writers, numpy)
read by glomora.read_points, and per-vertex values on Mesh.attributes."""

import numpy as np
import pytest

import glomora

vtk = pytest.importorskip("vtkmodules.all", reason="python3-vtk9 is missing (scripts/setup.sh installs it)")
from vtkmodules.util import numpy_support  # noqa: E402

RNG = np.random.default_rng(5)
POSITIONS = RNG.uniform(-1.0, 1.0, size=(50, 3))
VELOCITY = RNG.uniform(-3.0, 3.0, size=(50, 3)).astype(np.float32)
PRESSURE = RNG.uniform(0.0, 10.0, size=50)  # written as double, read as float32


def dataset(kind):
    points = vtk.vtkPoints()
    points.SetData(numpy_support.numpy_to_vtk(POSITIONS, deep=True))
    data = vtk.vtkPolyData() if kind == "polydata" else vtk.vtkUnstructuredGrid()
    data.SetPoints(points)
    cells = vtk.vtkCellArray()
    for i in range(len(POSITIONS)):
        cells.InsertNextCell(1)
        cells.InsertCellPoint(i)
    if kind == "polydata":
        data.SetVerts(cells)
    else:
        data.SetCells(vtk.VTK_VERTEX, cells)
    velocity = numpy_support.numpy_to_vtk(VELOCITY, deep=True)
    velocity.SetName("velocity")
    pressure = numpy_support.numpy_to_vtk(PRESSURE, deep=True)
    pressure.SetName("pressure")
    data.GetPointData().SetVectors(velocity)
    data.GetPointData().SetScalars(pressure)
    data.GetCellData().AddArray(numpy_support.numpy_to_vtk(np.arange(len(POSITIONS), dtype=np.int32), deep=True))
    return data


def legacy(path, kind, binary, version):
    writer = vtk.vtkPolyDataWriter() if kind == "polydata" else vtk.vtkUnstructuredGridWriter()
    writer.SetInputData(dataset(kind))
    writer.SetFileName(str(path))
    if version == 42:
        writer.SetFileVersion(42)
    if binary:
        writer.SetFileTypeToBinary()
    else:
        writer.SetFileTypeToASCII()
    assert writer.Write() == 1


def check(path, exact):
    """Binary files hold the values themselves; VTK's ASCII writer keeps six
    significant digits of a float (and more of a double)."""
    positions, attributes = glomora.read_points(path)
    tolerance = 0.0 if exact else 1e-5
    np.testing.assert_allclose(positions, POSITIONS, rtol=tolerance, atol=1e-12)
    np.testing.assert_allclose(attributes["velocity"], VELOCITY, rtol=tolerance, atol=1e-6 if not exact else 0)
    np.testing.assert_allclose(attributes["pressure"][:, 0], PRESSURE.astype(np.float32), rtol=tolerance)
    assert attributes["velocity"].dtype == np.float32 and attributes["velocity"].shape == (50, 3)


@pytest.mark.parametrize("kind", ["polydata", "unstructured"])
@pytest.mark.parametrize("binary", [False, True])
@pytest.mark.parametrize("version", [42, 51])
def test_vtk_legacy_files_read_back_as_written(tmp_path, kind, binary, version):
    path = tmp_path / "parts.vtk"
    legacy(path, kind, binary, version)
    check(path, binary)


@pytest.mark.parametrize("kind", ["polydata", "unstructured"])
@pytest.mark.parametrize("mode,compressed,header,order", [
    ("ascii", False, 32, "little"), ("binary", False, 32, "little"), ("binary", True, 64, "big"),
    ("appended-raw", False, 64, "big"), ("appended-raw", True, 32, "little"),
    ("appended-base64", False, 32, "big"), ("appended-base64", True, 64, "little")])
def test_vtk_xml_files_read_back_as_written(tmp_path, kind, mode, compressed, header, order):
    path = tmp_path / ("parts.vtp" if kind == "polydata" else "parts.vtu")
    writer = vtk.vtkXMLPolyDataWriter() if kind == "polydata" else vtk.vtkXMLUnstructuredGridWriter()
    writer.SetInputData(dataset(kind))
    writer.SetFileName(str(path))
    {"ascii": writer.SetDataModeToAscii, "binary": writer.SetDataModeToBinary}.get(
        mode, writer.SetDataModeToAppended)()
    writer.SetEncodeAppendedData(mode == "appended-base64")
    (writer.SetCompressorTypeToZLib if compressed else writer.SetCompressorTypeToNone)()
    writer.SetBlockSize(256)  # several zlib blocks
    (writer.SetHeaderTypeToUInt64 if header == 64 else writer.SetHeaderTypeToUInt32)()
    (writer.SetByteOrderToBigEndian if order == "big" else writer.SetByteOrderToLittleEndian)()
    assert writer.Write() == 1
    check(path, mode != "ascii")
    # Cut short, or with a block damaged: refused, naming the file.
    data = path.read_bytes()
    (tmp_path / ("cut" + path.suffix)).write_bytes(data[:len(data) // 2])
    with pytest.raises(ValueError, match="cut" + path.suffix):
        glomora.read_points(tmp_path / ("cut" + path.suffix))


def test_text_points_read_back_as_written(tmp_path):
    table = np.column_stack([POSITIONS, VELOCITY, PRESSURE])
    header = "x,y,z,vx,vy,vz,pressure"
    np.savetxt(tmp_path / "parts.csv", table, delimiter=",", header=header, comments="", fmt="%.17g")
    np.savetxt(tmp_path / "parts.xyz", table, header=header.replace(",", " "), comments="", fmt="%.17g")
    for name in ("parts.csv", "parts.xyz"):
        positions, attributes = glomora.read_points(tmp_path / name)
        np.testing.assert_array_equal(positions, POSITIONS)
        np.testing.assert_array_equal(attributes["v"], VELOCITY)
        np.testing.assert_array_equal(attributes["pressure"][:, 0], PRESSURE.astype(np.float32))


def test_damaged_files_are_refused_naming_the_file(tmp_path):
    path = tmp_path / "parts.vtk"
    legacy(path, "polydata", True, 51)
    (tmp_path / "cut.vtk").write_bytes(path.read_bytes()[:400])
    (tmp_path / "bad.csv").write_text("x,y,z\n1,2,3\n1,2\n")
    writer = vtk.vtkXMLPolyDataWriter()
    writer.SetInputData(dataset("polydata"))
    writer.SetFileName(str(tmp_path / "lz4.vtp"))
    writer.SetCompressorTypeToLZ4()
    assert writer.Write() == 1
    for name, message in (("cut.vtk", "line "), ("bad.csv", "line 3: 2 values for the 3 columns"),
                          ("lz4.vtp", 'compressor "vtkLZ4DataCompressor": only vtkZLibDataCompressor is read')):
        with pytest.raises(ValueError, match=name + ".*" + message):
            glomora.read_points(tmp_path / name)


def test_mesh_attributes_carry_the_transferred_values(tmp_path):
    np.savetxt(tmp_path / "parts.csv", np.column_stack([POSITIONS * 0.3, VELOCITY, PRESSURE]), delimiter=",",
               header="x,y,z,vx,vy,vz,pressure", comments="")
    scene = glomora.Scene({"name": "p", "frames": [1, 1], "transfer": ["pressure"],
                           "parameters": {"Space": 0, "Particle_size": 0.3},
                           "sources": [{"type": "cloud", "file": str(tmp_path / "parts.csv"),
                                        "velocity_attribute": "v"}]})
    mesh = scene.evaluate(1)
    assert list(mesh.attributes) == ["v", "pressure"]
    v = mesh.attributes["v"]
    assert v.dtype == np.float32 and v.shape == (len(mesh.vertices), 3) and not v.flags.writeable
    assert mesh.attributes["pressure"].shape == (len(mesh.vertices), 1)
    # averages of the particles' values: within their range
    assert np.all(v >= VELOCITY.min(axis=0) - 1e-5) and np.all(v <= VELOCITY.max(axis=0) + 1e-5)
    assert PRESSURE.min() - 1e-4 <= mesh.attributes["pressure"].min() <= mesh.attributes["pressure"].max() <= PRESSURE.max() + 1e-4
    mesh.write(tmp_path / "out.ply")
    positions, written = glomora.read_points(tmp_path / "out.ply")
    np.testing.assert_array_equal(written["v"], v)
    np.testing.assert_array_equal(written["pressure"], mesh.attributes["pressure"])
