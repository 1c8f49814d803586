#include "material_library.h"

#include "text_scan.h"

namespace obj2mesh {

void MaterialTable::add(std::string name) {
  ids_.emplace(std::move(name), int32_t(count_));
  ++count_;
}

void MaterialTable::parse(const PaddedText& text) {
  // The material under construction: statements before the first
  // "newmtl" fill one without a name, which is dropped.
  std::string name;
  forEachLine(text, true, [&](const char* p, const char* end) {
    while (p != end && isBlank(*p)) ++p;
    if (const char* rest = afterKeyword(p, end, "newmtl")) {
      if (!name.empty()) add(std::move(name));
      name = firstWord(rest, end);
    }
    return true;
  });
  // The last material is kept whatever its name, so an unreadable or
  // empty library still yields one (unnamed) material.
  add(std::move(name));
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
