#!/usr/bin/env python3
"""The benchmark of overlay, started by bench/run inside a Wine session.

Generates deterministic trees, times overlay against its floor and its peers
(round-robin, warm page cache, every run on a fresh target), measures the
launcher wait, the exe and memory growth, and prints one Markdown report.
Exits non-zero when any contender fails or leaves a wrong tree behind.
"""

import argparse
import ctypes
import filecmp
import os
import random
import re
import select
import shutil
import statistics
import subprocess
import sys
import threading
import time

MiB = 1 << 20
# The Wine peers: their failing is measured, not a fault of the benchmark.
PEERS = ("xcopy", "fs_copy")
WINE = shutil.which("wine") or "wine"


def log(*parts):
    print("[bench %s]" % time.strftime("%H:%M:%S"), *parts, file=sys.stderr, flush=True)


def winpath(path):
    """A Linux path as Wine's Z: drive sees it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def median(values):
    return statistics.median(values)


def spread(values):
    """Half the min-max range as a share of the median, in percent."""
    m = median(values)
    return 100.0 * (max(values) - min(values)) / 2 / m if m else 0.0


# ---- Trees ------------------------------------------------------------------

class Tree:
    def __init__(self, name, root, files, total_bytes):
        self.name, self.root, self.files, self.total_bytes = name, root, files, total_bytes


def small_tree(root, files, shape, seed):
    """files of 1..8 KiB spread round-robin over every directory of a
    three-level tree shaped top x middle x leaf."""
    stamp = os.path.join(root, ".complete")
    top, middle, leaf = shape
    directories = []
    for a in range(top):
        da = "d%02d" % a
        directories.append(da)
        for b in range(middle):
            db = os.path.join(da, "d%02d" % b)
            directories.append(db)
            for c in range(leaf):
                directories.append(os.path.join(db, "d%02d" % c))
    rng = random.Random(seed)
    sizes = [rng.randint(1024, 8192) for _ in range(files)]
    if not os.path.exists(stamp):
        log("generating", root)
        shutil.rmtree(root, ignore_errors=True)
        data = random.Random(seed + 1).randbytes(8192 * 64)
        for d in directories:
            os.makedirs(os.path.join(root, "tree", d))
        for i, size in enumerate(sizes):
            offset = (i * 4099) % (len(data) - 8192)
            path = os.path.join(root, "tree", directories[i % len(directories)], "f%06d.bin" % i)
            with open(path, "wb") as f:
                f.write(data[offset:offset + size])
        open(stamp, "w").close()
    return os.path.join(root, "tree"), files, sum(sizes), len(directories)


def large_tree(root, files, size, seed):
    stamp = os.path.join(root, ".complete")
    if not os.path.exists(stamp):
        log("generating", root)
        shutil.rmtree(root, ignore_errors=True)
        os.makedirs(os.path.join(root, "tree"))
        rng = random.Random(seed)
        for i in range(files):
            with open(os.path.join(root, "tree", "large%02d.bin" % i), "wb") as f:
                left = size
                while left:
                    chunk = min(left, 8 * MiB)
                    f.write(rng.randbytes(chunk))
                    left -= chunk
        open(stamp, "w").close()
    return os.path.join(root, "tree"), files, files * size


def tree_census(root):
    """(files, bytes, oldest ctime) of a tree on disk."""
    files = size = 0
    oldest = float("inf")
    for directory, _, names in os.walk(root):
        for name in names:
            st = os.stat(os.path.join(directory, name))
            files += 1
            size += st.st_size
            oldest = min(oldest, st.st_ctime)
    return files, size, oldest


def warm(root):
    """Reads every file once so the page cache holds the source."""
    for directory, _, names in os.walk(root):
        for name in names:
            with open(os.path.join(directory, name), "rb") as f:
                while f.read(MiB):
                    pass


def same_content(a, b):
    comparison = filecmp.dircmp(a, b)
    if comparison.left_only or comparison.right_only or comparison.funny_files:
        return False
    _, mismatch, errors = filecmp.cmpfiles(a, b, comparison.common_files, shallow=False)
    if mismatch or errors:
        return False
    return all(same_content(os.path.join(a, d), os.path.join(b, d)) for d in comparison.common_dirs)


# ---- Running contenders -------------------------------------------------------

class Bench:
    def __init__(self, args):
        self.args = args
        self.cpu = str(args.cpu)
        self.build = args.build
        self.out = args.out
        self.exe = {
            "overlay": os.path.join(self.build, "overlay.exe"),
            "floor": os.path.join(self.build, "bench", "bench_floor.exe"),
            "fs_copy": os.path.join(self.build, "bench", "bench_fs_copy.exe"),
            "launcher": os.path.join(self.build, "bench", "bench_launcher.exe"),
            "scan": os.path.join(self.build, "bench", "bench_scan.exe"),
            "noop": os.path.join(self.build, "bench", "bench_noop.exe"),
            "noop_gui": os.path.join(self.build, "bench", "bench_noop_gui.exe"),
            "wait_probe": os.path.join(self.build, "bench", "bench_wait_probe.exe"),
            "check": os.path.join(self.build, "overlay-check.exe"),
            "check_native": os.path.join(self.build, "overlay-check-native"),
            "waiter_window": os.path.join(self.build, "bench", "bench_waiter_window.exe"),
        }
        for path in self.exe.values():
            if not os.path.isfile(path):
                raise SystemExit("bench: missing %s (build first)" % path)
        self.targets = os.path.join(self.out, "targets")
        self.run_id = time.strftime("%Y%m%d-%H%M%S")
        self.counter = 0
        self.failures = []
        self.peer_failures = {}
        self.server_pid = 0
        self.cpu_seconds = []  # of each timed run: exe user+system plus the prefix's other processes
        self.output = ""  # of the last timed run
        self.setup_ms = {}  # of each contender that times its own copy, as it printed it

    def pinned(self, argv):
        return ["taskset", "-c", self.cpu] + argv

    def contender_argv(self, name, source, target):
        s, t = winpath(source), winpath(target)
        if name == "overlay, waiter window open":
            return [WINE, self.exe["waiter_window"], winpath(self.exe["overlay"]), s, t]
        if name == "overlay, no waiter window":
            return [WINE, self.exe["waiter_window"], "--no-window", winpath(self.exe["overlay"]), s, t]
        if name.startswith("overlay"):
            return [WINE, self.exe["overlay"], s, t]
        if name == "floor":
            return [WINE, self.exe["floor"], s, t]
        if name == "floor+2opens":
            return [WINE, self.exe["floor"], "--same-object", s, t]
        if name == "floor+2opens, no query":
            return [WINE, self.exe["floor"], "--open-only", s, t]
        if name == "floor+2opens, FileStandardInfo":
            return [WINE, self.exe["floor"], "--standard-info", s, t]
        if name == "floor+2opens, GetFileInformationByHandle":
            return [WINE, self.exe["floor"], "--handle-info", s, t]
        if name == "xcopy":
            return [WINE, "xcopy", "/E", "/Y", "/I", s, t]
        if name == "fs_copy":
            return [WINE, self.exe["fs_copy"], s, t]
        if name == "cp -r":
            return ["cp", "-r", "-T", source, target]
        raise ValueError(name)

    def fresh_target(self, label):
        self.counter += 1
        return os.path.join(self.targets, "%s-%s-%04d" % (self.run_id, label, self.counter))

    def timed(self, argv):
        """Wall seconds and maximum RSS (KiB) of one pinned run."""
        rss_file = os.path.join(self.out, "rss.txt")
        full = ["/usr/bin/time", "-f", "%M %U %S", "-o", rss_file] + self.pinned(argv)
        prefix = os.environ.get("WINEPREFIX", "")
        wine = argv[0] == WINE
        server_before = prefix_cpu_seconds(prefix) if wine else 0.0
        start = time.perf_counter()
        result = subprocess.run(full, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        self.output = result.stdout.decode(errors="replace")
        elapsed = time.perf_counter() - start
        # The wineserver's and the services' share; a process of the prefix
        # that ended during the run takes its time away, so clamp at zero.
        server_cpu = max(0.0, prefix_cpu_seconds(prefix) - server_before) if wine else 0.0
        if result.returncode != 0:
            return elapsed, 0, "exit %d: %s" % (
                result.returncode, result.stderr.decode(errors="replace").strip()[-300:])
        with open(rss_file) as f:
            rss, user, system = f.read().split()[-3:]
        self.cpu_seconds.append(float(user) + float(system) + server_cpu)
        return elapsed, int(rss), None

    def wineserver(self):
        """This session's wineserver, found again whenever it has changed."""
        if not (self.server_pid and os.path.exists("/proc/%d" % self.server_pid)):
            self.server_pid = find_wineserver(os.environ.get("WINEPREFIX", ""))
        return self.server_pid

    def check_copy(self, name, tree, target, started_wall, overwrite):
        files, size, oldest = tree_census(target)
        problem = None
        if files != tree.files or size != tree.total_bytes:
            problem = "%d files, %d bytes (expected %d, %d)" % (files, size, tree.files, tree.total_bytes)
        elif overwrite and oldest < started_wall - 0.05:
            problem = "files not rewritten (oldest change %.3f s before the run)" % (started_wall - oldest)
        elif self.args.smoke and not same_content(tree.root, target):
            problem = "content differs"
        if problem:
            self.failures.append("%s on %s: %s" % (name, tree.name, problem))
            log("FAIL", name, tree.name, problem)

    def copy_rounds(self, tree, contenders, runs, overwrite=False, warmup=True, turn=0):
        """Round-robin: every round runs each contender once, the order turning."""
        results = {c: [] for c in contenders}
        rounds = runs + (1 if warmup else 0)
        for r in range(rounds):
            k = (r + turn) % len(contenders)
            order = contenders[k:] + contenders[:k]
            prepared = {}
            for name in order:
                target = self.fresh_target(tree.name.replace(" ", "_"))
                if overwrite:
                    subprocess.run(["cp", "-r", "-T", "--preserve=mode,timestamps", tree.root, target],
                                   check=True)
                prepared[name] = target
            subprocess.run(["sync"], check=True)
            time.sleep(0.5)
            for name in order:
                target = prepared[name]
                started_wall = time.time()
                elapsed, rss, error = self.timed(self.contender_argv(name, tree.root, target))
                if error:
                    # A peer that cannot do the job is a result; anything else
                    # failing means the benchmark is broken.
                    self.peer_failures.setdefault((tree.name, name), error)
                    if name not in PEERS:
                        self.failures.append("%s on %s: %s" % (name, tree.name, error))
                    log("failed:", name, tree.name, error)
                    continue
                self.check_copy(name, tree, target, started_wall, overwrite)
                if r > 0 or not warmup:
                    results[name].append((self.copy_seconds(name, elapsed), rss, self.cpu_seconds[-1]))
                subprocess.run(["sync"], check=True)
            log(tree.name, "round", r + 1, "of", rounds,
                " ".join("%s=%.2fs" % (n, results[n][-1][0]) for n in contenders if results[n]))
        results = {c: v for c, v in results.items() if v or c not in PEERS}
        return results

    def copy_seconds(self, name, elapsed):
        """The copy's own time where the run printed it ("setup <ms> copy <ms>": the
        waiter's window is made before overlay copies), else the run's."""
        printed = re.match(r"setup (\d+) copy (\d+)", self.output)
        if not printed:
            return elapsed
        self.setup_ms.setdefault(name, []).append(int(printed.group(1)))
        return int(printed.group(2)) / 1000.0

    def cleanup_targets(self):
        if os.path.isdir(self.targets):
            log("deleting old targets (not timed)")
            shutil.rmtree(self.targets)
            subprocess.run(["sync"], check=True)
        os.makedirs(self.targets, exist_ok=True)


