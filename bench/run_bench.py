#!/usr/bin/env python3
"""Runs the httpmedia benchmarks side by side with their references and
writes bench/results.md and the window plot.

Usage: run_bench.py BUILD_DIR OUT_DIR

BUILD_DIR is the build of bench/ (bench_host, bench_inet, bench_trace,
bench_outage and the plug-in under httpmedia/src). Serves everything from a private nginx on a
loopback port, started here and stopped on the way out: plain HTTP/1.1 on one
port, HTTPS with HTTP/2 on two others (one speaking only TLS 1.2, one only
TLS 1.3), under a certificate of a CA made for the run. The link rows reach
nginx through delay_proxy.py, a loopback proxy that delays each direction by
half the round trip.

With --link-only, only the link rows are measured; the other figures are kept
from the results.json of the last full run.
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

from broadcast_server import Broadcast
from delay_proxy import DelayProxy

BIG_SIZE = 1_000_000_000  # the greedy body
SMALL_SIZE = 1_000_000  # the body of each timed open
MEDIA_SIZE = 40_000_000  # the throttled body of the window plot
# A player paused on a server sending TRICKLE bytes per second, beside a
# greedy host reading NEIGHBOUR_SIZE bytes: the two share the chunk mutex.
NEIGHBOUR_SIZE = 50_000_000
TRICKLE = 200
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
# The link rows: a round trip of LINK_RTT_MS, half of it each way.
LINK_RTT_MS = 50
LINK_ROUNDS = 9  # cold opens (a fresh process each) and drops, per protocol
LINK_SEEKS = 8  # seeks outside the ring, in one process, per protocol
SEEK_STEP = 12_000_000  # each seek this far beyond the last: outside the ring
RANGE_SPAN = 65_536  # curl's reference range requests: a bounded slice
RESUME_SIZE = 28_000_000  # the body read through a drop
# Response bytes through the connection that is cut. Over HTTP/2 the stream
# follows the probe on its connection, behind what the server sent of the
# probe's body before the probe's stream was reset (up to about 10 MB here):
# the cut must come after that, in the stream's own body.
DROP_AT = 20_000_000
# A live broadcast on loopback (broadcast_server.py) cut once after
# BROADCAST_CUT bytes, the stream's answer, and joined again.
BROADCAST_RATE = 4_000_000
BROADCAST_CUT = 1_000_000
REJOIN_ROUNDS = 9


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
    def __init__(self, root, cert, key):
        # The link servers' ports by link: plain HTTP/1.1, and HTTP/2 over
        # each TLS version.
        self.ports = {link: free_port() for link in ("http", "https", "https_tls13")}
        self.root, self.port = root, self.ports["http"]
        self.requests_log = os.path.join(root, "requests.log")
        os.makedirs(os.path.join(root, "temp"), exist_ok=True)
        conf = os.path.join(root, "nginx.conf")
        temp = os.path.join(root, "temp")
        # HTTP/2 over TLS 1.2 and over TLS 1.3, each on a port of its own.
        tls_servers = "".join(f"""  server {{
    listen 127.0.0.1:{self.ports[link]} ssl http2;
    ssl_protocols {protocol};
    ssl_certificate {cert};
    ssl_certificate_key {key};
    root {root}/www;
    location /link/ {{ access_log {self.requests_log} requests; }}
  }}
