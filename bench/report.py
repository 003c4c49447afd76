"""Prints the benchmark table from what bench/run measured.

    report.py BUILD_FOLDER LOADER_FILE APP_FILE

Reads BUILD_FOLDER/bench-results/{time,memory,unpack}.txt (lines
"<figure> <case> <value>" written by the Windows-side programs) and the sizes
of the built files, and prints the machine facts and one Markdown table.
"""

import os
import statistics
import subprocess
import sys
import zlib
from collections import defaultdict

MIB = 1024 * 1024
UNPACK_RATIO_GOAL = 1.10


def read_figures(path):
    """{(figure, case): [values]} from one results file."""
    figures = defaultdict(list)
    with open(path, encoding="utf-8") as lines:
        for line in lines:
            parts = line.split()
            if len(parts) == 3:
                try:
                    figures[(parts[0], parts[1])].append(float(parts[2]))
                except ValueError:
                    figures[(parts[0], parts[1])].append(parts[2])
    return figures


def command_output(*command):
    try:
        return subprocess.run(command, capture_output=True, text=True, check=False).stdout.strip()
    except OSError:
        return "not found"


def cpu_model():
    with open("/proc/cpuinfo", encoding="utf-8") as info:
        for line in info:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return "unknown"


def size(path):
    return os.path.getsize(path)


def nbytes(value):
    return f"{value:,} B"


def yes_no(condition):
    return "yes" if condition else "**no**"


def spread(values, unit_format):
    """median [min-max] of a list, each through unit_format."""
    return (f"{unit_format(statistics.median(values))} "
            f"[{unit_format(min(values))}–{unit_format(max(values))}]")


class Table:
    def __init__(self):
        self.rows = []

    def section(self, title):
        self.rows.append((f"**{title}**", "", "", "", ""))

    def row(self, measure, result, compared="", goal="", met=""):
        self.rows.append((measure, result, compared, goal, met))

    def print(self):
        print("| Measure | Lirabel Warden | Compared with | Goal | Met |")
        print("|---|---|---|---|---|")
        for row in self.rows:
            print("| " + " | ".join(row) + " |")


def size_rows(table, build, loader, app):
    setup = size(f"{build}/LirabelWarden.exe")
    loader_stream = size(f"{build}/lbw_payload_store/loader.zlib")
    app_stream = size(f"{build}/lbw_payload_store/app.zlib")
    overhead = setup - loader_stream - app_stream
    nsis = {method: (size(f"{build}/bench-nsis/{method}.exe"),
                     size(f"{build}/bench-nsis/{method}-empty.exe"))
            for method in ("zlib", "lzma")}
    level9 = {name: len(zlib.compress(open(path, "rb").read(), 9))
              for name, path in (("loader", loader), ("app", app))}

    table.section("Size: the plain pair of files")
    table.row("setup program LirabelWarden.exe", nbytes(setup),
              f"NSIS zlib: {nbytes(nsis['zlib'][0])}; NSIS solid lzma: {nbytes(nsis['lzma'][0])}",
              "total below NSIS with zlib", yes_no(setup < nsis["zlib"][0]))
    for name, stream, label in (("loader", loader_stream, "loader"),
                                ("app", app_stream, "application")):
        saved = 100.0 * (level9[name] - stream) / level9[name]
        table.row(f"{label} stream, zopfli --zlib", nbytes(stream),
                  f"zlib level 9: {nbytes(level9[name])} (zopfli saves {saved:.1f} %)")
    table.row("both streams", nbytes(loader_stream + app_stream),
              f"zlib level 9: {nbytes(level9['loader'] + level9['app'])}; "
              f"NSIS zlib data: {nbytes(nsis['zlib'][0] - nsis['zlib'][1])}; "
              f"NSIS solid lzma data: {nbytes(nsis['lzma'][0] - nsis['lzma'][1])}")
    for method, label in (("zlib", "NSIS zlib"), ("lzma", "NSIS solid lzma")):
        table.row("overhead: program minus both streams", nbytes(overhead),
                  f"{label}: {nbytes(nsis[method][1])} (its installer without files)",
                  f"below {label}'s", yes_no(overhead < nsis[method][1]))
    return {"level9": level9, "nsis": nsis}


def time_rows(table, figures, rounds):
    times = {case: figures[("time_ms", case)]
             for case in ("floor", "floor_user32", "floor_launch", "first", "second", "update")}
    floor = statistics.median(times["floor"])

    def above(case):
        return f"+{statistics.median(times[case]) - floor:.1f} ms"

    def raw(case):
        return spread(times[case], lambda value: f"{value:.1f}") + " ms"

    table.section(f"Time under Wine: median of {rounds} runs, above the floor")
    table.row("floor: do-nothing GUI program", f"{floor:.1f} ms (absolute)", f"all runs: {raw('floor')}")
    table.row("(a) first installation, fresh empty data root", above("first"), f"absolute: {raw('first')}")
    table.row("(b) second run, equal files (nothing written: checked)", above("second"),
              f"absolute: {raw('second')}")
    table.row("(c) `--update`, equal files (nothing written: checked)", above("update"),
              f"absolute: {raw('update')}")
    table.row("where it goes: do-nothing program importing user32", above("floor_user32"),
              f"absolute: {raw('floor_user32')}")
    table.row("where it goes: the same, also starting the application", above("floor_launch"),
              f"absolute: {raw('floor_launch')}")


