"""quadforge against its baseline on a private Xvfb with Mesa's llvmpipe:
frame rate, start-up, rebuilds, memory, and scaling with window and shader
size; or, with --soak, many rebuilds of one quadforge, failing on a lost one or
on memory growth. Run through bench/run.sh."""
import argparse
import contextlib
import json
import os
import platform
import re
import signal
import statistics
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
from framework.display import XServer, wait_for  # noqa: E402
from framework.expect import VERTEX, read_pair, solid_fragment  # noqa: E402
from framework.session import Session  # noqa: E402

PLANS = {
    "full": {"turns": 90, "seconds": 4.0, "startups": 15, "rebuilds": 1000, "presses": 40,
             "shader_presses": {10: 40, 1000: 15, 10000: 5}},
    "quick": {"turns": 24, "seconds": 2.0, "startups": 5, "rebuilds": 200, "presses": 10,
              "shader_presses": {10: 10, 1000: 4, 10000: 2}},
}
TURN_SECONDS = 0.5  # of frame counting for one program while the others are stopped
BLOCK = 50  # rebuilds on one program before the other takes its turn
PLACES = ("+0+0", "+800+0", "+0+650")  # 800x600 windows that do not overlap
WINDOW_SIZES = ((400, 300), (800, 600), (1280, 720), (1920, 1080))
SHIPPED = read_pair(os.path.join(ROOT, "resources"))
FIRST = (51, 102, 153)
FPS_LINE = re.compile(r"freeglut: (\d+) frames in ([\d.]+) seconds")
# llvmpipe keeps work buffers at a high-water mark that settles within a few
# hundred KiB; a leak of quadforge's own would grow past that in 900 presses.
SOAK_SETTLED_AFTER, SOAK_LIMIT_KIB = 100, 512


class Program:
    """A program to measure: its binary, arguments and window title."""

    def __init__(self, name, path, args=(), title="quadforge"):
        self.name, self.path, self.args, self.title = name, path, tuple(args), title

    def start(self, server, files, *args, **env):
        return Session(server, files, args=self.args + args, program=self.path,
                         title=self.title, **env)


def colour(i):
    """A colour for step i, never that of step i - 1, never black or white."""
    return tuple(0x28 + (i * k) % 200 for k in (37, 91, 53))


def solid(rgb, lines=0):
    """The test pair painting rgb; with lines, a fragment stage of that many
    lines of arithmetic the compiler cannot fold away."""
    fragment = solid_fragment(rgb)
    if lines:
        body = "".join(f"    a = a * {0.999 + (i % 7) * 0.0001:.4f} + gl_FragCoord.{'xy'[i % 2]};\n"
                       for i in range(lines - 6))
        fragment = fragment.replace("void main() {", "void main() {\n    float a = gl_FragCoord.x;\n"
                                    + body + "    if (a < -1.0) discard;\n   ")
    return {"full_screen_quad.vert": VERTEX, "full_screen_quad.frag": fragment}


def first_frame(session, rgb=None, timeout=120):
    """Waits until the window's centre shows rgb, or by default anything but
    the black of a window not drawn yet; returns it."""
    if session.window is None:
        session.find_window(step=0.0005)
    shown = wait_for(lambda: session.centre() not in (None, (0, 0, 0)) if rgb is None
                       else session.centre() == rgb, timeout, step=0.0002)
    if not shown:
        raise RuntimeError(f"{session.title} never showed {rgb or 'a frame'}")
    return session.centre()


def press_escape(session):
    """Esc; returns standard output after the exit, which must be status 0."""
    session.process.send_signal(signal.SIGCONT)
    session.keys("Escape")
    status, out, _ = session.finish(timeout=60)
    if status != 0:
        raise RuntimeError(f"{session.title} exited with {status} on Esc")
    return out


def rebuild(session, rgb, fragment):
    """Writes the fragment stage, presses 's'; milliseconds until the window's
    centre shows rgb."""
    session.write("full_screen_quad.frag", fragment)
    began = time.perf_counter()
    session.keys("s")
    first_frame(session, rgb)
    return 1000 * (time.perf_counter() - began)


def rebuilds(session, steps, lines=0):
    return [rebuild(session, colour(i), solid(colour(i), lines)["full_screen_quad.frag"])
            for i in steps]