""" for link, protocol in (("https", "TLSv1.2"), ("https_tls13", "TLSv1.3")))
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
  log_format requests '$connection $request_method $uri "$http_range" $server_protocol '
                      '"$http_user_agent" $ssl_session_reused';
  client_body_temp_path {temp}/body;
  proxy_temp_path {temp}/proxy;
  server {{
    listen 127.0.0.1:{self.port};
    root {root}/www;
    location /slow/ {{ limit_rate {THROTTLE}; }}
    location /trickle/ {{ limit_rate {TRICKLE}; }}
    location /link/ {{ access_log {self.requests_log} requests; }}
  }}
{tls_servers}}}
""")
        self.process = subprocess.Popen(
            ["nginx", "-p", root, "-c", conf, "-e", os.path.join(root, "error.log")],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                if self.process.poll() is not None or time.monotonic() > deadline:
                    with open(os.path.join(root, "error.log")) as f:
                        raise RuntimeError("nginx did not start:\n" + f.read())
                time.sleep(0.05)

    def url(self, path):
        return f"http://127.0.0.1:{self.port}{path}"

    def logged_requests(self):
        """The lines of the link servers' request log so far."""
        try:
            with open(self.requests_log) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGQUIT)  # graceful: workers finish
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def make_certificates(root):
    """A CA of the run's own and a certificate it signs for 127.0.0.1. The CA
    is trusted by curl through --cacert and by the plug-in's host through
    trusted_command(); nothing else on the machine trusts it."""
    ca_key, ca = os.path.join(root, "ca.key"), os.path.join(root, "ca.pem")
    key, csr, cert = (os.path.join(root, n) for n in ("server.key", "server.csr", "server.pem"))
    ext = os.path.join(root, "server.ext")
    with open(ext, "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\nbasicConstraints=CA:FALSE\n"
                "extendedKeyUsage=serverAuth\n")
    run = lambda *args: subprocess.run(["openssl", *args], check=True, capture_output=True)
    run("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
        "-keyout", ca_key, "-out", ca, "-days", "2", "-subj", "/CN=httpmedia bench CA")
    run("req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-keyout", key,
        "-out", csr, "-subj", "/CN=127.0.0.1")
    run("x509", "-req", "-in", csr, "-CA", ca, "-CAkey", ca_key, "-CAcreateserial", "-out", cert,
        "-days", "2", "-extfile", ext)
    # The plug-in's HTTP client reads the system bundle: the bench's copy of
    # it with the CA added is mounted over it for the host's process alone.
    bundle = os.path.join(root, "bundle.pem")
    with open(bundle, "w") as out:
        with open(SYSTEM_BUNDLE) as system:
            out.write(system.read())
        with open(ca) as f:
            out.write(f.read())
    os.chmod(root, 0o755)
    return ca, cert, key, bundle


SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"


def trusted_command(bundle, command):
    """command, run in a mount namespace of its own where the system's CA
    bundle is the bench's (system CAs plus the bench CA). None where this
    cannot be done (no privilege for unshare)."""
    wrapped = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
               f'mount --bind "$0" {SYSTEM_BUNDLE} && exec "$@"', bundle, *command]
    probe = subprocess.run(wrapped[:-len(command)] + ["true"], capture_output=True)
    return wrapped if probe.returncode == 0 else None


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


def curl_ttfb(url, ca=None, extra=()):
    """curl's time to the first response byte in ms, and its HTTP version."""
    command = ["curl", "-s", "-o", "/dev/null", "-w", "%{time_starttransfer} %{http_version}",
               *extra, url]
    if ca:
        command[1:1] = ["--cacert", ca]
    _, _, out = child_usage(command)
    seconds, version = out.split()
    return float(seconds) * 1e3, version


def link_requests(nginx, before):
    """The plug-in's requests in the link log since `before` lines: their
    count, the number of connections that carried them and the number of
    those that resumed a TLS session."""
    lines = [l for l in nginx.logged_requests()[before:] if "curl/" not in l]
    return (len(lines), len({l.split()[0] for l in lines}),
            len({l.split()[0] for l in lines if l.endswith(" r")}))


# The links, by their key in results.json: their name in results.md, the
# URL's scheme, the options that hold curl to the server's one TLS version,
# and the round trips of a full TLS handshake in that version.
LINKS = {
    "https": ("HTTPS, HTTP/2, TLS 1.2", "https", ["--tlsv1.2", "--tls-max", "1.2"], 2),
    "https_tls13": ("HTTPS, HTTP/2, TLS 1.3", "https", ["--tlsv1.3"], 1),
    "http": ("HTTP/1.1", "http", [], 0),
}