def memory_rows(table, figures, rounds, loader, timed_app):
    """The floor here is a do-nothing program that imports user32, as the setup
    program does for its message box: what user32 costs is Wine's own start-up
    of its graphics stack, not the installer's memory, and is shown apart."""
    def peak(case, figure="peak_working_set"):
        return statistics.median(figures[(figure, case)])

    floor = peak("floor_user32")
    floor_private = peak("floor_user32", "peak_private_bytes")
    budget = size(loader) + 2 * size(timed_app) + MIB
    table.section(f"Memory: peak working set of the setup process, median of {rounds} runs, above the floor")
    table.row("floor: do-nothing GUI program importing user32", f"{floor / MIB:.2f} MiB (absolute)",
              f"private bytes: {floor_private / MIB:.2f} MiB")
    for case, label in (("first", "first installation"),
                        ("second", "second run (installed application compared)")):
        above = peak(case) - floor
        table.row(label, f"+{above / MIB:.2f} MiB",
                  f"private bytes: +{(peak(case, 'peak_private_bytes') - floor_private) / MIB:.2f} MiB",
                  f"≤ {budget / MIB:.2f} MiB (2 files + larger file + 1 MiB)", yes_no(above <= budget))
    table.row("where it goes: user32, against a do-nothing program without it",
              f"+{(floor - peak('floor')) / MIB:.2f} MiB",
              f"private bytes: +{(floor_private - peak('floor', 'peak_private_bytes')) / MIB:.2f} MiB")


def unpack_rows(table, figures):
    runs = len(figures[("unpack_ms", "app")])
    table.section(f"Unpacking in one process: median of {runs} runs")
    for case, label in (("loader", "loader"), ("app", "application")):
        unpack = statistics.median(figures[("unpack_ms", case)])
        inflate = statistics.median(figures[("inflate_ms", case)])
        decoded = int(figures[("decoded_bytes", case)][0])
        stream = int(figures[("stream_bytes", case)][0])
        ratio = unpack / inflate
        table.row(f"`unpack_payload`, {label} ({stream:,} → {decoded:,} B)",
                  spread(figures[("unpack_ms", case)], lambda value: f"{value:.2f}") + " ms",
                  "one inflate call: "
                  + spread(figures[("inflate_ms", case)], lambda value: f"{value:.2f}") + " ms",
                  f"ratio ≤ {UNPACK_RATIO_GOAL:.2f}", f"{ratio:.2f}: {yes_no(ratio <= UNPACK_RATIO_GOAL)}")


def main():
    build, loader, app = sys.argv[1:4]
    results = f"{build}/bench-results"
    timed_app = f"{build}/bench/launchable/lirabel-warden.exe"
    time_figures = read_figures(f"{results}/time.txt")
    memory_figures = read_figures(f"{results}/memory.txt")
    unpack_figures = read_figures(f"{results}/unpack.txt")
    with open(f"{results}/load-before.txt", encoding="utf-8") as before:
        load_before = " ".join(before.read().split()[:3])
    with open("/proc/loadavg", encoding="utf-8") as now:
        load_after = " ".join(now.read().split()[:3])

    print("# Lirabel Warden Setup: benchmarks")
    print()
    print("command: `bench/run`")
    print(f"machine: {os.cpu_count()} CPUs ({cpu_model()}); "
          f"{command_output('/usr/lib/wine/wine64', '--version')} (wine64, null graphics driver, "
          f"persistent wineserver); NSIS {command_output('makensis', '-VERSION')}; "
          f"load average before/after: {load_before} / {load_after}")
    print(f"payload: loader = Wine's {os.path.basename(loader)} ({size(loader):,} B), "
          f"application = Wine's {os.path.basename(app)} ({size(app):,} B). "
          f"Time and memory runs start the setup program LirabelWardenTimed.exe, which carries "
          f"the same loader and, as application, the stand-in lirabel-warden.exe with "
          f"{os.path.basename(app)} appended ({size(timed_app):,} B: a program that starts and "
          f"ends at once, of the same size and compressibility)")
    print()
    table = Table()
    size_rows(table, build, loader, app)
    time_rows(table, time_figures, len(time_figures[("time_ms", "floor")]))
    memory_rows(table, memory_figures, len(memory_figures[("peak_working_set", "floor")]),
                loader, timed_app)
    unpack_rows(table, unpack_figures)
    table.print()
    print()
    answered = memory_figures.get(("ended_process_memory_info", "answered"))
    ended = (f"peak working set {answered[0]:.0f}" if answered else
             f"refused, error {memory_figures[('ended_process_memory_info', 'refused')][0]:.0f}")
    notes = [
        "Sizes are file sizes. NSIS overhead: the same script's installer with no files and "
        "the same compressor (so NSIS data = installer minus that).",
        "Times: a Windows-side runner starts each program with CreateProcessW (no standard "
        "handles, in a job of its own) and times it with QueryPerformanceCounter from that call "
        "to the process's end. Floor and setup runs take turns round by round, after two warm-up "
        "rounds. The application that the setup program starts (and does not wait for) is waited "
        "for through the job, outside the time, before the next run.",
        "Equal files: after (b) and (c) the installed files must be the very same files: same "
        "file index, size, creation and write times, and no other file in the folder.",
        "Where it goes: two do-nothing programs, one that imports user32 (the setup program "
        "imports it for its message box) and one that also starts the installed application "
        "the way the setup program does; the setup program's own work lies above them.",
        "Memory: the runner calls GetProcessMemoryInfo every millisecond while the process runs. "
        "Wine reads /proc/<pid>/status: the peak working set is VmHWM, the kernel's high-water "
        "mark of resident memory, so the last sample holds the true peak; private bytes "
        "(PagefileUsage = RssAnon) are a current value, so their sampled maximum is shown. "
        f"Asked about the ended process, Wine answers {ended}, so the last sample counts.",
        "Unpacking: bench_unpack calls unpack_payload and the one-call inflate in turn on the "
        "embedded streams, each into fresh memory, the buffers released outside the time.",
    ]
    for note in notes:
        print(f"- {note}")

if __name__ == "__main__":
    main()