# ---- The launcher wait ----------------------------------------------------------

IN_CREATE = 0x100
IN_CLOSE_WRITE = 0x8


class Inotify:
    def __init__(self, path, mask):
        self.libc = ctypes.CDLL("libc.so.6", use_errno=True)
        self.fd = self.libc.inotify_init1(os.O_CLOEXEC | os.O_NONBLOCK)
        if self.fd < 0 or self.libc.inotify_add_watch(self.fd, path.encode(), mask) < 0:
            raise OSError(ctypes.get_errno(), "inotify on " + path)

    def wait(self, timeout):
        """Monotonic time of the first event, or None after timeout seconds."""
        ready, _, _ = select.select([self.fd], [], [], timeout)
        moment = time.perf_counter()
        return moment if ready else None

    def close(self):
        os.close(self.fd)


def proc_cpu_seconds(pid):
    """CPU time of every thread of a process, from /proc (nanosecond schedstat)."""
    total = 0
    for task in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, task)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total / 1e9


def prefix_cpu_seconds(prefix):
    """CPU time of every live process of this Wine prefix: the wineserver and
    Wine's services (winedevice, services, ...) included."""
    total = 0.0
    marker = b"WINEPREFIX=" + prefix.encode() + b"\0"
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                if marker not in f.read():
                    continue
            total += proc_cpu_seconds(int(entry))
        except OSError:
            pass
    return total


