#!/usr/bin/env python3
"""End-to-end benchmark of obj2mesh against the fast_obj peer and an I/O floor.

    bench/run.py BUILD_DIR [--runs N] [--quick | --files NAMES] [--baseline PATH] [--tinyobj] [--callgrind]

The peer is fast_obj's parse-only driver (../shared/bench/peers/fast_obj/),
which this script compiles into BUILD_DIR with `cc -O2` when BUILD_DIR has no
build of it as new as its sources; it is never part of the repository or
the product. It reads positions, texture coordinates, normals and faces into
arrays, and nothing else.

Generates the inputs once (cached outside the source tree), then runs, per
file, after a warm-up and interleaved round by round: an I/O floor, obj2mesh
in both modes, obj2mesh with OBJ2MESH_THREADS=1 (one reader thread) and the
peer. Every other obj2mesh run has OBJ2MESH_THREADS removed from its
environment, so its reader picks its threads itself (the default). Per file it
prints median and min-max wall time, MB/s, user and system CPU time, peak
RSS, and, taken run by run (ratios from one run are what count on a noisy
machine): the obj2mesh/fast_obj time ratio (median, the value at rank
ceil(0.9 n) of the sorted ratios - the 19th of 21 - and min-max), the ratio
of obj2mesh (both modes) to the I/O floor, and the CPU time ratio and
wall-time speed-up of the default run over the one-thread run. Targets are
printed beside the ratios; nothing checks them. --runs sets the rounds per
file: 21 by default, 5 with --quick.

--tinyobj adds tinyobjloader (bench/tinyobj_load.cpp, LoadObj with
triangulation) as a second peer; it takes several times as long as the rest
of a round on the 256 MB files, so it is left out unless asked for.

The I/O floor runs inside this process: it reads the input in 1 MiB blocks
with plain read() calls, writes as many bytes as obj2mesh's combined output
has to a file beside the outputs (no fsync) and removes that file.

The small-files section times 300 sequential conversions of
examples/house.obj against 300 sequential runs of `cat examples/house.obj`,
both started the same way (subprocess, no shell, output to /dev/null), in
interleaved rounds, and prints the ratio of the two, round by round.

The batch section converts 2,000 copies of examples/house.obj in 40 folders
with obj2mesh-batch -j 2 against find | xargs -P2 running obj2mesh from each
file's folder, and, when the 256 MB full file is in the run, that file alone
through obj2mesh-batch against obj2mesh; the ratios are taken round by round
(5 rounds, 3 with --quick, or --runs).

--files limits the run to some of the sections (comma-separated names:
full32, positions32, full256, positions256, small, batch; all but positions32
by default); --quick is --files full32,small with fewer rounds.

--baseline names a second obj2mesh executable (an older build, say), run in
the same interleaved rounds and in the same two modes; the report then adds,
per file and mode, its times and peak RSS, the obj2mesh/baseline time ratio
taken run by run, and whether both wrote the same bytes.

--callgrind instead prints the instructions callgrind counts for whole
processes (I refs): per file (full32 and positions32 unless --files says
otherwise), obj2mesh's (OBJ2MESH_THREADS=1) and fast_obj's, per input byte;
and, in the section named models, for each shared model of 0.5 to 4 MB
(../shared/models/*/*.obj, smallest first), obj2mesh's (run from the model's
folder, OBJ2MESH_THREADS=1) against fast_obj's, with their ratio per model
and for the models together (the ratio of the sums). The baseline is counted
too when one is given. Prints numbers only; never fails on them.
"""

import argparse
import filecmp
import io
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SHARED = ROOT.parent / "shared"
GENERATOR = SHARED / "bench" / "gen_obj.py"
PEER = SHARED / "bench" / "peers" / "fast_obj"  # fast_obj.h and its driver fast_obj_parse.c
MODELS = SHARED / "models"
CACHE = Path(os.environ.get("XDG_CACHE_HOME", Path.home() / ".cache")) / "obj2mesh-bench"
SEED = 1
FILES = [("full32", 32, "full"), ("positions32", 32, "positions"),
         ("full256", 256, "full"), ("positions256", 256, "positions")]
