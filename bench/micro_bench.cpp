// Micro-benchmarks of the reader's inner loops, for tuning them in
// isolation: number fields, face lines, welding and conversion.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "mesh_conversion.h"
#include "number_parsing.h"
#include "obj_reader.h"

namespace {

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

void BM_NumberField(benchmark::State& state) {
  const std::string text = "-12.345678 0.000123 987654.5 1.5e-3 -0.25\n";
  for (auto _ : state) {
    const char* p = text.data();
    const char* end = p + text.size() - 1;
    float sum = 0;
    for (int i = 0; i < 5; ++i) sum += parseNumberField(p, end);
    benchmark::DoNotOptimize(sum);
  }
  state.SetItemsProcessed(state.iterations() * 5);
}
BENCHMARK(BM_NumberField);

void BM_Load(benchmark::State& state) {
  const std::string text = gridObj(int(state.range(0)), state.range(1) != 0);
  MemoryMaterialReader reader;
  for (auto _ : state) {
    std::vector<ObjShape> shapes;
    std::vector<ObjMaterial> materials;
    std::string errors;
    LoadResult r = loadObjBuffer(text.data(), text.size(), "grid.obj", shapes, materials, errors, reader);
    benchmark::DoNotOptimize(r.ok());
  }
  state.SetBytesProcessed(state.iterations() * int64_t(text.size()));
}
BENCHMARK(BM_Load)->Args({300, 0})->Args({300, 1})->Unit(benchmark::kMillisecond);

void BM_Convert(benchmark::State& state) {
  const std::string text = gridObj(300, true);
  MemoryMaterialReader reader;
  std::vector<ObjShape> loaded;
  std::vector<ObjMaterial> materials;
  std::string errors;
  loadObjBuffer(text.data(), text.size(), "grid.obj", loaded, materials, errors, reader);
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<ObjShape> shapes = loaded;
    state.ResumeTiming();
    flatbuffers::FlatBufferBuilder builder;
    convertShapes(shapes, state.range(0) != 0, builder);
    benchmark::DoNotOptimize(builder.GetSize());
  }
}
BENCHMARK(BM_Convert)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
