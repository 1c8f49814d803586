// Micro-benchmarks of the reader's inner loops, for tuning them in
// isolation: number fields, face lines, welding and conversion.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include <flatbuffers/detached_buffer.h>

#include "mesh_conversion.h"
#include "number_parsing.h"
#include "obj2mesh/converter.h"
#include "obj_reader.h"
#include "padded_text.h"

namespace {

using obj2mesh::Failure;
using obj2mesh::MaterialLookup;
using obj2mesh::ObjShapes;
using obj2mesh::PodArray;

std::string gridObj(int n, bool full) {
  std::string text;
  char line[128];
  for (int j = 0; j <= n; ++j)
    for (int i = 0; i <= n; ++i) {
      std::snprintf(line, sizeof line, "v %.6f %.6f %.6f\n", i * 0.013, j * 0.021, (i ^ j) * 0.0007);
      text += line;
      if (full) {
        std::snprintf(line, sizeof line, "vt %.6f %.6f\nvn %.4f %.4f %.4f\n", i * 0.01, j * 0.01, 0.0, 1.0, 0.0);
        text += line;
      }
    }
  auto corner = [&](int i, int j) {
    int v = j * (n + 1) + i + 1;
    return full ? std::to_string(v) + "/" + std::to_string(v) + "/" + std::to_string(v) : std::to_string(v);
  };
  for (int j = 0; j < n; ++j)
    for (int i = 0; i < n; ++i) {
      text += "f " + corner(i, j) + " " + corner(i + 1, j) + " " + corner(i + 1, j + 1) + "\n";
      text += "f " + corner(i, j) + " " + corner(i + 1, j + 1) + " " + corner(i, j + 1) + "\n";
    }
  return text;
}

// The grids name no material library.
const MaterialLookup kNoMaterials = [](const std::string&, std::string&) { return false; };

// Reads OBJ text; stops the benchmark run when the text is rejected.
bool readGrid(const std::string& text, ObjShapes& shapes, benchmark::State& state) {
  Failure failure;
  if (obj2mesh::readObjBuffer(text.data(), text.size(), "grid.obj", kNoMaterials, shapes, failure)) return true;
  state.SkipWithError(("grid.obj:" + std::to_string(failure.line) + ": " + failure.reason).c_str());
  return false;
}

template <class T>
void copyArray(const PodArray<T>& from, PodArray<T>& to) {
  to.clear();
  if (!from.empty()) std::memcpy(static_cast<void*>(to.extend(from.size())), from.data(), from.size() * sizeof(T));
}

// ObjShapes is move-only; the conversion benchmark gives each iteration a
// fresh copy of the shapes read once.
void copyShapes(const ObjShapes& from, ObjShapes& to) {
  to.names = from.names;
  copyArray(from.positions, to.positions);
  copyArray(from.normals, to.normals);
  copyArray(from.indices, to.indices);
  copyArray(from.shapes, to.shapes);
}

void BM_NumberField(benchmark::State& state) {
  const obj2mesh::PaddedText text("-12.345678 0.000123 987654.5 1.5e-3 -0.25\n");
  for (auto _ : state) {
    const char* p = text.data();
    float sum = 0;
    for (int i = 0; i < 5; ++i) sum += obj2mesh::parseNumberField(p);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * 5);
}
BENCHMARK(BM_NumberField);

// Arguments: grid size, and 1 for positions, texture coordinates and
// normals (0 for positions only).
void BM_Load(benchmark::State& state) {
  const std::string text = gridObj(int(state.range(0)), state.range(1) != 0);
  for (auto _ : state) {
    ObjShapes shapes;
    if (!readGrid(text, shapes, state)) break;
    benchmark::DoNotOptimize(shapes.indexCount());
  }
  state.SetBytesProcessed(state.iterations() * int64_t(text.size()));
}
BENCHMARK(BM_Load)->Args({300, 0})->Args({300, 1})->Unit(benchmark::kMillisecond);

// Argument: 1 for one combined mesh, 0 for one mesh per shape. Only the
// conversion is timed.
void BM_Convert(benchmark::State& state) {
  const std::string text = gridObj(300, true);
  ObjShapes loaded;
  if (!readGrid(text, loaded, state)) return;
  obj2mesh::Options options;
  options.combineMeshes = state.range(0) != 0;
  for (auto _ : state) {
    state.PauseTiming();
    ObjShapes shapes;
    copyShapes(loaded, shapes);
    flatbuffers::DetachedBuffer out;
    Failure failure;
    state.ResumeTiming();
    bool ok = obj2mesh::convertShapes(shapes, options, out, failure);
    benchmark::DoNotOptimize(out.data());
    state.PauseTiming();
    if (!ok) {
      state.SkipWithError(failure.reason.c_str());
      break;
    }
    out = flatbuffers::DetachedBuffer();  // freed outside the timed part
    state.ResumeTiming();
  }
}
BENCHMARK(BM_Convert)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
