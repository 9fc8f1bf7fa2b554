"""The status page and metrics of the real rv360 against rv360-sim on a pseudo-terminal, read by
the clients a lab points at them: promtool checks the /metrics text, a real Prometheus scrapes it
(rv360_pocket after a move by rv360ctl, rv360_link_up 0 once the simulator is silent), and
headless Chromium, driven over its DevTools pipe, holds the page open across the move (its DOM
then holds the new pocket, its name escaped, and the move in the table the script reloads) and
takes a picture of it. The scrape job and the queries of docs/web.md, when given, are checked by
promtool and that Prometheus. RV360_WEB_SHOT=FILE keeps the picture (scripts/screenshots.sh
uses it).

usage: web.py RV360 RV360CTL RV360_SIM [WEB_MD]; prints one line per step, exits 1 on the first wrong one.
"""
import base64
import fcntl
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.parse
import urllib.request

program, ctl, sim_program = sys.argv[1:4]
doc = sys.argv[4] if len(sys.argv) > 4 else None
work = tempfile.mkdtemp(prefix="rv360-web-")
started = []  # every process started here, stopped at the end whatever happens
TARGET = 5
NAME = 'Au <b>&"'  # as the DOM serialises it when the page escaped it:
NAME_IN_DOM = "Au &lt;b&gt;&amp;\""


def step(text):
    print("%5.1f s  %s" % (time.monotonic() - t0, text), flush=True)


def fail(text):
    raise SystemExit("FAIL: " + text)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start(args, **kw):
    process = subprocess.Popen(args, start_new_session=True, **kw)
    started.append(process)
    return process


def stop_all(*_):
    for process in reversed(started):
        if process.poll() is None:
            os.killpg(process.pid, signal.SIGTERM)
    for process in started:
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()
    shutil.rmtree(work, ignore_errors=True)


