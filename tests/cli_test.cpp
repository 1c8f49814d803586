// End-to-end tests of the obj2mesh program: each case runs the built
// executable in a fresh folder and checks standard output byte for byte,
// whether anything went to standard error, the exit status and exactly which
// files the run left behind.

#include <algorithm>

#include "process_support.h"
#include "test_support.h"

namespace {

const char kUsageTail[] = " inputfile [-o outputfile] [-c <combineMeshes=true>]\n";

// Two shapes of one triangle each over four vertices. Combined mode writes
// one mesh of 6 vertices (indices 0..5); separate mode writes two meshes of
// 3 vertices each, so the file tells which mode a run used.
const char kTwoShapes[] =
    "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\n"
    "g a\nf 1 2 3\n"
    "g b\nf 1 3 4\n";

enum class Mode { Combined, Separate };

std::string successLines(const std::string& input, const std::string& output, bool changed) {
  return "Loading '" + input + "'... complete\nConverting... complete\n" +
         (changed ? "Changed output type to '.mesh'\n" : "") + "Saving to '" + output + "'... complete\n";
}

std::string loadedLines(const std::string& input) {
  return "Loading '" + input + "'... complete\nConverting... complete\n";
}

// Verifies the mesh file at `path` and checks that it holds kTwoShapes in
// the given mode.
void expectTwoShapesMesh(const fs::path& path, Mode mode) {
  SCOPED_TRACE(path.string());
  ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(path)));
  const std::string bytes = readFile(path);
  const obj2mesh::Model* model = verifiedModel(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  ASSERT_NE(model, nullptr);
  const auto& meshes = *model->meshes();
  if (mode == Mode::Combined) {
    ASSERT_EQ(meshes.size(), 1u);
    EXPECT_EQ(meshes[0]->positions()->size(), 6u);
    std::vector<uint32_t> indices(meshes[0]->indices()->begin(), meshes[0]->indices()->end());
    EXPECT_EQ(indices, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5}));
  } else {
    ASSERT_EQ(meshes.size(), 2u);
    for (const obj2mesh::Mesh* mesh : meshes) {
      EXPECT_EQ(mesh->positions()->size(), 3u);
      std::vector<uint32_t> indices(mesh->indices()->begin(), mesh->indices()->end());
      EXPECT_EQ(indices, (std::vector<uint32_t>{0, 1, 2}));
    }
  }
}

void expectOneLine(const std::string& err, const std::string& prefix) {
  EXPECT_EQ(err.compare(0, prefix.size(), prefix), 0) << "stderr: " << err;
  EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << "stderr: " << err;
  EXPECT_EQ(err.back(), '\n');
  EXPECT_GT(err.size(), prefix.size() + 1) << "no reason given";
}

Tree without(Tree tree, const std::string& rel) {
  tree.erase(rel);
  return tree;
}

using Setup = void (*)(const fs::path& work);

class Cli : public testing::Test {
 protected:
  void SetUp() override { fs::create_directory(work()); }
  fs::path work() const { return dir_.path() / "work"; }
  void put(const std::string& rel, const std::string& content) { writeFile(work() / rel, content); }

 private:
  TempDir dir_;
};

// ---------------------------------------------------------------------------
// The usage line: exit 0, nothing else printed, nothing written.

struct UsageCase {
  const char* name;
  const char* argv0;
  std::vector<std::string> args;
};

const UsageCase kUsageCases[] = {
    {"NoArguments", "obj2mesh", {}},
    {"NoArgumentsPathArgv0", "./build/obj2mesh", {}},
    {"NoArgumentsArgv0WithSpace", "my converter", {}},
    {"NoArgumentsEmptyArgv0", "", {}},
    {"ShortHelp", "obj2mesh", {"-h"}},
    {"LongHelp", "obj2mesh", {"--help"}},
    {"LongHelpAbsoluteArgv0", "/usr/local/bin/obj2mesh", {"--help"}},
    {"HelpBeforeInput", "obj2mesh", {"-h", "in.obj"}},
    {"HelpBeforeOptions", "obj2mesh", {"--help", "-o", "out.mesh", "-c", "false"}},
};

class Usage : public Cli, public testing::WithParamInterface<UsageCase> {};

