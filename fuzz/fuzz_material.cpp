// libFuzzer target: arbitrary bytes as a material library (the checks are in
// material_check.h). A broken invariant aborts, so that libFuzzer keeps the
// input.

#include <cstdio>
#include <cstdlib>

#include "material_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (const char* failed = material_check::checkMaterialLibrary(reinterpret_cast<const char*>(bytes), size)) {
    std::fprintf(stderr, "invariant violated: %s\n", failed);
    std::abort();
  }
  return 0;
}