def cpu_seconds(pid):
    """User and system time of all the process's threads."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        return int(next(line for line in status if line.startswith("VmRSS:")).split()[1])


def frame_counts(session, seconds):
    """(frames, seconds, CPU seconds) from freeglut's GLUT_FPS lines over at
    least seconds: CPU time is read as each line comes, so it spans the same
    frames as the lines; the first line only marks the start. Time stopped
    (SIGSTOP) adds no CPU time."""
    known = len(FPS_LINE.findall(session.stderr_text()))
    began, origin, counted = time.perf_counter(), None, []
    while origin is None or not counted or time.perf_counter() - began < seconds:
        if session.process.poll() is not None:
            raise RuntimeError(f"{session.title} exited while its frames were counted")
        time.sleep(0.01)
        lines = FPS_LINE.findall(session.stderr_text())
        if len(lines) > known:
            cpu = cpu_seconds(session.process.pid)
            if origin is None:
                origin = cpu
            else:
                counted += lines[known:]
            known = len(lines)
    return sum(int(n) for n, _ in counted), sum(float(s) for _, s in counted), cpu - origin


def frame_rate(counts):
    frames, seconds, cpu = counts
    return {"fps": frames / seconds, "cpu_ms_a_frame": 1000 * cpu / frames}


@contextlib.contextmanager
def side_by_side(server, programs, files, places, **env):
    """The programs' sessions in windows that do not overlap, each stopped
    (SIGSTOP) until its turn; all ended on the way out."""
    with contextlib.ExitStack() as stack:
        sessions = []
        for program, place in zip(programs, places):
            sessions.append(stack.enter_context(
                program.start(server, files, "-geometry", "800x600" + place, **env)))
            first_frame(sessions[-1])
            sessions[-1].process.send_signal(signal.SIGSTOP)
        yield sessions


def take_turns(sessions, rounds, work):
    """work(index, round) for each session in turn while the others are
    stopped; the order turns each round, so the machine's changing load falls
    on all alike."""
    for round_ in range(rounds):
        first = round_ % len(sessions)
        for index in list(range(first, len(sessions))) + list(range(first)):
            sessions[index].process.send_signal(signal.SIGCONT)
            work(index, round_)
            sessions[index].process.send_signal(signal.SIGSTOP)


def measure_frame_rate(server, programs, plan):
    """The shipped pair at 800x600, in turns; each program takes each place
    on the screen for a third of them."""
    totals = [(0, 0.0, 0.0)] * len(programs)

    def count(index, _):
        counts = frame_counts(sessions[index], TURN_SECONDS)
        totals[index] = tuple(map(sum, zip(totals[index], counts)))
    for phase in range(len(PLACES)):
        places = PLACES[phase:] + PLACES[:phase]
        with side_by_side(server, programs, SHIPPED, places, GLUT_FPS="100") as sessions:
            take_turns(sessions, plan["turns"] // len(PLACES), count)
            for session in sessions:
                press_escape(session)
    rates = {program.name: frame_rate(counts) for program, counts in zip(programs, totals)}
    for name, rate in rates.items():
        # Frames per CPU second against quadforge's: x1.0 is the same cost a frame.
        rate["quadforge_against_it"] = rate["cpu_ms_a_frame"] / rates["quadforge"]["cpu_ms_a_frame"]
    return rates


def measure_startup(server, programs, plan):
    """Exec to the first frame of the right colour in the window's centre."""
    times = {program.name: [] for program in programs}
    for run in range(plan["startups"]):
        for program in programs[::1 if run % 2 == 0 else -1]:
            with program.start(server, solid(FIRST)) as session:
                first_frame(session, FIRST)
                times[program.name].append(1000 * (time.perf_counter() - session.started))
                press_escape(session)
    return {name: statistics.median(values) for name, values in times.items()}


