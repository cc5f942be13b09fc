# Benchmark: quadforge against a minimal baseline, on Xvfb with llvmpipe or the user's display.
import argparse
import json
import os
import platform
import re
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import time

import harness as h

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FIRST_COLOUR = 0x336699
# Filled in by main: where the built helpers are.
paths = {}

# How much of each measurement a run does; --quick trades precision for time.
FULL = {"fps_rounds": 200, "fps_slice": 0.25, "startup_runs": 15, "rebuilds": 1000, "rebuild_rounds": 2, "rebuild_block": 20,
        "scaling_fps_seconds": 4.0, "scaling_presses": 40, "shader_lines": {10: 40, 1000: 15, 10000: 5}}
QUICK = {"fps_rounds": 40, "fps_slice": 0.25, "startup_runs": 5, "rebuilds": 200, "rebuild_rounds": 1, "rebuild_block": 20,
         "scaling_fps_seconds": 2.0, "scaling_presses": 10, "shader_lines": {10: 10, 1000: 4, 10000: 2}}
WINDOW_SIZES = ["400x300", "800x600", "1280x720", "1920x1080"]
NAMES = ("quadforge", "baseline")


def start(program, display, workdir, geometry=None, extra_env=None, expected=None, timeout=60):
    """Launches a program; returns (process, window, seconds from exec to the first
    frame). The first frame is the window's centre showing expected, or just the
    window being readable when expected is None."""
    binary, title = program
    began = time.perf_counter()
    process = h.launch(binary, workdir, display["name"], ["-geometry", geometry] if geometry else [], extra_env)
    window = h.wait_for(lambda: h.find_window(display["x"], title), timeout)
    if window is None:
        h.stop_process(process)
        raise RuntimeError(f"{title}: no window within {timeout} s")
    if expected is None:
        shown = h.wait_for(lambda: h.centre_pixel(display["x"], window) is not None, timeout)
    else:
        shown = h.wait_for(lambda: h.centre_pixel(display["x"], window) == expected, timeout)
    elapsed = time.perf_counter() - began
    if not shown:
        h.stop_process(process)
        raise RuntimeError(f"{title}: first frame not shown within {timeout} s")
    h.focus(display["x"], window)
    return process, window, elapsed


def stop(display, process, window):
    if h.quit_with_escape(display["x"], process, window) != 0:
        raise RuntimeError(f"program exited with {process.returncode} on Esc")


def shipped_workdir():
    return h.make_workdir(*h.shipped_pair(ROOT))


def frame_counter(workdir):
    """The environment that preloads the frame counter, and the counter's file."""
    counter = os.path.join(workdir, "frames")
    with open(counter, "wb") as file:
        file.write(bytes(8))
    return {"LD_PRELOAD": paths["frame_counter"], "QUADFORGE_FRAME_COUNTER": counter}, counter


def start_side_by_side(programs, display, half, workdir_for, expected=None, counted=False):
    """Starts both programs in windows that do not overlap, each then stopped
    (SIGSTOP) until its turn; they swap places in the second half of a
    measurement, since where a window sits was seen to be worth about 1%.
    Returns, by name, (process, window, workdir, frame counter file or None)."""
    running = {}
    for name, x in zip(NAMES, (140, 960) if half == 0 else (960, 140)):
        workdir = workdir_for()
        env, counter = frame_counter(workdir) if counted else (None, None)
        process, window, _ = start(programs[name], display, workdir, f"800x600+{x}+140", env, expected)
        os.kill(process.pid, signal.SIGSTOP)
        running[name] = (process, window, workdir, counter)
    return running


def stop_all(display, running):
    for process, window, workdir, _ in running.values():
        os.kill(process.pid, signal.SIGCONT)
        stop(display, process, window)
    outputs = {name: h.read_output(entry[2]) for name, entry in running.items()}
    for entry in running.values():
        shutil.rmtree(entry[2])
    return outputs


def frames(counter):
    with open(counter, "rb") as file:
        return struct.unpack("<Q", file.read(8))[0]