def measure_link(host, plugin, nginx, ca, bundle):
    """Open, seek and drop rows over a link of LINK_RTT_MS, for each of LINKS,
    beside curl on the same proxies in the same run."""
    results = {}
    delay = LINK_RTT_MS / 2
    proxies = {link: DelayProxy(nginx.ports[link], delay).start() for link in LINKS}
    # Separate proxies for the drops, so that a drop never lands on curl.
    drop_proxies = {link: DelayProxy(nginx.ports[link], delay).start() for link in LINKS}
    wrapped = trusted_command(bundle, [host])
    try:
        for link, (_, scheme, curl_tls, _) in LINKS.items():
            proxy, drops = proxies[link], drop_proxies[link]
            curl_ca = ca if scheme == "https" else None
            run_host = lambda *args: [host, plugin, *args]
            if scheme == "https":
                if wrapped is None:
                    log(f"{link} link rows skipped: no mount namespace for the CA bundle")
                    continue
                run_host = lambda *args: [*wrapped, plugin, *args]
            row = {"open": [], "open_curl": [], "seek": [], "range_curl": [], "resume": []}
            log(f"link {link}: {LINK_ROUNDS} cold opens beside curl")
            small = proxy.url(scheme, "/link/small.bin")
            big = proxy.url(scheme, "/link/big.bin")
            mark = len(nginx.logged_requests())
            for _ in range(LINK_ROUNDS):
                _, data = checked_json(run_host("opens", small, "1"))
                row["open"].append(data["first_byte_ms"][0])
                ms, row["curl_version"] = curl_ttfb(small, curl_ca, curl_tls)
                row["open_curl"].append(ms)
            time.sleep(0.3)  # nginx logs a request when it ends
            row["open_requests"] = link_requests(nginx, mark)

            log(f"link {link}: {LINK_SEEKS} seeks outside the ring beside curl range requests")
            mark = len(nginx.logged_requests())
            _, data = checked_json(run_host("seeks", big, str(LINK_SEEKS), str(SEEK_STEP)))
            row["seek"] = data["seek_ms"]
            row["seek_rss_kb"] = data["maxrss_kb"]
            time.sleep(0.3)
            row["seek_requests"] = link_requests(nginx, mark)
            for i in range(1, LINK_SEEKS + 1):
                first = SEEK_STEP * i
                span = f"{first}-{first + RANGE_SPAN - 1}"
                ms, _ = curl_ttfb(big, curl_ca, [*curl_tls, "-r", span])
                row["range_curl"].append(ms)

            log(f"link {link}: {LINK_ROUNDS} streams cut at {DROP_AT:,} bytes")
            resume = drops.url(scheme, "/link/resume.bin")
            mark = len(nginx.logged_requests())
            for _ in range(LINK_ROUNDS):
                before = len(drops.drops)
                drops.arm_drop(DROP_AT)
                _, data = checked_json(run_host("resume", resume))
                if data["bytes"] != RESUME_SIZE or len(drops.drops) != before + 1:
                    raise RuntimeError(f"the {link} drop round went wrong: {data}")
                # The read that waited for the resumed bytes is the longest
                # of those the cut ended; the others waited for the link's pace.
                cut = drops.drops[-1]
                end = max((s for s in data["stalls"] if s[2] > cut), key=lambda s: s[2] - s[1])[2]
                row["resume"].append((end - cut) * 1e3)
            time.sleep(0.3)
            ranges = [l for l in nginx.logged_requests()[mark:] if '/resume.bin "bytes=' in l]
            if len(ranges) != LINK_ROUNDS:  # a cut that missed the stream, or a resume again
                raise RuntimeError(f"{link}: {LINK_ROUNDS} cuts, range requests:\n"
                                   + "\n".join(ranges))
            row["resume_requests"] = link_requests(nginx, mark)
            results[link] = row
    finally:
        for p in (*proxies.values(), *drop_proxies.values()):
            p.stop()
    return results


