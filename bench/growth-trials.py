#!/usr/bin/env python3
"""What grew between two heaps, tried on real applications: three trials,
each an OLD and a NEW heap of one JVM taken with `vesk dump` (HPROF) and `vesk
snapshot` (stream) through the agent, read by `vesk suspects OLD NEW --json`
and `vesk diff OLD NEW --retained --holders --json`. Prints the holders each
reports, with their sizes before and after; figures to read, not a verdict.

  sessions  Debian's Tomcat 10 with its examples web application: OLD after
            start-up, NEW after --sessions new sessions of the session example
            servlet. The session manager should be a holder with its own sizes.
  h2        Debian's H2 (an in-memory table with a secondary index, bench/
            H2Trial.java): OLD with --rows rows, NEW with --more rows on top.
            The table's map and the index's map should be two holders, each
            with its own figures.
  idle      Tomcat again: OLD taken while --clients clients keep requesting
            servlets and pages (their own session each), NEW idle after them.
            No holder that existed in OLD should read "from 0 B".

Installs tomcat10, tomcat10-examples and libh2-java with apt-get when missing.
"""
import http.client
import json
import os
import re
import shutil
import subprocess
import sys
import threading
import time

from benchlib import JVMS, arguments, die_with_parent, free_port, parse, start_jvm, stop_jvm, track

PACKAGES = ["tomcat10", "tomcat10-examples", "libh2-java"]
CATALINA_HOME = "/usr/share/tomcat10"
H2_JAR = "/usr/share/java/h2.jar"
SESSION_PAGE = "/examples/servlets/servlet/SessionExample"
# What the load of the idle trial asks: servlets, pages compiled from JSP, static files.
LOAD_PAGES = [SESSION_PAGE, "/examples/servlets/servlet/HelloWorldExample",
              "/examples/servlets/servlet/RequestInfoExample", "/examples/jsp/jsp2/el/basic-arithmetic.jsp",
              "/examples/jsp/dates/date.jsp", "/examples/jsp/num/numguess.jsp", "/examples/index.html"]

# Objects a request under way holds from its thread's stack, and a static or the class loader once idle.
WATCHED = ["org.apache.jasper.compiler.TldCache", "org.apache.catalina.loader.ParallelWebappClassLoader",
           "org.apache.catalina.valves.AccessLogValve"]


def install_missing():
    missing = [p for p in PACKAGES
               if subprocess.run(["dpkg", "-s", p], capture_output=True).returncode != 0]
    if missing:
        print(f"installing {' '.join(missing)}", flush=True)
        subprocess.run(["apt-get", "install", "-y", "--no-install-recommends"] + missing, check=True,
                       stdout=subprocess.DEVNULL, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))


def agent_option(a, port):
    return f"-agentpath:{a.agent}=port={port},address=127.0.0.1,cfgfile={a.config}"


def get(conn, path, cookie=None):
    conn.request("GET", path, headers={"Cookie": cookie} if cookie else {})
    response = conn.getresponse()
    response.read()
    return response


def start_tomcat(a, name):
    """Tomcat with its examples in a private base of its own, the agent attached: the process, its HTTP port and
    the agent's port, once the session example answers."""
    base = os.path.join(a.work, name)
    shutil.copytree("/etc/tomcat10", os.path.join(base, "conf"), symlinks=False)
    for sub in ("logs", "work", "temp", "webapps"):
        os.makedirs(os.path.join(base, sub))
    http_port, agent_port = free_port(), free_port()
    server = os.path.join(base, "conf", "server.xml")
    with open(server) as f:
        text = f.read()
    with open(server, "w") as f:
        f.write(text.replace('port="8080"', f'port="{http_port}" address="127.0.0.1"'))
    env = dict(os.environ, CATALINA_HOME=CATALINA_HOME, CATALINA_BASE=base, CATALINA_TMPDIR=os.path.join(base, "temp"),
               JAVA_HOME=a.jdk, CATALINA_OPTS=f"{agent_option(a, agent_port)} -Xmx{a.xmx}")
    out = open(os.path.join(a.work, name + ".out"), "w")
    proc = subprocess.Popen([f"{CATALINA_HOME}/bin/catalina.sh", "run"], env=env, stdout=out,
                            stderr=subprocess.STDOUT, preexec_fn=die_with_parent)
    track(proc, a.work)
    deadline = time.time() + 300
    while time.time() < deadline:
        if proc.poll() is not None:
            raise RuntimeError(f"{name}: Tomcat ended early; see {out.name}")
        try:
            conn = http.client.HTTPConnection("127.0.0.1", http_port, timeout=30)
            if get(conn, SESSION_PAGE).status == 200:
                conn.close()
                return proc, http_port, agent_port
        except OSError:
            pass
        time.sleep(0.5)
    raise RuntimeError(f"{name}: Tomcat not up in time")


