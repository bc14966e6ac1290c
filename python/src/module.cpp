// glomora._glomora: the Python bindings of the run loop (engine.h). The pure
// Python part of the package (glomora/__init__.py) gives the public API.
//
// The interpreter's lock is released while the engine works; the engine
// takes it back only for the caller's progress callback and to look for a
// pending KeyboardInterrupt.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <charconv>
#include <cstdio>
#include <chrono>
#include <cmath>
#include <limits>
#include <new>
#include <string_view>
#include <optional>
#include <vector>

#include "engine.h"
#include "file_names.h"
#include "front/glomora_api.h"
#include "mesh_files.h"
#include "output_pattern.h"
#include "parameter_catalogue.h"
#include "process_memory.h"
#include "scene_values.h"

namespace py = pybind11;
using namespace glomora_python;

namespace {

using Clock = std::chrono::steady_clock;

// How often the engine looks for a pending KeyboardInterrupt while a frame
// runs (at the host's progress events, while waiting for workers).
constexpr auto kSignalPoll = std::chrono::milliseconds(20);

[[noreturn]] void Raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

// A file name from Python code, which may hold a NUL character (the system
// would read another name): refused naming the function or keyword.
void CheckName(std::string_view what, const std::string& name) {
  std::string error;
  if (!CheckFileName(what, name, error)) Raise(PyExc_ValueError, error);
}

// The run loop's messages name the tool's options; a Python caller has the
// keyword arguments instead ("--max-memory" is max_memory=).
std::string ForPython(std::string message) {
  static constexpr std::string_view kOption = "--max-memory";
  static constexpr std::string_view kKeyword = "max_memory=";
  for (size_t at = message.find(kOption); at != std::string::npos; at = message.find(kOption, at + kKeyword.size())) {
    message.replace(at, kOption.size(), kKeyword);
  }
  return message;
}

// An array that Python code may read but not change: the Mesh hands out the
// same arrays at every access, and its writers use the host's arrays, so a
// writable one would let the two disagree.
py::array ReadOnly(py::array array) {
  array.attr("setflags")(py::arg("write") = false);
  return array;
}

// The caller's progress callback and the exception that ends a call early:
// one the callback raised, or a KeyboardInterrupt that arrived meanwhile.
class CallState {
 public:
  explicit CallState(py::object progress) : progress_(std::move(progress)) {}

  RunHooks Hooks() {
    RunHooks hooks;
    hooks.frameDone = [this](int64_t done, int64_t total) {
      if (error_) return;
      py::gil_scoped_acquire gil;
      try {
        if (!progress_.is_none()) progress_(done, total);
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
      } catch (py::error_already_set& e) {
        error_.emplace(std::move(e));
      }
    };
    hooks.cancelRequested = [this] {
      if (error_) return true;
      const Clock::time_point now = Clock::now();
      if (now - lastPoll_ < kSignalPoll) return false;
      lastPoll_ = now;
      py::gil_scoped_acquire gil;
      if (PyErr_CheckSignals() != 0) error_.emplace();
      return error_.has_value();
    };
    return hooks;
  }

  // With the interpreter's lock held: raises what the call met, if anything,
  // then the outcome's exception.
  void RaiseFor(const Outcome& outcome) {
    if (error_) throw *error_;
    switch (outcome.failure) {
      case RunFailure::None: return;
      case RunFailure::Cancelled: Raise(PyExc_KeyboardInterrupt, outcome.message);
      case RunFailure::BadInput: Raise(PyExc_ValueError, outcome.message);
      case RunFailure::MissingFile: Raise(PyExc_FileNotFoundError, outcome.message);
      case RunFailure::OverBudget:
      case RunFailure::OutOfMemory: Raise(PyExc_MemoryError, ForPython(outcome.message));
      case RunFailure::Failed: Raise(PyExc_RuntimeError, outcome.message);
    }
  }

