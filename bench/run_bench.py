#!/usr/bin/env python3
"""Runs the httpmedia benchmarks side by side with their references and
writes bench/results.md and the window plot.

Usage: run_bench.py BUILD_DIR OUT_DIR

BUILD_DIR is the build of bench/ (bench_host, bench_inet, bench_trace and the
plug-in under httpmedia/src). Serves everything from a private nginx on a
loopback port, started here and stopped on the way out.
"""
import datetime
import json
import os
import platform
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

BIG_SIZE = 1_000_000_000  # the greedy body
SMALL_SIZE = 1_000_000  # the body of each timed open
MEDIA_SIZE = 40_000_000  # the throttled body of the window plot
READ_SIZE = 64 * 1024
ROUNDS = 3  # greedy rounds through the plug-in, interleaved with the references
# curl and the Internet-client layer each take well under a second for the
# body: more rounds of them steady the median of the pair that has a target.
FAST_ROUNDS = 9
OPENS = 50
IDLE_SECONDS = 5
PACED_RATE = 1_000_000
PACED_SECONDS = 10
THROTTLE = 1_500_000  # bytes per second of the plotted stream
# A host that never pauses gets at most the read-ahead limit plus one chunk
# per 10 ms poll of the download task.
CEILING = (2_000_000 + 20_000) / 0.010
RING_SIZE = 3_000_000
STEP_TIMEOUT = 120


def log(text):
    print(f"bench: {text}", file=sys.stderr, flush=True)


def child_usage(command, accept=(0,)):
    """Runs command and returns (wall seconds, CPU seconds from wait4,
    stdout). A step running past STEP_TIMEOUT is killed and fails."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    timer = threading.Timer(STEP_TIMEOUT, process.kill)
    timer.start()
    try:
        out = process.stdout.read()
        _, status, usage = os.wait4(process.pid, 0)
    finally:
        timer.cancel()
    wall = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    if process.returncode not in accept:
        raise RuntimeError(f"{command} exited with {process.returncode}")
    return wall, usage.ru_utime + usage.ru_stime, out.decode()


def checked_json(command):
    wall, _, out = child_usage(command)
    return wall, json.loads(out)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def write_file(path, size):
    block = os.urandom(1 << 20)
    with open(path, "wb") as f:
        left = size
        while left > 0:
            piece = block[: min(left, len(block))]
            f.write(piece)
            left -= len(piece)
    os.chmod(path, 0o644)


class Nginx:
    def __init__(self, root, port):
        self.root, self.port = root, port
        os.makedirs(os.path.join(root, "temp"), exist_ok=True)
        conf = os.path.join(root, "nginx.conf")
        temp = os.path.join(root, "temp")
        with open(conf, "w") as f:
            f.write(f"""worker_processes 1;