TIMED = ["full32", "full256", "positions256", "small", "batch"]  # the sections run by default
RUNS = 21  # rounds per file unless --runs or --quick says otherwise
BATCH_RUNS = 5
BATCH_TARGET = 0.40  # obj2mesh-batch -j 2 / find | xargs -P2 obj2mesh, on BATCH_FOLDERS x BATCH_COPIES files
BATCH_FOLDERS, BATCH_COPIES = 40, 50
SMALL = ROOT / "examples" / "house.obj"
SMALL_RUNS = 300  # sequential runs per program and round
MIB = 1 << 20
MODEL_SIZES = (MIB // 2, 4 * MIB)  # the real models counted by --callgrind, in bytes
THREADS = "OBJ2MESH_THREADS"
# Printed beside the ratios, never enforced.
PEER_TARGET = {"full256": (0.45, 0.80), "positions256": (0.45, 0.80)}  # obj2mesh / fast_obj: median, p90
FLOOR_TARGET = {"full256": 2.0, "positions256": 2.5}  # obj2mesh / I/O floor, at most
SPEEDUP_TARGET = 1.0  # wall time, OBJ2MESH_THREADS=1 / default, at least
SMALL_TARGET = 1.6  # house.obj conversions / cat house.obj, at most
CALLGRIND_TARGET = {"full32": 8.5, "positions32": 10.5}  # I refs per input byte, at most
MODELS_TARGET = 0.75  # obj2mesh / fast_obj I refs on the real models together, at most


def ensure_input(name, size_mb, style):
    path = CACHE / (name + ".obj")
    if not path.exists():
        if not GENERATOR.exists():
            sys.exit("no generator at %s" % GENERATOR)
        CACHE.mkdir(parents=True, exist_ok=True)
        print("generating %s (%d MB, %s)..." % (path, size_mb, style), flush=True)
        partial = CACHE / (name + ".partial.obj")
        subprocess.run([sys.executable, str(GENERATOR), str(partial), "--size-mb", str(size_mb),
                        "--seed", str(SEED), "--style", style], check=True)
        if (CACHE / (name + ".partial.mtl")).exists():
            # The OBJ names its library after itself.
            text = partial.read_bytes().replace(b"mtllib %s.partial.mtl" % name.encode(),
                                                b"mtllib %s.mtl" % name.encode(), 1)
            partial.write_bytes(text)
            (CACHE / (name + ".partial.mtl")).rename(CACHE / (name + ".mtl"))
        partial.rename(path)
    return path


def build_fast_obj(build):
    """The fast_obj driver, compiled from PEER into BUILD unless BUILD has one as new as its sources."""
    sources = [PEER / "fast_obj_parse.c", PEER / "fast_obj.h"]
    missing = [str(f) for f in sources if not f.exists()]
    if missing:
        sys.exit("the fast_obj peer is missing: no %s" % ", ".join(missing))
    exe = build / "fast_obj_parse"
    if exe.exists() and exe.stat().st_mtime >= max(f.stat().st_mtime for f in sources):
        return exe
    partial = build / "fast_obj_parse.partial"
    cmd = ["cc", "-O2", str(sources[0]), "-o", str(partial), "-lm"]
    print("building %s: %s" % (exe, " ".join(cmd)), flush=True)
    proc = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                          errors="replace")
    if proc.returncode != 0:
        sys.exit("could not build the fast_obj peer:\n%s" % proc.stdout.strip())
    partial.replace(exe)
    return exe


