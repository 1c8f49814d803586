// End-to-end tests of the obj2mesh program: each case runs the built
// executable in a fresh folder and checks standard output byte for byte,
// standard error, the exit status and exactly which files the run left.

#include "process_support.h"
#include "test_support.h"

namespace {

// Two shapes of one triangle each over four vertices: one mesh of 6
// vertices in combined mode, two of 3 in separate mode.
const char kTwoShapes[] = "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\ng a\nf 1 2 3\ng b\nf 1 3 4\n";

enum Mode { Combined, Separate };

// Lays out a folder from entries: "name" is a file holding kTwoShapes,
// "name=text" a file, "name/" a folder, "name->target" a symbolic link
// ("->/path" is absolute, under the folder), "name=>other" a hard link.
void layOut(const fs::path& work, const std::vector<std::string>& entries) {
  for (const std::string& e : entries) {
    size_t arrow = e.find("->"), hard = e.find("=>"), equals = e.find('=');
    if (arrow != std::string::npos) {
      std::string target = e.substr(arrow + 2);
      if (target[0] == '/') target = (work / target.substr(1)).string();
      fs::create_directories((work / e.substr(0, arrow)).parent_path());
      fs::create_symlink(target, work / e.substr(0, arrow));
    } else if (hard != std::string::npos) {
      fs::create_hard_link(work / e.substr(hard + 2), work / e.substr(0, hard));
    } else if (equals != std::string::npos) {
      writeFile(work / e.substr(0, equals), e.substr(equals + 1));
    } else if (e.back() == '/') {
      fs::create_directories(work / e);
    } else {
      writeFile(work / e, kTwoShapes);
    }
  }
}

void expectTwoShapesMesh(const fs::path& path, Mode mode) {
  std::vector<uint8_t> want = convertText(kTwoShapes, mode == Combined);
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path))) << path;
  EXPECT_EQ(readFile(path), std::string(want.begin(), want.end())) << path;
}

std::string progress(const std::string& input, const std::string& output, bool changed, const char* saved) {
  return "Loading '" + input + "'... complete\nConverting... complete\n" +
         (changed ? "Changed output type to '.mesh'\n" : "") + "Saving to '" + output + "'... " + saved + "\n";
}

class Cli : public testing::Test {
 protected:
  void SetUp() override { fs::create_directory(work()); }
  fs::path work() const { return dir_.path() / "work"; }
  TempDir dir_;
};

// The usage line: exit 0, nothing else printed, nothing written.
struct UsageCase {
  const char* what;
  const char* argv0;
  std::vector<std::string> args;
};

const UsageCase kUsageCases[] = {
    {"NoArguments", "obj2mesh", {}}, {"NoArgumentsPathArgv0", "./build/obj2mesh", {}},
    {"NoArgumentsArgv0WithSpace", "my converter", {}}, {"NoArgumentsEmptyArgv0", "", {}},
    {"ShortHelp", "obj2mesh", {"-h"}}, {"LongHelpAbsoluteArgv0", "/usr/local/bin/obj2mesh", {"--help"}},
    {"HelpBeforeInput", "obj2mesh", {"-h", "in.obj"}},
    {"HelpBeforeOptions", "obj2mesh", {"--help", "-o", "out.mesh", "-c", "false"}},
};

class Usage : public Cli, public testing::WithParamInterface<UsageCase> {};