 private:
  py::object progress_;
  std::optional<py::error_already_set> error_;
  Clock::time_point lastPoll_{};
};

// A numpy array that owns `values` (no copy).
template <class T>
py::array Owning(std::vector<T>&& values, std::vector<py::ssize_t> shape) {
  if (values.empty()) return py::array_t<T>(shape);
  auto* owned = new std::vector<T>(std::move(values));
  py::capsule base(owned, [](void* p) { delete static_cast<std::vector<T>*>(p); });
  return py::array_t<T>(shape, owned->data(), base);
}

// A numpy array of `values`, which `owner` holds (no copy), kept alive by it.
template <class T, class Owner>
py::array Shared(const std::shared_ptr<Owner>& owner, const T* values, std::vector<py::ssize_t> shape) {
  auto* holder = new std::shared_ptr<Owner>(owner);
  py::capsule base(holder, [](void* p) { delete static_cast<std::shared_ptr<Owner>*>(p); });
  return py::array_t<T>(shape, values, base);
}

// A read-only numpy view of `count` rows of `width` doubles taken from the
// host array `values` (three per row), kept alive by `mesh`.
py::object NodeView(const std::shared_ptr<const FrameMesh>& mesh, std::span<const double> values, py::ssize_t width) {
  if (values.empty()) return py::none();
  auto* holder = new std::shared_ptr<const FrameMesh>(mesh);
  py::capsule base(holder, [](void* p) { delete static_cast<std::shared_ptr<const FrameMesh>*>(p); });
  const auto rows = static_cast<py::ssize_t>(values.size() / 3);
  const auto stride = static_cast<py::ssize_t>(sizeof(double));
  py::array_t<double> view({rows, width}, {3 * stride, stride}, values.data(), base);
  view.attr("setflags")(py::arg("write") = false);
  return view;
}

// A read-only (n, components) float32 array of an attribute's values.
py::array AttributeArray(std::vector<float> values, int32_t components) {
  const auto rows = static_cast<py::ssize_t>(values.size() / static_cast<size_t>(components));
  return ReadOnly(Owning(std::move(values), {rows, static_cast<py::ssize_t>(components)}));
}

// A frame's mesh for Python: the host's arrays (shared) for the writers, and
// the numpy arrays made from them once.
class Mesh {
 public:
  Mesh(Evaluation evaluation, std::string sceneName) : mesh_(std::move(evaluation.mesh)), name_(std::move(sceneName)) {
    frame_ = evaluation.record.frame;
    stats_ = evaluation.record.stats.dump();
    // 1) the copies, without the interpreter's lock
    const MeshView& view = mesh_->view;
    std::vector<float> vertices(view.positions.size());
    std::vector<int32_t> counts(view.PolygonCount());
    std::vector<int32_t> indices(view.polygons.size() - counts.size());
    {
      py::gil_scoped_release release;
      for (size_t i = 0; i < vertices.size(); ++i) vertices[i] = static_cast<float>(view.positions[i]);
      size_t at = 0;
      size_t index = 0;
      for (size_t polygon = 0; polygon < counts.size(); ++polygon) {
        const int32_t n = view.polygons[at++];
        counts[polygon] = n;
        for (int32_t k = 0; k < n; ++k) indices[index++] = view.polygons[at++];
      }
    }
    // 2) the arrays
    vertices_ = ReadOnly(Owning(std::move(vertices), {static_cast<py::ssize_t>(view.VertexCount()), 3}));
    faceCounts_ = ReadOnly(Owning(std::move(counts), {static_cast<py::ssize_t>(view.PolygonCount())}));
    faceIndices_ = ReadOnly(Owning(std::move(indices), {static_cast<py::ssize_t>(view.NodeCount())}));
    attributes_ = py::dict();
    for (const VertexAttribute& attribute : mesh_->attributes) {
      attributes_[py::str(attribute.name)] = AttributeArray(attribute.values, attribute.components);
    }
    normals_ = NodeView(mesh_, view.nodeNormals, 3);
    uvs_ = NodeView(mesh_, view.nodeUVs, 2);
    field_ = py::none();
    if (evaluation.field) {
      FieldCopy& field = *evaluation.field;
      fieldOrigin_ = py::make_tuple(field.origin[0], field.origin[1], field.origin[2]);
      fieldCellSize_ = py::make_tuple(field.cellSize[0], field.cellSize[1], field.cellSize[2]);
      fieldIsovalue_ = py::float_(field.isovalue);
      fieldShape_ = py::make_tuple(field.nx, field.ny, field.nz);
      fieldCopy_ = std::make_shared<const FieldCopy>(std::move(field));
      const auto tiles = static_cast<py::ssize_t>(fieldCopy_->tileOrigins.size() / 3);
      fieldTiles_ = py::make_tuple(ReadOnly(Shared(fieldCopy_, fieldCopy_->tileOrigins.data(), {tiles, 3})),
                                   ReadOnly(Shared(fieldCopy_, fieldCopy_->tileValues.data(), {tiles, 8, 8, 8})));
    }
  }