def find_wineserver(prefix):
    """The wineserver of this session: the one whose environment names our prefix."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/cmdline" % entry, "rb") as f:
                words = f.read().split(b"\0")
            # Run through an emulator registered with binfmt_misc (a kernel
            # without 32-bit code), the program is the emulator's first argument.
            if not any(b"wineserver" in os.path.basename(word) for word in words[:2]):
                continue
            with open("/proc/%s/environ" % entry, "rb") as f:
                if b"WINEPREFIX=" + prefix.encode() + b"\0" in f.read():
                    return int(entry)
        except OSError:
            pass
    return 0


class WaitBench:
    def __init__(self, bench):
        self.b = bench
        self.root = os.path.join(bench.out, "wait")
        os.makedirs(self.root, exist_ok=True)
        self.source = os.path.join(self.root, "source")
        if not os.path.isdir(self.source):
            os.makedirs(self.source)
            with open(os.path.join(self.source, "first.bin"), "wb") as f:
                f.write(random.Random(7).randbytes(4096))
        self.launcher = os.path.join(self.root, "VarenkoLauncher.exe")
        shutil.copyfile(bench.exe["launcher"], self.launcher)

    def target(self):
        target = self.b.fresh_target("wait")
        os.makedirs(target)
        return target

    def start(self, argv):
        return subprocess.Popen(self.b.pinned(argv), stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def start_launcher(self, lifetime_ms):
        launcher = self.start([WINE, self.launcher, str(lifetime_ms)])
        exit_time = {}

        def watch():
            launcher.wait()
            exit_time["t"] = time.perf_counter()
        thread = threading.Thread(target=watch, daemon=True)
        thread.start()
        return launcher, thread, exit_time

    def overlay(self, target, probe=False):
        if probe:  # the sketch of a wait on the launcher's handle copies the one file itself
            return self.start([WINE, self.b.exe["wait_probe"], winpath(os.path.join(self.source, "first.bin")),
                               winpath(os.path.join(target, "first.bin"))])
        return self.start([WINE, self.b.exe["overlay"], winpath(self.source), winpath(target)])

    def finish(self, process, what):
        if process.wait(timeout=60) != 0:
            self.b.failures.append("%s exited %d" % (what, process.returncode))

    def exit_to_first_file(self, trials, settle, probe=False):
        """Delay from the launcher's exit to the first file closed after writing."""
        delays = []
        rng = random.Random(11)
        for i in range(trials):
            target = self.target()
            watch = Inotify(target, IN_CLOSE_WRITE)
            lifetime = int(1000 * settle) + rng.randint(0, 200)
            launcher, thread, exit_time = self.start_launcher(lifetime)
            time.sleep(min(0.8, settle / 2))
            overlay = self.overlay(target, probe)
            first = watch.wait(lifetime / 1000 + 30)
            thread.join(30)
            watch.close()
            self.finish(overlay, "overlay (wait trial)")
            if first is None or "t" not in exit_time:
                self.b.failures.append("wait trial %d: no first file or no launcher exit" % i)
                continue
            if first < exit_time["t"]:
                self.b.failures.append("wait trial %d: copied %.0f ms before the launcher exited"
                                       % (i, 1000 * (exit_time["t"] - first)))
                continue
            delays.append(first - exit_time["t"])
        return delays

    def cpu_while_waiting(self, window, trials, probe=False):
        """Percent of one core used by the waiting overlay process (and by the
        wineserver, which answers its snapshots) over window seconds."""
        own, server = [], []
        for _ in range(trials):
            target = self.target()
            launcher, thread, exit_time = self.start_launcher(int(1000 * (window + 4)))
            time.sleep(0.8)
            overlay = self.overlay(target, probe)
            time.sleep(1.5)
            wineserver_pid = self.b.wineserver()
            if not wineserver_pid:
                self.b.failures.append("the session's wineserver was not found")
            s0 = proc_cpu_seconds(wineserver_pid) if wineserver_pid else 0
            c0, t0 = proc_cpu_seconds(overlay.pid), time.perf_counter()
            time.sleep(window)
            c1, t1 = proc_cpu_seconds(overlay.pid), time.perf_counter()
            s1 = proc_cpu_seconds(wineserver_pid) if wineserver_pid else 0
            if overlay.poll() is not None or os.listdir(target):
                self.b.failures.append("cpu trial: overlay did not wait for the launcher")
            own.append(100 * (c1 - c0) / (t1 - t0))
            server.append(100 * (s1 - s0) / (t1 - t0))
            thread.join(window + 30)
            self.finish(overlay, "overlay (cpu trial)")
        return own, server

    def start_times(self, trials):
        """Start to first file without a launcher, against exes that exit at once."""
        results = {"overlay": [], "noop": [], "noop_gui": []}
        for _ in range(trials):
            for name in results:
                if name == "overlay":
                    target = self.target()
                    watch = Inotify(target, IN_CLOSE_WRITE)
                    t0 = time.perf_counter()
                    process = self.overlay(target)
                    first = watch.wait(30)
                    watch.close()
                    self.finish(process, "overlay (start trial)")
                    if first is None:
                        self.b.failures.append("start trial: no file written")
                        continue
                    results[name].append(first - t0)
                else:
                    t0 = time.perf_counter()
                    process = self.start([WINE, self.b.exe[name]])
                    process.wait()
                    results[name].append(time.perf_counter() - t0)
        return results

    def scan_time(self):
        launcher, thread, _ = self.start_launcher(6000)
        time.sleep(0.8)
        out = subprocess.run(self.b.pinned([WINE, self.b.exe["scan"], "200"]), capture_output=True,
                             text=True, stdin=subprocess.DEVNULL)
        thread.join(30)
        m = re.search(r"median_ms ([\d.]+) max_ms ([\d.]+) matches (\d+)", out.stdout)
        if not m or int(m.group(3)) != 200:
            self.b.failures.append("scan timer: %r" % out.stdout)
            return None, None
        return float(m.group(1)), float(m.group(2))