def frame_rate(program, display, workdir, seconds, geometry):
    """Frames per second: the median over half-second windows, which shrugs off
    a burst of other load; a program too slow for that (a few frames a second)
    is timed between two frame boundaries over the whole run instead."""
    env, counter = frame_counter(workdir)
    process, window, _ = start(program, display, workdir, geometry, env)
    time.sleep(0.5)
    first = h.wait_for(lambda: frames(counter) or None, 60, poll=0.0005)
    first = h.wait_for(lambda: frames(counter) > first and frames(counter), 60, poll=0.0005)
    samples = [(time.perf_counter(), first)]
    while samples[-1][0] - samples[0][0] < seconds:
        time.sleep(0.5)
        samples.append((time.perf_counter(), frames(counter)))
    last = h.wait_for(lambda: frames(counter) > samples[-1][1] and frames(counter), 60, poll=0.0005)
    elapsed = time.perf_counter() - samples[0][0]
    stop(display, process, window)
    if (last - first) / elapsed < 20:
        return (last - first) / elapsed
    return statistics.median((c1 - c0) / (t1 - t0) for (t0, c0), (t1, c1) in zip(samples, samples[1:]))


def run_slice(process, counter, seconds):
    """Lets a stopped program run for a slice of time; its frames per second."""
    os.kill(process.pid, signal.SIGCONT)
    time.sleep(0.05)  # back in its stride before counting
    first, began = frames(counter), time.perf_counter()
    time.sleep(seconds)
    last, ended = frames(counter), time.perf_counter()
    os.kill(process.pid, signal.SIGSTOP)
    return (last - first) / (ended - began)


