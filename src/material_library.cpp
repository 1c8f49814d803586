#include "material_library.h"

#include <climits>
#include <string_view>

#include "text_scan.h"

namespace obj2mesh {
namespace {

// "Ka r g b", or "Ka r" for r r r.
void readColour(const char* p, const char* end, float (&colour)[3]) {
  colour[0] = parseNumberField(p);
  while (p < end && isBlank(*p)) ++p;
  if (p >= end) {
    colour[1] = colour[2] = colour[0];
    return;
  }
  colour[1] = parseNumberField(p);
  colour[2] = parseNumberField(p);
}

// The word at p, which ends at a blank or the end of the line's content.
const char* wordEnd(const char* p, const char* end) {
  while (p < end && !isSpace(*p)) ++p;
  return p;
}

const char* skipBlanks(const char* p, const char* end) {
  while (p < end && isSpace(*p)) ++p;
  return p;
}

bool isNumberWord(const char* p) {
  if (*p == '+' || *p == '-') ++p;
  return isDigit(*p);
}

// The texture name of a map statement: the options before it are skipped,
// and the name is the rest of the line without its outer blanks.
std::string textureName(const char* p, const char* end) {
  for (;;) {
    p = skipBlanks(p, end);
    const char* option = p;
    const char* optionEnd = wordEnd(p, end);
    const std::string_view word(option, size_t(optionEnd - option));
    size_t words = 0, numbers = 0;
    if (word == "-blendu" || word == "-blendv" || word == "-clamp" || word == "-cc" || word == "-boost" ||
        word == "-texres" || word == "-bm" || word == "-imfchan" || word == "-type")
      words = 1;
    else if (word == "-mm")
      words = 2;
    else if (word == "-o" || word == "-s" || word == "-t")
      numbers = 3;
    else
      break;
    p = optionEnd;
    for (size_t i = 0; i < words; ++i) p = wordEnd(skipBlanks(p, end), end);
    for (size_t i = 0; i < numbers; ++i) {
      const char* number = skipBlanks(p, end);
      if (number >= end || !isNumberWord(number)) break;
      p = wordEnd(number, end);
    }
  }
  while (end > p && isSpace(end[-1])) --end;
  return std::string(p, end);
}

// The text after `word` and its blank at p, or nullptr when the line does
// not start with that keyword.
const char* after(const char* p, const char* end, std::string_view word) {
  if (size_t(end - p) <= word.size() || word.compare(0, word.size(), p, word.size()) != 0 ||
      !isBlank(p[word.size()]))
    return nullptr;
  return p + word.size() + 1;
}

struct Colour {
  std::string_view keyword;
  float (ObjMaterial::*values)[3];
  uint16_t property;
};
const Colour kColours[] = {{"Ka", &ObjMaterial::ambient, ObjMaterial::Ambient},
                           {"Kd", &ObjMaterial::diffuse, ObjMaterial::Diffuse},
                           {"Ks", &ObjMaterial::specular, ObjMaterial::Specular},
                           {"Ke", &ObjMaterial::emissive, ObjMaterial::Emissive}};

struct Map {
  std::string_view keyword;
  ObjMaterial::Texture texture;
};
const Map kMaps[] = {{"map_Ka", ObjMaterial::AmbientMap},  {"map_Kd", ObjMaterial::DiffuseMap},
                     {"map_Ks", ObjMaterial::SpecularMap}, {"map_Ke", ObjMaterial::EmissiveMap},
                     {"map_d", ObjMaterial::OpacityMap},   {"map_Bump", ObjMaterial::NormalMap},
                     {"map_bump", ObjMaterial::NormalMap}, {"bump", ObjMaterial::NormalMap},
                     {"norm", ObjMaterial::NormalMap}};

}  // namespace

void readMaterialStatement(const char* p, const char* end, ObjMaterial& m) {
  const char* rest;
  for (const Colour& colour : kColours)
    if ((rest = after(p, end, colour.keyword))) {
      readColour(rest, end, m.*colour.values);
      m.set |= colour.property;
      return;
    }
  for (const Map& map : kMaps)
    if ((rest = after(p, end, map.keyword))) {
      // A map statement without a name sets nothing.
      std::string name = textureName(rest, end);
      if (!name.empty()) m.textures[map.texture] = std::move(name);
      return;
    }
  if ((rest = after(p, end, "Ns"))) {
    m.shininess = parseNumberField(rest);
    m.set |= ObjMaterial::Shininess;
  } else if ((rest = after(p, end, "d"))) {
    m.opacity = parseNumberField(rest);
    m.set |= ObjMaterial::Opacity;
  } else if ((rest = after(p, end, "Tr"))) {
    m.opacity = 1.0f - parseNumberField(rest);
    m.set |= ObjMaterial::Opacity;
  } else if ((rest = after(p, end, "illum"))) {
    const int64_t value = parseIndexInteger(rest);
    m.illum = int32_t(value < INT32_MIN ? INT32_MIN : value > INT32_MAX ? INT32_MAX : value);
    m.set |= ObjMaterial::Illum;
  }
}

void MaterialTable::add(ObjMaterial&& material) {
  ids_.emplace(material.name, int32_t(materials_.size()));
  materials_.push_back(std::move(material));
}

void MaterialTable::parse(const PaddedText& text) {
  // The material under construction: statements before the first
  // "newmtl" fill one without a name, which is dropped.
  ObjMaterial material;
  forEachLine(text, true, [&](const char* p, const char* end) {
    while (p != end && isBlank(*p)) ++p;
    if (const char* rest = afterKeyword(p, end, "newmtl")) {
      if (!material.name.empty()) add(std::move(material));
      material = ObjMaterial();
      material.name = firstWord(rest, end);
    } else {
      readMaterialStatement(p, end, material);
    }
    return true;
  });
  // The last material is kept whatever its name, so an unreadable or
  // empty library still yields one (unnamed) material.
  add(std::move(material));
}

void MaterialTable::readLibrary(const std::string& name, const MaterialLookup& lookup) {
  if (!namesRead_.insert(name).second) return;
  std::string contents;
  if (!lookup(name, contents)) contents.clear();
  if (contents_.count(contents)) return;
  parse(PaddedText(contents));
  contents_.insert(std::move(contents));
}

}  // namespace obj2mesh
