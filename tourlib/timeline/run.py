"""Builds a program with the timeline recorder, runs it, and writes its picture, trace and
summary: the one module of the timeline that starts processes and touches the build."""
import os
import shutil
import subprocess
import tempfile

from .. import build, catalogue
from ..files import write_whole as write_file
from ..term import Failure
from . import draw, model, record, summary, trace

ROOT = catalogue.ROOT
TREE = os.path.join(build.BUILD, "timeline")  # the default; tree() follows --build-dir
PACKAGES = "clang libomp-dev"
RUN_LIMIT = build.RUN_TIMEOUT  # a program still running then is stopped, and nothing drawn


class TimelineError(Exception):
    """Why no timeline was drawn: one line."""


def tree():
    return os.path.join(build.BUILD, "timeline")


def missing():
    """What the recorder needs and this machine lacks, as one line; None if nothing.
    GCC's runtime has no tool interface: the timeline needs clang and LLVM's runtime."""
    import glob
    import shutil
    lacking = []
    if shutil.which("clang++") is None:
        lacking.append("clang (clang++)")
    if not glob.glob("/usr/lib/llvm-*/lib/clang/*/include/omp-tools.h") or \
            not glob.glob("/usr/lib/llvm-*/lib/libomp.so*"):
        lacking.append("LLVM's OpenMP runtime with its tool interface (libomp, omp-tools.h)")
    if not lacking:
        return None
    return (f"the timeline needs {' and '.join(lacking)}, which GCC's runtime does not "
            f"provide: install {PACKAGES}")


def resolve(name, file, programs=None):
    """(program, source): the lesson NAME is built as, and the file it is built from. NAME
    may be an exercise: then it is built as the lesson it becomes. `programs`: the
    manifest (the tour's, read or configured, if not given)."""
    try:
        programs = programs if programs is not None else build.tour_programs()
    except Failure as e:
        raise TimelineError(e.message) from None
    known = {p["name"]: os.path.join(ROOT, p["source"]) for p in programs}
    if name not in known:
        exercise = catalogue.exercise(name)
        if file is None and exercise and exercise["becomes"] in known:
            return exercise["becomes"], exercise["path"]
        names = list(known) + [e["name"] for e in catalogue.exercises()]
        raise TimelineError(f"no program called {name!r}{catalogue.did_you_mean(name, names)} "
                            "(./tour --list shows them)")
    if file is None:
        return name, known[name]
    if not os.path.isfile(file):
        raise TimelineError(f"{file}: no such file")
    return name, os.path.abspath(file)


def build_program(program, source, log_path):
    """Configures the timeline tree for `program` built from `source` (clang, the recorder
    linked in) and builds it; returns the executable's path."""
    where = tree()
    definitions = [f"SUITE_CHECK_PROGRAM={program}", f"SUITE_CHECK_SOURCE={source}"]
    with build.open_log(log_path) as log:
        if not build.configure("timeline", where, log, definitions):
            raise TimelineError(f"the timeline's build cannot be configured: "
                                f"{build.configure_error(log_path)}")
        if not build.run_logged(["cmake", "--build", where], log):
            log.flush()
            raise TimelineError(f"the build failed: {first_error(log_path)} "
                                f"(the whole log: {os.path.relpath(log_path)})")
    return catalogue.read_manifest(where)[0]["path"]