# ---- Relay call counts ------------------------------------------------------------

def relay_run(bench, argv, name):
    """Runs argv pinned under WINEDEBUG=+relay; returns the number of calls of
    each function and the byte counts of every NtReadFile / NtWriteFile."""
    log_file = os.path.join(bench.out, "relay-%s.log" % re.sub(r"[^\w]", "_", name))
    env = dict(os.environ, WINEDEBUG="+relay")
    with open(log_file, "wb") as f:
        subprocess.run(bench.pinned(argv), env=env, stdout=subprocess.DEVNULL, stderr=f,
                       stdin=subprocess.DEVNULL, check=True)
    counts, io = {}, {"NtReadFile": [], "NtWriteFile": []}
    call = re.compile(rb"Call ([\w-]+)\.(\w+)\(([^)]*)\)")
    with open(log_file, "rb") as f:
        for line in f:
            m = call.search(line)
            if m:
                key = m.group(2).decode()
                counts[key] = counts.get(key, 0) + 1
                if key in io:
                    arguments = m.group(3).split(b",")
                    if len(arguments) > 6:
                        io[key].append(int(arguments[6], 16))
    os.remove(log_file)
    return counts, io


def relay_counts(bench, tree, name, overwrite):
    target = bench.fresh_target("relay")
    if overwrite:
        subprocess.run(["cp", "-r", "-T", tree.root, target], check=True)
    counts, _ = relay_run(bench, bench.contender_argv(name, tree.root, target),
                          name + ("-overwrite" if overwrite else "-fresh"))
    return counts


def relay_large(bench, tree, names):
    """Reads and writes per MiB copied, and their mean size, per contender."""
    rows = {}
    for name in names:
        target = bench.fresh_target("relay")
        counts, io = relay_run(bench, bench.contender_argv(name, tree.root, target), name + "-large")
        rows[name] = (counts, io)
    return rows


def relay_wait(bench, wb):
    """Platform calls of one scan of the launcher wait: a run that waits for a
    launcher minus a run that does not, divided by the extra scans."""
    target = wb.target()
    launcher, thread, _ = wb.start_launcher(3000)
    time.sleep(0.8)
    waiting, _ = relay_run(bench, [WINE, bench.exe["overlay"], winpath(wb.source), winpath(target)],
                           "overlay-wait")
    thread.join(30)
    target = wb.target()
    direct, _ = relay_run(bench, [WINE, bench.exe["overlay"], winpath(wb.source), winpath(target)],
                          "overlay-nowait")
    scans = waiting.get("CreateToolhelp32Snapshot", 0) - direct.get("CreateToolhelp32Snapshot", 0)
    if scans <= 0:
        bench.failures.append("relay wait: overlay did not scan while the launcher ran")
        return 0, {}
    per_scan = {k: (waiting.get(k, 0) - direct.get(k, 0)) / scans for k in set(waiting) | set(direct)}
    return scans, {k: v for k, v in per_scan.items() if v >= 0.5}


# ---- The update checker ----------------------------------------------------------

def check_rounds(bench, tree, runs):
    """overlay-check on the tree, alone and against a copy of it as the game
    folder, natively and under Wine, one warm-up round first; each run must
    find no error (exit status 0)."""
    game = bench.fresh_target("check-game")
    subprocess.run(["cp", "-r", "-T", tree.root, game], check=True)
    native, exe = bench.exe["check_native"], bench.exe["check"]
    argvs = {
        "overlay-check, native": [native, tree.root],
        "overlay-check, native, with the game folder": [native, tree.root, game],
        "overlay-check.exe under Wine": [WINE, exe, winpath(tree.root)],
        "overlay-check.exe under Wine, with the game folder": [WINE, exe, winpath(tree.root), winpath(game)],
    }
    results = {name: [] for name in argvs}
    for r in range(runs + 1):
        for name, argv in argvs.items():
            elapsed, _, error = bench.timed(argv)
            if error:
                bench.failures.append("%s on %s: %s" % (name, tree.name, error))
            elif r > 0:
                results[name].append(elapsed)
        log("overlay-check round", r + 1, "of", runs + 1)
    return results


def check_section(w, tree, checks, copies):
    w("### overlay-check on %s: %d files" % (tree.name, tree.files))
    w("")
    w("| run | runs | median s | spread ± | files/s |")
    w("|---|---|---|---|---|")
    rows = list(checks.items()) + [("overlay.exe copying the tree (fresh target)",
                                    [t for t, _, _ in copies["overlay"]])]
    for name, times in rows:
        if times:
            w("| %s | %d | %.3f | %.1f%% | %.0f |" % (name, len(times), median(times), spread(times),
                                                     tree.files / median(times)))
    w("")