def run(cmd, cwd, env):
    """Wall seconds, peak RSS (KiB), user and system CPU seconds of one run."""
    # The peak is taken by /usr/bin/time: a child forked from this Python
    # process would report Python's own resident size as its peak. The CPU
    # times come from wait4 on /usr/bin/time, whose usage includes that of
    # the program it waited for.
    with tempfile.NamedTemporaryFile("r") as rss, tempfile.TemporaryFile() as err:
        start = time.perf_counter()
        proc = subprocess.Popen(["/usr/bin/time", "-f", "%M", "-o", rss.name] + cmd, cwd=cwd,
                                env=env, stdout=subprocess.DEVNULL, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.perf_counter() - start
        proc.returncode = os.waitstatus_to_exitcode(status)
        if proc.returncode != 0:
            err.seek(0)
            print("  %s exited with %d: %s" % (" ".join(cmd), proc.returncode,
                                                err.read().decode(errors="replace").strip()[:200]))
        text = rss.read().strip().splitlines()
    peak = int(text[-1]) if text and text[-1].isdigit() else 0
    return wall, peak, usage.ru_utime, usage.ru_stime


def io_floor(path, out, nbytes):
    """Reads PATH in 1 MiB blocks, writes NBYTES to OUT and removes it: (wall, 0, user, sys)."""
    buf = bytearray(MIB)
    view = memoryview(buf)
    before = resource.getrusage(resource.RUSAGE_SELF)
    start = time.perf_counter()
    with io.FileIO(path, "r") as f:  # unbuffered: each readinto is one read()
        while f.readinto(buf):
            pass
    with io.FileIO(out, "w") as f:
        left = nbytes
        while left:
            left -= f.write(view[:min(left, MIB)])
    os.unlink(out)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    return wall, 0, after.ru_utime - before.ru_utime, after.ru_stime - before.ru_stime


def attribute_bytes(path):
    """Bytes of the file-wide attribute arrays: 12 per v and vn line, 8 per vt line."""
    v = vn = vt = 0
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(64 * MIB), b""):
            v += block.count(b"\nv ")
            vn += block.count(b"\nvn ")
            vt += block.count(b"\nvt ")
    return 12 * (v + vn) + 8 * vt


def converter_runs(name, exe, outdir, path, prefix):
    """The two modes of one obj2mesh executable: (mode, program name, output file, command)."""
    combined = outdir / (prefix + "combined.mesh")
    separate = outdir / (prefix + "separate.mesh")
    return [("combined", name, combined, [str(exe), path.name, "-o", str(combined)]),
            ("separate", name + " -c false", separate,
             [str(exe), path.name, "-o", str(separate), "-c", "false"])]


def median_range(values, fmt):
    return "%s (%s-%s)" % (fmt % statistics.median(values), fmt % min(values), fmt % max(values))


def ordinal(n):
    return "%d%s" % (n, "th" if n % 100 in (11, 12, 13) else {1: "st", 2: "nd", 3: "rd"}.get(n % 10, "th"))