  // The dense field, made from the tiles at the first access.
  py::object Field() {
    if (field_.is_none() && fieldCopy_) {
      std::vector<float> values;
      bool made = true;
      {
        py::gil_scoped_release release;
        try {
          values = DenseValues(*fieldCopy_);
        } catch (const std::bad_alloc&) {
          made = false;
        }
      }
      if (!made) {
        const FieldCopy& f = *fieldCopy_;
        const double gib = static_cast<double>(f.nx) * f.ny * f.nz * sizeof(float) / (1024.0 * 1024.0 * 1024.0);
        char size[32];
        std::snprintf(size, sizeof size, "%.1f GiB", gib);
        Raise(PyExc_MemoryError, "Mesh.field: the dense field of " + std::to_string(f.nx) + " x " +
                                     std::to_string(f.ny) + " x " + std::to_string(f.nz) + " points needs " + size +
                                     ", more than can be had; Mesh.field_tiles holds it in tiles");
      }
      field_ = ReadOnly(Owning(std::move(values), {fieldCopy_->nx, fieldCopy_->ny, fieldCopy_->nz}));
    }
    return field_;
  }

  void Write(const std::string& file) const {
    CheckName("Mesh.write", file);
    if (!IsWritableMeshName(file)) Raise(PyExc_ValueError, file + ": the file name must end in .obj or .ply");
    std::string error;
    bool written = false;
    {
      py::gil_scoped_release release;
      written = Engine::WriteMesh(file, *mesh_, name_, frame_, error);
    }
    if (!written) Raise(PyExc_OSError, error);
  }