def take(a, agent_port, prefix):
    """OLD or NEW as an HPROF dump and as a snapshot stream."""
    for command, ext in (("dump", "hprof"), ("snapshot", "vsnap")):
        subprocess.run([a.vesk, "--port", str(agent_port), command, "-o", f"{prefix}.{ext}"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def compare(a, old, new, every=False):
    """The holders suspects and diff --holders report on one pair of files; every: suspects lists every holder
    that grew at all."""
    def run(args):
        return json.loads(subprocess.run([a.vesk] + args, check=True, capture_output=True, text=True).stdout)

    wider = ["--growth-threshold", "0", "-n", "100000"] if every else ["-n", str(a.rows_shown)]
    suspects = run(["suspects", old, new, "--json"] + wider)
    diff = run(["diff", old, new, "--retained", "--holders", "--json"])
    return {"suspects": suspects["growth"], "diff --holders": diff["holders"],
            "reachable": (suspects["reachableBefore"], suspects["reachable"])}


def roots(a, old, new):
    """Each watched class's largest instance in OLD and NEW: how its shortest path starts, and what it retains."""
    for cls in WATCHED:
        cells = []
        for path in (old, new):
            found = json.loads(subprocess.run([a.vesk, "path", path, "--class", cls, "-n", "1", "--json"],
                                              check=True, capture_output=True, text=True).stdout)
            if not found:
                cells.append("none")
                continue
            first = found[0]["steps"][0]["class"] if found[0]["steps"] else ""
            cells.append(f"root {found[0]['root']['kind']} ({first}), retains {mib(found[0]['retained'])}")
        print(f"  {cls}: OLD {cells[0]}; NEW {cells[1]}")


def mib(n):
    return f"{n / 2**20:,.2f} MiB" if n >= 2**20 else f"{n / 1024:,.1f} KiB" if n >= 1024 else f"{n} B"


def holder_name(row):
    """The holder, by the last two steps of its path."""
    return " ".join(row["path"][-2:]) if len(row["path"]) > 1 else row["path"][0]


def show(trial, kind, found, pick=None, shown=10):
    """The holders each command reports, with their sizes: the first shown and every one from 0 B; those pick()
    selects marked with *."""
    before, after = found["reachable"]
    print(f"\n{trial}, {kind}: reachable {mib(before)} -> {mib(after)}")
    for command in ("suspects", "diff --holders"):
        rows = found[command]
        zero = sum(1 for r in rows if r["retainedBefore"] == 0)
        print(f"  {command}: {len(rows)} holders, {zero} from 0 B")
        for i, r in enumerate(rows):
            if i >= shown and r["retainedBefore"] > 0:
                continue
            mark = "*" if pick and pick(r) else " "
            print(f"   {mark} {r['class']}: {mib(r['retainedBefore'])} -> {mib(r['retainedAfter'])}"
                  f" (+{mib(r['retainedAfter'] - r['retainedBefore'])}); {holder_name(r)}")


def sessions_trial(a):
    proc, http_port, agent_port = start_tomcat(a, "tomcat-sessions")
    try:
        prefix = os.path.join(a.work, "sessions")
        take(a, agent_port, prefix + "-old")
        conn = http.client.HTTPConnection("127.0.0.1", http_port, timeout=60)
        for _ in range(a.sessions):  # no cookie sent back: a new session each time
            if get(conn, SESSION_PAGE).status != 200:
                raise RuntimeError("session example failed")
        conn.close()
        take(a, agent_port, prefix + "-new")
    finally:
        stop_jvm(proc)
    manager = lambda r: "Manager" in r["class"] or "StandardManager" in holder_name(r)
    for ext in ("hprof", "vsnap"):
        show("Tomcat sessions", ext, compare(a, f"{prefix}-old.{ext}", f"{prefix}-new.{ext}"), manager, a.rows_shown)


def h2_trial(a):
    classes = os.path.join(a.work, "h2-classes")
    subprocess.run([f"{a.jdk}/bin/javac", "--release", "17", "-cp", H2_JAR, "-d", classes,
                    os.path.join(os.path.dirname(os.path.abspath(__file__)), "H2Trial.java")], check=True)
    agent_port = free_port()
    trigger = os.path.join(a.work, "h2-grow")
    proc, _ = start_jvm([f"{a.jdk}/bin/java", agent_option(a, agent_port), "-Xmx2g", "-cp", f"{classes}:{H2_JAR}",
                         "H2Trial", str(a.rows), trigger, str(a.more)], a.work, "h2", {})
    try:
        prefix = os.path.join(a.work, "h2")
        take(a, agent_port, prefix + "-old")
        open(trigger, "w").close()
        output = os.path.join(a.work, "h2.out")
        deadline = time.time() + 1800
        while not re.search(r"BENCH GROWN", open(output).read()):
            if proc.poll() is not None or time.time() > deadline:
                raise RuntimeError(f"H2 did not grow; see {output}")
            time.sleep(0.5)
        take(a, agent_port, prefix + "-new")
    finally:
        stop_jvm(proc)
    maps = lambda r: r["class"].startswith("org.h2.mvstore.") and r["class"].endswith("MVMap")
    for ext in ("hprof", "vsnap"):
        show("H2 table and index", ext, compare(a, f"{prefix}-old.{ext}", f"{prefix}-new.{ext}"), maps, a.rows_shown)


def load(http_port, stop, errors, done):
    """One client: its own session, kept by its cookie, asking the load pages in turn until stopped; counts its
    requests in done."""
    conn = http.client.HTTPConnection("127.0.0.1", http_port, timeout=60)
    cookie = None
    try:
        while not stop.is_set():
            for page in LOAD_PAGES:
                response = get(conn, page, cookie)
                done.append(1)
                set_cookie = response.getheader("Set-Cookie")
                if set_cookie:
                    cookie = set_cookie.split(";", 1)[0]
    except (OSError, http.client.HTTPException) as e:
        errors.append(e)


def idle_trial(a):
    proc, http_port, agent_port = start_tomcat(a, "tomcat-idle")
    try:
        prefix = os.path.join(a.work, "idle")
        stop, errors, done = threading.Event(), [], []
        clients = [threading.Thread(target=load, args=(http_port, stop, errors, done)) for _ in range(a.clients)]
        for c in clients:
            c.start()
        time.sleep(a.warm)  # every page compiled and asked a few times before OLD
        before = len(done)
        take(a, agent_port, prefix + "-old")
        print(f"\nTomcat under load: {before:,} requests in the {a.warm} s before OLD,"
              f" {len(done) - before:,} while OLD was taken", flush=True)
        stop.set()
        for c in clients:
            c.join()
        if errors:
            raise RuntimeError(f"load failed: {errors[0]}")
        time.sleep(5)
        take(a, agent_port, prefix + "-new")
    finally:
        stop_jvm(proc)
    for ext in ("hprof", "vsnap"):
        print(f"\nWhere the watched objects hang, {ext}:")
        roots(a, f"{prefix}-old.{ext}", f"{prefix}-new.{ext}")
        show("Tomcat under load, then idle (suspects: every holder that grew)", ext,
             compare(a, f"{prefix}-old.{ext}", f"{prefix}-new.{ext}", every=True), shown=a.rows_shown)


def main():
    p = arguments(__doc__, several_jdks=False)
    p.add_argument("--trials", default="sessions,h2,idle", help="which trials, in order")
    p.add_argument("--sessions", type=int, default=5000, help="new sessions between OLD and NEW")
    p.add_argument("--rows", type=int, default=20000, help="H2 rows in OLD")
    p.add_argument("--more", type=int, default=200000, help="H2 rows added for NEW")
    p.add_argument("--clients", type=int, default=4, help="clients keeping Tomcat busy while OLD is taken")
    p.add_argument("--warm", type=int, default=20, help="seconds of load before OLD")
    p.add_argument("--xmx", default="512m", help="Tomcat's heap")
    p.add_argument("--rows-shown", type=int, default=10, help="-n of suspects, and holders shown of each list")
    a = parse(p)
    install_missing()
    trials = {"sessions": sessions_trial, "h2": h2_trial, "idle": idle_trial}
    try:
        for name in a.trials.split(","):
            trials[name](a)
    finally:
        for proc in JVMS:
            stop_jvm(proc)


if __name__ == "__main__":
    sys.exit(main())