class Page:
    """A page open in headless Chromium, read over the DevTools pipe (fds 3 and 4, NUL-ended JSON)."""

    def __init__(self, browser, url):
        commands, self.pipe = os.pipe(), os.pipe()

        def wire():  # by way of copies above 9: a pipe may itself be fd 3 or 4, not inheritable
            ends = [fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (commands[0], self.pipe[1])]
            os.dup2(ends[0], 3), os.dup2(ends[1], 4)
        start(browser + ["--remote-debugging-pipe"], preexec_fn=wire, pass_fds=(3, 4),
              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(commands[0]), os.close(self.pipe[1])  # Chromium's ends: its exit is an EOF
        self.out, self.buffer, self.sent = commands[1], b"", 0
        target = self.call("Target.createTarget", url=url)["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]

    def call(self, method, session=None, **params):
        """The result of one DevTools command, events on the way skipped; a failure after 10 s."""
        self.sent += 1
        message = dict(id=self.sent, method=method, params=params)
        if session:
            message["sessionId"] = session
        os.write(self.out, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            while b"\0" in self.buffer:
                text, self.buffer = self.buffer.split(b"\0", 1)
                reply = json.loads(text)
                if reply.get("id") == self.sent:
                    return reply.get("result") or fail("Chromium: %s: %s" % (method, reply))
            if select.select([self.pipe[0]], [], [], 0.5)[0]:
                self.buffer += os.read(self.pipe[0], 65536) or fail("Chromium closed its pipe")
        fail("Chromium: no answer to " + method)

    def eval(self, expression):
        return self.call("Runtime.evaluate", self.session, expression=expression,
                         returnByValue=True)["result"].get("value")


def get(url, timeout=2):
    with urllib.request.urlopen(url, timeout=timeout) as reply:
        return reply.status, reply.read().decode()


def wait_for(what, check, seconds):
    """Polls check() until it gives something true; its last value, or a failure naming what."""
    deadline = time.monotonic() + seconds
    last = None
    while time.monotonic() < deadline:
        try:
            last = check()
        except (OSError, ValueError, KeyError) as error:
            last = error
        if last and not isinstance(last, Exception):
            return last
        time.sleep(0.2)
    fail("%s: not within %g s (last: %r)" % (what, seconds, last))


def run_checks():
    missing = [tool for tool in ("promtool", "prometheus", "chromium") if not shutil.which(tool)]
    if missing:
        fail("not installed: %s (scripts/test.sh installs them)" % ", ".join(missing))
    port, prometheus_port = free_port(), free_port()
    base = "http://127.0.0.1:%d" % port

    sim = start([sim_program, "--link", work + "/tty", "--move-ms", "50"],
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    ready = sim.stdout.readline()
    if not ready.startswith("ready"):
        fail("rv360-sim said %r" % ready)

    shutil.copy(program, work + "/rv360")
    with open(work + "/RV360.INI", "w", newline="") as ini:
        ini.write("[Application]\r\nCommPort=1\r\n[Ports]\r\nCOM1=%s/tty\r\n"
                  "[Pockets]\r\nName1=Ti\r\nName2=Cr\r\nName3=Al\r\nName%d=%s\r\n"
                  "[Web]\r\nListen=127.0.0.1:%d\r\nAllow=127.0.0.1\r\n"
                  % (work, TARGET, NAME, port))
    os.mkdir(work + "/user", 0o700)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen", XDG_RUNTIME_DIR=work + "/user",
               RV360_USER_RUNTIME_DIR=work + "/user", TMPDIR=work, HOME=work)
    start([work + "/rv360"], cwd=work, env=env, stdout=open(work + "/rv360.out", "w"),
          stderr=subprocess.STDOUT)

    def status():
        code, text = get(base + "/status.json")
        view = json.loads(text)
        return view if code == 200 and view.get("pocket") else None

    first = wait_for("the page's status with a pocket", status, 10)
    step("rv360 serves %s: pocket %s" % (base, first["pocket"]))
    if first["pocket"] == TARGET:
        fail("the simulator starts at pocket %d: the move would prove nothing" % TARGET)

    code, metrics = get(base + "/metrics")
    check = subprocess.run(["promtool", "check", "metrics"], input=metrics, text=True,
                           capture_output=True, timeout=10)
    if code != 200 or check.returncode != 0 or check.stdout.strip() or check.stderr.strip():
        fail("promtool check metrics (exit %d): %s%s\n--- the text:\n%s"
             % (check.returncode, check.stdout, check.stderr, metrics))
    step("promtool check metrics: no complaint on %d lines" % len(metrics.splitlines()))

    with open(work + "/prometheus.yml", "w") as config:
        config.write("global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: rv360\n"
                     "    static_configs:\n      - targets: ['127.0.0.1:%d']\n" % port)
    prometheus = "http://127.0.0.1:%d" % prometheus_port
    start(["prometheus", "--config.file=" + work + "/prometheus.yml",
           "--storage.tsdb.path=" + work + "/tsdb", "--web.listen-address=127.0.0.1:%d"
           % prometheus_port], stdout=subprocess.DEVNULL, stderr=open(work + "/prom.log", "w"))

    def query(expression):
        """True once the PromQL filter keeps a series."""
        code, text = get(prometheus + "/api/v1/query?query=" + urllib.parse.quote(expression))
        return code == 200 and bool(json.loads(text)["data"]["result"])

    browser = ["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
               "--user-data-dir=" + work + "/chromium", "--hide-scrollbars",
               "--window-size=480,900"]
    # Open before the move, so what it shows after comes from the script's own reloads.
    tab = Page(browser, base + "/")
    moves_js = "document.getElementById('moves').tBodies[0].innerText"
    before = wait_for("the page in Chromium", lambda: tab.eval(
        "document.getElementById('state').textContent == 'Ready' && [%s]" % moves_js), 10)[0]
    moved = subprocess.run([ctl, "--timeout", "10", "move", str(TARGET), "--wait"], env=env,
                           capture_output=True, text=True, timeout=15)
    if moved.returncode != 0:
        fail("rv360ctl move %d --wait: %s%s" % (TARGET, moved.stdout, moved.stderr))
    step("rv360ctl moved to pocket %d" % TARGET)
    for expression in ("rv360_pocket == %d" % TARGET, "rv360_moving == 0",
                       'rv360_moves_total{result="arrived"} == 1', "rv360_link_up == 1"):
        wait_for("Prometheus: " + expression, lambda: query(expression), 10)
        step("Prometheus: " + expression)

    # The page as the program writes it, for a browser without scripts: the pocket and its name
    # escaped ("<b>" raw would become a tag, '"' is escaped too in the program's text).
    code, page = get(base + "/")
    written = 'id="name">%s<' % NAME_IN_DOM.replace('"', "&quot;")
    if code != 200 or 'id="pocket">%d<' % TARGET not in page or written not in page:
        fail("the page as served lacks pocket %d or %r:\n%s" % (TARGET, written, page[:3000]))
    # As the page holds it now: the pocket and the name in their places, the name in the
    # pocket's row of the table, all as text, and the move at the top of the moves.
    def dom():
        html = tab.eval("document.body.outerHTML")
        moves = tab.eval(moves_js)
        done = moves != before and moves.split("\t")[1:3] == ["%d %s" % (TARGET, NAME), "arrived"]
        return 'id="pocket">%d<' % TARGET in html and done and html
    html = wait_for("the page's pocket %d and its move in Chromium" % TARGET, dom, 5)
    row = re.compile(r"<tr><td>%d</td>(<td>[^<]*</td>)*<td>%s</td></tr>"
                     % (TARGET, re.escape(NAME_IN_DOM)))
    if 'id="name">%s<' % NAME_IN_DOM not in html or 'id="state">Ready<' not in html \
            or not row.search(html):
        fail("Chromium's DOM lacks %r or Ready in its places:\n%s" % (NAME_IN_DOM, html[:3000]))
    step("Chromium: the open page shows pocket %d, its name escaped, Ready and the move" % TARGET)
    shot = base64.b64decode(tab.call("Page.captureScreenshot", tab.session)["data"])
    if shot[:8] != b"\x89PNG\r\n\x1a\n":
        fail("Chromium's screenshot is no PNG")
    if os.environ.get("RV360_WEB_SHOT"):
        with open(os.environ["RV360_WEB_SHOT"], "wb") as picture:
            picture.write(shot)
    step("Chromium: screenshot taken")

    sim.stdin.write("silent on\n")
    sim.stdin.flush()
    wait_for("Prometheus's rv360_link_up == 0 once silent",
             lambda: query("rv360_link_up == 0"), 10)
    step("Prometheus: rv360_link_up 0 with the simulator silent")
    if doc:
        check_doc(prometheus)


def check_doc(prometheus):
    """The documentation's scrape job is a valid configuration and its queries valid PromQL."""
    text = open(doc).read()
    config = re.findall(r"```yaml\n(.*?)```", text, re.S)
    queries = [line for block in re.findall(r"```promql\n(.*?)```", text, re.S)
               for line in block.splitlines() if line.strip()]
    queries += re.findall(r"`(rv360_\w+ == \d)`", text)
    if len(config) != 1 or len(queries) < 3:
        fail("%s: %d yaml blocks, %d queries" % (doc, len(config), len(queries)))
    with open(work + "/doc.yml", "w") as job:
        job.write(config[0])
    checked = subprocess.run(["promtool", "check", "config", work + "/doc.yml"],
                             capture_output=True, text=True, timeout=10)
    if checked.returncode != 0:
        fail("promtool check config on the documentation's job: " + checked.stdout +
             checked.stderr)
    for expression in queries:
        try:
            get(prometheus + "/api/v1/query?query=" + urllib.parse.quote(expression))
        except urllib.error.HTTPError as error:
            fail("the documentation's query %r: %s" % (expression, error.read().decode()))
    step("docs/web.md: the scrape job and %d queries valid" % len(queries))


t0 = time.monotonic()
signal.signal(signal.SIGTERM, lambda *_: sys.exit("FAIL: terminated"))
try:
    run_checks()
    print("PASS")
finally:
    stop_all()
