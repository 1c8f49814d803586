// obj2mesh._native: the converter library for Python. The public functions
// are obj2mesh.load_obj and obj2mesh.convert (python/obj2mesh/_conversion.py),
// which check their arguments and call these. Paths come as bytes
// (os.fsencode), so that any file name reaches the library unchanged.
//
// The GIL is released while the library loads, converts and writes, so
// that Python threads convert files in parallel. A failure raises
// _native.Failure with the arguments (path, line, reason, kind): path and
// reason as bytes, kind the name of the FailureKind.

#include <Python.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include <obj2mesh/converter.h>

namespace py = pybind11;

namespace {

// A finished .mesh buffer; Python reads it, without a copy, through the
// buffer protocol (read-only).
class MeshBuffer {
 public:
  explicit MeshBuffer(obj2mesh::ConvertResult result) : result_(std::move(result)) {}
  const obj2mesh::ConvertResult& result() const { return result_; }

 private:
  obj2mesh::ConvertResult result_;
};

PyObject* failureType = nullptr;  // _native.Failure, created once by the module

const char* kindName(obj2mesh::FailureKind kind) {
  switch (kind) {
    case obj2mesh::FailureKind::CannotRead: return "CannotRead";
    case obj2mesh::FailureKind::Rejected: return "Rejected";
    case obj2mesh::FailureKind::TooLarge: return "TooLarge";
    case obj2mesh::FailureKind::CannotWrite: return "CannotWrite";
    case obj2mesh::FailureKind::OutOfMemory: return "OutOfMemory";
    case obj2mesh::FailureKind::Internal: break;
  }
  return "Internal";
}

// Raises _native.Failure; called with the GIL held.
[[noreturn]] void raise(const obj2mesh::Failure& failure) {
  py::tuple args = py::make_tuple(py::bytes(failure.path), failure.line, py::bytes(failure.reason),
                                  kindName(failure.kind));
  PyErr_SetObject(failureType, args.ptr());
  throw py::error_already_set();
}

struct Settings {
  obj2mesh::Options options;
  unsigned threads = 0;
};

// Loads and converts the OBJ file at `objPath` with its material libraries
// resolved against its own folder, as obj2mesh-batch does. Runs without
// the GIL.
obj2mesh::ConvertResult convertFile(const std::string& objPath, const Settings& settings) {
  obj2mesh::LoadOptions loadOptions;
  loadOptions.threads = settings.threads;
  const std::filesystem::path folder = std::filesystem::path(objPath).parent_path();
  loadOptions.materials = obj2mesh::materialsFrom(folder.empty() ? "." : folder.string());
  return obj2mesh::convertObjFile(objPath, settings.options, loadOptions);
}

Settings settingsOf(bool combine, bool texcoords, bool alignedNormals, bool parts, unsigned threads) {
  Settings settings;
  settings.options.combineMeshes = combine;
  settings.options.texcoords = texcoords;
  settings.options.alignNormals = alignedNormals;
  settings.options.parts = parts;
  settings.threads = threads;
  return settings;
}

std::unique_ptr<MeshBuffer> load(const std::string& objPath, bool combine, bool texcoords, bool alignedNormals, bool parts,
                 unsigned threads) {
  const Settings settings = settingsOf(combine, texcoords, alignedNormals, parts, threads);
  obj2mesh::ConvertResult result;
  {
    py::gil_scoped_release released;
    result = convertFile(objPath, settings);
  }
  if (!result.ok()) raise(result.failure());
  return std::make_unique<MeshBuffer>(std::move(result));
}

// Converts and writes with the library's safe writer; returns the output
// path: `meshPath`, or without it the OBJ path with its extension replaced
// by .mesh, as obj2mesh-batch names its outputs. Missing folders on the
// way to the output are created, as obj2mesh-batch creates them.
py::bytes convert(const std::string& objPath, const std::optional<std::string>& meshPath, bool combine,
                  bool texcoords, bool alignedNormals, bool parts, unsigned threads) {
  const Settings settings = settingsOf(combine, texcoords, alignedNormals, parts, threads);
  const std::string output =
      meshPath ? *meshPath : std::filesystem::path(objPath).replace_extension(".mesh").string();
  std::optional<obj2mesh::Failure> failure;
  {
    py::gil_scoped_release released;
    const obj2mesh::ConvertResult result = convertFile(objPath, settings);
    if (!result.ok()) {
      failure = result.failure();
    } else {
      const std::filesystem::path folder = std::filesystem::path(output).parent_path();
      std::error_code error;
      if (!folder.empty()) std::filesystem::create_directories(folder, error);
      if (error)
        failure = obj2mesh::Failure{folder.string(), 0, error.message(), obj2mesh::FailureKind::CannotWrite};
      else
        failure = obj2mesh::writeMeshFile(output, result);
    }
  }
  if (failure) raise(*failure);
  return py::bytes(output);
}

}  // namespace

PYBIND11_MODULE(_native, m) {
  m.doc() = "The obj2mesh converter library; use obj2mesh.load_obj and obj2mesh.convert.";
  failureType = PyErr_NewException("obj2mesh._native.Failure", nullptr, nullptr);
  if (!failureType) throw py::error_already_set();
  m.add_object("Failure", py::reinterpret_borrow<py::object>(failureType));
  m.attr("VERSION") = OBJ2MESH_VERSION;

  py::class_<MeshBuffer>(m, "MeshBuffer", py::buffer_protocol(), "The bytes of a converted .mesh buffer.")
      .def_buffer([](const MeshBuffer& buffer) {
        const obj2mesh::ConvertResult& result = buffer.result();
        return py::buffer_info(const_cast<uint8_t*>(result.data()), 1, "B", 1, {py::ssize_t(result.size())}, {1},
                               true);
      })
      .def("__len__", [](const MeshBuffer& buffer) { return buffer.result().size(); });

  // Arguments are checked by the Python functions; noconvert() keeps a
  // wrong type a TypeError here too.
  m.def("load", &load, py::arg("obj_path"), py::arg("combine").noconvert(), py::arg("texcoords").noconvert(),
        py::arg("aligned_normals").noconvert(), py::arg("parts").noconvert(), py::arg("threads").noconvert(),
        "Converts the OBJ file in memory; returns its MeshBuffer.");
  m.def("convert", &convert, py::arg("obj_path"), py::arg("mesh_path"), py::arg("combine").noconvert(),
        py::arg("texcoords").noconvert(), py::arg("aligned_normals").noconvert(), py::arg("parts").noconvert(),
        py::arg("threads").noconvert(), "Converts the OBJ file and writes it; returns the output path.");
}