def tail(values):
    """The value at rank ceil(0.9 n) of the sorted VALUES (the 19th of 21), and its name."""
    rank = -(-9 * len(values) // 10)
    return sorted(values)[rank - 1], "p90 (%s of %d)" % (ordinal(rank), len(values))


def spread(values, fmt):
    """Median, the value at rank ceil(0.9 n) and min-max of VALUES."""
    value, name = tail(values)
    return "median %s, %s %s, min-max %s-%s" % (
        fmt % statistics.median(values), name, fmt % value, fmt % min(values), fmt % max(values))


def target_text(targets, key, fmt):
    return ("target at most " + fmt % targets[key]) if key in targets else "no target"


def bench_file(name, path, build, runs, outdir, baseline, fast_obj, tinyobj, env):
    size = path.stat().st_size
    one_env = dict(env, **{THREADS: "1"})
    new = converter_runs("obj2mesh", build / "obj2mesh", outdir, path, "")
    old = converter_runs("baseline", baseline, outdir, path, "baseline-") if baseline else []
    one_out = outdir / "one-thread.mesh"
    one_name = "obj2mesh 1 thread"
    floor_out = outdir / "floor.bin"
    floor_bytes = [0]  # set after the warm-up, from obj2mesh's combined output

    def command(cmd, cmd_env=env):
        return lambda: run(cmd, path.parent, cmd_env)

    # A round runs groups of programs, each group's programs one right after
    # the other, so that the runs of a ratio meet the same load: the default
    # combined run sits between fast_obj and the baseline's combined run (or
    # the one-thread run), and each mode of the baseline follows the same
    # mode of obj2mesh.
    floor = ("I/O floor", lambda: io_floor(path, floor_out, floor_bytes[0]))
    combined = [("fast_obj", command([str(fast_obj), path.name])),
                (new[0][1], command(new[0][3]))]
    if old:
        combined.append((old[0][1], command(old[0][3])))
    combined.append((one_name, command([str(build / "obj2mesh"), path.name, "-o", str(one_out)],
                                       one_env)))
    separate = [(new[1][1], command(new[1][3]))] + ([(old[1][1], command(old[1][3]))] if old else [])
    groups = [[floor], combined, separate]
    if tinyobj:
        groups.append([("tinyobjloader", command([str(build / "tinyobj_load"), path.name]))])
    programs = [p for group in groups for p in group]
    for out in [o for _, _, o, _ in new + old] + [one_out, floor_out]:
        if out.exists():  # a failed run must not leave the previous file's output
            out.unlink()
    with open(path, "rb") as f:  # into the page cache
        while f.read(64 * MIB):
            pass
    for prog, action in programs[1:]:  # warm-up
        action()
    combined_out = new[0][2]
    floor_bytes[0] = combined_out.stat().st_size if combined_out.exists() else 0
    floor[1]()
    times = {prog: [] for prog, _ in programs}
    user = {prog: [] for prog, _ in programs}
    system = {prog: [] for prog, _ in programs}
    rss = {prog: 0 for prog, _ in programs}
    for r in range(runs):
        # The order turns round by round: a program run right after the
        # floor's or a peer's large writes and frees meets the kernel still
        # reclaiming and compacting memory, so none always comes first after
        # them. Within a group the order flips every other round, so that
        # neither run of a ratio always goes first.
        turned = groups[r % len(groups):] + groups[:r % len(groups)]
        for prog, action in [p for group in turned for p in (group[::-1] if r % 2 else group)]:
            wall, peak, used, sys_used = action()
            times[prog].append(wall)
            user[prog].append(used)
            system[prog].append(sys_used)
            rss[prog] = max(rss[prog], peak)
    cpu = {prog: [a + b for a, b in zip(user[prog], system[prog])] for prog in times}

    def ratios(a, b, values=times):
        return [x / y if y else float("nan") for x, y in zip(values[a], values[b])]

    peers = ("fast_obj", "tinyobjloader", "I/O floor")
    attrs = attribute_bytes(path)
    print("\n%s: %.1f MB, %d rounds; I/O floor: read it, write %.1f MB (obj2mesh's combined output)%s"
          % (path.name, size / MIB, runs, floor_bytes[0] / MIB,
             "" if floor_bytes[0] else " - obj2mesh wrote no output"))
    print("  %-19s %8s %17s %7s %7s %22s %10s %9s" % (
        "program", "median", "min-max", "MB/s", "user", "sys (min-max)", "peak RSS", "/fast_obj"))
    for prog, _ in programs:
        t = times[prog]
        peer = "" if prog in peers else "%.3f" % statistics.median(ratios(prog, "fast_obj"))
        print("  %-19s %7.3fs %7.3f-%7.3fs %7.1f %6.3fs %22s %10s %9s" % (
            prog, statistics.median(t), min(t), max(t), size / MIB / statistics.median(t),
            statistics.median(user[prog]), median_range(system[prog], "%.3fs"),
            "%.1f MB" % (rss[prog] / 1024) if prog != "I/O floor" else "-", peer))
    combined, separate = new[0][1], new[1][1]
    # Ratios run by run, their median, tail and range, with the targets.
    print("  obj2mesh/fast_obj, round by round:")
    print("    combined (default) %s; %s" % (
        spread(ratios(combined, "fast_obj"), "%.3f"),
        "targets (not enforced): median at most %.2f, p90 at most %.2f" % PEER_TARGET[name]
        if name in PEER_TARGET else "no target"))
    print("    -c false           %s" % spread(ratios(separate, "fast_obj"), "%.3f"))
    if tinyobj:
        print("  vs tinyobjloader  combined %s, -c false %s; no target" % (
            median_range(ratios(combined, "tinyobjloader"), "%.3f"),
            median_range(ratios(separate, "tinyobjloader"), "%.3f")))
    print("  x I/O floor       combined %s, -c false %s; %s" % (
        median_range(ratios(combined, "I/O floor"), "%.2fx"),
        median_range(ratios(separate, "I/O floor"), "%.2fx"),
        target_text(FLOOR_TARGET, name, "%.1fx")))
    print("  default/1 thread  CPU time ratio %s; wall speed-up %s, target at least %.1fx" % (
        median_range(ratios(combined, one_name, cpu), "%.3f"),
        median_range(ratios(one_name, combined), "%.2fx"), SPEEDUP_TARGET))
    for mode, prog, out, _ in new:
        if not out.exists():
            print("  %s: no output" % mode)
            continue
        output = out.stat().st_size
        budget = attrs + 2.5 * output
        print("  %s: output %.1f MB, RSS budget (attributes %.1f MB + 2.5 x output) %.1f MB, used %.1f MB"
              % (mode, output / MIB, attrs / MIB, budget / MIB, rss[prog] * 1024 / MIB))
    if one_out.exists() and combined_out.exists() \
            and not filecmp.cmp(one_out, combined_out, shallow=False):
        print("  %s=1 wrote DIFFERENT bytes from the default combined run" % THREADS)
    if not old:
        return
    print("  against the baseline %s (obj2mesh/baseline time ratio, run by run):" % baseline)
    for (mode, prog, out, _), (_, base_name, base_out, _) in zip(new, old):
        if not out.exists() or not base_out.exists():
            same = "DIFFERENT (%s wrote no file)" % (prog if not out.exists() else base_name)
        else:
            same = "same bytes" if filecmp.cmp(out, base_out, shallow=False) else "DIFFERENT"
        print("    %-8s ratio %s, baseline %s, peak RSS %.1f MB (obj2mesh %.1f MB), %s" % (
            mode, median_range(ratios(prog, base_name), "%.3f"),
            median_range(times[base_name], "%.3fs"), rss[base_name] / 1024, rss[prog] / 1024,
            same))


def bench_small(build, rounds, outdir, env):
    """SMALL_RUNS conversions of examples/house.obj against as many runs of cat, per round."""
    cat = shutil.which("cat")
    out = outdir / "house.mesh"
    programs = [("obj2mesh", [str(build / "obj2mesh"), SMALL.name, "-o", str(out)]),
                ("cat", [cat, SMALL.name])]
    failures = {prog: 0 for prog, _ in programs}

    def batch(prog, cmd, count):
        start = time.perf_counter()
        for _ in range(count):
            if subprocess.run(cmd, cwd=SMALL.parent, env=env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL).returncode != 0:
                failures[prog] += 1
        return time.perf_counter() - start

    for prog, cmd in programs:  # warm-up
        batch(prog, cmd, 10)
    times = {prog: [] for prog, _ in programs}
    for r in range(rounds):
        # Alternate which program starts a round, so that neither always
        # meets the machine right after the other.
        for prog, cmd in (programs if r % 2 == 0 else programs[::-1]):
            times[prog].append(batch(prog, cmd, SMALL_RUNS))
    print("\nsmall files: %s (%.1f KB), %d rounds of %d sequential runs per program"
          % (SMALL.relative_to(ROOT), SMALL.stat().st_size / 1024, rounds, SMALL_RUNS))
    for prog, _ in programs:
        t = times[prog]
        print("  %-9s %s per %d runs, %.2f ms per run%s" % (
            prog, median_range(t, "%.3fs"), SMALL_RUNS,
            statistics.median(t) / SMALL_RUNS * 1000,
            "; %d runs FAILED" % failures[prog] if failures[prog] else ""))
    print("  obj2mesh/cat: %s, target at most %.1f" % (
        median_range([a / b for a, b in zip(times["obj2mesh"], times["cat"])], "%.3f"),
        SMALL_TARGET))


def bench_batch(build, rounds, outdir, env, large):
    """A tree of copies of examples/house.obj converted by obj2mesh-batch -j 2
    against find | xargs -P2 running obj2mesh from each file's folder; then one
    large file through obj2mesh-batch against obj2mesh."""
    tree = outdir / "tree"
    for f in range(BATCH_FOLDERS):
        folder = tree / ("f%d" % f)
        folder.mkdir(parents=True)
        shutil.copy(SMALL.with_suffix(".mtl"), folder)
        for c in range(BATCH_COPIES):
            shutil.copy(SMALL, folder / ("h%d.obj" % c))
    xargs = ("find %s -name '*.obj' -print0 | xargs -0 -P2 -n1 sh -c "
             "'cd \"$(dirname \"$1\")\" && exec %s \"$(basename \"$1\")\" > /dev/null' sh"
             % (tree, build / "obj2mesh"))
    batch = [str(build / "obj2mesh-batch"), "-j", "2", "-q", "--force", str(tree)]

    def timed(cmd, shell=False):
        start = time.perf_counter()
        subprocess.run(cmd, shell=shell, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return time.perf_counter() - start

    times = {"obj2mesh-batch": [], "xargs": []}
    for r in range(rounds):
        order = [("obj2mesh-batch", lambda: timed(batch)), ("xargs", lambda: timed(xargs, True))]
        for prog, action in (order if r % 2 == 0 else order[::-1]):
            times[prog].append(action())
    print("\nbatch: %d copies of %s in %d folders, %d rounds"
          % (BATCH_FOLDERS * BATCH_COPIES, SMALL.relative_to(ROOT), BATCH_FOLDERS, rounds))
    for prog, t in times.items():
        print("  %-15s %s" % (prog, median_range(t, "%.3fs")))
    print("  batch/xargs: %s, target at most %.2f" % (
        median_range([a / b for a, b in zip(times["obj2mesh-batch"], times["xargs"])], "%.3f"), BATCH_TARGET))
    if large:
        one = {"obj2mesh-batch": [], "obj2mesh": []}
        out = outdir / "large"
        for r in range(rounds):
            order = [("obj2mesh-batch", [str(build / "obj2mesh-batch"), "-q", "--force", "-o", str(out), str(large)]),
                     ("obj2mesh", [str(build / "obj2mesh"), str(large), "-o", str(outdir / "large.mesh")])]
            for prog, cmd in (order if r % 2 == 0 else order[::-1]):
                one[prog].append(timed(cmd))
        print("  %s alone: obj2mesh-batch %s, obj2mesh %s; ratio %s, target at most 1.0" % (
            large.name, median_range(one["obj2mesh-batch"], "%.3fs"), median_range(one["obj2mesh"], "%.3fs"),
            median_range([a / b for a, b in zip(one["obj2mesh-batch"], one["obj2mesh"])], "%.3f")))


def instructions(cmd, cwd, env, outdir, label):
    """The I refs callgrind counts for one run of CMD in CWD, or None (with a message) if it has none."""
    out = outdir / "callgrind.out"
    out.unlink(missing_ok=True)  # a failed run must not leave the previous count
    proc = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=%s" % out] + cmd,
                          cwd=cwd, env=env, stdout=subprocess.DEVNULL,
                          stderr=subprocess.PIPE, text=True, errors="replace")
    refs = None
    for line in proc.stderr.splitlines():  # "==PID== I   refs:      1,234,567"
        if "I   refs:" in line:
            refs = int(line.split(":")[-1].replace(",", ""))
    if refs is None and out.exists():
        with open(out, errors="replace") as f:
            for line in f:
                if line.startswith(("summary:", "totals:")):
                    refs = int(line.split()[1])
    if proc.returncode != 0:
        print("  %s on %s: valgrind exited with %d: %s" % (label, cmd[1], proc.returncode,
                                                          proc.stderr.strip()[-200:]))
    if refs is None:
        print("  %s on %s: no count" % (label, cmd[1]))
    return refs


def counted(label, exe, path, outdir, env):
    """(label, I refs) of one run of EXE on PATH from PATH's folder; an obj2mesh writes into OUTDIR."""
    cmd = [str(exe), path.name] + ([] if label == "fast_obj" else ["-o", str(outdir / "cg.mesh")])
    return label, instructions(cmd, path.parent, env, outdir, label)


def callgrind_file(name, path, programs, outdir, env):
    """Per program, the I refs of one run on PATH and their number per input byte."""
    size = path.stat().st_size
    print("\n%s: %.1f MB" % (path.name, size / MIB))
    counts = dict(counted(label, exe, path, outdir, env) for label, exe in programs)
    for label, refs in counts.items():
        if refs is None:
            continue
        print("  %-9s %15s I refs, %5.2f per input byte%s" % (
            label, format(refs, ","), refs / size,
            "" if label == "fast_obj" else ", %s" % target_text(CALLGRIND_TARGET, name, "%.1f")))
    if counts.get("obj2mesh") and counts.get("fast_obj"):
        print("  obj2mesh/fast_obj %.3f" % (counts["obj2mesh"] / counts["fast_obj"]))


def callgrind_models(programs, outdir, env):
    """The I refs of one run per program on each shared model of MODEL_SIZES bytes."""
    models = sorted((f.stat().st_size, f) for f in MODELS.glob("*/*.obj")
                    if MODEL_SIZES[0] <= f.stat().st_size <= MODEL_SIZES[1])
    print("\nreal models of %.1f-%.0f MB in %s, run from their folders:"
          % (MODEL_SIZES[0] / MIB, MODEL_SIZES[1] / MIB, MODELS))
    if not models:
        print("  none found")
        return
    labels = [label for label, _ in programs]
    width = max(len(str(path.relative_to(MODELS))) for _, path in models)
    print("  %-*s %8s %s %9s" % (width, "model", "size", " ".join("%15s" % l for l in labels),
                                 "/fast_obj"))
    totals = {label: 0 for label in labels}
    for size, path in models:
        counts = dict(counted(label, exe, path, outdir, env) for label, exe in programs)
        for label in labels:
            totals[label] = None if totals[label] is None or counts[label] is None \
                else totals[label] + counts[label]
        print("  %-*s %5.1f MB %s %9s" % (
            width, path.relative_to(MODELS), size / MIB,
            " ".join("%15s" % (format(counts[l], ",") if counts[l] else "-") for l in labels),
            "%.3f" % (counts["obj2mesh"] / counts["fast_obj"])
            if counts["obj2mesh"] and counts["fast_obj"] else "-"))
    print("  %-*s %8s %s %9s, target at most %.2f" % (
        width, "all %d together" % len(models), "",
        " ".join("%15s" % (format(totals[l], ",") if totals[l] else "-") for l in labels),
        "%.3f" % (totals["obj2mesh"] / totals["fast_obj"])
        if totals["obj2mesh"] and totals["fast_obj"] else "-", MODELS_TARGET))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("build", type=Path,
                    help="build directory holding obj2mesh (and tinyobj_load for --tinyobj); "
                    "the fast_obj peer is compiled into it")
    ap.add_argument("--runs", type=int,
                    help="rounds per file (default %d, 5 with --quick) and per batch section "
                    "(default %d)" % (RUNS, BATCH_RUNS))
    ap.add_argument("--quick", action="store_true",
                    help="only full32 and the small files, fewer rounds")
    ap.add_argument("--files", metavar="NAMES",
                    help="comma-separated subset of: %s, small, batch (models with --callgrind)"
                    % ", ".join(name for name, _, _ in FILES))
    ap.add_argument("--baseline", metavar="PATH", type=Path,
                    help="a second obj2mesh executable to run and compare against")
    ap.add_argument("--tinyobj", action="store_true",
                    help="run tinyobjloader too, as a second peer (slow on the 256 MB files)")
    ap.add_argument("--callgrind", action="store_true",
                    help="count instructions instead of timing: the generated 32 MB files and "
                    "the shared models of 0.5-4 MB, obj2mesh against fast_obj")
    args = ap.parse_args()
    if args.runs is not None and args.runs < 1:
        ap.error("--runs must be at least 1")
    build = args.build.resolve()
    if not (build / "obj2mesh").exists():
        ap.error("no obj2mesh in %s" % build)
    baseline = args.baseline.resolve() if args.baseline else None
    if baseline and not (baseline.is_file() and os.access(baseline, os.X_OK)):
        ap.error("no executable at %s" % baseline)
    if args.files:
        if args.quick:
            ap.error("--quick and --files exclude each other")
        names = [n.strip() for n in args.files.split(",") if n.strip()]
        known = [name for name, _, _ in FILES] + (["models"] if args.callgrind else ["small", "batch"])
        unknown = [n for n in names if n not in known]
        if unknown or not names:
            ap.error("unknown file name(s) %s%s; known: %s" % (
                ", ".join(unknown) or "(none given)",
                " (models is a --callgrind section)" if "models" in unknown else "",
                ", ".join(known)))
    else:
        names = ["full32", "positions32", "models"] if args.callgrind else \
            ["full32", "small"] if args.quick else TIMED
    files = [f for f in FILES if f[0] in names]
    small = "small" in names and not args.callgrind
    batch = "batch" in names and not args.callgrind
    runs = args.runs or (5 if args.quick else RUNS)
    fast_obj = build_fast_obj(build) if files or args.callgrind else None
    if args.tinyobj and not (build / "tinyobj_load").exists():
        ap.error("no tinyobj_load in %s" % build)
    paths = [(f[0], ensure_input(*f)) for f in files]
    env = {k: v for k, v in os.environ.items() if k != THREADS}
    with tempfile.TemporaryDirectory(prefix="obj2mesh-bench-") as tmp:
        outdir = Path(tmp)
        if args.callgrind:
            if not shutil.which("valgrind"):
                sys.exit("valgrind is not installed")
            print("callgrind, %s=1: I refs of the whole process" % THREADS)
            programs = [("obj2mesh", build / "obj2mesh"), ("fast_obj", fast_obj)] + \
                ([("baseline", baseline)] if baseline else [])
            one = dict(env, **{THREADS: "1"})
            for name, path in paths:
                callgrind_file(name, path, programs, outdir, one)
            if "models" in names:
                callgrind_models(programs, outdir, one)
            return
        print("CPU: %s" % os.cpu_count() if not paths else
              "%d rounds per file, each program once a round, interleaved, after a warm-up; CPU: %s"
              % (runs, os.cpu_count()))
        if THREADS in os.environ:
            print("%s=%s is ignored: only the one-thread runs set it (to 1)"
                  % (THREADS, os.environ[THREADS]))
        if baseline:
            print("baseline: %s" % baseline)
        for name, path in paths:
            bench_file(name, path, build, runs, outdir, baseline, fast_obj, args.tinyobj, env)
        if small:
            bench_small(build, 3 if args.quick else 5, outdir, env)
        if batch:
            large = dict(paths).get("full256")
            bench_batch(build, 3 if args.quick else args.runs or BATCH_RUNS, outdir, env, large)


if __name__ == "__main__":
    main()
