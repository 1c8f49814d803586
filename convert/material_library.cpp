#include "material_library.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "line_reader.h"
#include "text_scan.h"

namespace {

void addMaterial(ObjMaterial& material, std::vector<ObjMaterial>& materials, MaterialTable& table) {
  table.emplace(material.name, int32_t(materials.size()));
  materials.push_back(std::move(material));
}

void readColour(const char* p, const char* end, float (&colour)[3]) {
  for (float& c : colour) c = parseNumberField(p, end);
}

float readScalar(const char* p, const char* end) { return parseNumberField(p, end); }

void readStatement(const char* p, const char* end, ObjMaterial& material,
                   std::vector<ObjMaterial>& materials, MaterialTable& table) {
  while (p != end && isBlank(*p)) ++p;
  if (p == end || *p == '#') return;
  const char* rest;
  if ((rest = afterKeyword(p, end, "newmtl"))) {
    if (!material.name.empty()) addMaterial(material, materials, table);
    material = ObjMaterial();
    material.name = firstWord(rest, end);
  } else if ((rest = afterKeyword(p, end, "Ka"))) {
    readColour(rest, end, material.ambient);
  } else if ((rest = afterKeyword(p, end, "Kd"))) {
    readColour(rest, end, material.diffuse);
  } else if ((rest = afterKeyword(p, end, "Ks"))) {
    readColour(rest, end, material.specular);
  } else if ((rest = afterKeyword(p, end, "Kt"))) {
    readColour(rest, end, material.transmittance);
  } else if ((rest = afterKeyword(p, end, "Ke"))) {
    readColour(rest, end, material.emission);
  } else if ((rest = afterKeyword(p, end, "Ns"))) {
    material.shininess = readScalar(rest, end);
  } else if ((rest = afterKeyword(p, end, "Ni"))) {
    material.ior = readScalar(rest, end);
  } else if ((rest = afterKeyword(p, end, "d"))) {
    material.dissolve = readScalar(rest, end);
  } else if ((rest = afterKeyword(p, end, "Tr"))) {
    material.dissolve = 1.0f - readScalar(rest, end);
  } else if ((rest = afterKeyword(p, end, "illum"))) {
    int64_t value = parseIndexInteger(rest, end);
    material.illum = int32_t(value < INT32_MIN ? INT32_MIN : value > INT32_MAX ? INT32_MAX : value);
  } else if ((rest = afterKeyword(p, end, "map_Ka"))) {
    material.ambient_texname.assign(rest, end);
  } else if ((rest = afterKeyword(p, end, "map_Kd"))) {
    material.diffuse_texname.assign(rest, end);
  } else if ((rest = afterKeyword(p, end, "map_Ks"))) {
    material.specular_texname.assign(rest, end);
  } else if ((rest = afterKeyword(p, end, "map_Ns"))) {
    material.specular_highlight_texname.assign(rest, end);
  } else if ((rest = afterKeyword(p, end, "map_bump")) || (rest = afterKeyword(p, end, "bump"))) {
    material.bump_texname.assign(rest, end);
  } else if ((rest = afterKeyword(p, end, "map_d"))) {
    material.alpha_texname.assign(rest, end);
  } else if ((rest = afterKeyword(p, end, "disp"))) {
    material.displacement_texname.assign(rest, end);
  } else {
    const char* split = static_cast<const char*>(std::memchr(p, ' ', size_t(end - p)));
    if (!split) split = static_cast<const char*>(std::memchr(p, '\t', size_t(end - p)));
    if (split) material.unknown_parameter[std::string(p, split)] = std::string(split + 1, end);
  }
}

}  // namespace

bool FileMaterialReader::read(const std::string& name, std::string& contents) {
  return readWholeFile(name, contents);
}

bool MemoryMaterialReader::read(const std::string& name, std::string& contents) {
  auto it = files.find(name);
  if (it == files.end()) return false;
  contents = it->second;
  return true;
}

bool readWholeFile(const std::string& path, std::string& contents) {
  contents.clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  bool statted = fstat(fd, &st) == 0;
  if (!statted || S_ISDIR(st.st_mode)) {
    int saved = statted ? EISDIR : errno;
    close(fd);
    errno = saved;
    return false;
  }
  // Regular files only need their size; a pipe is read until it ends.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (S_ISREG(st.st_mode)) contents.reserve(size_t(st.st_size));
  char buffer[1 << 16];
  for (;;) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      close(fd);
      errno = saved;
      return false;
    }
    if (got == 0) break;
    contents.append(buffer, size_t(got));
  }
  close(fd);
  return true;
}

void parseMaterialLibrary(const char* data, size_t size, std::vector<ObjMaterial>& materials,
                          MaterialTable& table) {
  // The statement readers may look a few bytes past a line's end.
  std::string padded(data, size);
  padded.append(kLinePadding, '\0');
  ObjMaterial material;
  forEachLine(padded.data(), size, true, [&](const char* p, const char* end) {
    readStatement(p, end, material, materials, table);
    return true;
  });
  // The material under construction is kept whatever its name, so an
  // unreadable or empty library still yields one (unnamed) material.
  addMaterial(material, materials, table);
}

std::string readLibraryText(const std::string& name, MaterialReader& reader, std::string& errorText) {
  std::string contents;
  if (!reader.read(name, contents)) {
    contents.clear();
    errorText += "WARN: Material file [ " + name + " ] not found. Created a default material.";
  }
  return contents;
}

void readMaterialLibrary(const std::string& name, MaterialReader& reader,
                         std::vector<ObjMaterial>& materials, MaterialTable& table,
                         std::string& errorText) {
  std::string contents = readLibraryText(name, reader, errorText);
  parseMaterialLibrary(contents.data(), contents.size(), materials, table);
}