  py::object vertices_, faceCounts_, faceIndices_, normals_, uvs_;
  py::dict attributes_;
  std::shared_ptr<const FieldCopy> fieldCopy_;  // the tiles, which the arrays of fieldTiles_ show
  py::object fieldTiles_ = py::none(), fieldShape_ = py::none();
  py::object field_ = py::none(), fieldOrigin_ = py::none(), fieldCellSize_ = py::none(), fieldIsovalue_ = py::none();
  std::shared_ptr<const FrameMesh> mesh_;
  std::string name_;
  int64_t frame_ = 0;
  std::string stats_;
};

// A scene held by Python. Its destructor never waits for the engine (see
// ModuleScene's).
struct Scene {
  std::unique_ptr<ModuleScene> scene;
};

Scene SceneOrRaise(std::unique_ptr<ModuleScene> scene, const Outcome& outcome) {
  if (!scene) CallState(py::none()).RaiseFor(outcome);
  return Scene{std::move(scene)};
}

// Copies (n, 3) points of any real dtype and either order into x, y, z rows.
std::vector<double> ReadPoints(const py::array& points) {
  if (points.ndim() != 2 || points.shape(1) != 3) {
    std::string shape = "(";
    for (py::ssize_t axis = 0; axis < points.ndim(); ++axis) {
      shape += (axis > 0 ? ", " : "") + std::to_string(points.shape(axis));
    }
    shape += points.ndim() == 1 ? ",)" : ")";
    Raise(PyExc_ValueError, "points: expected an (n, 3) array, got shape " + shape);
  }
  const char kind = points.dtype().kind();
  if (kind != 'f' && kind != 'i' && kind != 'u') {
    Raise(PyExc_TypeError, "points: expected an array of numbers, got dtype " + py::str(points.dtype()).cast<std::string>());
  }
  const auto n = static_cast<size_t>(points.shape(0));
  std::vector<double> rows(3 * n);
  auto copy = [&](auto typed) {
    const auto view = typed.template unchecked<2>();
    for (size_t i = 0; i < n; ++i) {
      for (size_t axis = 0; axis < 3; ++axis) rows[3 * i + axis] = static_cast<double>(view(i, axis));
    }
  };
  if (py::isinstance<py::array_t<float>>(points)) {
    copy(points.cast<py::array_t<float>>());
  } else {
    copy(py::array_t<double, py::array::forcecast>::ensure(points));
  }
  // The plug-in's positions are floats: nan, infinities and numbers beyond
  // the float range are named here, as Python shows them.
  for (size_t i = 0; i < n; ++i) {
    const double* p = &rows[3 * i];
    auto fits = [](double v) { return std::fabs(v) <= std::numeric_limits<float>::max(); };
    if (fits(p[0]) && fits(p[1]) && fits(p[2])) continue;
    auto shown = [&fits](double v) {  // the shortest text of the float, or of the double beyond the float range
      char text[32];
      const auto end = fits(v) ? std::to_chars(text, text + sizeof text, static_cast<float>(v)).ptr
                               : std::to_chars(text, text + sizeof text, v).ptr;
      return std::string(text, end);
    };
    Raise(PyExc_ValueError, "points[" + std::to_string(i) + "]: expected 3 finite numbers of the float range (at most " +
                                "3.4028235e+38 in size), got [" + shown(p[0]) + ", " + shown(p[1]) + ", " + shown(p[2]) +
                                "]");
  }
  return rows;
}

// max_memory=: None (the default budget), a size as --max-memory takes it
// ("4G"), or a count of bytes (an int, or a float holding a whole number).
uint64_t MemoryLimit(const py::object& maxMemory) {
  if (maxMemory.is_none()) return DefaultMemoryLimit();
  const std::string shown = py::repr(maxMemory).cast<std::string>();
  const std::string expected = ": expected a size in bytes from 1 to " +
                               std::to_string(std::numeric_limits<uint64_t>::max()) +
                               ", or text such as \"4G\", \"512M\" or \"1048576\"";
  uint64_t bytes = 0;
  if (py::isinstance<py::str>(maxMemory)) {
    if (!ParseMemorySize(maxMemory.cast<std::string>(), bytes)) Raise(PyExc_ValueError, "max_memory " + shown + expected);
    return bytes;
  }
  if (py::isinstance<py::bool_>(maxMemory) || !(py::isinstance<py::int_>(maxMemory) || py::isinstance<py::float_>(maxMemory))) {
    Raise(PyExc_TypeError, "max_memory " + shown + expected);
  }
  if (py::isinstance<py::float_>(maxMemory)) {
    const double value = maxMemory.cast<double>();
    if (!(value >= 1.0 && value < 18446744073709551616.0 && std::floor(value) == value)) {
      Raise(PyExc_ValueError, "max_memory " + shown + expected);
    }
    return static_cast<uint64_t>(value);
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(maxMemory.ptr());
  if (PyErr_Occurred() != nullptr || value == 0) {
    PyErr_Clear();
    Raise(PyExc_ValueError, "max_memory " + shown + expected);
  }
  return value;
}

// Evaluates a frame; a KeyboardInterrupt stops the plug-in's recompute loop.
Mesh EvaluateScene(ModuleScene& scene, int64_t frame, const py::object& maxMemory, int threads) {
  EngineOptions options;
  options.memoryLimit = MemoryLimit(maxMemory);
  options.threads = threads;
  CallState state{py::none()};
  options.hooks = state.Hooks();
  Evaluation evaluation;
  Outcome outcome;
  {
    py::gil_scoped_release release;
    outcome = Engine::Evaluate(scene, frame, options, evaluation);
  }
  state.RaiseFor(outcome);
  return Mesh(std::move(evaluation), scene.Description().name);
}

py::object DefaultOf(const ParameterSpec& p) {
  switch (p.kind) {
    case XSI::Host::ValueKind::Bool: return py::bool_(static_cast<bool>(p.defaultValue));
    case XSI::Host::ValueKind::Long: return py::int_(static_cast<long>(static_cast<XSI::LONG>(p.defaultValue)));
    case XSI::Host::ValueKind::String: return py::str(static_cast<XSI::CString>(p.defaultValue).GetAsciiString());
    default: return py::float_(static_cast<double>(p.defaultValue));
  }
}

}  // namespace

PYBIND11_MODULE(_glomora, m) {
  m.doc() = "Glomora's engine: the plug-in driven through the command-line tool's host and run loop.";
  // As in the tool: a surface() per frame frees and allocates buffers of the
  // same sizes; kept, they cost no page faults the next time (on 100,000
  // particles at resolution 128, the second call's 8,900 faults become 800).
  KeepFreedMemory();

  m.def("version", [] { return std::string(Glomora_Version()); });
  m.def("default_memory_limit", &DefaultMemoryLimit);
  m.def("default_output_pattern", [] { return std::string(kDefaultOutputPattern); });
  m.attr("FRAME_LIMIT") = static_cast<int64_t>(scenefile::kFrameLimit);
  m.def("parameter_defaults", [] {
    py::list defaults;
    for (const ParameterSpec& p : OperatorParameters()) defaults.append(py::make_tuple(p.name, DefaultOf(p)));
    return defaults;
  });
  // Each parameter with what a scene may give it: {"name", "kind" ("bool",
  // "int", "float", "text"), "default", "accepted": [(low, high, low_open)],
  // "expectation", "element_setting", "meaning", "codes": {code: meaning}};
  // for front ends that show them.
  m.def("parameter_catalogue", [] {
    py::list catalogue;
    for (const ParameterSpec& p : OperatorParameters()) {
      const char* kind = p.kind == XSI::Host::ValueKind::Bool     ? "bool"
                         : p.kind == XSI::Host::ValueKind::Long   ? "int"
                         : p.kind == XSI::Host::ValueKind::String ? "text"
                                                                  : "float";
      py::list accepted;
      for (const AcceptedInterval& a : p.accepted) accepted.append(py::make_tuple(a.low, a.high, a.lowOpen));
      py::dict entry;
      entry["name"] = p.name;
      entry["kind"] = kind;
      entry["default"] = DefaultOf(p);
      entry["accepted"] = accepted;
      entry["expectation"] = p.expectation;
      entry["element_setting"] = p.elementSetting;
      entry["meaning"] = std::string(p.meaning);
      py::dict codes;
      for (const ParameterCode& code : p.codes) codes[py::int_(code.value)] = std::string(code.meaning);
      entry["codes"] = codes;
      catalogue.append(entry);
    }
    return catalogue;
  });
  m.def("check_file_name", [](const std::string& what, const std::string& name) { CheckName(what, name); });
  m.def("read_points", [](const py::object& path) {
    const std::string file = py::str(path).cast<std::string>();
    CheckName("read_points", file);
    MeshData mesh;
    std::string error;
    bool read = false;
    {
      py::gil_scoped_release release;
      read = ReadMeshFile(file, mesh, error);
    }
    if (!read) Raise(PyExc_ValueError, file + ": " + error);
    py::dict attributes;
    for (VertexAttribute& attribute : mesh.attributes) {
      attributes[py::str(attribute.name)] = AttributeArray(std::move(attribute.values), attribute.components);
    }
    const auto count = static_cast<py::ssize_t>(mesh.VertexCount());
    return py::make_tuple(Owning(std::move(mesh.positions), {count, 3}), attributes);
  });
  m.def("shutdown", [] {
    py::gil_scoped_release release;
    Engine::Shutdown();
  });

  py::class_<Mesh>(m, "Mesh", "One frame's polygon mesh (see the package's documentation).")
      .def_property_readonly("vertices", [](const Mesh& mesh) { return mesh.vertices_; })
      .def_property_readonly("face_counts", [](const Mesh& mesh) { return mesh.faceCounts_; })
      .def_property_readonly("face_indices", [](const Mesh& mesh) { return mesh.faceIndices_; })
      .def_property_readonly("normals", [](const Mesh& mesh) { return mesh.normals_; })
      .def_property_readonly("attributes", [](const Mesh& mesh) { return py::dict(mesh.attributes_.attr("copy")()); })
      .def_property_readonly("uvs", [](const Mesh& mesh) { return mesh.uvs_; })
      .def_property_readonly("field", [](Mesh& mesh) { return mesh.Field(); })
      .def_property_readonly("field_tiles", [](const Mesh& mesh) { return mesh.fieldTiles_; })
      .def_property_readonly("field_shape", [](const Mesh& mesh) { return mesh.fieldShape_; })
      .def_property_readonly("field_origin", [](const Mesh& mesh) { return mesh.fieldOrigin_; })
      .def_property_readonly("field_cell_size", [](const Mesh& mesh) { return mesh.fieldCellSize_; })
      .def_property_readonly("field_isovalue", [](const Mesh& mesh) { return mesh.fieldIsovalue_; })
      .def_property_readonly("frame", [](const Mesh& mesh) { return mesh.frame_; })
      .def_property_readonly("name", [](const Mesh& mesh) { return mesh.name_; })
      .def_property_readonly("stats",
                             [](const Mesh& mesh) { return py::module_::import("json").attr("loads")(mesh.stats_); })
      .def("__repr__",
           [](const Mesh& mesh) {
             return "Mesh(name=" + py::repr(py::str(mesh.name_)).cast<std::string>() +
                    ", frame=" + std::to_string(mesh.frame_) +
                    ", vertices=" + std::to_string(py::len(mesh.vertices_)) +
                    ", faces=" + std::to_string(py::len(mesh.faceCounts_)) + ")";
           })
      .def("write", [](const Mesh& mesh, const py::object& path) {
        mesh.Write(py::str(py::module_::import("os").attr("fspath")(path)).cast<std::string>());
      });

  py::class_<Scene>(m, "SceneCore")
      .def_static("parse",
                  [](std::string text, const std::string& baseDir) {
                    Outcome outcome;
                    auto scene = ModuleScene::Parse(std::move(text), baseDir, "", outcome);
                    return SceneOrRaise(std::move(scene), outcome);
                  })
      .def_static("load",
                  [](const std::string& path) {
                    CheckName("Scene", path);
                    Outcome outcome;
                    auto scene = ModuleScene::Load(path, outcome);
                    return SceneOrRaise(std::move(scene), outcome);
                  })
      .def_property_readonly("text", [](const Scene& s) { return s.scene->Text(); })
      .def_property_readonly("base_dir", [](const Scene& s) { return s.scene->BaseDir().string(); })
      .def_property_readonly("name", [](const Scene& s) { return s.scene->Description().name; })
      .def_property_readonly("frames",
                             [](const Scene& s) {
                               return py::make_tuple(s.scene->Description().firstFrame, s.scene->Description().lastFrame);
                             })
      .def("set_parameter",
           [](Scene& s, const std::string& name, const std::string& valueJson) {
             const auto value = nlohmann::ordered_json::parse(valueJson);
             Outcome outcome;
             bool set = false;
             {
               py::gil_scoped_release release;
               set = s.scene->SetParameter(name, value, outcome);
             }
             if (!set) CallState(py::none()).RaiseFor(outcome);
           })
      .def("reset_parameter",
           [](Scene& s, const std::string& name) {
             py::gil_scoped_release release;
             s.scene->ResetParameter(name);
           })
      .def("evaluate",
           [](Scene& s, int64_t frame, const py::object& maxMemory, int threads) {
             return EvaluateScene(*s.scene, frame, maxMemory, threads);
           })
      .def("close",
           [](Scene& s) {
             py::gil_scoped_release release;
             Engine::Close(*s.scene);
           })
      .def("run", [](Scene& s, const std::string& output, const py::object& first, const py::object& last, int jobs,
                     const std::string& tool, bool check, const py::object& maxMemory, bool quiet,
                     const py::object& progress, const std::string& volume, const std::string& preview,
                     int32_t previewWidth, int32_t previewHeight, int threads, const std::string& usd) {
        CheckName("tool", tool);
        RunOptions options;
        options.output = output;
        if (!first.is_none()) options.firstFrame = first.cast<int64_t>();
        if (!last.is_none()) options.lastFrame = last.cast<int64_t>();
        options.jobs = jobs;
        options.threads = threads;
        options.toolPath = tool;
        options.check = check;
        options.memoryLimit = MemoryLimit(maxMemory);
        options.volume = volume;
        options.preview = preview;
        options.previewWidth = previewWidth;
        options.previewHeight = previewHeight;
        options.usd = usd;
        CallState state(progress);
        options.hooks = state.Hooks();
        RunResult result;
        Outcome outcome;
        {
          py::gil_scoped_release release;
          outcome = Engine::Run(*s.scene, std::move(options), quiet, result);
        }
        state.RaiseFor(outcome);
        return result.stats.dump();
      });

  m.def("surface", [](const py::array& points, const std::string& parametersJson, const std::string& baseDir,
                      const py::object& maxMemory, int threads) {
    Outcome outcome;
    std::unique_ptr<ModuleScene> scene = ModuleScene::ForPoints(parametersJson, ReadPoints(points), baseDir, outcome);
    if (!scene) CallState(py::none()).RaiseFor(outcome);
    Mesh mesh = EvaluateScene(*scene, 1, maxMemory, threads);
    {
      py::gil_scoped_release release;
      Engine::Close(*scene);
    }
    return mesh;
  });
}
