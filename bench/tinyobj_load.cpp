// The peer of the end-to-end benchmark: loads an OBJ file with
// tinyobjloader (triangulation on) and prints a checksum, so the load cannot
// be optimised away and a wrong load is visible.
#include <tiny_obj_loader.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s file.obj\n", argv[0]);
    return 2;
  }
  tinyobj::attrib_t attrib;
  std::vector<tinyobj::shape_t> shapes;
  std::vector<tinyobj::material_t> materials;
  std::string warn, err;
  if (!tinyobj::LoadObj(&attrib, &shapes, &materials, &warn, &err, argv[1], nullptr, true)) {
    std::fprintf(stderr, "load failed: %s\n", err.c_str());
    return 1;
  }
  unsigned long long sum = 0;
  size_t indices = 0;
  for (const auto& shape : shapes) {
    indices += shape.mesh.indices.size();
    for (const auto& index : shape.mesh.indices) sum = sum * 31 + unsigned(index.vertex_index);
  }
  for (float v : attrib.vertices) {
    unsigned bits;
    std::memcpy(&bits, &v, sizeof bits);
    sum = sum * 31 + bits;
  }
  std::printf("shapes %zu vertices %zu indices %zu checksum %016llx\n", shapes.size(),
              attrib.vertices.size() / 3, indices, sum);
  return 0;
}
