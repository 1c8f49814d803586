// The public API: each entry point runs one step of the internal pipeline
// and turns every exception, allocation failures above all, into a Failure.

#include "obj2mesh/converter.h"

#include <sys/stat.h>

#include <new>
#include <stdexcept>

#include "file_io.h"
#include "mesh_conversion.h"
#include "mesh_writer.h"
#include "obj_reader.h"

namespace obj2mesh {

struct ConverterAccess {
  template <class Step>
  static LoadedObj load(const std::string& path, Step&& read) noexcept {
    LoadedObj loaded;
    guard(path, loaded.failure_, [&] {
      loaded.path_ = path;
      auto shapes = std::make_unique<ObjShapes>();
      std::vector<FileIdentity> files;
      bool ok;
      {
        ReadFilesScope scope(files, loaded.files_);
        ok = read(*shapes, loaded.failure_);
      }
      for (const FileIdentity& file : files) loaded.inputFiles_.insert(loaded.inputFiles_.end(), {file.device, file.inode});
      if (ok) loaded.shapes_ = std::move(shapes);
    });
    return loaded;
  }

  static ConvertResult convert(LoadedObj&& loaded, const Options& options) noexcept {
    ConvertResult result;
    guard(loaded.path_, result.failure_, [&] {
      if (!loaded.ok()) {
        result.failure_ = std::move(loaded.failure_);
        if (result.failure_.reason.empty()) {
          result.failure_.reason = "nothing was loaded";
          result.failure_.kind = FailureKind::Internal;
        }
        return;
      }
      result.inputFiles_ = std::move(loaded.inputFiles_);
      result.files_ = std::move(loaded.files_);
      // The shapes go as conversion copies them out, whatever the outcome.
      std::unique_ptr<ObjShapes> shapes = std::move(loaded.shapes_);
      if (options.texcoords && !shapes->hasTexcoords) {
        result.failure_ = {loaded.path_, 0, "texture coordinates were not kept by the load (LoadOptions::texcoords)",
                           FailureKind::Internal};
        return;
      }
      if (convertShapes(*shapes, options, result.buffer_, result.failure_)) result.ok_ = true;
      else result.failure_.path = loaded.path_;
    });
    return result;
  }

  static std::optional<Failure> write(const std::string& path, const uint8_t* data, size_t size,
                                      const std::string& inputPath, const ConvertResult* result) noexcept {
    std::optional<Failure> written;
    Failure thrown;
    // The writer allocates only to copy names, never while a temporary file
    // has a name, so an exception leaves no file behind.
    guard(path, thrown, [&] {
      std::vector<FileIdentity> inputs;
      struct stat st;
      if (!inputPath.empty() && stat(inputPath.c_str(), &st) == 0)
        inputs.push_back({uint64_t(st.st_dev), uint64_t(st.st_ino)});
      if (result)
        for (size_t i = 0; i + 1 < result->inputFiles_.size(); i += 2)
          inputs.push_back({result->inputFiles_[i], result->inputFiles_[i + 1]});
      written = writeMeshFileVia(TemporaryFile::Unnamed, path, data, size, inputs);
    });
    if (!thrown.reason.empty()) return thrown;
    return written;
  }

  // Runs `step`; an exception out of it becomes `failure`, naming `path`.
  template <class Step>
  static void guard(const std::string& path, Failure& failure, Step&& step) noexcept {
    const char* reason;
    FailureKind kind = FailureKind::OutOfMemory;
    try {
      step();
      return;
    } catch (const std::bad_alloc&) {
      reason = "out of memory";
    } catch (const std::length_error&) {
      reason = "out of memory";
    } catch (...) {
      reason = "unexpected internal error";
      kind = FailureKind::Internal;
    }
    failure.kind = kind;
    try {
      failure.path = path;
      failure.line = 0;
      failure.reason = reason;
    } catch (...) {
      // Not even the path could be copied; the reason alone fits in place.
      failure.path.clear();
      failure.reason = reason;
    }
  }
};

LoadedObj::LoadedObj() = default;
LoadedObj::LoadedObj(LoadedObj&&) noexcept = default;
LoadedObj& LoadedObj::operator=(LoadedObj&&) noexcept = default;
LoadedObj::~LoadedObj() = default;

namespace {

// `texcoords`: keep texture coordinates, whatever loadOptions say.
ReadOptions readOptions(const LoadOptions& loadOptions, bool texcoords) {
  ReadOptions options;
  options.maxThreads = loadOptions.threads;
  options.texcoords = loadOptions.texcoords || texcoords;
  return options;
}

// The lookup a load uses: `lookup`, or when it is empty the names as paths
// from the working directory.
const MaterialLookup& lookupOr(const MaterialLookup& lookup) {
  static const MaterialLookup workingDirectory = readTextFile;
  return lookup ? lookup : workingDirectory;
}

LoadedObj loadFile(const std::string& objPath, const LoadOptions& loadOptions, bool texcoords) noexcept {
  return ConverterAccess::load(objPath, [&](ObjShapes& shapes, Failure& failure) {
    return readObjFile(objPath, lookupOr(loadOptions.materials), shapes, failure, readOptions(loadOptions, texcoords));
  });
}

LoadedObj loadBuffer(const char* data, size_t size, const std::string& name, const MaterialLookup& materials,
                     const LoadOptions& loadOptions, bool texcoords) noexcept {
  return ConverterAccess::load(name, [&](ObjShapes& shapes, Failure& failure) {
    return readObjBuffer(data, size, name, lookupOr(materials ? materials : loadOptions.materials), shapes, failure,
                         readOptions(loadOptions, texcoords));
  });
}

}  // namespace

MaterialLookup materialsFrom(const std::string& folder) {
  return [folder](const std::string& name, std::string& contents) {
    if (name.empty() || name[0] == '/' || folder.empty()) return readTextFile(name, contents);
    return readTextFile(folder.back() == '/' ? folder + name : folder + "/" + name, contents);
  };
}

LoadedObj loadObjFile(const std::string& objPath, const LoadOptions& loadOptions) noexcept {
  return loadFile(objPath, loadOptions, false);
}

LoadedObj loadObjBuffer(const char* data, size_t size, const std::string& name, const MaterialLookup& materials,
                        const LoadOptions& loadOptions) noexcept {
  return loadBuffer(data, size, name, materials, loadOptions, false);
}

ConvertResult convertLoadedObj(LoadedObj&& loaded, const Options& options) noexcept {
  return ConverterAccess::convert(std::move(loaded), options);
}

ConvertResult convertObjFile(const std::string& objPath, const Options& options,
                             const LoadOptions& loadOptions) noexcept {
  return convertLoadedObj(loadFile(objPath, loadOptions, options.texcoords), options);
}

ConvertResult convertObjBuffer(const char* data, size_t size, const std::string& name,
                               const MaterialLookup& materials, const Options& options,
                               const LoadOptions& loadOptions) noexcept {
  return convertLoadedObj(loadBuffer(data, size, name, materials, loadOptions, options.texcoords), options);
}

std::optional<Failure> writeMeshFile(const std::string& path, const uint8_t* data, size_t size,
                                     const std::string& inputPath) noexcept {
  return ConverterAccess::write(path, data, size, inputPath, nullptr);
}

std::optional<Failure> writeMeshFile(const std::string& path, const ConvertResult& result) noexcept {
  return ConverterAccess::write(path, result.data(), result.size(), {}, &result);
}

}  // namespace obj2mesh