def measure_rebuilds_and_memory(server, programs, plan):
    """Both programs side by side, in turns of a block of rebuilds each, so
    both are timed under the same load; and their resident memory after a
    second of running, once lazy allocations are done, after start-up and
    after all the rebuilds."""
    latencies, resident = [[], []], [[], []]

    def settle(index, _):
        time.sleep(1.0)
        resident[index].append(resident_kib(sessions[index].process.pid))

    def block(index, round_):
        time.sleep(0.05)  # back in its stride first
        steps = range(round_ * BLOCK + 1, (round_ + 1) * BLOCK + 1)
        latencies[index] += rebuilds(sessions[index], steps)
    with side_by_side(server, programs, solid(FIRST), PLACES) as sessions:
        take_turns(sessions, 1, settle)
        take_turns(sessions, plan["rebuilds"] // BLOCK, block)
        take_turns(sessions, 1, settle)
        quadforge_out, baseline_out = (press_escape(session) for session in sessions)

    def baseline_ms(label):  # the baseline's own times, the start-up build's left out
        return statistics.median([float(line.split()[len(label.split())]) for line
                                  in baseline_out.splitlines() if line.startswith(label)][1:])
    names = [program.name for program in programs]
    return {"rebuilds": plan["rebuilds"],
            "key_to_pixels_ms": dict(zip(names, map(statistics.median, latencies))),
            "baseline_compile_link_ms": baseline_ms("compile+link"),
            "baseline_to_first_frame_ms": baseline_ms("first frame"),
            "resident_after_start_kib": {name: kib[0] for name, kib in zip(names, resident)},
            "growth_kib": {name: kib[1] - kib[0] for name, kib in zip(names, resident)},
            "quadforge_reloads_printed": quadforge_out.count("Reloading shaders.\n")}


def measure_scaling(server, quadforge, plan):
    """quadforge alone: frame rate and rebuilds against window and shader size."""
    def point(files, args=(), presses=plan["presses"], lines=0):
        with quadforge.start(server, files, *args, GLUT_FPS="500") as session:
            first_frame(session)
            entry = frame_rate(frame_counts(session, plan["seconds"]))
            entry["rebuild_ms"] = statistics.median(rebuilds(session, range(1, presses + 1), lines))
            press_escape(session)
        return entry
    return {"window": [dict(point(SHIPPED, ("-geometry", f"{w}x{h}+140+140")), size=f"{w}x{h}",
                            pixels=w * h) for w, h in WINDOW_SIZES],
            "shader": [dict(point(solid(FIRST, lines), presses=presses, lines=lines), lines=lines)
                       for lines, presses in plan["shader_presses"].items()]}


def machine(server):
    version, _, renderer = server.run(server.probe).splitlines()[:3]
    lscpu = subprocess.run(["lscpu"], capture_output=True, text=True, check=False).stdout
    with open("/etc/os-release") as release:
        os_name = re.search(r'PRETTY_NAME="?([^"\n]*)', release.read())
    cpu = re.search(r"Model name:\s*(.*)", lscpu)
    return (f"{renderer}, OpenGL {version}; {cpu.group(1).strip() if cpu else 'CPU'}, "
            f"{os.cpu_count()} cores; {os_name.group(1) if os_name else ''}, Linux {platform.release()}")


def print_rows(rows):
    for label, *cells in rows:
        print((f"{label:<40}" + "".join(f"{cell:>17}" for cell in cells)).rstrip())
    print()


def print_results(results):
    rates, startup, rb = results["frame_rate"], results["startup_ms"], results["rebuild"]
    names = list(rates)
    print_rows([("frame rate, shipped pair, 800x600", *names),
                ("frames a second", *(f"{rates[n]['fps']:.0f}" for n in names)),
                ("CPU time a frame (ms)", *(f"{rates[n]['cpu_ms_a_frame']:.3f}" for n in names)),
                ("quadforge's frame rate against it", "",
                 *(f"x{rates[n]['quadforge_against_it']:.3f}" for n in names[1:]))])

    def both(label, values, digits=1):  # quadforge, the baseline, the difference
        first, second = (values[n] for n in names[:2])
        return label, f"{first:.{digits}f}", f"{second:.{digits}f}", f"{first - second:+.{digits}f}"
    print_rows([("", *names[:2], "difference"),
                both("start-up to first frame (ms)", startup),
                both("rebuild, key to new pixels (ms)", rb["key_to_pixels_ms"]),
                ("  baseline's own compile+link (ms)", "", f"{rb['baseline_compile_link_ms']:.2f}", ""),
                ("  ... to the end of its next frame (ms)", "",
                 f"{rb['baseline_to_first_frame_ms']:.1f}", ""),
                both("resident after start-up (KiB)", rb["resident_after_start_kib"], 0),
                both(f"growth over {rb['rebuilds']} rebuilds (KiB)", rb["growth_kib"], 0)])
    print_rows([("quadforge", "frames a second", "CPU ms a frame", "rebuild (ms)")]
               + [(f"window {e['size']}" if "size" in e else f"shader of {e['lines']} lines",
                   f"{e['fps']:.2f}", f"{e['cpu_ms_a_frame']:.2f}", f"{e['rebuild_ms']:.1f}")
                  for e in results["scaling"]["window"] + results["scaling"]["shader"]])


def benchmark(server, programs, plan, out_dir):
    quadforge, same = programs[:2]
    results = {"machine": machine(server)}
    print(f"quadforge benchmark on Xvfb: {results['machine']}", file=sys.stderr, flush=True)
    results["frame_rate"] = measure_frame_rate(server, programs, plan)
    results["startup_ms"] = measure_startup(server, [quadforge, same], plan)
    results["rebuild"] = measure_rebuilds_and_memory(server, [quadforge, same], plan)
    results["scaling"] = measure_scaling(server, quadforge, plan)
    with open(os.path.join(out_dir, "results.json"), "w") as file:
        json.dump(results, file, indent=2)
    for kind, key in (("window", "pixels"), ("shader", "lines")):
        with open(os.path.join(out_dir, f"scaling_{kind}.dat"), "w") as data:
            data.writelines(f"{e[key]} {e['fps']:.4f} {e['rebuild_ms']:.3f}\n"
                            for e in results["scaling"][kind])
    with open(os.path.join(out_dir, "bench.png"), "wb") as plot:
        subprocess.run(["gnuplot", "-e", f"data='{out_dir}'", os.path.join(ROOT, "bench", "plot.gp")],
                       stdout=plot, check=True)
    print(results["machine"] + "\n")
    print_results(results)
    print(f"results: {out_dir}/results.json; plot: {out_dir}/bench.png")


def soak(server, quadforge, presses):
    """Odd presses load a solid colour, even ones the shipped pair again, so
    every press changes the window and each rebuild is seen to land."""
    with quadforge.start(server, SHIPPED) as session:
        shipped, began, resident = first_frame(session), time.perf_counter(), {}
        for i in range(1, presses + 1):
            fragment = (solid(colour(i)) if i % 2 else SHIPPED)["full_screen_quad.frag"]
            rebuild(session, colour(i) if i % 2 else shipped, fragment)
            if i in (SOAK_SETTLED_AFTER, presses):
                time.sleep(0.5)
                resident[i] = resident_kib(session.process.pid)
        seconds, out = time.perf_counter() - began, press_escape(session)
    lines = ("Reloading shaders.\n", "Shader load successful.\n", "Shader load unsuccessful.")
    counts = [out.count(line) for line in lines]
    growth = resident[presses] - resident[SOAK_SETTLED_AFTER]
    print(f"{presses} presses in {seconds:.1f} s, each shown; exit status 0 on Esc; printed "
          + ", ".join(f"{line.strip()!r} {count} times" for line, count in zip(lines, counts))
          + f"\nVmRSS after press {SOAK_SETTLED_AFTER}: {resident[SOAK_SETTLED_AFTER]} KiB, after"
          f" {presses}: {resident[presses]} KiB, {growth:+d} KiB (limit {SOAK_LIMIT_KIB} KiB)")
    if counts != [presses, presses + 1, 0] or growth > SOAK_LIMIT_KIB:
        raise RuntimeError("soak failed")
    print("soak: passed")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds and rebuilds, a few minutes")
    parser.add_argument("--soak", action="store_true", help="only the soak check")
    parser.add_argument("--presses", type=int, default=1000, help="presses of the soak check")
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build"))
    args = parser.parse_args()
    baseline = os.path.join(args.build_dir, "bench", "quadforge_baseline")
    programs = [Program("quadforge", os.path.join(args.build_dir, "quadforge")),
                Program("same frame", baseline, title="quadforge_baseline"),
                Program("draw and swap", baseline, ["--bare"], title="quadforge_bare")]
    try:
        with XServer(os.path.join(args.build_dir, "tests", "gl_probe")) as server:
            if args.soak:
                soak(server, programs[0], args.presses)
            else:
                benchmark(server, programs, PLANS["quick" if args.quick else "full"],
                          os.path.join(args.build_dir, "bench"))
    except RuntimeError as error:
        sys.exit(f"bench: {error}")


if __name__ == "__main__":
    main()