daemon off;
pid {root}/nginx.pid;
error_log {root}/error.log warn;
events {{ worker_connections 256; }}
http {{
  access_log off;
  sendfile on;
  tcp_nopush on;
  keepalive_timeout 10;
  default_type application/octet-stream;
  client_body_temp_path {temp}/body;
  proxy_temp_path {temp}/proxy;
  server {{
    listen 127.0.0.1:{port};
    root {root}/www;
    location /slow/ {{ limit_rate {THROTTLE}; }}
  }}
}}
""")
        self.process = subprocess.Popen(
            ["nginx", "-p", root, "-c", conf, "-e", os.path.join(root, "error.log")],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", port), timeout=1).close()
                break
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    with open(os.path.join(root, "error.log")) as f:
                        raise RuntimeError("nginx did not start:\n" + f.read())
                time.sleep(0.05)

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGQUIT)  # graceful: workers finish
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def median(values):
    return statistics.median(values)


def machine():
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as f:
        mem_kb = int(f.readline().split()[1])
    debian = open("/etc/debian_version").read().strip() if os.path.exists(
        "/etc/debian_version") else "?"
    nginx = subprocess.run(["nginx", "-v"], capture_output=True, text=True).stderr.strip()
    curl = subprocess.run(["curl", "--version"], capture_output=True, text=True).stdout
    return {
        "cpu": cpu,
        "cores": os.cpu_count(),
        "memory": f"{mem_kb / 1024 / 1024:.0f} GiB",
        "os": f"Debian {debian}, Linux {platform.release()}",
        "nginx": nginx.replace("nginx version: nginx/", ""),
        "curl": curl.split("\n")[0].split(" (")[0],
    }


def plot(csv_text, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [line.split(",") for line in csv_text.strip().split("\n")[1:]]
    t = [float(r[0]) for r in rows]
    mb = lambda i: [int(r[i]) / 1e6 for r in rows]
    position, end, floor = mb(1), mb(2), mb(3)
    paused = [r[4] == "0" for r in rows]

    fig, ax = plt.subplots(figsize=(9, 5), dpi=110)
    ax.plot(t, end, label="DownloadEnd (downloaded so far)", color="tab:blue", lw=2)
    ax.plot(t, position, label="Position (host)", color="tab:red", lw=2)
    ax.plot(t, floor, label="oldest byte the ring still holds", color="tab:green", lw=1.5)
    # Drawn over the measured lines, which they meet once the window is full.
    ax.plot(t, [p + 2.0 for p in position], "--", color="black", lw=0.8, zorder=5,
            label="Position + 2,000,000 (read-ahead limit)")
    ax.plot(t, [max(p - 1.0, 0) for p in position], ":", color="black", lw=1.0, zorder=5,
            label="Position − 1,000,000 (kept reserve)")
    start = None
    for time_, p in zip(t, paused):
        if p and start is None:
            start = time_
        if not p and start is not None:
            ax.axvspan(start, time_, color="0.9", zorder=0)
            start = None
    if start is not None:
        ax.axvspan(start, t[-1], color="0.9", zorder=0)
    ax.set_xlabel("seconds since open (grey: host paused)")
    ax.set_ylabel("stream position (MB)")
    ax.set_title(f"Read at {PACED_RATE / 1e6:g} MB/s from a server throttled to "
                 f"{THROTTLE / 1e6:g} MB/s")
    ax.grid(True, alpha=0.3)
    ax.legend(loc="upper left", fontsize=8)
    fig.tight_layout()
    fig.savefig(path)


def main():
    build, out_dir = sys.argv[1], sys.argv[2]
    host = os.path.join(build, "bench_host")
    inet = os.path.join(build, "bench_inet")
    trace = os.path.join(build, "bench_trace")
    plugin = os.path.join(build, "httpmedia", "src", "libhttpmedia.so")
    for path in (host, inet, trace, plugin):
        if not os.path.exists(path):
            sys.exit(f"bench: missing {path}")

    began = time.monotonic()
    root = tempfile.mkdtemp(prefix="httpmedia-bench-")
    os.chmod(root, 0o755)  # nginx's workers may run as another user
    www = os.path.join(root, "www")
    os.makedirs(os.path.join(www, "slow"))
    os.chmod(www, 0o755)
    os.chmod(os.path.join(www, "slow"), 0o755)
    nginx = None
    try:
        log("writing the bodies")
        write_file(os.path.join(www, "big.bin"), BIG_SIZE)
        write_file(os.path.join(www, "small.bin"), SMALL_SIZE)
        write_file(os.path.join(www, "slow", "media.bin"), MEDIA_SIZE)
        nginx = Nginx(root, free_port())
        big, small = nginx.url("/big.bin"), nginx.url("/small.bin")
        results = {"machine": machine()}

        log(f"greedy: {FAST_ROUNDS} rounds of curl and the Internet-client layer, "
            f"{ROUNDS} of them with the plug-in too")
        curl_s, host_s, inet_s, host_rss = [], [], [], []
        for round_ in range(FAST_ROUNDS):
            wall, _, _ = child_usage(["curl", "-s", "-o", "/dev/null", big])
            curl_s.append(wall)
            wall, data = checked_json([inet, big])
            if data["bytes"] != BIG_SIZE:
                raise RuntimeError(f"the Internet-client layer delivered {data['bytes']} bytes")
            inet_s.append(wall)
            if round_ >= ROUNDS:
                continue
            wall, data = checked_json([host, plugin, "greedy", big, str(READ_SIZE)])
            if data["bytes"] != BIG_SIZE:
                raise RuntimeError(f"the plug-in delivered {data['bytes']} bytes")
            host_s.append(wall)
            host_rss.append(data["maxrss_kb"])
        results["greedy"] = {"curl": BIG_SIZE / median(curl_s), "host": BIG_SIZE / median(host_s),
                             "inet": BIG_SIZE / median(inet_s)}

        log(f"latency: {OPENS} opens through the plug-in and {OPENS} curl requests")
        _, data = checked_json([host, plugin, "opens", small, str(OPENS)])
        ttfb = []
        for _ in range(OPENS):
            _, _, out = child_usage(
                ["curl", "-s", "-o", "/dev/null", "-w", "%{time_starttransfer}", small])
            ttfb.append(float(out) * 1e3)
        results["latency"] = {"open": median(data["open_ms"]),
                              "first_byte": median(data["first_byte_ms"]),
                              "close": median(data["close_ms"]),
                              "curl": median(ttfb)}

        log(f"cpu: an unread stream for {IDLE_SECONDS} s, then reads at "
            f"{PACED_RATE / 1e6:g} MB/s for {PACED_SECONDS} s beside curl --limit-rate")
        _, idle = checked_json([host, plugin, "idle", big, str(IDLE_SECONDS)])
        _, paced = checked_json([host, plugin, "paced", big, str(PACED_RATE),
                                 str(PACED_SECONDS), str(READ_SIZE)])
        wall, cpu, _ = child_usage(
            ["curl", "-s", "-o", "/dev/null", "--limit-rate", str(PACED_RATE), "--max-time",
             str(PACED_SECONDS), big], accept=(0, 28))  # 28: stopped by --max-time
        results["cpu"] = {"idle": idle["cpu"] / idle["wall"], "paced": paced["cpu"] / paced["wall"],
                          "paced_bytes": paced["bytes"], "paced_late": paced["late_reads"],
                          "curl": cpu / wall}

        log("memory: a host that only loads the library")
        _, loaded = checked_json([host, plugin, "loaded"])
        results["memory"] = {"loaded_kb": loaded["maxrss_kb"], "greedy_kb": max(host_rss),
                             "paced_kb": paced["maxrss_kb"]}

        log("window: sampling the engine while a throttled stream is read at a media rate")
        _, _, csv_text = child_usage([trace, nginx.url("/slow/media.bin"), str(PACED_RATE)])
        with open(os.path.join(out_dir, "window.csv"), "w") as f:
            f.write(csv_text)
        plot(csv_text, os.path.join(out_dir, "window.png"))
        results["seconds"] = time.monotonic() - began
        write_results(results, os.path.join(out_dir, "results.md"))
        log(f"done in {results['seconds']:.0f} s")
    finally:
        if nginx is not None:
            nginx.stop()
        shutil.rmtree(root, ignore_errors=True)


def write_results(r, path):
    m, g, lat, cpu, mem = r["machine"], r["greedy"], r["latency"], r["cpu"], r["memory"]
    mbs = lambda v: f"{v / 1e6:.0f} MB/s"
    above_kb = mem["greedy_kb"] - mem["loaded_kb"]
    lines = [
        "# Benchmark results",
        "",
        f"Written by `scripts/bench.sh` on {datetime.date.today().isoformat()} "
        f"(the whole run took {r['seconds']:.0f} s).",
        "",
        f"Machine: {m['cpu']}, {m['cores']} cores, {m['memory']} memory; {m['os']}; "
        f"server nginx {m['nginx']} on 127.0.0.1; reference client {m['curl']}.",
        "",
        "| Measure | httpmedia | Reference | Ratio |",
        "| --- | --- | --- | --- |",
        f"| Greedy host, 1 GB body in 64 KiB reads (median of {ROUNDS}) | {mbs(g['host'])} | "
        f"`curl -o /dev/null` (median of {FAST_ROUNDS}): {mbs(g['curl'])} | "
        f"{g['host'] / g['curl']:.2f} |",
        f"| The same, against the engine's ceiling for a host that never pauses "
        f"(2,020,000 bytes per 10 ms poll) | {mbs(g['host'])} | {mbs(CEILING)} | "
        f"{g['host'] / CEILING:.2f} |",
        f"| Internet-client layer alone, 20,000-byte `InternetReadFile` reads "
        f"(median of {FAST_ROUNDS}) | {mbs(g['inet'])} | the same curl: {mbs(g['curl'])} | "
        f"{g['inet'] / g['curl']:.2f} (target 0.90) |",
        f"| Open latency, call to return (median of {OPENS}) | {lat['open']:.1f} ms | "
        f"curl time to first response byte: {lat['curl']:.2f} ms | "
        f"{lat['open'] / lat['curl']:.0f} |",
        f"| First-byte latency, open call to the return of a 1-byte read (median of {OPENS}) | "
        f"{lat['first_byte']:.1f} ms | the same curl figure | "
        f"{lat['first_byte'] / lat['curl']:.0f} |",
        f"| CPU of an open stream the host does not read ({IDLE_SECONDS} s) | "
        f"{cpu['idle']:.4f} CPU s per s | — | {cpu['idle']:.4f} |",
        f"| CPU of a stream read at {PACED_RATE / 1e6:g} MB/s in 64 KiB reads "
        f"({PACED_SECONDS} s) | {cpu['paced']:.4f} CPU s per s | "
        f"`curl --limit-rate {PACED_RATE}`: {cpu['curl']:.4f} CPU s per s | "
        f"{cpu['paced'] / cpu['curl']:.1f} |",
        f"| Peak memory of the greedy host above a host that only loaded the library | "
        f"{above_kb / 1024:.1f} MiB | the ring: {RING_SIZE / 2**20:.1f} MiB | "
        f"{above_kb * 1024 / RING_SIZE:.2f} |",
        "",
        f"Peak resident sets: {mem['loaded_kb'] / 1024:.1f} MiB loaded only, "
        f"{mem['greedy_kb'] / 1024:.1f} MiB greedy, {mem['paced_kb'] / 1024:.1f} MiB paced. "
        f"The paced host got {cpu['paced_bytes']:,} bytes in {PACED_SECONDS} s "
        f"({cpu['paced_late']} reads returned after their slot). "
        f"Closing a stream took {lat['close']:.1f} ms (median of {OPENS}).",
        "",
        "Throughput figures are wall-clock, process start to exit, for the plug-in's host "
        "and for curl alike. Latencies are loopback figures: the reference is curl's "
        "`time_starttransfer`, measured by curl itself.",
        "",
        "## The read-ahead window",
        "",
        "![Position and DownloadEnd over time](window.png)",
        "",
        f"A host reads a stream served at {THROTTLE / 1e6:g} MB/s at {PACED_RATE / 1e6:g} MB/s "
        "in 64 KiB reads, pauses, then reads on. The download runs ahead of the host until "
        "it is 2,000,000 bytes ahead, then follows the host; the ring keeps 1,000,000 "
        "bytes behind it. Samples every 20 ms are in `window.csv`.",
        "",
    ]
    with open(path, "w") as f:
        f.write("\n".join(lines))


if __name__ == "__main__":
    main()
