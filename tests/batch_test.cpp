// obj2mesh-batch end to end on a small tree of shared models: the meshes
// are obj2mesh's own, a failure names its line, later runs rewrite only what
// is out of date (by the records of how each was made), and the shards split
// the files.

#include <set>
#include <thread>

#include "process_support.h"
#include "test_support.h"

namespace {

// Where each shared model goes in the tree; cube_groups twice.
const std::vector<std::pair<std::string, std::string>> kTree = {
    {"cube_groups", "a/cube"},   {"cube_groups", "a/b/cube"}, {"box_mtllib", "a/b/box"},
    {"box_multimat", "c/multi"}, {"malformed_idx", "bad"},
};

RunOutcome runBatch(const fs::path& cwd, const std::vector<std::string>& args) {
  RunOptions options;
  options.program = OBJ2MESH_BATCH_EXE;
  options.argv0 = "obj2mesh-batch";
  return runProgram(cwd, args, options);
}

// The modification time of every .mesh file under `root`, by relative path.
std::map<std::string, fs::file_time_type> meshTimes(const fs::path& root) {
  std::map<std::string, fs::file_time_type> times;
  for (const auto& entry : fs::recursive_directory_iterator(root))
    if (entry.path().extension() == ".mesh")
      times[entry.path().lexically_relative(root).string()] = entry.last_write_time();
  return times;
}

// Marks `path` as changed now, as touch(1) does, by the kernel's clock; that
// clock advances in ticks of a few milliseconds, so the wait makes the
// outputs written next strictly newer.
void touch(const fs::path& path) {
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), nullptr, 0), 0) << path;
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
}

// The "input" of every entry of a --report file.
std::vector<std::string> reportedInputs(const std::string& json) {
  std::vector<std::string> inputs;
  const std::string key = "\"input\": \"";
  for (size_t at = json.find(key); at != std::string::npos; at = json.find(key, at)) {
    at += key.size();
    inputs.push_back(json.substr(at, json.find('"', at) - at));
  }
  return inputs;
}

TEST(Batch, ConvertsTreeIncrementallyAndInShards) {
  if (!fs::is_directory(kSharedModels)) GTEST_SKIP() << kSharedModels.lexically_normal().string() << " not found";
  TempDir temp;
  const fs::path tree = temp.path() / "tree";
  for (const auto& [model, folder] : kTree) {
    fs::create_directories(tree / folder);
    fs::copy(kSharedModels / model, tree / folder, fs::copy_options::recursive);
  }
  const fs::path latecomer = tree / "c/multi/box-multiple-materials.mtl";  // a library that appears later
  fs::remove(latecomer);
  std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the outputs strictly newer (see touch)
  std::set<std::string> meshes;  // every mesh the good models make
  for (const auto& entry : fs::recursive_directory_iterator(tree))
    if (entry.path().extension() == ".obj" && entry.path().parent_path().filename() != "bad")
      meshes.insert(entry.path().lexically_relative(tree).replace_extension(".mesh").string());

  // Each run in turn: what happens first, the extra arguments, and the
  // meshes that must be written (none other may be).
  struct Step {
    std::string what;
    std::function<void()> before;
    std::vector<std::string> args;
    std::set<std::string> written;
  };
  const std::vector<std::string> other = {"-c", "false", "--with", "parts"};
  const fs::path record = tree / "a/cube/.obj2mesh-batch/cube.rec";
  const std::vector<Step> steps = {
      {"first run", [] {}, {"--report", "report.json", "-j", "2"}, meshes},
      {"second run", [] {}, {}, {}},
      {"touched library",
       [&] { touch(tree / "a/b/box/box-mtllib-red.mtl"); },
       {},
       {"a/b/box/box-mtllib.mesh"}},
      {"touched OBJ",
       [&] { touch(tree / "a/cube/cube.obj"); },
       {},
       {"a/cube/cube.mesh"}},
      {"other -c", [] {}, {"-cfalse"}, meshes},
      {"other --with", [] {}, other, meshes},
      {"same options", [] {}, other, {}},
      {"library appears",
       [&] { fs::copy(kSharedModels / "box_multimat" / latecomer.filename(), latecomer), touch(latecomer); },
       other, {"c/multi/box-multiple-materials.mesh"}},
      {"record cut short", [&] { writeFile(record, readFile(record).substr(0, readFile(record).size() - 4)); },
       other, {"a/cube/cube.mesh"}},
      {"forced", [] {}, {"--force", "-j1"}, meshes},
  };
  // obj2mesh run from the malformed model's folder names the same line.
  const RunOutcome single = runProgram(tree / "bad", {"malformed.obj"});
  ASSERT_EQ(single.err.rfind("obj2mesh: ", 0), 0u) << single.err;
  const std::string failureLine = "tree/bad/" + single.err.substr(std::strlen("obj2mesh: "));
  const std::string prefix = "tree/bad/malformed.obj:";
  const size_t digits = failureLine.find_first_not_of("0123456789", prefix.size());
  ASSERT_TRUE(failureLine.rfind(prefix, 0) == 0 && digits > prefix.size() && digits != std::string::npos &&
              failureLine.compare(digits, 2, ": ") == 0)
      << failureLine;

  auto times = meshTimes(tree);
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.before();
    std::vector<std::string> args = step.args;
    args.push_back("tree");
    const RunOutcome run = runBatch(temp.path(), args);
    EXPECT_EQ(run.exitCode, 1) << run.err;
    EXPECT_EQ(run.err, failureLine);
    const auto now = meshTimes(tree);
    std::set<std::string> written, present;
    for (const auto& [rel, time] : now) {
      present.insert(rel);
      if (!times.count(rel) || times.at(rel) != time) written.insert(rel);
    }
    EXPECT_EQ(present, meshes);
    EXPECT_EQ(written, step.written);
    times = now;
  }

  for (const std::string& rel : meshes) {
    const fs::path mesh = tree / rel;
    const RunOutcome single = runProgram(mesh.parent_path(), {fs::path(rel).replace_extension(".obj").filename().string(),
                                                            "-o", (temp.path() / "single.mesh").string()});
    ASSERT_EQ(single.exitCode, 0) << single.err;
    EXPECT_EQ(readFile(mesh), readFile(temp.path() / "single.mesh")) << rel;
  }
  const std::vector<std::string> all = reportedInputs(readFile(temp.path() / "report.json"));
  EXPECT_EQ(all.size(), kTree.size());

  // The shards give disjoint sets whose union is every file.
  std::multiset<std::string> shards;
  for (const char* shard : {"1/3", "2/3", "3/3"}) {
    const std::string report = std::string("shard") + shard[0] + ".json";
    const RunOutcome run = runBatch(temp.path(), {"--shard", shard, "-q", "-oout", "--report", report, "tree"});
    EXPECT_NE(run.exitCode, 2) << run.err;
    for (const std::string& input : reportedInputs(readFile(temp.path() / report))) shards.insert(input);
  }
  EXPECT_EQ(shards, std::multiset<std::string>(all.begin(), all.end()));
}