TEST_P(Usage, PrintsUsageLineOnly) {
  layOut(work(), {"in.obj"});
  const Tree before = snapshot(work());
  RunOptions options;
  options.argv0 = GetParam().argv0;
  RunOutcome r = runProgram(work(), GetParam().args, options);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, std::string("Usage: ") + GetParam().argv0 +
                       " inputfile [-o outputfile] [-c <combineMeshes=true>]\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(treeDifference(before, snapshot(work())), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, Usage, testing::ValuesIn(kUsageCases), ByWhat());

// Runs that write a mesh: exit 0, the progress lines, nothing on standard
// error, and the folder as it was but for `mesh` (the output as printed, or
// the file a link leads to), which holds kTwoShapes in `mode`. The golden
// cases hold more, such as "../scene" as the input and a link to an
// existing file.
struct SaveCase {
  const char* what;
  std::vector<std::string> setup;
  std::vector<std::string> args;
  std::string output;  // as printed on the "Saving to" line
  bool changed = false;  // whether "Changed output type" is printed
  Mode mode = Combined;
  std::string mesh = "";  // relative to the working folder; "" for `output`
  const char* cwd = "";
};

const SaveCase kSaveCases[] = {
    // The argument rules.
    {"InputOnly", {"in.obj"}, {"in.obj"}, "in.mesh"},
    {"TrailingCIgnored", {"in.obj"}, {"in.obj", "-c"}, "in.mesh"},
    {"CFalse", {"in.obj"}, {"in.obj", "-c", "false"}, "in.mesh", false, Separate},
    {"CZero", {"in.obj"}, {"in.obj", "-c", "0"}, "in.mesh", false, Separate},
    {"CFALSE", {"in.obj"}, {"in.obj", "-c", "FALSE"}, "in.mesh", false, Separate},
    {"CFalseCapital", {"in.obj"}, {"in.obj", "-c", "False"}, "in.mesh", false, Separate},
    {"COneOverridesFalse", {"in.obj"}, {"in.obj", "-c", "false", "-c", "1"}, "in.mesh"},
    {"CtrueOverridesFalse", {"in.obj"}, {"in.obj", "-c", "false", "-c", "true"}, "in.mesh"},
    {"CTRUEOverridesFalse", {"in.obj"}, {"in.obj", "-c", "false", "-c", "TRUE"}, "in.mesh"},
    {"CTrueOverridesFalse", {"in.obj"}, {"in.obj", "-c", "false", "-c", "True"}, "in.mesh"},
    {"CMixedCaseNotAValue", {"in.obj"}, {"in.obj", "-c", "fAlse", "-o", "x.mesh"}, "x.mesh"},
    {"CUnknownValueKeepsFalse", {"in.obj"}, {"in.obj", "-c", "false", "-c", "yes"}, "in.mesh", false, Separate},
    {"CValueIsNextOption", {"in.obj"}, {"in.obj", "-c", "-o", "out.mesh"}, "out.mesh"},
    {"TrailingOIgnored", {"in.obj"}, {"in.obj", "-o"}, "in.mesh"},
    {"EmptyOutputDerived", {"in.obj"}, {"in.obj", "-o", ""}, "in.mesh"},
    {"ExtraIgnoredLastOWins", {"in.obj"}, {"in.obj", "extra", "-o", "a.mesh", "-o", "b.mesh"}, "b.mesh"},
    {"OTakesDashCAsPath", {"in.obj"}, {"in.obj", "-o", "-c", "false"}, "-c.mesh"},
    {"OThenC", {"in.obj"}, {"in.obj", "-o", "out.mesh", "-c", "0"}, "out.mesh", false, Separate},
    {"HelpAfterInputIgnored", {"in.obj"}, {"in.obj", "--help", "-o", "x.mesh"}, "x.mesh"},
    {"DashOIsInput", {"-o"}, {"-o", "out.mesh"}, "-o.mesh"},
    // The extension rule on -o: only the file name's extension counts, and
    // leading dots never start one.
    {"OObj", {"in.obj"}, {"in.obj", "-o", "model.obj"}, "model.mesh", true},
    {"OMesh", {"in.obj"}, {"in.obj", "-o", "model.mesh"}, "model.mesh"},
    {"ONoExtension", {"in.obj"}, {"in.obj", "-o", "model"}, "model.mesh"},
    {"OTrailingDot", {"in.obj"}, {"in.obj", "-o", "model."}, "model.mesh", true},
    {"OUpperMesh", {"in.obj"}, {"in.obj", "-o", "model.MESH"}, "model.mesh", true},
    {"ODoubleExtension", {"in.obj"}, {"in.obj", "-o", "archive.tar.gz"}, "archive.tar.mesh", true},
    {"ODottedFolder", {"in.obj", "out.dir/"}, {"in.obj", "-o", "out.dir/model"}, "out.dir/model.mesh"},
    {"OParentFolder", {"sub/in.obj"}, {"in.obj", "-o", "../scene"}, "../scene.mesh", false, Combined, "scene.mesh",
     "sub"},
    {"ODotfile", {"in.obj"}, {"in.obj", "-o", ".hidden"}, ".hidden.mesh"},
    {"ODotfileWithExtension", {"in.obj", "dir/"}, {"in.obj", "-o", "dir/.hidden.bin"}, "dir/.hidden.mesh", true},
    // The same rule deriving the output from the input: never a message.
    {"DerivedUpperExtension", {"SCENE.OBJ"}, {"SCENE.OBJ"}, "SCENE.mesh"},
    {"DerivedUpperMesh", {"m.MESH"}, {"m.MESH"}, "m.mesh"},
    {"DerivedTrailingDot", {"scene."}, {"scene."}, "scene.mesh"},
    {"DerivedDottedFolder", {"dir.v2/scene"}, {"dir.v2/scene"}, "dir.v2/scene.mesh"},
    {"DerivedDotfile", {".hidden"}, {".hidden"}, ".hidden.mesh"},
    // Any legal name: the longest one, new or replacing a file.
    {"LongestLegalName", {"in.obj"}, {"in.obj", "-o", std::string(250, 'n') + ".mesh"}, std::string(250, 'n') + ".mesh"},
    {"LongestLegalNameReplaced", {"in.obj", std::string(250, 'n') + ".mesh=old"}, {"in.obj", "-o", std::string(250, 'n')},
     std::string(250, 'n') + ".mesh"},
    // An existing output is replaced whole, never appended to.
    {"ReplacesLongerOutput", {"in.obj", "in.mesh=" + std::string(4096, 'x')}, {"in.obj"}, "in.mesh"},
    // Writing through symbolic links: every link stays, its target gets the mesh.
    {"DanglingLinkCreatesTarget", {"in.obj", "out.mesh->new.bin"}, {"in.obj", "-o", "out.mesh"}, "out.mesh", false,
     Combined, "new.bin"},
    {"LinkRelativeToItsFolder", {"in.obj", "data/t.bin=old", "links/out.mesh->../data/t.bin"},
     {"in.obj", "-o", "links/out.mesh"}, "links/out.mesh", false, Combined, "data/t.bin"},
    {"AbsoluteLinkAfterChangedType", {"in.obj", "store/", "out.mesh->/store/abs.bin"}, {"in.obj", "-o", "out.bin"},
     "out.mesh", true, Combined, "store/abs.bin"},
    {"ChainOfLinks", {"in.obj", "c.bin=old", "b.mesh->c.bin", "a.mesh->b.mesh"}, {"in.obj", "-o", "a.mesh"},
     "a.mesh", false, Combined, "c.bin"},
    {"DerivedOutputIsLink", {"in.obj", "store/", "in.mesh->store/in.mesh"}, {"in.obj", "-c", "false"}, "in.mesh",
     false, Separate, "store/in.mesh"},
};

class Saves : public Cli, public testing::WithParamInterface<SaveCase> {};

TEST_P(Saves, WritesOneMeshFile) {
  const SaveCase& c = GetParam();
  layOut(work(), c.setup);
  const std::string mesh = c.mesh.empty() ? c.output : c.mesh;
  Tree before = snapshot(work());
  const bool fresh = !before.count(mesh);
  RunOutcome r = runProgram(work() / c.cwd, c.args);
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, progress(c.args[0], c.output, c.changed, "complete"));
  EXPECT_EQ(r.err, "");
  Tree after = snapshot(work());
  before.erase(mesh);
  after.erase(mesh);
  EXPECT_EQ(treeDifference(before, after), "");
  expectTwoShapesMesh(work() / mesh, c.mode);
  // A new file gets the usual mode for the umask (022), not the private
  // mode a temporary file is created with.
  if (fresh) {
    EXPECT_EQ(fs::status(work() / mesh).permissions() & fs::perms::all, fs::perms(0644));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, Saves, testing::ValuesIn(kSaveCases), ByWhat());

// Failed runs: exit status 1, the progress lines up to the failed step, one
// line on standard error naming `named` (and `line`), and the folder exactly
// as it was: no output, no temporary file, existing files untouched.
struct FailureCase {
  const char* what;
  std::vector<std::string> setup;
  std::vector<std::string> args;
  std::string named;     // the output as printed, or "" when the load fails
  bool changed = false;  // whether "Changed output type" is printed
  uint64_t line = 0;
  long long fileSizeLimit = -1;
};

const FailureCase kFailureCases[] = {
    {"MissingInput", {}, {"x.obj"}, ""},
    {"MissingUpperHelpInput", {}, {"--HELP"}, ""},
    {"MissingInputWithControlCharacters", {}, {"new\nline\tand\x1b.obj"}, ""},
    {"DirectoryInput", {"d.obj/"}, {"d.obj"}, ""},
    {"FaceBeyondVertices", {"bad.obj=v 0 0 0\nv 1 0 0\nv 0 1 0\n# three\n\nf 1 2 3\nf 1 2 4\n"}, {"bad.obj"}, "",
     false, 7},
    {"NegativeFaceBeforeFirstVertex", {"bad.obj=v 0 0 0\nv 1 0 0\nv 0 1 0\nf -1 -2 -4\n"}, {"bad.obj", "-c", "0"},
     "", false, 4},
    {"RejectedInputKeepsOutput", {"bad.obj=v 0 0 0\nf 1 2 3\n", "bad.mesh=old"}, {"bad.obj"}, "", false, 2},
    {"MissingOutputFolder", {"in.obj"}, {"in.obj", "-o", "missing/out.mesh"}, "missing/out.mesh"},
    {"OutputIsDirectory", {"in.obj", "out.mesh/"}, {"in.obj", "-o", "out.mesh"}, "out.mesh"},
    {"ChangedOutputIsDirectory", {"in.obj", "out.mesh/"}, {"in.obj", "-o", "out.bin"}, "out.mesh", true},
    {"DerivedOutputIsDirectory", {"in.obj", "in.mesh/"}, {"in.obj"}, "in.mesh"},
    // A write that fails part way (the file size limit) leaves neither a
    // partial output nor a temporary file, and an existing output as it was.
    {"WriteFailsNewOutput", {"in.obj"}, {"in.obj", "-o", "new.mesh"}, "new.mesh", false, 0, 64},
    {"WriteFailsKeepsOutput", {"in.obj", "out.mesh=old"}, {"in.obj", "-o", "out.mesh"}, "out.mesh", false, 0, 64},
    {"WriteFailsThroughLink", {"in.obj", "t.bin=old", "out.mesh->t.bin"}, {"in.obj", "-o", "out.mesh"}, "out.mesh",
     false, 0, 64},
    // The output would replace the input file itself.
    {"SameFileDerived", {"m.mesh"}, {"m.mesh"}, "m.mesh"},
    {"SameFileNamedByO", {"m.mesh"}, {"m.mesh", "-o", "./m.mesh"}, "./m.mesh"},
    {"SameFileAfterChangedType", {"m.mesh"}, {"m.mesh", "-o", "m.MESH"}, "m.mesh", true},
    {"SameFileThroughSymlink", {"m.mesh", "alias.mesh->m.mesh"}, {"m.mesh", "-o", "alias.mesh"}, "alias.mesh"},
    {"SameFileThroughHardLink", {"m.mesh", "hard.mesh=>m.mesh"}, {"m.mesh", "-o", "hard.mesh"}, "hard.mesh"},
    {"SameFileThroughFolderLink", {"m.mesh", "here->."}, {"m.mesh", "-o", "here/m.mesh"}, "here/m.mesh"},
    {"InputIsLinkToDerivedOutput", {"in.mesh", "in.obj->in.mesh"}, {"in.obj"}, "in.mesh"},
};

class Fails : public Cli, public testing::WithParamInterface<FailureCase> {};

TEST_P(Fails, ExitsOneAndLeavesFolderAsItWas) {
  const FailureCase& c = GetParam();
  layOut(work(), c.setup);
  const Tree before = snapshot(work());
  RunOptions options;
  options.fileSizeLimit = c.fileSizeLimit;
  RunOutcome r = runProgram(work(), c.args, options);
  EXPECT_EQ(r.exitCode, 1);
  const std::string& input = c.args[0];
  EXPECT_EQ(r.out, c.named.empty() ? "Loading '" + input + "'... failed\n"
                                   : progress(input, c.named, c.changed, "failed"));
  // Control characters in a path are escaped, so the reason is one line.
  std::string named = c.named.empty() ? input : c.named;
  for (const auto& [raw, escape] : {std::pair<std::string, std::string>{"\n", "\\n"}, {"\t", "\\t"}, {"\x1b", "\\x1b"}})
    for (size_t at = 0; (at = named.find(raw, at)) != std::string::npos; at += escape.size()) named.replace(at, 1, escape);
  const std::string prefix = "obj2mesh: " + named + (c.line ? ":" + std::to_string(c.line) : "") + ": ";
  EXPECT_EQ(r.err.compare(0, prefix.size(), prefix), 0) << r.err;
  EXPECT_TRUE(r.err.size() > prefix.size() + 1 && r.err.find('\n') == r.err.size() - 1) << r.err;
  EXPECT_EQ(treeDifference(before, snapshot(work())), "");
}

INSTANTIATE_TEST_SUITE_P(Cases, Fails, testing::ValuesIn(kFailureCases), ByWhat());

// A closed standard output, a reader gone as in "obj2mesh in.obj | true",
// costs the progress lines only: the run goes on, and its exit status and
// standard error are those of the conversion.
TEST_F(Cli, ClosedStandardOutputLosesOnlyTheProgress) {
  layOut(work(), {"in.obj", "bad.obj=v 0 0 0\nf 1 2 3\n"});
  RunOptions options;
  options.closedStdout = true;
  RunOutcome r = runProgram(work(), {"in.obj", "-o", "out.obj"}, options);
  EXPECT_EQ(r.exitCode, 0) << "signal " << r.signal;
  EXPECT_EQ(r.err, "");
  expectTwoShapesMesh(work() / "out.mesh", Combined);
  r = runProgram(work(), {"bad.obj"}, options);
  EXPECT_EQ(r.exitCode, 1) << "signal " << r.signal;
  EXPECT_EQ(r.err.rfind("obj2mesh: bad.obj:2: ", 0), 0u) << r.err;
}

// A material library is found by its name relative to the working folder,
// not to the OBJ file's: a switch to a known material splits welding, so the
// vertex count shows whether the library was read.
TEST_F(Cli, MaterialLibraryResolvesAgainstWorkingFolder) {
  layOut(work(), {"models/m.obj=mtllib lib.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\n"
                  "usemtl red\nf 1 2 3\nusemtl blue\nf 1 3 4\n",
                  "models/lib.mtl=newmtl red\nnewmtl blue\n"});
  for (const auto& [cwd, input, positions] :
       std::vector<std::tuple<std::string, std::string, size_t>>{{"models", "m.obj", 6}, {"", "models/m.obj", 4}}) {
    RunOutcome r = runProgram(work() / cwd, {input, "-o", (work() / "out.mesh").string()});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::string bytes = readFile(work() / "out.mesh");
    const obj2mesh::Model* model = verifiedModel(bytes);
    ASSERT_NE(model, nullptr);
    EXPECT_EQ(model->meshes()->Get(0)->positions()->size(), positions) << "from " << cwd;
  }
}

// The bundled example converts from its own folder: its library defines the
// three materials, so each switch starts a new face group, and its "o" line
// starts a shape that the first "g" drops before it gets a face.
TEST_F(Cli, BundledExampleConverts) {
  // Lexically from tests/data, which need not exist in a checkout.
  fs::copy(fs::path(OBJ2MESH_TEST_DATA).parent_path().parent_path() / "examples", work());
  EXPECT_EQ(runProgram(work(), {"house.obj", "-c", "false"}).out, progress("house.obj", "house.mesh", false, "complete"));
  const std::string bytes = readFile(work() / "house.mesh");
  const obj2mesh::Model* model = verifiedModel(bytes);
  ASSERT_NE(model, nullptr);
  std::vector<uint32_t> counts;  // walls, roof, door, floor
  for (const obj2mesh::Mesh* m : *model->meshes()) counts.push_back(m->positions()->size());
  EXPECT_EQ(counts, (std::vector<uint32_t>{22, 8, 4, 4}));
  EXPECT_EQ(model->meshes()->Get(0)->normals()->size(), 22u);
}

}  // namespace