TEST_P(Usage, PrintsUsageLineOnly) {
  const UsageCase& c = GetParam();
  put("in.obj", kTwoShapes);
  const Tree before = snapshot(work());
  RunOutcome r = runProgram(work(), c.args, {c.argv0});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, std::string("Usage: ") + c.argv0 + kUsageTail);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(treeDifference(before, snapshot(work())), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, Usage, testing::ValuesIn(kUsageCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Successful runs: the argument rules and the output path rule. The input
// (the first argument, relative to `cwd`) is created with kTwoShapes, and so
// is the folder the output is expected in; the run must leave exactly one new
// file, at `output` as printed, in the given mode.

struct ConvertCase {
  const char* name;
  std::vector<std::string> args;
  const char* output;  // as printed on the "Saving to" line, relative to cwd
  bool changed;        // whether "Changed output type" is printed
  Mode mode = Mode::Combined;
  const char* cwd = ".";
};

const ConvertCase kConvertCases[] = {
    // Options.
    {"InputOnly", {"in.obj"}, "in.mesh", false},
    {"TrailingCIgnored", {"in.obj", "-c"}, "in.mesh", false},
    {"CFalse", {"in.obj", "-c", "false"}, "in.mesh", false, Mode::Separate},
    {"CZero", {"in.obj", "-c", "0"}, "in.mesh", false, Mode::Separate},
    {"CFALSE", {"in.obj", "-c", "FALSE"}, "in.mesh", false, Mode::Separate},
    {"CFalseCapital", {"in.obj", "-c", "False"}, "in.mesh", false, Mode::Separate},
    {"COneOverridesFalse", {"in.obj", "-c", "false", "-c", "1"}, "in.mesh", false},
    {"CtrueOverridesFalse", {"in.obj", "-c", "false", "-c", "true"}, "in.mesh", false},
    {"CTRUEOverridesFalse", {"in.obj", "-c", "false", "-c", "TRUE"}, "in.mesh", false},
    {"CTrueOverridesFalse", {"in.obj", "-c", "false", "-c", "True"}, "in.mesh", false},
    {"CMixedCaseNotAValue", {"in.obj", "-c", "fAlse", "-o", "x.mesh"}, "x.mesh", false},
    {"CNoIgnoredThenO", {"in.obj", "-c", "no", "-o", "out.mesh"}, "out.mesh", false},
    {"CUnknownValueKeepsFalse", {"in.obj", "-c", "false", "-c", "yes"}, "in.mesh", false, Mode::Separate},
    {"CFalseThenTrailingC", {"in.obj", "-c", "false", "-c"}, "in.mesh", false, Mode::Separate},
    {"CValueIsNextOption", {"in.obj", "-c", "-o", "out.mesh"}, "out.mesh", false},
    {"TrailingOIgnored", {"in.obj", "-o"}, "in.mesh", false},
    {"EmptyOutputDerived", {"in.obj", "-o", ""}, "in.mesh", false},
    {"ExtraIgnoredLastORepeatWins", {"in.obj", "extra", "-o", "a.mesh", "-o", "b.mesh"}, "b.mesh", false},
    {"OTakesDashCAsPath", {"in.obj", "-o", "-c", "false"}, "-c.mesh", false},
    {"OThenC", {"in.obj", "-o", "out.mesh", "-c", "0"}, "out.mesh", false, Mode::Separate},
    {"HelpAfterInputIgnored", {"in.obj", "-h"}, "in.mesh", false},
    {"LongHelpAfterInputIgnored", {"in.obj", "--help", "-o", "x.mesh"}, "x.mesh", false},
    {"UpperHelpIsInput", {"--HELP"}, "--HELP.mesh", false},
    {"DashOIsInput", {"-o", "out.mesh"}, "-o.mesh", false},
    {"InputInSubfolder", {"models/in.obj"}, "models/in.mesh", false},
    // The extension rule on an explicit -o path: only the file name's
    // extension counts, and leading dots never start one.
    {"OObj", {"in.obj", "-o", "model.obj"}, "model.mesh", true},
    {"OMesh", {"in.obj", "-o", "model.mesh"}, "model.mesh", false},
    {"ONoExtension", {"in.obj", "-o", "model"}, "model.mesh", false},
    {"OTrailingDot", {"in.obj", "-o", "model."}, "model.mesh", true},
    {"OUpperMesh", {"in.obj", "-o", "model.MESH"}, "model.mesh", true},
    {"OUpperName", {"in.obj", "-o", "OUT.MESH"}, "OUT.mesh", true},
    {"OBin", {"in.obj", "-o", "out.bin"}, "out.mesh", true},
    {"ODoubleExtension", {"in.obj", "-o", "archive.tar.gz"}, "archive.tar.mesh", true},
    {"ODottedFolder", {"in.obj", "-o", "out.dir/model"}, "out.dir/model.mesh", false},
    {"OParentFolder", {"in.obj", "-o", "../scene"}, "../scene.mesh", false, Mode::Combined, "sub"},
    {"ODotfile", {"in.obj", "-o", ".hidden"}, ".hidden.mesh", false},
    {"ODotfileWithExtension", {"in.obj", "-o", "dir/.hidden.bin"}, "dir/.hidden.mesh", true},
    // The same rule deriving the output from the input: never a message.
    {"DerivedUpperExtension", {"SCENE.OBJ"}, "SCENE.mesh", false},
    {"DerivedUpperMesh", {"m.MESH"}, "m.mesh", false},
    {"DerivedNoExtension", {"scene"}, "scene.mesh", false},
    {"DerivedTrailingDot", {"scene."}, "scene.mesh", false},
    {"DerivedParentFolder", {"../scene"}, "../scene.mesh", false, Mode::Combined, "sub"},
    {"DerivedDottedFolder", {"dir.v2/scene"}, "dir.v2/scene.mesh", false},
    {"DerivedDotfile", {".hidden"}, ".hidden.mesh", false},
};

class Converts : public Cli, public testing::WithParamInterface<ConvertCase> {};

TEST_P(Converts, WritesOneMeshFile) {
  const ConvertCase& c = GetParam();
  const fs::path cwd = work() / c.cwd;
  fs::create_directories(cwd);
  writeFile(cwd / c.args[0], kTwoShapes);
  const fs::path output = (cwd / c.output).lexically_normal();
  fs::create_directories(output.parent_path());
  const Tree before = snapshot(work());

  RunOutcome r = runProgram(cwd, c.args);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, successLines(c.args[0], c.output, c.changed));
  EXPECT_EQ(r.err, "");
  const std::string rel = output.lexically_relative(work()).string();
  EXPECT_EQ(treeDifference(before, without(snapshot(work()), rel)), "");
  expectTwoShapesMesh(output, c.mode);
  // A new file gets the usual mode for the umask (022), not the private
  // mode a temporary file is created with.
  EXPECT_EQ(fs::status(output).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read);
}

INSTANTIATE_TEST_SUITE_P(Cases, Converts, testing::ValuesIn(kConvertCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Failed runs: exit status 1, the progress lines up to the failed step, one
// line on standard error starting with `errPrefix`, and the folder exactly as
// it was (no output, no temporary file, existing files untouched).

struct FailureCase {
  const char* name;
  Setup setup;
  std::vector<std::string> args;
  std::string out;
  std::string errPrefix;
  long long fileSizeLimit = -1;
};

void twoShapesInput(const fs::path& work) { writeFile(work / "in.obj", kTwoShapes); }
void meshNamedInput(const fs::path& work) { writeFile(work / "m.mesh", kTwoShapes); }

const FailureCase kFailureCases[] = {
    // Input that cannot be read.
    {"MissingInput", [](const fs::path&) {}, {"x.obj"}, "Loading 'x.obj'... failed\n", "obj2mesh: x.obj: "},
    {"MissingUpperHelpInput", [](const fs::path&) {}, {"--HELP"}, "Loading '--HELP'... failed\n",
     "obj2mesh: --HELP: "},
    {"DirectoryInput", [](const fs::path& w) { fs::create_directory(w / "d.obj"); }, {"d.obj"},
     "Loading 'd.obj'... failed\n", "obj2mesh: d.obj: "},
    // Input whose face names a vertex that does not exist: the message names
    // the file and the line of the face.
    {"FaceBeyondVertices",
     [](const fs::path& w) { writeFile(w / "bad.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\n# three\n\nf 1 2 3\nf 1 2 4\n");
     },
     {"bad.obj"}, "Loading 'bad.obj'... failed\n", "obj2mesh: bad.obj:7: "},
    {"NegativeFaceBelowFirstVertex",
     [](const fs::path& w) { writeFile(w / "bad.obj", "v 0 0 0\nv 1 0 0\nv 0 1 0\nf -1 -2 -4\n");
     },
     {"bad.obj", "-c", "false"}, "Loading 'bad.obj'... failed\n", "obj2mesh: bad.obj:4: "},
    {"RejectedInputKeepsExistingOutput",
     [](const fs::path& w) {
       writeFile(w / "bad.obj", "v 0 0 0\nf 1 2 3\n");
       writeFile(w / "bad.mesh", "previous mesh");
     },
     {"bad.obj"}, "Loading 'bad.obj'... failed\n", "obj2mesh: bad.obj:2: "},
    // Output that cannot be written.
    {"MissingOutputFolder", twoShapesInput, {"in.obj", "-o", "missing/out.mesh"},
     loadedLines("in.obj") + "Saving to 'missing/out.mesh'... failed\n", "obj2mesh: missing/out.mesh: "},
    {"OutputIsDirectory",
     [](const fs::path& w) {
       twoShapesInput(w);
       fs::create_directory(w / "out.mesh");
     },
     {"in.obj", "-o", "out.mesh"}, loadedLines("in.obj") + "Saving to 'out.mesh'... failed\n",
     "obj2mesh: out.mesh: "},
    {"ChangedOutputIsDirectory",
     [](const fs::path& w) {
       twoShapesInput(w);
       fs::create_directory(w / "out.mesh");
     },
     {"in.obj", "-o", "out.bin"},
     loadedLines("in.obj") + "Changed output type to '.mesh'\nSaving to 'out.mesh'... failed\n",
     "obj2mesh: out.mesh: "},
    {"DerivedOutputIsDirectory",
     [](const fs::path& w) {
       twoShapesInput(w);
       fs::create_directory(w / "in.mesh");
     },
     {"in.obj"}, loadedLines("in.obj") + "Saving to 'in.mesh'... failed\n", "obj2mesh: in.mesh: "},
    // A write that fails part way (the file size limit) leaves neither a
    // partial output nor a temporary file, and an existing output as it was.
    {"WriteFailsNewOutput", twoShapesInput, {"in.obj", "-o", "new.mesh"},
     loadedLines("in.obj") + "Saving to 'new.mesh'... failed\n", "obj2mesh: new.mesh: ", 64},
    {"WriteFailsKeepsExistingOutput",
     [](const fs::path& w) {
       twoShapesInput(w);
       writeFile(w / "out.mesh", "old");
     },
     {"in.obj", "-o", "out.mesh"}, loadedLines("in.obj") + "Saving to 'out.mesh'... failed\n",
     "obj2mesh: out.mesh: ", 64},
    {"WriteFailsThroughLinkKeepsTarget",
     [](const fs::path& w) {
       twoShapesInput(w);
       writeFile(w / "target.bin", "old");
       fs::create_symlink("target.bin", w / "out.mesh");
     },
     {"in.obj", "-o", "out.mesh"}, loadedLines("in.obj") + "Saving to 'out.mesh'... failed\n",
     "obj2mesh: out.mesh: ", 64},
    // The output would replace the input file itself.
    {"SameFileDerived", meshNamedInput, {"m.mesh"}, loadedLines("m.mesh") + "Saving to 'm.mesh'... failed\n",
     "obj2mesh: m.mesh: "},
    {"SameFileNamedByO", meshNamedInput, {"m.mesh", "-o", "./m.mesh"},
     loadedLines("m.mesh") + "Saving to './m.mesh'... failed\n", "obj2mesh: ./m.mesh: "},
    {"SameFileAfterChangedType", meshNamedInput, {"m.mesh", "-o", "m.MESH"},
     loadedLines("m.mesh") + "Changed output type to '.mesh'\nSaving to 'm.mesh'... failed\n", "obj2mesh: m.mesh: "},
    {"SameFileThroughSymlink",
     [](const fs::path& w) {
       meshNamedInput(w);
       fs::create_symlink("m.mesh", w / "alias.mesh");
     },
     {"m.mesh", "-o", "alias.mesh"}, loadedLines("m.mesh") + "Saving to 'alias.mesh'... failed\n",
     "obj2mesh: alias.mesh: "},
    {"SameFileThroughHardLink",
     [](const fs::path& w) {
       meshNamedInput(w);
       fs::create_hard_link(w / "m.mesh", w / "hard.mesh");
     },
     {"m.mesh", "-o", "hard.mesh"}, loadedLines("m.mesh") + "Saving to 'hard.mesh'... failed\n",
     "obj2mesh: hard.mesh: "},
    {"SameFileThroughFolderLink",
     [](const fs::path& w) {
       meshNamedInput(w);
       fs::create_directory_symlink(".", w / "here");
     },
     {"m.mesh", "-o", "here/m.mesh"}, loadedLines("m.mesh") + "Saving to 'here/m.mesh'... failed\n",
     "obj2mesh: here/m.mesh: "},
    {"InputIsLinkToDerivedOutput",
     [](const fs::path& w) {
       writeFile(w / "in.mesh", kTwoShapes);
       fs::create_symlink("in.mesh", w / "in.obj");
     },
     {"in.obj"}, loadedLines("in.obj") + "Saving to 'in.mesh'... failed\n", "obj2mesh: in.mesh: "},
};

class Fails : public Cli, public testing::WithParamInterface<FailureCase> {};

TEST_P(Fails, ExitsOneAndLeavesFolderAsItWas) {
  const FailureCase& c = GetParam();
  c.setup(work());
  const Tree before = snapshot(work());
  RunOptions options;
  options.fileSizeLimit = c.fileSizeLimit;
  RunOutcome r = runProgram(work(), c.args, options);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(r.out, c.out);
  expectOneLine(r.err, c.errPrefix);
  EXPECT_EQ(treeDifference(before, snapshot(work())), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, Fails, testing::ValuesIn(kFailureCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Writing through symbolic links: every link stays as it was and the file at
// the end of the chain (`meshFile`, created if missing) receives the mesh.

struct LinkCase {
  const char* name;
  Setup setup;
  std::vector<std::string> args;
  const char* output;  // as printed
  const char* meshFile;
  bool changed = false;
  Mode mode = Mode::Combined;
};

const LinkCase kLinkCases[] = {
    {"ExistingTarget",
     [](const fs::path& w) {
       writeFile(w / "target.bin", "old");
       fs::create_symlink("target.bin", w / "out.mesh");
     },
     {"in.obj", "-o", "out.mesh"}, "out.mesh", "target.bin"},
    {"DanglingLinkCreatesTarget", [](const fs::path& w) { fs::create_symlink("fresh.bin", w / "out.mesh");
     },
     {"in.obj", "-o", "out.mesh"}, "out.mesh", "fresh.bin"},
    {"RelativeTargetFromSubfolder",
     [](const fs::path& w) {
       writeFile(w / "data/t.bin", "old");
       fs::create_directory(w / "links");
       fs::create_symlink("../data/t.bin", w / "links/out.mesh");
     },
     {"in.obj", "-o", "links/out.mesh"}, "links/out.mesh", "data/t.bin"},
    {"AbsoluteTarget",
     [](const fs::path& w) {
       fs::create_directory(w / "store");
       fs::create_symlink(w / "store/abs.bin", w / "out.mesh");
     },
     {"in.obj", "-o", "out.bin"}, "out.mesh", "store/abs.bin", true},
    {"ChainOfLinks",
     [](const fs::path& w) {
       writeFile(w / "c.bin", "old");
       fs::create_symlink("c.bin", w / "b.mesh");
       fs::create_symlink("b.mesh", w / "a.mesh");
     },
     {"in.obj", "-o", "a.mesh"}, "a.mesh", "c.bin"},
    {"DerivedOutputIsLink",
     [](const fs::path& w) {
       fs::create_directory(w / "store");
       fs::create_symlink("store/in.mesh", w / "in.mesh");
     },
     {"in.obj", "-c", "false"}, "in.mesh", "store/in.mesh", false, Mode::Separate},
};

class WritesThroughLink : public Cli, public testing::WithParamInterface<LinkCase> {};

TEST_P(WritesThroughLink, LinkStaysTargetGetsMesh) {
  const LinkCase& c = GetParam();
  twoShapesInput(work());
  c.setup(work());
  const Tree before = snapshot(work());
  RunOutcome r = runProgram(work(), c.args);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, successLines("in.obj", c.output, c.changed));
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(treeDifference(without(before, c.meshFile), without(snapshot(work()), c.meshFile)), "");
  expectTwoShapesMesh(work() / c.meshFile, c.mode);
}

INSTANTIATE_TEST_SUITE_P(Cases, WritesThroughLink, testing::ValuesIn(kLinkCases),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------

// An existing, longer output is replaced as a whole, never appended to or
// partly overwritten: the result equals a fresh conversion byte for byte.
TEST_F(Cli, ReplacesLongerExistingOutputWholly) {
  put("in.obj", kTwoShapes);
  put("fresh/in.obj", kTwoShapes);
  put("in.mesh", std::string(4096, 'x'));
  ASSERT_EQ(runProgram(work(), {"in.obj"}).exitCode, 0);
  ASSERT_EQ(runProgram(work() / "fresh", {"in.obj"}).exitCode, 0);
  const std::string replaced = readFile(work() / "in.mesh");
  EXPECT_EQ(replaced, readFile(work() / "fresh/in.mesh"));
  expectTwoShapesMesh(work() / "in.mesh", Mode::Combined);
}

// A material library is found by its name as written, relative to the
// working folder, not to the OBJ file's folder: a usemtl switch that
// resolves to a new material splits welding, so the vertex count shows
// whether the library was read.
TEST_F(Cli, MaterialLibraryResolvesAgainstWorkingFolder) {
  const std::string obj =
      "mtllib lib.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\n"
      "usemtl red\nf 1 2 3\nusemtl blue\nf 1 3 4\n";
  put("models/m.obj", obj);
  put("models/lib.mtl", "newmtl red\nKd 1 0 0\nnewmtl blue\nKd 0 0 1\n");
  auto positions = [&](const fs::path& cwd, const std::string& input) -> size_t {
    RunOutcome r = runProgram(cwd, {input, "-o", (work() / "out.mesh").string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::string bytes = readFile(work() / "out.mesh");
    const obj2mesh::Model* model = verifiedModel(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return model ? model->meshes()->Get(0)->positions()->size() : 0;
  };
  // From the model's folder both materials resolve: two face groups, no
  // vertex shared between them.
  EXPECT_EQ(positions(work() / "models", "m.obj"), 6u);
  // From its parent the library is missing, both names resolve to "none",
  // and the faces share their vertices.
  EXPECT_EQ(positions(work(), "models/m.obj"), 4u);
}

// The bundled example converts from its own folder: its library defines the
// three materials, so each switch starts a new face group, and its "o" line
// starts a shape that the first "g" drops before it gets a face.
TEST_F(Cli, BundledExampleConverts) {
  // Lexically from tests/data, which need not exist in a checkout.
  const fs::path examples = fs::path(OBJ2MESH_TEST_DATA).parent_path().parent_path() / "examples";
  fs::copy(examples, work(), fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  RunOutcome combined = runProgram(work(), {"house.obj"});
  EXPECT_EQ(combined.out, successLines("house.obj", "house.mesh", false));
  RunOutcome separate = runProgram(work(), {"house.obj", "-c", "false", "-o", "parts.mesh"});
  EXPECT_EQ(separate.out, successLines("house.obj", "parts.mesh", false));

  const std::string whole = readFile(work() / "house.mesh");
  const obj2mesh::Model* model = verifiedModel(reinterpret_cast<const uint8_t*>(whole.data()), whole.size());
  ASSERT_NE(model, nullptr);
  ASSERT_EQ(model->meshes()->size(), 1u);
  EXPECT_EQ(model->meshes()->Get(0)->positions()->size(), 38u);
  EXPECT_EQ(model->meshes()->Get(0)->normals()->size(), 38u);
  EXPECT_EQ(model->meshes()->Get(0)->indices()->size(), 54u);

  const std::string parts = readFile(work() / "parts.mesh");
  model = verifiedModel(reinterpret_cast<const uint8_t*>(parts.data()), parts.size());
  ASSERT_NE(model, nullptr);
  std::vector<uint32_t> positions;
  for (const obj2mesh::Mesh* mesh : *model->meshes()) positions.push_back(mesh->positions()->size());
  EXPECT_EQ(positions, (std::vector<uint32_t>{22, 8, 4, 4}));  // walls, roof, door, floor
}

}  // namespace