// Two inputs that would make one output are refused before any work.
TEST(Batch, RefusesCollidingOutputs) {
  TempDir temp;
  for (const char* file : {"x/cube/cube.obj", "y/cube/cube.obj"}) writeFile(temp.path() / file, "v 0 0 0\nf 1 1 1\n");
  const RunOutcome run = runBatch(temp.path(), {"-o", "out", "x", "y"});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.err.find("would both make"), std::string::npos) << run.err;
  EXPECT_FALSE(fs::exists(temp.path() / "out"));
}

// An unknown --with item is a usage error that names it.
TEST(Batch, RefusesUnknownWithItems) {
  TempDir temp;
  for (const auto& [list, item] : std::vector<std::pair<std::string, std::string>>{
           {"bogus", "bogus"}, {"parts,,all", ""}, {"texcoords,Parts", "Parts"}}) {
    const RunOutcome run = runBatch(temp.path(), {"--with", list, "."});
    EXPECT_EQ(run.exitCode, 2) << list;
    EXPECT_NE(run.err.find("--with takes texcoords, aligned-normals, parts or all, not '" + item + "'"),
              std::string::npos) << run.err;
  }
}

// A file named before "--" must be an OBJ file: anything else is a usage
// error before any work. After "--", any file is converted.
TEST(Batch, NamedFilesMustBeObjFilesUnlessAfterDashes) {
  TempDir temp;
  writeFile(temp.path() / "tex.png", "v 0 0 0\nf 1 1 1\n");
  const RunOutcome refused = runBatch(temp.path(), {"-j4", "tex.png"});
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_EQ(refused.err.rfind("obj2mesh-batch: tex.png: not an .obj file;", 0), 0u) << refused.err;
  EXPECT_EQ(runBatch(temp.path(), {"-j4", "-cfalse", "-oout", "--", "tex.png"}).exitCode, 0);
  EXPECT_NE(readFile(temp.path() / "out/.obj2mesh-batch/tex.rec").find("combine=false"), std::string::npos);
}

// On a terminal of 30 columns (script(1) runs the program on one), each
// update of the line rewritten in place leaves the last column free, so
// that the terminal never wraps it.
TEST(Batch, ProgressLineFitsANarrowTerminal) {
  TempDir temp;
  for (int i = 0; i < 12; ++i) writeFile(temp.path() / ("m" + std::to_string(i) + ".obj"), "v 0 0 0\nf 1 1 1\n");
  RunOptions terminal;
  terminal.program = "/usr/bin/script";
  const std::string command = "stty cols 30 && exec '" OBJ2MESH_BATCH_EXE "' -j1 .";
  const std::string shown = runProgram(temp.path(), {"-qec", command, "/dev/null"}, terminal).out;
  size_t updates = 0;
  for (size_t at = shown.find("\x1b[K"); at != std::string::npos; at = shown.find("\x1b[K", at + 1), ++updates)
    EXPECT_LE(shown.find_first_of("\r\n", at) - at - 3, 29u) << shown;
  EXPECT_EQ(updates, 12u) << shown;
  EXPECT_NE(shown.find("\x1b[K12/12 files, 0 failed\r"), std::string::npos) << shown;
}

}  // namespace
