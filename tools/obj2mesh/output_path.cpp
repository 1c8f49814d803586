#include "output_path.h"

const std::string MESH_EXTENSION = "mesh";

bool forceMeshExtension(std::string& path) {
  size_t name = path.rfind('/');
  name = name == std::string::npos ? 0 : name + 1;
  while (name < path.size() && path[name] == '.') ++name;
  size_t dot = path.rfind('.');
  bool replaced = false;
  if (dot != std::string::npos && dot >= name) {
    replaced = path.compare(dot + 1, std::string::npos, MESH_EXTENSION) != 0;
    path.erase(dot);
  }
  path += '.';
  path += MESH_EXTENSION;
  return replaced;
}
