# Soak: a thousand 's' presses on one running quadforge; every rebuild shown, memory flat.
import argparse
import os
import shutil
import sys
import time

import harness as h

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    parser = argparse.ArgumentParser(description="rebuild quadforge's shaders many times in one run")
    parser.add_argument("--presses", type=int, default=1000)
    parser.add_argument("--settled-after", type=int, default=100, help="press after which memory should stay flat")
    # llvmpipe keeps work buffers at a high-water mark that settles within a
    # few hundred KiB; a leak of its own would grow past that in 900 presses.
    parser.add_argument("--limit-kib", type=int, default=512, help="allowed resident growth after settling")
    parser.add_argument("--display", action="store_true", help="use $DISPLAY instead of a private Xvfb")
    parser.add_argument("--build-dir", default=os.environ.get("QUADFORGE_BUILD_DIR", os.path.join(ROOT, "build")))
    args = parser.parse_args()

    server = None
    if args.display:
        name = os.environ.get("DISPLAY") or sys.exit("--display: DISPLAY is not set")
    else:
        server, name = h.start_xvfb()
    display = h.open_display(name)
    shipped = h.shipped_pair(ROOT)
    workdir = h.make_workdir(*shipped)
    failures = []
    try:
        process = h.launch(os.path.join(args.build_dir, "quadforge"), workdir, name)
        window = h.wait_for(lambda: h.find_window(display, "quadforge"), 60)
        shipped_pixel = window and h.wait_for(lambda: h.centre_pixel(display, window), 60)
        if not shipped_pixel:
            h.stop_process(process)
            sys.exit("soak: quadforge showed no first frame")
        h.focus(display, window)
        began = time.perf_counter()
        resident = {}
        # Odd presses load a solid colour, even ones the shipped pair again, so
        # every press must change the window and each rebuild is seen to land.
        for i in range(1, args.presses + 1):
            if i % 2:
                expected = h.colour(i)
                h.write_pair(workdir, h.SOLID_VERTEX, h.solid_fragment(expected))
            else:
                expected = shipped_pixel
                h.write_pair(workdir, *shipped)
            h.press(display, "s")
            if not h.wait_for(lambda: h.centre_pixel(display, window) == expected, 30):
                failures.append(f"press {i}: the window never showed the rebuilt program")
                break
            if i in (args.settled_after, args.presses):
                time.sleep(0.5)
                resident[i] = h.resident_kib(process.pid)
        seconds = time.perf_counter() - began
        status = h.quit_with_escape(display, process, window)
    finally:
        h.kill_launched()
        h.close_display(display)
        if server is not None:
            h.stop_process(server)

    output = h.read_output(workdir)
    shutil.rmtree(workdir)
    reloads = output.count("Reloading shaders.\n")
    successes = output.count("Shader load successful.\n")
    print(f"presses: {args.presses} in {seconds:.1f} s; exit status on Esc: {status}")
    print(f"'Reloading shaders.' printed {reloads} times, 'Shader load successful.' {successes} times "
          f"(one more for start-up), 'Shader load unsuccessful.' {output.count('Shader load unsuccessful.')} times")
    if status != 0:
        failures.append(f"exit status {status} on Esc")
    if reloads != args.presses or successes != args.presses + 1:
        failures.append("a press did not print both of its lines")
    settled, last = resident.get(args.settled_after), resident.get(args.presses)
    if settled is not None and last is not None:
        print(f"VmRSS after press {args.settled_after}: {settled} KiB; after press {args.presses}: {last} KiB; "
              f"growth {last - settled:+d} KiB (limit {args.limit_kib} KiB)")
        if last - settled > args.limit_kib:
            failures.append(f"resident memory grew {last - settled} KiB")
    else:
        failures.append("resident memory not read at both points")
    for failure in failures:
        print(f"FAIL: {failure}")
    print("soak: " + ("failed" if failures else "passed"))
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
