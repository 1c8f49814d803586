#pragma once

#include <string>

// The extension of every file the converter writes, without its dot.
extern const std::string MESH_EXTENSION;

// Makes `path` end in "." MESH_EXTENSION. Only the file name (after the last
// '/') can hold an extension, and its leading dots never start one, so
// "../scene" and "out.dir/model" get the extension appended. Returns true
// when a different extension was replaced ("model.obj", "model.", "x.MESH").
bool forceMeshExtension(std::string& path);