def first_error(log_path):
    with open(log_path, encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    errors = [line for line in lines if "error" in line.lower()]
    return (errors or lines or ["no message"])[0].strip()


def run(binary, threads, raw_path):
    """Runs `binary` recording into raw_path; returns its standard output."""
    env = catalogue.clean_environment({"SUITE_TIMELINE_OUT": raw_path})
    if threads is not None:
        env["OMP_NUM_THREADS"] = str(threads)
    try:
        done = subprocess.run([binary], env=env, capture_output=True, timeout=RUN_LIMIT)
    except subprocess.TimeoutExpired:
        raise TimelineError(f"the program was still running after {RUN_LIMIT} s: stopped, "
                            "nothing drawn") from None
    if done.returncode != 0:
        said = done.stderr.decode(errors="replace").strip().splitlines()
        raise TimelineError(f"the program exited with status {done.returncode}"
                            + (f": {said[0]}" if said else "") + "; nothing drawn")
    if not os.path.exists(raw_path):
        raise TimelineError("the recorder wrote nothing: is LLVM's runtime (libomp) the one "
                            f"the program loaded? install {PACKAGES}")
    return done.stdout.decode(errors="replace")


def name_lines(tl, binary, source):
    """Gives each shared variable of `tl` the line of `source` its first store is on, and
    that line's text, from the program's line tables (addr2line)."""
    codes = sorted({s["code"] for s in tl.shared if s["code"]})
    if not codes or shutil.which("addr2line") is None:
        return
    done = subprocess.run(["addr2line", "-e", binary] + [hex(c) for c in codes],
                          capture_output=True, text=True)
    places = done.stdout.splitlines() if done.returncode == 0 else []
    with open(source, encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    found = {}
    for code, place in zip(codes, places):
        path, _, number = place.rpartition(":")
        number = number.split(" ", 1)[0]
        if number.isdigit() and os.path.basename(path) == os.path.basename(source) \
                and 0 < int(number) <= len(lines):
            found[code] = (int(number), lines[int(number) - 1].strip())
    for shared in tl.shared:
        if shared["code"] in found:
            shared["line"], shared["text"] = found[shared["code"]]


def write_whole(path, text):
    try:
        write_file(path, text)
    except Failure as e:
        raise TimelineError(e.message) from None


def recording(name, file=None, threads=None, say=lambda text: None, programs=None):
    """The Timeline of one run of NAME (or FILE built as NAME) under the recorder, and the
    program's output. Held under a lock: one timeline tree serves every program."""
    lacking = missing()
    if lacking:
        raise TimelineError(lacking)
    program, source = resolve(name, file, programs)
    say(f"timeline: building {os.path.relpath(source)} as {program} with the recorder "
        "(clang, LLVM's runtime), and running it")
    with build.locked(os.path.join(build.BUILD, "timeline.lock"), "drawing a timeline"):
        binary = build_program(program, source, os.path.join(build.BUILD, "timeline.log"))
        with tempfile.TemporaryDirectory(prefix="timeline-") as scratch:
            raw_path = os.path.join(scratch, "recording")
            output = run(binary, threads, raw_path)
            with open(raw_path, encoding="utf-8", errors="replace") as f:
                raw = f.read()
        shown = os.path.relpath(source, ROOT)
        meta = {"source": shown, "threads": threads}
        try:
            tl = record.read(raw, program, meta)
        except record.RecordError as e:
            raise TimelineError(f"the recording cannot be read: {e}") from None
        name_lines(tl, binary, source)
    # The recorder sees printf and puts; what the program wrote another way (std::cout,
    # write) is in its output and not in the recording.
    recorded = sum(len(m.arg("text", "")) for m in tl.marks if m.cat == model.WRITE)
    if len(output) > recorded:
        tl.meta["unrecorded"] = len(output) - recorded
    with open(source, encoding="utf-8", errors="replace") as f:
        parallel = "omp parallel" in f.read()
    if parallel and not any(s.cat == "region" for s in tl.spans):
        raise TimelineError("the OpenMP runtime reported no parallel region, so nothing is "
                            f"drawn: the timeline needs LLVM's runtime (install {PACKAGES})")
    return tl, output


def title(tl):
    source = tl.meta.get("source", "")
    lanes = len(tl.lanes)
    return f"{tl.program}, {lanes} thread{'s' if lanes != 1 else ''}" + \
        (f"  ({source})" if source else "")


def picture(tl, trace_name):
    """The command's SVG of one timeline, drawn from what its trace holds: from the
    moment the team formed, saying how long that took."""
    window = draw.from_team(tl)
    start = (f"; the team formed {draw.time_text(window[0])} into the run (not drawn)"
             if window[0] > 0 else "")
    return draw.svg([(title(tl), tl, window)], f"timeline of one run of {tl.program}",
                    f"drawn from {trace_name}{start}")


def timeline(name, file, threads, out_dir, programs=None):
    """./tour --timeline NAME [FILE] [--threads N]: writes NAME.svg, NAME.trace.json and
    NAME.summary.txt into out_dir (the timeline tree's out/ by default); 0 on success."""
    out_dir = out_dir or os.path.join(tree(), "out")
    try:
        tl, _ = recording(name, file, threads, say=lambda text: print(text, flush=True),
                          programs=programs)
        stem = os.path.splitext(os.path.basename(file))[0] if file else name
        os.makedirs(out_dir, exist_ok=True)
        document = trace.dumps(trace.to_trace(tl))
        # Drawn from the trace as written, so a redraw from the file gives the same bytes.
        drawing = picture(trace.loads(document), stem + ".trace.json")
        text = summary.text(tl)
        paths = [os.path.join(out_dir, stem + suffix)
                 for suffix in (".svg", ".trace.json", ".summary.txt")]
        for path, content in zip(paths, (drawing, document, text)):
            write_whole(path, content)
    except (TimelineError, draw.DrawError) as e:
        print(f"timeline: {e}")
        return 1
    except OSError as e:
        print(f"timeline: {e.filename or ''}: {e.strerror}")
        return 1
    print(text, end="")
    for path in paths:
        shown = os.path.relpath(path)
        print(f"  wrote {path if shown.startswith('..') else shown}")
    return 0