# ---- Report -----------------------------------------------------------------------

def fmt_ms(seconds):
    return "%.1f" % (1000 * seconds)


def copy_table(tree, results, failed, reference="overlay"):
    lines = ["| contender | runs | median s | spread ± | files/s | MiB/s | peak RSS MiB | speed vs overlay "
             "| CPU s (exe + wineserver + services) | CPU spread ± | CPU vs overlay |",
             "|---|---|---|---|---|---|---|---|---|---|---|"]
    ref = median([t for t, _, _ in results[reference]])
    ref_cpu = median([c for _, _, c in results[reference]])
    for name, samples in results.items():
        times = [t for t, _, _ in samples]
        rss = [r for _, r, _ in samples]
        cpu = [c for _, _, c in samples]
        m, mc = median(times), median(cpu)
        lines.append("| %s | %d | %.3f | %.1f%% | %.0f | %.1f | %.1f | %.2f× | %.3f | %.1f%% | %.2f× |" % (
            name, len(times), m, spread(times), tree.files / m, tree.total_bytes / MiB / m,
            median(rss) / 1024, ref / m, mc, spread(cpu), ref_cpu / mc if mc else float("inf")))
    for (tree_name, name), error in sorted(failed.items()):
        if tree_name == tree.name and name not in results:
            lines.append("| %s | 0 | failed every run: %s | | | | | | | | |" % (name, error.replace("|", "/")))
    return "\n".join(lines)


def pair_noise(results, a="overlay", b="overlay (again)"):
    ratios = [x[0] / y[0] for x, y in zip(results[a], results[b])]
    cpu = [x[2] / y[2] for x, y in zip(results[a], results[b]) if y[2]]
    cpu = cpu or [float("nan")]
    return median(ratios), min(ratios), max(ratios), median(cpu), min(cpu), max(cpu)


def speed(results, name):
    """Median seconds; infinite for a peer that failed every run."""
    if not results.get(name):
        return float("inf")
    return median([t for t, _, _ in results[name]])


def cpu_of(results, name):
    if not results.get(name):
        return float("inf")
    return median([c for _, _, c in results[name]])


def verdict(ok):
    return "**met**" if ok else "**missed**"


