// Reads a .mesh file with the installed reader header and prints its counts.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "mesh_generated.h"

// Absent vectors read as empty ones.
template <typename T>
unsigned count(const flatbuffers::Vector<T>* v) {
  return v ? v->size() : 0;
}

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: mesh_consumer file.mesh\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());

  // .mesh files have no file identifier, so the check names none.
  flatbuffers::Verifier verifier(data.data(), data.size());
  if (data.empty() || !obj2mesh::VerifyModelBuffer(verifier)) {
    std::fprintf(stderr, "%s: not a valid mesh file\n", argv[1]);
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
