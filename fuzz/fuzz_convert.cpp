// libFuzzer target: arbitrary bytes through reading, shape assembly and
// conversion in both modes (the checks are in pipeline_check.h). A broken
// invariant aborts, so that libFuzzer keeps the input.

#include <cstdio>
#include <cstdlib>

#include "pipeline_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  if (const char* failed = pipeline_check::checkPipeline(reinterpret_cast<const char*>(bytes), size)) {
    std::fprintf(stderr, "invariant violated: %s\n", failed);
    std::abort();
  }
  return 0;
}