def loadavg():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def window_section(w, tree, names, results, setup_ms):
    ratio = pair_noise(results, names[1], names[0])
    w("### The waiter's window: overlay with it open and without (%s tree, %d rounds)" % (
        tree.name, len(results[names[0]])))
    w("")
    w("Both through one starter (bench/waiter_window.cpp), which differs only by the window. "
      "Per-round ratio with / without: copy time median %.3f, range %.3f–%.3f; CPU time (the "
      "window's process, its setup included) median %.3f, range %.3f–%.3f. Target: within 2%%: %s." % (
          ratio + (verdict(ratio[0] <= 1.02),)))
    w("")
    w("The copy is timed from overlay's start to its end; the window is made and the update "
      "listed before (the launcher exits, and overlay copies, only once the waiter is idle): "
      "median %.0f ms, which the player waits as well." % median(setup_ms.get(names[1]) or [float("nan")]))
    w("")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--cpu", type=int, default=1)
    parser.add_argument("--runs", type=int, default=0)
    parser.add_argument("--wait-trials", type=int, default=0)
    parser.add_argument("--smoke", action="store_true")
    parser.add_argument("--cpu-window", type=float, default=0.0)
    parser.add_argument("--cpu-trials", type=int, default=0)
    parser.add_argument("--skip-memory", action="store_true")
    parser.add_argument("--report", default="")
    parser.add_argument("--check-only", action="store_true")
    parser.add_argument("--window-only", action="store_true")
    args = parser.parse_args()
    one_section = args.check_only or args.window_only
    smoke = args.smoke
    runs = args.runs or (2 if smoke else 5)
    wait_trials = args.wait_trials or (3 if smoke else 24)
    cpu_window = args.cpu_window or (2.0 if smoke else 6.0)
    cpu_trials = args.cpu_trials or (1 if smoke else 3)
    os.makedirs(args.out, exist_ok=True)
    others = sorted(set(os.sched_getaffinity(0)) - {args.cpu})
    if others:  # the watcher stays off the CPU the contenders share
        os.sched_setaffinity(0, others)

    b = Bench(args)
    b.cleanup_targets()
    trees_dir = os.path.join(args.out, "trees")
    if smoke:
        small_root, small_files, small_bytes, small_dirs = small_tree(
            os.path.join(trees_dir, "smoke-small"), 200, (2, 3, 3), 1)
        large_root, large_files, large_bytes = large_tree(os.path.join(trees_dir, "smoke-large"), 2, MiB, 2)
    else:
        small_root, small_files, small_bytes, small_dirs = small_tree(
            os.path.join(trees_dir, "many-small-20000"), 20000, (5, 6, 12), 1)
        large_root, large_files, large_bytes = (None, 0, 0) if one_section else large_tree(
            os.path.join(trees_dir, "few-large-8x64"), 8, 64 * MiB, 2)
    small = Tree("many small", small_root, small_files, small_bytes)
    overwrite = Tree("overwrite", small_root, small_files, small_bytes)
    large = Tree("few large", large_root, large_files, large_bytes)
    if not (args.skip_memory or one_section):
        if smoke:
            big_root, big_files, big_bytes, _ = small_tree(os.path.join(trees_dir, "smoke-small-x10"),
                                                           2000, (2, 3, 3), 3)
        else:
            big_root, big_files, big_bytes, _ = small_tree(os.path.join(trees_dir, "many-small-200000"),
                                                           200000, (5, 6, 12), 3)
        big = Tree("memory x10", big_root, big_files, big_bytes)

    report = []
    w = report.append
    load_before = loadavg()
    started = time.time()

    log("warming the page cache")
    for t in (small,) if one_section else (small, large):
        warm(t.root)

    # The reference launcher's waiter window, paired with overlay alone in each round.
    window_names = ["overlay, no waiter window", "overlay, waiter window open"]
    if args.window_only:  # the waiter's window and overlay alone, nothing else
        window_section(w, small, window_names, b.copy_rounds(small, window_names, runs), b.setup_ms)
        print("\n".join(report))
        b.cleanup_targets()
        return 1 if b.failures else 0
    if args.check_only:  # overlay-check beside overlay's copy of the same tree, nothing else
        checks = check_rounds(b, small, runs)
        check_section(w, small, checks, b.copy_rounds(small, ["overlay"], runs))
        print("\n".join(report))
        b.cleanup_targets()
        return 1 if b.failures else 0

    # Copies. Wine peers: xcopy and std::filesystem::copy; cp -r is the native floor.
    copy_contenders = ["overlay", "floor", "xcopy", "fs_copy", "cp -r", "overlay (again)"]
    results_small = b.copy_rounds(small, copy_contenders, runs)
    checks = check_rounds(b, small, runs)
    results_window = b.copy_rounds(small, window_names, runs)
    results_over = b.copy_rounds(overwrite, ["overlay", "floor", "floor+2opens", "xcopy", "fs_copy",
                                             "cp -r", "overlay (again)"], runs, overwrite=True)
    breakdown_names = ["floor", "floor+2opens", "floor+2opens, no query", "floor+2opens, FileStandardInfo",
                       "floor+2opens, GetFileInformationByHandle"]
    breakdown = b.copy_rounds(Tree("same-object cost", small_root, small_files, small_bytes), breakdown_names,
                              2 if smoke else 3, overwrite=True, warmup=False)
    mem_runs = []
    if not args.skip_memory:
        warm(big.root)
        mem = b.copy_rounds(big, ["overlay"], 1 if smoke else 3, warmup=False)
        mem_runs = mem["overlay"]

    # The launcher wait (before any deletion, which slows file creation).
    wb = WaitBench(b)
    scan_median, scan_max = wb.scan_time()
    log("launcher wait: cpu")
    cpu_own, cpu_server = wb.cpu_while_waiting(cpu_window, cpu_trials)
    log("launcher wait: exit to first file")
    delays = wb.exit_to_first_file(wait_trials, 1.2 if smoke else 1.5)
    log("launcher wait: the sketch of a wait on the launcher's handle")
    probe_cpu, probe_server = wb.cpu_while_waiting(cpu_window, cpu_trials, probe=True)
    probe_delays = wb.exit_to_first_file(wait_trials, 1.2 if smoke else 1.5, probe=True)
    log("launcher wait: start to first file")
    starts = wb.start_times(wait_trials)

    # Relay call counts on a small tree (the smoke tree shape, 200 files).
    relay_tree_root, rf, rbytes, relay_dirs = small_tree(os.path.join(trees_dir, "relay-small"), 200, (2, 3, 3), 5)
    relay_tree = Tree("relay", relay_tree_root, rf, rbytes)
    log("relay call counts")
    relay = {
        ("overlay", False): relay_counts(b, relay_tree, "overlay", False),
        ("floor", False): relay_counts(b, relay_tree, "floor", False),
        ("overlay", True): relay_counts(b, relay_tree, "overlay", True),
        ("floor+2opens", True): relay_counts(b, relay_tree, "floor+2opens", True),
    }

    large_relay_root, lf, lbytes = large_tree(os.path.join(trees_dir, "relay-large"), 2, 4 * MiB, 6)
    large_relay_tree = Tree("relay large", large_relay_root, lf, lbytes)
    large_relay = relay_large(b, large_relay_tree, ["overlay", "floor", "xcopy", "fs_copy"])
    wait_scans, wait_per_scan = relay_wait(b, wb)

    # Few large last: it creates only a handful of files per run.
    b.cleanup_targets()
    time.sleep(2)
    results_large = {c: [] for c in copy_contenders}
    for r in range(runs + 1):
        part = b.copy_rounds(large, copy_contenders, 1, warmup=False, turn=r)
        if r > 0:
            for c in copy_contenders:
                results_large[c] += part[c]
        b.cleanup_targets()

    load_after = loadavg()
    elapsed = time.time() - started

    # ---- Report ----
    exe_size = os.path.getsize(b.exe["overlay"])
    objdump = subprocess.run(["i686-w64-mingw32-objdump", "-p", b.exe["overlay"]], capture_output=True,
                             text=True).stdout
    dlls = re.findall(r"DLL Name: (\S+)", objdump)
    system_dlls = {"kernel32.dll", "user32.dll", "shell32.dll", "msvcrt.dll", "advapi32.dll",
                   "ntdll.dll", "gdi32.dll", "ole32.dll", "shlwapi.dll", "comctl32.dll", "psapi.dll"}
    foreign = [d for d in dlls if d.lower() not in system_dlls]

    w("Machine: nproc %d, %s, %s; contenders and wineserver pinned to CPU %d." % (
        os.cpu_count(), cpu_model(), subprocess.run([WINE, "--version"], capture_output=True,
                                                   text=True).stdout.strip(), args.cpu))
    w("Load average before / after: %s / %s (other developers' builds and tests shared the machine)."
      % (load_before, load_after))
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    head = subprocess.run(["git", "-C", root, "log", "-1", "--format=%h %s"], capture_output=True,
                          text=True).stdout.strip()
    dirty = subprocess.run(["git", "-C", root, "status", "--porcelain", "--untracked-files=no", "--",
                            "app", "copy", "platform", "report", "CMakeLists.txt"],
                           capture_output=True, text=True).stdout.split("\n")
    dirty = [line[3:] for line in dirty if line.strip()]
    w("Product built from commit %s%s." % (head, "; uncommitted changes in " + ", ".join(dirty) if dirty else ", clean"))
    w("Mode: %s, %d timed runs per contender after one warm-up round; benchmark took %.0f s." % (
        "smoke" if smoke else "full", runs, elapsed))
    w("")
    for tree, results in ((small, results_small), (overwrite, results_over), (large, results_large)):
        w("### %s: %d files, %.1f MiB%s" % (tree.name, tree.files, tree.total_bytes / MiB,
                                          ", %d directories" % small_dirs if tree is small else ""))
        w("")
        w(copy_table(tree, results, b.peer_failures))
        noise = pair_noise(results)
        w("")
        w("Noise (overlay paired with itself, per-round ratio overlay / overlay again): wall time median %.3f, "
          "range %.3f–%.3f; CPU time median %.3f, range %.3f–%.3f." % noise)
        w("")

    # Targets.
    o_small, f_small = speed(results_small, "overlay"), speed(results_small, "floor")
    peers_small = min(speed(results_small, "xcopy"), speed(results_small, "fs_copy"))
    o_over, x_over = speed(results_over, "overlay"), speed(results_over, "xcopy")
    f_over, f2_over = speed(results_over, "floor"), speed(results_over, "floor+2opens")
    o_large = speed(results_large, "overlay")
    peers_large = min(speed(results_large, "xcopy"), speed(results_large, "fs_copy"))

    check_section(w, small, checks, results_small)
    window_section(w, small, window_names, results_window, b.setup_ms)

    w("### Same-object test: what the two opens cost (overwrite tree, %d rounds)" % len(breakdown["floor"]))
    w("")
    w("| variant of the bare loop | median s | spread ± | CPU s (exe + wineserver + services) | CPU spread ± |")
    w("|---|---|---|---|---|")
    for name in breakdown_names:
        times = [t for t, _, _ in breakdown[name]]
        cpu = [c for _, _, c in breakdown[name]]
        w("| %s | %.3f | %.1f%% | %.3f | %.1f%% |" % (name, median(times), spread(times), median(cpu), spread(cpu)))
    w("")

    w("### Launcher wait")
    w("")
    if scan_median is not None:
        w("One process-list scan (snapshot + walk, 200 scans): median %.2f ms, max %.2f ms." % (scan_median, scan_max))
    w("CPU while waiting (%d × %.0f s windows, percent of one core): overlay process median %.3f%% (max %.3f%%); "
      "wineserver in the same windows median %.3f%% (max %.3f%%)." % (
          len(cpu_own), cpu_window, median(cpu_own), max(cpu_own),
          median(cpu_server), max(cpu_server)))
    w("The sketch that waits on the launcher's handle (bench_wait_probe), same windows: its process median %.3f%%, "
      "wineserver median %.3f%%." % (median(probe_cpu), median(probe_server)))
    w("")
    w("| measure | trials | median ms | max ms | min ms |")
    w("|---|---|---|---|---|")
    if delays:
        w("| launcher exit → first file written | %d | %s | %s | %s |" % (
            len(delays), fmt_ms(median(delays)), fmt_ms(max(delays)), fmt_ms(min(delays))))
    if probe_delays:
        w("| sketch (bench_wait_probe: waits on the launcher's handle): launcher exit → first file | %d | %s | %s | %s |" % (
            len(probe_delays), fmt_ms(median(probe_delays)), fmt_ms(max(probe_delays)), fmt_ms(min(probe_delays))))
    for name, label in (("overlay", "overlay start → first file (no launcher)"),
                        ("noop", "start → exit, console exe that exits at once (floor)"),
                        ("noop_gui", "start → exit, windowless exe binding shell32+user32, exits at once")):
        if starts[name]:
            w("| %s | %d | %s | %s | %s |" % (label, len(starts[name]), fmt_ms(median(starts[name])),
                                            fmt_ms(max(starts[name])), fmt_ms(min(starts[name]))))
    w("")

    w("### Call counts (WINEDEBUG=+relay, %d files in %d directories)" % (relay_tree.files, relay_dirs))
    w("")
    keys = sorted(set().union(*[set(c) for c in relay.values()]))
    interesting = [k for k in keys if k in (
        "GetFileAttributesExW", "CopyFileW", "CopyFileExW", "CreateFileW", "CreateDirectoryW",
        "FindFirstFileExW", "FindNextFileW", "GetFileInformationByHandleEx", "GetFileInformationByHandle",
        "CloseHandle", "NtCreateFile", "NtOpenFile", "NtClose", "NtQueryInformationFile",
        "NtQueryAttributesFile", "NtQueryFullAttributesFile", "NtReadFile", "NtWriteFile",
        "NtSetInformationFile", "NtQueryDirectoryFile", "NtQueryVolumeInformationFile",
        "RtlDosPathNameToNtPathName_U", "CreateToolhelp32Snapshot")]
    w("| call (per file) | overlay fresh | floor fresh | overlay overwrite | floor + 2 opens overwrite |")
    w("|---|---|---|---|---|")
    for k in interesting:
        w("| %s | %s |" % (k, " | ".join("%.2f" % (relay[key].get(k, 0) / relay_tree.files) for key in (
            ("overlay", False), ("floor", False), ("overlay", True), ("floor+2opens", True)))))
    w("| all relayed calls | %s |" % " | ".join("%.1f" % (sum(relay[key].values()) / relay_tree.files) for key in (
        ("overlay", False), ("floor", False), ("overlay", True), ("floor+2opens", True))))
    w("")

    w("Large files (WINEDEBUG=+relay, %d files of %d MiB): reads and writes per MiB copied and their mean size." % (
        large_relay_tree.files, large_relay_tree.total_bytes // large_relay_tree.files // MiB))
    w("")
    w("| contender | NtReadFile per MiB | mean read KiB | NtWriteFile per MiB | mean write KiB | all relayed calls per MiB |")
    w("|---|---|---|---|---|---|")
    mib = large_relay_tree.total_bytes / MiB
    for name, (counts, io) in large_relay.items():
        reads, writes = io["NtReadFile"], io["NtWriteFile"]
        w("| %s | %.1f | %.1f | %.1f | %.1f | %.1f |" % (
            name, len(reads) / mib, (sum(reads) / len(reads) / 1024) if reads else 0,
            len(writes) / mib, (sum(writes) / len(writes) / 1024) if writes else 0,
            sum(counts.values()) / mib))
    w("")
    if wait_scans:
        w("One scan of the launcher wait (WINEDEBUG=+relay, %d scans): calls per scan: %s." % (
            wait_scans, ", ".join("%s %.1f" % (k, v) for k, v in sorted(wait_per_scan.items(), key=lambda kv: -kv[1]))))
        w("")

    w("### Exe and memory")
    w("")
    w("Release exe %s: %d bytes (%.1f KiB); imports: %s." % (
        os.path.relpath(b.exe["overlay"], os.getcwd()), exe_size, exe_size / 1024, ", ".join(dlls)))
    if mem_runs:
        rss20 = median([r for _, r, _ in results_small["overlay"]])
        rss200 = median([r for _, r, _ in mem_runs])
        w("Peak RSS of the overlay process: %d files %.1f MiB (median of %d), %d files %.1f MiB (median of %d, %.1f s each): growth %+.1f%%." % (
            small.files, rss20 / 1024, len(results_small["overlay"]), big.files, rss200 / 1024, len(mem_runs),
            median([t for t, _, _ in mem_runs]), 100 * (rss200 - rss20) / rss20))
    w("")

    w("### Targets")
    w("")
    w("| target | measured | verdict |")
    w("|---|---|---|")
    def cpu_note(results, a, others):
        best = min(cpu_of(results, n) for n in others)
        if not best or best == float("inf"):
            return "CPU of the peers not measured"
        return "CPU %.3f s vs %.3f s: %+.1f%%" % (cpu_of(results, a), best, 100 * (cpu_of(results, a) / best - 1))
    w("| many small: overlay within 10%% of the bare-loop floor | overlay %.3f s vs floor %.3f s: %+.1f%% (%s) | %s |" % (
        o_small, f_small, 100 * (o_small / f_small - 1), cpu_note(results_small, "overlay", ["floor"]),
        verdict(o_small <= 1.10 * f_small)))
    w("| many small: ≥ 1.0× the fastest Wine peer | %.2f× (fastest peer %.3f s; %s) | %s |" % (
        peers_small / o_small, peers_small, cpu_note(results_small, "overlay", PEERS), verdict(o_small <= peers_small)))
    w("| overwrite: ≥ 1.0× Wine's xcopy | %.2f× (xcopy %.3f s, overlay %.3f s; %s) | %s |" % (
        x_over / o_over, x_over, o_over, cpu_note(results_over, "overlay", ["xcopy"]), verdict(o_over <= x_over)))
    c_f, c_f2, c_o = cpu_of(results_over, "floor"), cpu_of(results_over, "floor+2opens"), cpu_of(results_over, "overlay")
    w("| overwrite: cost of the same-object test | floor %.3f s, floor + 2 opens %.3f s: the opens are %.1f%% of that run "
      "(CPU %.3f s vs %.3f s: %.1f%%); overlay vs floor + 2 opens %+.1f%% (CPU %+.1f%%) | (reported) |" % (
        f_over, f2_over, 100 * (f2_over - f_over) / f2_over, c_f, c_f2,
        100 * (c_f2 - c_f) / c_f2 if c_f2 else float("nan"),
        100 * (o_over / f2_over - 1), 100 * (c_o / c_f2 - 1) if c_f2 else float("nan")))
    w("| few large: within 5%% of the fastest Wine peer | overlay %.3f s vs %.3f s: %+.1f%% (%s) | %s |" % (
        o_large, peers_large, 100 * (o_large / peers_large - 1), cpu_note(results_large, "overlay", PEERS),
        verdict(o_large <= 1.05 * peers_large)))
    w("| wait: ≤ 1%% of one core | overlay process %.3f%% (+ wineserver %.3f%%) | %s |" % (
        median(cpu_own), median(cpu_server), verdict(median(cpu_own) <= 1.0)))
    if delays and scan_median is not None:
        w("| wait: exit → first file ≤ 100 ms + one scan (median) | %s ms vs %.1f ms | %s |" % (
            fmt_ms(median(delays)), 100 + scan_median, verdict(1000 * median(delays) <= 100 + scan_median)))
        w("| wait: exit → first file ≤ 250 ms (max) | %s ms | %s |" % (
            fmt_ms(max(delays)), verdict(1000 * max(delays) <= 250)))
    if starts["overlay"] and starts["noop"]:
        d = median(starts["overlay"]) - median(starts["noop"])
        w("| start → first file within 20 ms of the exe-start floor | %s ms vs %s ms: +%.1f ms | %s |" % (
            fmt_ms(median(starts["overlay"])), fmt_ms(median(starts["noop"])), 1000 * d, verdict(1000 * d <= 20)))
    w("| release exe ≤ 128 KiB | %.1f KiB | %s |" % (exe_size / 1024, verdict(exe_size <= 128 * 1024)))
    w("| imports only Windows system DLLs | %s | %s |" % (", ".join(dlls), verdict(not foreign)))
    if mem_runs:
        w("| memory at ×10 files within 10%% | %+.1f%% | %s |" % (
            100 * (rss200 - rss20) / rss20, verdict(rss200 <= 1.10 * rss20)))
    w("")
    if b.failures:
        w("### Benchmark failures")
        w("")
        for f in b.failures:
            w("- " + f)

    text = "\n".join(report)
    print(text)
    if args.report:
        with open(args.report, "w") as f:
            f.write(text + "\n")
    log("removing targets (not timed)")
    b.cleanup_targets()
    if b.failures:
        log("benchmark FAILED:", "; ".join(b.failures))
        return 1
    return 0


def cpu_model():
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    return "unknown CPU"


if __name__ == "__main__":
    sys.exit(main())