def measure_rejoin(outage):
    """The gap a rejoin leaves in a live broadcast cut on loopback: the
    broadcast's time between the last byte before the cut and the first after
    the join, and the longest wait of the host's 64 KiB reads."""
    log(f"rejoin: {REJOIN_ROUNDS} broadcasts at {BROADCAST_RATE / 1e6:g} MB/s cut at "
        f"{BROADCAST_CUT:,} bytes")
    joined, waited = [], []
    for _ in range(REJOIN_ROUNDS):
        # The probe's answer and the stream's are cut; the join's runs on.
        broadcast = Broadcast(BROADCAST_RATE, BROADCAST_CUT, BROADCAST_CUT).start()
        try:
            _, data = checked_json([outage, broadcast.url(), str(BROADCAST_RATE)])
        finally:
            broadcast.stop()
        if data["bytes"] != 2 * BROADCAST_CUT or broadcast.answers != 3:
            raise RuntimeError(f"the rejoin round went wrong: {data}, {broadcast.answers} answers")
        joined.append(data["joined_gap_ms"])
        waited.append(data["gap_ms"])
    return {"joined_gap": median(joined), "host_gap": median(waited)}


def measure_neighbour(host, plugin, nginx):
    """Greedy reads of the middle-sized body alone, and beside another process
    of the plug-in paused on a trickling server, rounds interleaved."""
    log(f"neighbour: {ROUNDS} rounds of {NEIGHBOUR_SIZE / 1e6:g} MB alone and beside a "
        f"player paused on a {TRICKLE} B/s server")
    mid = nginx.url("/mid.bin")
    alone, beside = [], []
    for _ in range(ROUNDS):
        wall, data = checked_json([host, plugin, "greedy", mid, str(READ_SIZE)])
        alone.append(wall)
        paused = subprocess.Popen([host, plugin, "idle", nginx.url("/trickle/media.bin"), "60"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            time.sleep(1)  # opened, and its download waits on the trickle
            wall, data = checked_json([host, plugin, "greedy", mid, str(READ_SIZE)])
            if data["bytes"] != NEIGHBOUR_SIZE:
                raise RuntimeError(f"beside the paused player: {data['bytes']} bytes")
            beside.append(wall)
        finally:
            paused.kill()
            paused.wait()
    return {"alone": NEIGHBOUR_SIZE / median(alone), "beside": NEIGHBOUR_SIZE / median(beside)}


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    link_only = "--link-only" in sys.argv[1:]
    build, out_dir = args[0], args[1]
    host = os.path.join(build, "bench_host")
    inet = os.path.join(build, "bench_inet")
    trace = os.path.join(build, "bench_trace")
    outage = os.path.join(build, "bench_outage")
    plugin = os.path.join(build, "httpmedia", "src", "libhttpmedia.so")
    for path in (host, inet, trace, outage, plugin):
        if not os.path.exists(path):
            sys.exit(f"bench: missing {path}")

    began = time.monotonic()
    root = tempfile.mkdtemp(prefix="httpmedia-bench-")
    os.chmod(root, 0o755)  # nginx's workers may run as another user
    www = os.path.join(root, "www")
    for sub in ("slow", "link", "trickle"):
        os.makedirs(os.path.join(www, sub))
        os.chmod(os.path.join(www, sub), 0o755)
    os.chmod(www, 0o755)
    nginx = None
    results_json = os.path.join(out_dir, "results.json")
    try:
        log("writing the bodies")
        write_file(os.path.join(www, "big.bin"), BIG_SIZE)
        write_file(os.path.join(www, "small.bin"), SMALL_SIZE)
        write_file(os.path.join(www, "slow", "media.bin"), MEDIA_SIZE)
        write_file(os.path.join(www, "mid.bin"), NEIGHBOUR_SIZE)
        write_file(os.path.join(www, "trickle", "media.bin"), RING_SIZE)
        for name in ("big.bin", "small.bin"):
            os.link(os.path.join(www, name), os.path.join(www, "link", name))
        write_file(os.path.join(www, "link", "resume.bin"), RESUME_SIZE)
        ca, cert, key, bundle = make_certificates(root)
        nginx = Nginx(root, cert, key)
        big, small = nginx.url("/big.bin"), nginx.url("/small.bin")
        if link_only:
            if not os.path.exists(results_json):
                sys.exit("bench: --link-only needs the results.json of a full run")
            with open(results_json) as f:
                results = json.load(f)
        else:
            results = {}
        results["machine"] = machine()
        results["link"] = measure_link(host, plugin, nginx, ca, bundle)
        if link_only:
            results["seconds_link"] = time.monotonic() - began
            write_outputs(results, out_dir)
            log(f"link rows done in {results['seconds_link']:.0f} s")
            return

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

        results["neighbour"] = measure_neighbour(host, plugin, nginx)
        results["rejoin"] = measure_rejoin(outage)

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
        write_outputs(results, out_dir)
        log(f"done in {results['seconds']:.0f} s")
    finally:
        if nginx is not None:
            nginx.stop()
        shutil.rmtree(root, ignore_errors=True)


def write_outputs(results, out_dir):
    path = os.path.join(out_dir, "results.json")
    if os.path.exists(path):
        with open(path) as f:
            kept = json.load(f)
        # The link rows of an earlier build, kept beside the new ones.
        if "link_before" in kept:
            results["link_before"] = kept["link_before"]
    with open(path, "w") as f:
        json.dump(results, f, indent=1)
        f.write("\n")
    write_results(results, os.path.join(out_dir, "results.md"))


# On every link: an open one round trip (the stream's request) and 20 ms
# behind curl; a seek one round trip and 30 ms.
LINK_TARGETS = {
    "open": f"≤ curl + {LINK_RTT_MS + 20} ms",
    "seek": f"≤ {LINK_RTT_MS + 30} ms",
}


def round_trips(link, key):
    """The round trips to the first byte of a row, the plug-in's and curl's.
    A fresh request costs TCP 1 + the TLS handshake + request 1; curl makes
    one for every figure."""
    tls = LINKS[link][3]
    fresh = 2 + tls
    if key == "open":  # the probe's fresh request, then the stream's request
        mine = f"fresh {fresh} + 1 = {fresh + 1}"
    else:  # on the spare TCP connection, already connected
        mine = f"spare: TLS {tls} + 1 = {tls + 1}" if tls else "spare: 1"
    return f"{mine} / fresh {fresh}"


def link_lines(r):
    link, before = r.get("link", {}), r.get("link_before", {})
    if not link:
        return []
    lines = [
        f"## Over a link with latency ({LINK_RTT_MS} ms round trip)",
        "",
        f"Through `delay_proxy.py`: {LINK_RTT_MS / 2:g} ms each way, the TCP handshake's "
        "round trip included; it models no bandwidth and no slow start, so a stream reset "
        "mid-body leaves as much on the way as its 1 MiB window and the sockets' buffers "
        "hold even just after it began, where a real link's first flight is tens of "
        "kilobytes. HTTPS is nginx speaking HTTP/2 (ALPN) under a certificate of "
        "a CA made for the run, on two ports: one held to TLS 1.2 (the last of nginx "
        f"{r['machine']['nginx']}'s default protocols), whose handshake takes two round "
        "trips, one held to TLS 1.3, whose handshake takes one; curl is held to the same "
        "version. HTTP is nginx's HTTP/1.1. Each figure is the median; curl ran on the same "
        "proxy in the same run, interleaved with the plug-in.",
        "",
        "Round trips, the plug-in's / curl's: a fresh request costs TCP 1 + TLS 2 + "
        "request 1 = 4 over TLS 1.2, 1 + 1 + 1 = 3 over TLS 1.3 and TCP 1 + request 1 = 2 "
        "over HTTP/1.1, and curl makes one for every figure. The plug-in opens with a "
        "probe's fresh request, then asks for the stream on a connection already made: one "
        "more (over HTTP/2 the probe's, where the answer comes behind what the server sent "
        "of the probe's body before the probe's stream was reset; over HTTP/1.1 the "
        "spare). A seek or a resume takes the spare, a TCP connection made beforehand "
        "beside the one in use: over HTTPS a full TLS handshake and the request (the "
        "server saw no TLS session resumed: see the counts below), over HTTP/1.1 the request "
        "alone.",
        "",
    ]
    head = "| Measure | Round trips | httpmedia | curl | Ratio | Target |"
    rule = "| --- | --- | --- | --- | --- | --- |"
    if before:
        head = ("| Measure | Round trips | httpmedia before | httpmedia now | curl | Ratio now "
                "| Target |")
        rule = "| --- | --- | --- | --- | --- | --- | --- |"
    lines += [head, rule]
    measures = [
        ("open", "open_curl", f"open to first byte (open call to the return of a 1-byte read; "
         f"{LINK_ROUNDS} cold processes)", "time to first byte"),
        ("seek", "range_curl", f"seek outside the ring to first byte ({LINK_SEEKS} seeks, "
         "call to the return of a 1-byte read)", "fresh range request, time to first byte"),
        ("resume", "range_curl", f"link cut mid-body to the resumed first byte ({LINK_ROUNDS} "
         "cuts; the first reconnection goes out at once)",
         "fresh range request, time to first byte"),
    ]
    for name in LINKS:
        if name not in link:
            continue
        row = link[name]
        for key, ref, what, ref_what in measures:
            mine, theirs = median(row[key]), median(row[ref])
            target = LINK_TARGETS.get(key, "—")
            cells = [f"{LINKS[name][0]}: {what}", round_trips(name, key)]
            if before:
                b = before.get(name, {}).get(key)
                cells.append(f"{median(b):.0f} ms" if b else "—")
            cells += [f"{mine:.0f} ms", f"{ref_what}: {theirs:.0f} ms", f"{mine / theirs:.2f}",
                      target]
            lines.append("| " + " | ".join(cells) + " |")
    lines += ["", "Requests the server logged for the plug-in (requests over connections; over "
              "HTTPS, how many of those connections resumed a TLS session):", ""]
    for name in LINKS:
        if name not in link:
            continue
        row = link[name]
        parts = []
        for key, what in (("open_requests", f"{LINK_ROUNDS} opens"),
                          ("seek_requests", f"a stream with {LINK_SEEKS} seeks"),
                          ("resume_requests", f"{LINK_ROUNDS} streams with a cut")):
            now = row[key]
            text = f"{what}: {now[0]} over {now[1]}"
            if LINKS[name][1] == "https":
                text += f", {now[2]} resumed"
            b = before.get(name, {}).get(key)
            if b:
                text += f" (before: {b[0]} over {b[1]})"
            parts.append(text)
        if "seek_rss_kb" in row:
            parts.append(f"peak memory of the stream with {LINK_SEEKS} seeks: "
                         f"{row['seek_rss_kb'] / 1024:.1f} MiB")
        lines.append(f"- {LINKS[name][0]} (curl says HTTP/{row['curl_version']}): "
                     + "; ".join(parts) + ".")
    lines.append("")
    return lines


def neighbour_lines(r):
    n = r.get("neighbour")
    if n is None:
        return []
    return [
        f"| Greedy host, {NEIGHBOUR_SIZE / 1e6:g} MB body, beside another process of the "
        f"plug-in paused on a {TRICKLE} B/s server (median of {ROUNDS}) | "
        f"{n['beside'] / 1e6:.0f} MB/s | the same body alone: {n['alone'] / 1e6:.0f} MB/s | "
        f"{n['beside'] / n['alone']:.2f} (target 0.80) |",
    ]


def rejoin_lines(r):
    j = r.get("rejoin")
    if j is None:
        return []
    return [
        f"| Gap a rejoin leaves in a live broadcast at {BROADCAST_RATE / 1e6:g} MB/s cut on "
        f"loopback: the broadcast's time from the cut to the first byte after the join "
        f"(median of {REJOIN_ROUNDS}) | {j['joined_gap']:.1f} ms | the longest wait of a "
        f"64 KiB read meanwhile: {j['host_gap']:.1f} ms | — |",
    ]


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
        *neighbour_lines(r),
        *rejoin_lines(r),
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
        *link_lines(r),
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