def measure_frame_rate(programs, display, plan):
    """Slices of running time, handed to each program in turn, so the machine's
    changing load falls on both alike."""
    rates = {name: [] for name in NAMES}
    for half in range(2):
        running = start_side_by_side(programs, display, half, shipped_workdir, counted=True)
        for round_ in range(plan["fps_rounds"] // 2):
            for name in NAMES if round_ % 2 == 0 else reversed(NAMES):
                process, _, _, counter = running[name]
                rates[name].append(run_slice(process, counter, plan["fps_slice"]))
        stop_all(display, running)
    qf, bl = (statistics.median(rates[name]) for name in NAMES)
    log(f"  {len(rates['quadforge'])} slices each: quadforge {qf:.0f}, baseline {bl:.0f} FPS")
    return {"slice_seconds": plan["fps_slice"], "quadforge_fps": rates["quadforge"],
            "baseline_fps": rates["baseline"], "quadforge_median": qf, "baseline_median": bl,
            "ratio": qf / bl, "mean_ratio": statistics.mean(rates["quadforge"]) / statistics.mean(rates["baseline"]),
            "target": "ratio >= 0.98", "met": qf / bl >= 0.98}


def measure_startup(programs, display, plan):
    times = {name: [] for name in NAMES}
    for run in range(plan["startup_runs"]):
        for name in NAMES if run % 2 == 0 else reversed(NAMES):
            workdir = solid_workdir()
            process, window, elapsed = start(programs[name], display, workdir, expected=FIRST_COLOUR)
            stop(display, process, window)
            shutil.rmtree(workdir)
            times[name].append(elapsed * 1000)
            # The next run starts on a screen without the last window.
            h.wait_for(lambda: h.find_window(display["x"], programs[name][1]) is None, 10)
    qf, bl = (statistics.median(times[name]) for name in NAMES)
    return {"quadforge_ms": times["quadforge"], "baseline_ms": times["baseline"],
            "quadforge_median_ms": qf, "baseline_median_ms": bl, "ratio": qf / bl,
            "target": "ratio <= 1.05", "met": qf / bl <= 1.05}


def solid_workdir(lines=0):
    return h.make_workdir(h.SOLID_VERTEX, h.solid_fragment(FIRST_COLOUR, lines))


def rebuild_once(display, window, workdir, i, lines=0, timeout=120):
    """Rewrites the fragment shader to paint colour i, presses 's', and returns
    the milliseconds until the window's centre shows that colour."""
    expected = h.colour(i)
    h.write_pair(workdir, None, h.solid_fragment(expected, lines))
    began = time.perf_counter()
    h.press(display["x"], "s")
    if not h.wait_for(lambda: h.centre_pixel(display["x"], window) == expected, timeout):
        raise RuntimeError(f"rebuild {i} never showed its colour")
    return (time.perf_counter() - began) * 1000


def rebuilds(program, display, presses, size=None, lines=0):
    """Median milliseconds from 's' to the new colour on screen, over presses."""
    workdir = solid_workdir(lines)
    geometry = f"{size}+140+140" if size else None
    process, window, _ = start(program, display, workdir, geometry, expected=FIRST_COLOUR, timeout=120)
    latencies = [rebuild_once(display, window, workdir, i, lines) for i in range(1, presses + 1)]
    stop(display, process, window)
    shutil.rmtree(workdir)
    return statistics.median(latencies)


def resident_after_a_second(process):
    """Resident KiB once any lazy allocation of the last frames is done."""
    os.kill(process.pid, signal.SIGCONT)
    time.sleep(1.0)
    resident = h.resident_kib(process.pid)
    os.kill(process.pid, signal.SIGSTOP)
    return resident


def baseline_times(output, label):
    """The baseline's own timings of its rebuilds (ms), the start-up build left out."""
    return [float(line.split()[len(label.split())]) for line in output.splitlines()
            if line.startswith(label)][1:]


def measure_rebuilds_and_memory(programs, display, plan, frame_ms):
    """Blocks of presses on each program in turn, the other stopped, so both
    are timed under the same load; and each one's resident memory after
    start-up and after all its rebuilds."""
    presses, block = plan["rebuilds"], plan["rebuild_block"]
    latencies = {name: [] for name in NAMES}
    growth = {name: [] for name in NAMES}
    startup_kib = {name: [] for name in NAMES}
    outputs = {name: "" for name in NAMES}
    for round_ in range(plan["rebuild_rounds"]):
        log(f"  {presses} rebuilds each, round {round_ + 1}")
        running = start_side_by_side(programs, display, round_ % 2, solid_workdir, expected=FIRST_COLOUR)
        for name in NAMES:
            startup_kib[name].append(resident_after_a_second(running[name][0]))
        for first in range(1, presses + 1, block):
            for name in NAMES if first % (2 * block) == 1 else reversed(NAMES):
                process, window, workdir, _ = running[name]
                os.kill(process.pid, signal.SIGCONT)
                h.focus(display["x"], window)
                time.sleep(0.05)
                for i in range(first, min(first + block, presses + 1)):
                    latencies[name].append(rebuild_once(display, window, workdir, i))
                os.kill(process.pid, signal.SIGSTOP)
        for name in NAMES:
            growth[name].append(resident_after_a_second(running[name][0]) - startup_kib[name][-1])
        for name, output in stop_all(display, running).items():
            outputs[name] += output
    compile_link = statistics.median(baseline_times(outputs["baseline"], "compile+link"))
    first_frame = statistics.median(baseline_times(outputs["baseline"], "first frame"))
    qf, bl = (statistics.median(latencies[name]) for name in NAMES)
    rebuild = {
        "presses_each": len(latencies["quadforge"]), "quadforge_key_to_pixels_ms": qf,
        "baseline_key_to_pixels_ms": bl, "quadforge_adds_ms": qf - bl,
        "baseline_compile_link_ms": compile_link, "baseline_compile_link_first_frame_ms": first_frame,
        "frame_ms": frame_ms,
        "quadforge_reloads_printed": outputs["quadforge"].count("Reloading shaders.\n"),
        "quadforge_successes_printed": outputs["quadforge"].count("Shader load successful.\n"),
        "target": "quadforge key to pixels <= baseline compile+link + one frame",
        "met": qf <= compile_link + frame_ms, "adds_within_one_frame": qf - bl <= frame_ms}
    qf_growth, bl_growth = (statistics.median(growth[name]) for name in NAMES)
    memory = {"rebuilds": presses, "quadforge_startup_kib": statistics.median(startup_kib["quadforge"]),
              "baseline_startup_kib": statistics.median(startup_kib["baseline"]),
              "quadforge_growth_kib": qf_growth, "baseline_growth_kib": bl_growth,
              "quadforge_growth_each_round_kib": growth["quadforge"],
              "baseline_growth_each_round_kib": growth["baseline"],
              "target": "quadforge growth <= baseline growth + 64 KiB", "met": qf_growth <= bl_growth + 64}
    return rebuild, memory


def measure_scaling(program, display, plan):
    shipped_dir = shipped_workdir()
    by_window = []
    for size in WINDOW_SIZES:
        fps = frame_rate(program, display, shipped_dir, plan["scaling_fps_seconds"], f"{size}+140+140")
        latency = rebuilds(program, display, plan["scaling_presses"], size=size)
        width, height = (int(v) for v in size.split("x"))
        by_window.append({"size": size, "pixels": width * height, "fps": fps, "rebuild_ms": latency})
        log(f"  window {size}: {fps:.0f} FPS, rebuild {by_window[-1]['rebuild_ms']:.1f} ms")
    shutil.rmtree(shipped_dir)
    by_shader = []
    for lines, presses in plan["shader_lines"].items():
        workdir = solid_workdir(lines)
        # A slow shader needs a longer look to see several frames.
        seconds = plan["scaling_fps_seconds"] * (3 if lines >= 10000 else 1)
        fps = frame_rate(program, display, workdir, seconds, None)
        shutil.rmtree(workdir)
        by_shader.append({"lines": lines, "fps": fps, "rebuild_ms": rebuilds(program, display, presses, lines=lines)})
        log(f"  shader {lines} lines: {fps:.2f} FPS, rebuild {by_shader[-1]['rebuild_ms']:.1f} ms")
    return {"window": by_window, "shader": by_shader}


def machine_description(program, display):
    workdir = solid_workdir()
    process, window, _ = start(program, display, workdir, expected=FIRST_COLOUR)
    stop(display, process, window)
    report = h.read_output(workdir)
    shutil.rmtree(workdir)

    def field(text, name):
        found = re.search(rf"{name}:\s*(.*)", text)
        return found.group(1).strip().strip('"') if found else ""

    lscpu = subprocess.run(["lscpu"], capture_output=True, text=True, check=False).stdout
    with open("/etc/os-release") as release:
        os_name = re.search(r'PRETTY_NAME="?([^"\n]*)', release.read())
    return {"cpu": field(lscpu, "Model name"), "cores": os.cpu_count(), "kernel": platform.release(),
            "os": os_name.group(1) if os_name else "", "renderer": field(report, "Renderer"),
            "gl_version": field(report, "Version")}


def print_table(results):
    fr, su, rb, mem = results["frame_rate"], results["startup"], results["rebuild"], results["memory"]
    yes = {True: "yes", False: "NO"}
    frame = f"+{rb['frame_ms']:.2f} (1 frame)"
    rows = [
        ("frame rate, 800x600 (FPS)", f"{fr['quadforge_median']:.0f}", f"{fr['baseline_median']:.0f}",
         f"x{fr['ratio']:.3f}", ">= x0.98", yes[fr["met"]]),
        ("start-up to first frame (ms)", f"{su['quadforge_median_ms']:.1f}", f"{su['baseline_median_ms']:.1f}",
         f"x{su['ratio']:.3f}", "<= x1.05", yes[su["met"]]),
        ("rebuild vs baseline compile+link (ms)", f"{rb['quadforge_key_to_pixels_ms']:.1f}",
         f"{rb['baseline_compile_link_ms']:.2f}",
         f"{rb['quadforge_key_to_pixels_ms'] - rb['baseline_compile_link_ms']:+.1f}", f"<= {frame}",
         yes[rb["met"]]),
        ("  baseline compile+link+first frame (ms)", "", f"{rb['baseline_compile_link_first_frame_ms']:.1f}",
         f"{rb['quadforge_key_to_pixels_ms'] - rb['baseline_compile_link_first_frame_ms']:+.1f}", "", ""),
        ("  rebuild, key to new pixels, both (ms)", f"{rb['quadforge_key_to_pixels_ms']:.1f}",
         f"{rb['baseline_key_to_pixels_ms']:.1f}", f"{rb['quadforge_adds_ms']:+.1f}", f"<= {frame}",
         yes[rb["adds_within_one_frame"]]),
        ("resident after start-up (KiB)", f"{mem['quadforge_startup_kib']:.0f}", f"{mem['baseline_startup_kib']:.0f}",
         f"{mem['quadforge_startup_kib'] - mem['baseline_startup_kib']:+.0f}", "", ""),
        (f"growth over {mem['rebuilds']} rebuilds (KiB)", f"{mem['quadforge_growth_kib']:.0f}",
         f"{mem['baseline_growth_kib']:.0f}", f"{mem['quadforge_growth_kib'] - mem['baseline_growth_kib']:+.0f}",
         "<= +64", yes[mem["met"]]),
    ]
    header = ("measure", "quadforge", "baseline", "vs baseline", "target", "met")
    widths = [max(len(row[i]) for row in rows + [header]) for i in range(len(header))]
    for row in [header] + rows:
        print("  ".join(cell.ljust(width) if i == 0 else cell.rjust(width)
                        for i, (cell, width) in enumerate(zip(row, widths))))
    print()
    print("scaling (quadforge)        frame rate (FPS)   rebuild, key to new pixels (ms)")
    for entry in results["scaling"]["window"]:
        print(f"  window {entry['size']:>9}         {entry['fps']:>10.1f}   {entry['rebuild_ms']:>12.1f}")
    for entry in results["scaling"]["shader"]:
        print(f"  shader {entry['lines']:>6} lines      {entry['fps']:>10.2f}   {entry['rebuild_ms']:>12.1f}")


def write_plot_data(out_dir, scaling):
    with open(os.path.join(out_dir, "scaling_window.dat"), "w") as data:
        data.write("# size pixels fps rebuild_ms\n")
        for entry in scaling["window"]:
            data.write(f"{entry['size']} {entry['pixels']} {entry['fps']:.3f} {entry['rebuild_ms']:.3f}\n")
    with open(os.path.join(out_dir, "scaling_shader.dat"), "w") as data:
        data.write("# lines fps rebuild_ms\n")
        for entry in scaling["shader"]:
            data.write(f"{entry['lines']} {entry['fps']:.4f} {entry['rebuild_ms']:.3f}\n")


def log(message):
    print(message, file=sys.stderr, flush=True)


def main():
    parser = argparse.ArgumentParser(description="quadforge against a minimal baseline")
    parser.add_argument("--quick", action="store_true", help="fewer rounds and rebuilds, a few minutes")
    parser.add_argument("--display", action="store_true", help="use $DISPLAY instead of a private Xvfb")
    parser.add_argument("--build-dir", default=os.environ.get("QUADFORGE_BUILD_DIR", os.path.join(ROOT, "build")))
    args = parser.parse_args()
    plan = QUICK if args.quick else FULL
    programs = {"quadforge": (os.path.join(args.build_dir, "quadforge"), "quadforge"),
                "baseline": (os.path.join(args.build_dir, "bench", "quadforge_baseline"), "quadforge_baseline")}
    out_dir = os.path.join(args.build_dir, "bench")
    paths["frame_counter"] = os.path.join(out_dir, "libquadforge_frame_counter.so")

    server = None
    if args.display:
        name = os.environ.get("DISPLAY") or sys.exit("--display: DISPLAY is not set")
    else:
        server, name = h.start_xvfb()
    display = {"name": name, "x": h.open_display(name)}
    began = time.perf_counter()
    try:
        log(f"display {name}; {'quick' if args.quick else 'full'} run")
        results = {"command": "bash bench/run.sh" + " --quick" * args.quick + " --display" * args.display,
                   "display": "user's display" if args.display else "Xvfb",
                   "machine": machine_description(programs["quadforge"], display)}
        log("frame rate")
        results["frame_rate"] = measure_frame_rate(programs, display, plan)
        log("start-up")
        results["startup"] = measure_startup(programs, display, plan)
        log("rebuilds and memory")
        frame_ms = 1000 / results["frame_rate"]["baseline_median"]
        results["rebuild"], results["memory"] = measure_rebuilds_and_memory(programs, display, plan, frame_ms)
        log("scaling")
        results["scaling"] = measure_scaling(programs["quadforge"], display, plan)
        results["seconds"] = round(time.perf_counter() - began)
    finally:
        h.kill_launched()
        h.close_display(display["x"])
        if server is not None:
            h.stop_process(server)

    with open(os.path.join(out_dir, "results.json"), "w") as file:
        json.dump(results, file, indent=2)
    write_plot_data(out_dir, results["scaling"])
    machine = results["machine"]
    print(f"quadforge benchmark on {results['display']}: {machine['renderer']}, OpenGL {machine['gl_version']}; "
          f"{machine['cpu']}, {machine['cores']} cores; {machine['os']}, Linux {machine['kernel']}")
    print()
    print_table(results)
    print()
    print(f"results: {os.path.join(out_dir, 'results.json')} ({results['seconds']} s)")


if __name__ == "__main__":
    main()
