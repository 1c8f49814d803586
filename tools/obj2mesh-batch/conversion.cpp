#include "conversion.h"

#include <obj2mesh/mesh_generated.h>

#include "records.h"

namespace fs = std::filesystem;

void convert(Job& job, const Settings& settings, unsigned readingThreads) {
  obj2mesh::LoadOptions loadOptions;
  loadOptions.threads = readingThreads;
  const fs::path folder = job.input.parent_path();
  loadOptions.materials = obj2mesh::materialsFrom(folder.empty() ? "." : folder.string());
  const obj2mesh::ConvertResult result = obj2mesh::convertObjFile(job.input.string(), settings.options, loadOptions);
  if (!result.ok()) {
    job.failure = result.failure();
    job.status = Status::Failed;
    return;
  }
  std::error_code error;
  if (job.output.has_parent_path()) fs::create_directories(job.output.parent_path(), error);
  if (error) {
    job.failure = {job.output.parent_path().string(), 0, error.message(), obj2mesh::FailureKind::CannotWrite};
    job.status = Status::Failed;
    return;
  }
  if (auto failure = obj2mesh::writeMeshFile(job.output.string(), result)) {
    job.failure = *failure;
    job.status = Status::Failed;
    return;
  }
  if (auto failure = writeRecord(job.output, result, settings.options)) {
    job.failure = *failure;
    job.status = Status::Failed;
    return;
  }
  job.outputBytes = result.size();
  const obj2mesh::Model* model = obj2mesh::GetModel(result.data());
  if (model->meshes())
    for (const obj2mesh::Mesh* mesh : *model->meshes()) {
      ++job.meshes;
      if (mesh->positions()) job.vertices += mesh->positions()->size();
      if (mesh->indices()) job.triangles += mesh->indices()->size() / 3;
    }
  job.status = Status::Converted;
}
