// Converts OBJ files with the installed converter library, and reads .mesh
// files with the installed reader header.
//   mesh_consumer convert <in.obj> <out.mesh> [separate]
//   mesh_consumer read <file.mesh>
//   mesh_consumer threads <out dir> <in.obj>...
#include <sys/stat.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <obj2mesh/converter.h>
#include <obj2mesh/mesh_generated.h>

// Absent vectors read as empty ones.
template <typename T>
unsigned count(const flatbuffers::Vector<T>* v) {
  return v ? v->size() : 0;
}

int convert(const char* obj, const char* out, bool separate) {
  obj2mesh::Options options;
  options.combineMeshes = !separate;
  obj2mesh::ConvertResult result = obj2mesh::convertObjFile(obj, options);
  if (!result.ok()) {
    const obj2mesh::Failure& failure = result.failure();
    std::fprintf(stderr, "%s:%llu: %s\n", failure.path.c_str(), (unsigned long long)failure.line,
                 failure.reason.c_str());
    return 1;
  }
  std::ofstream(out, std::ios::binary).write(reinterpret_cast<const char*>(result.data()), result.size());
  return 0;
}

int read(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  // .mesh files have no file identifier, so the check names none.
  flatbuffers::Verifier verifier(data.data(), data.size());
  if (data.empty() || !obj2mesh::VerifyModelBuffer(verifier)) {
    std::fprintf(stderr, "%s: not a valid mesh file\n", path);
    return 1;
  }
  const obj2mesh::Model* model = obj2mesh::GetModel(data.data());
  std::printf("meshes %u\n", count(model->meshes()));
  for (unsigned i = 0; i < count(model->meshes()); ++i) {
    const obj2mesh::Mesh* mesh = model->meshes()->Get(i);
    std::printf("positions %u normals %u triangles %u\n", count(mesh->positions()), count(mesh->normals()),
                count(mesh->indices()) / 3);
    if (count(mesh->positions())) {
      const obj2mesh::Vec3* p = mesh->positions()->Get(0);
      std::printf("first position %g %g %g\n", p->x(), p->y(), p->z());
    }
  }
  return 0;
}

void onInterrupt(int) {}

// A host with a umask of its own (027) and its own SIGINT handler converts
// each OBJ file on a thread of its own, with the libraries beside it, and
// writes it to <out dir>/<n>.mesh; every thread also writes its mesh to
// <out dir>/shared.mesh. The handler must be left as it was.
int threads(const char* outDir, int count, char** objs) {
  umask(027);
  struct sigaction action = {};
  action.sa_handler = onInterrupt;
  sigaction(SIGINT, &action, nullptr);
  std::atomic<int> failures{0};
  std::vector<std::thread> pool;
  for (int i = 0; i < count; ++i)
    pool.emplace_back([&, i] {
      const std::string obj = objs[i];
      const size_t slash = obj.rfind('/');
      obj2mesh::LoadOptions load;
      load.threads = 1;
      load.materials = obj2mesh::materialsFrom(slash == std::string::npos ? "." : obj.substr(0, slash));
      obj2mesh::ConvertResult result = obj2mesh::convertObjFile(obj, {}, load);
      if (!result.ok()) {
        ++failures;
        return;
      }
      for (const std::string& out : {std::to_string(i) + ".mesh", std::string("shared.mesh")})
        if (obj2mesh::writeMeshFile(std::string(outDir) + "/" + out, result.data(), result.size(), obj)) ++failures;
    });
  for (std::thread& thread : pool) thread.join();
  struct sigaction now = {};
  sigaction(SIGINT, nullptr, &now);
  if (now.sa_handler != onInterrupt) {
    std::fprintf(stderr, "the SIGINT handler changed\n");
    return 1;
  }
  return failures ? 1 : 0;
}

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "threads") == 0) return threads(argv[2], argc - 3, argv + 3);
  if (argc >= 4 && std::strcmp(argv[1], "convert") == 0)
    return convert(argv[2], argv[3], argc > 4 && std::strcmp(argv[4], "separate") == 0);
  if (argc == 3 && std::strcmp(argv[1], "read") == 0) return read(argv[2]);
  std::fprintf(stderr, "usage: mesh_consumer convert in.obj out.mesh [separate] | read file.mesh | "
                       "threads outdir in.obj...\n");
  return 2;
}
