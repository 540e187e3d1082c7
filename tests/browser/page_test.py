#!/usr/bin/env python3
"""The occupancy page in a real browser.

Starts ru-server on loopback with the example roster and a history of today's meals and
head-counts, opens its page in headless Chromium (driven through the DevTools protocol over
--remote-debugging-pipe: JSON messages ended by a NUL byte, commands on fd 3, answers on
fd 4), and checks that `lotacao` and `refeicoes-hoje` follow a head-count report and an
event upload without a reload, that the silent-turnstile mark comes and goes, that the
page fits a phone's width, and saves a screenshot.

Usage: page_test.py RU_SERVER ROSTER [--screenshot FILE] [--chromium BINARY]
Prints one line per check and ends with "browser test: N checks passed" (status 0), or
the first failure (status 1).
"""

import argparse
import base64
import json
import os
import re
import select
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.request

# Long enough for a loaded machine; the page itself asks every second.
WAIT_SECONDS = 15


class Failure(Exception):
    pass


class Browser:
    """Headless Chromium with one page, spoken to over the DevTools pipe."""

    def __init__(self, binary, profile):
        commands_r, self._commands = os.pipe()
        self._answers, answers_w = os.pipe()

        def wire():
            os.dup2(commands_r, 3)
            os.dup2(answers_w, 4)

        self._process = subprocess.Popen(
            [binary, "--headless", "--no-sandbox", "--disable-gpu",
             "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--no-first-run", "--no-default-browser-check",
             "--user-data-dir=" + profile, "--remote-debugging-pipe",
             "--window-size=1280,900", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, close_fds=False, preexec_fn=wire)
        os.close(commands_r)
        os.close(answers_w)
        self._buffer = b""
        self._next_id = 0
        self._session = None
        targets = self.call("Target.getTargets")["targetInfos"]
        page = next(t for t in targets if t["type"] == "page")
        self._session = self.call("Target.attachToTarget",
                                  {"targetId": page["targetId"], "flatten": True})["sessionId"]
        self.call("Page.enable")
        self.call("Runtime.enable")

    def call(self, method, params=None):
        self._next_id += 1
        message = {"id": self._next_id, "method": method, "params": params or {}}
        if self._session is not None and not method.startswith("Target."):
            message["sessionId"] = self._session
        os.write(self._commands, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + WAIT_SECONDS
        while True:
            while b"\0" in self._buffer:
                text, self._buffer = self._buffer.split(b"\0", 1)
                answer = json.loads(text)
                if answer.get("id") == self._next_id:
                    if "error" in answer:
                        raise Failure(method + ": " + json.dumps(answer["error"]))
                    return answer["result"]
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._answers], [], [], left)[0]:
                raise Failure(method + ": no answer from Chromium")
            chunk = os.read(self._answers, 1 << 20)
            if not chunk:
                raise Failure(method + ": Chromium went away")
            self._buffer += chunk

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate",
                           {"expression": expression, "returnByValue": True,
                            "awaitPromise": True})
        if "exceptionDetails" in result:
            raise Failure(expression + ": " + json.dumps(result["exceptionDetails"]))
        return result["result"].get("value")

    def close(self):
        try:
            self.call("Browser.close")
        except Failure:
            pass
        try:
            self._process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        os.close(self._commands)
        os.close(self._answers)


class Server:
    """ru-server on 127.0.0.1 and a port the system picks."""

    def __init__(self, binary, db, roster, hours):
        self._binary = binary
        self._db = db
        self._process = subprocess.Popen(
            [binary, "--db", db, "--import", roster, "--port", "0", "--opening-hours", hours],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self._process.stdout.readline()
        if not line.startswith("ru-server listening on 127.0.0.1:"):
            raise Failure("ru-server did not start: " + repr(line))
        self.url = "http://127.0.0.1:" + line.strip().rsplit(":", 1)[1]

    def post(self, path, body, board=None):
        headers = {"Content-Type": "application/json"}
        if board is not None:
            headers["Catraca-Board"] = board
        request = urllib.request.Request(self.url + path, data=json.dumps(body).encode(),
                                         headers=headers)
        with urllib.request.urlopen(request, timeout=10) as answer:
            if answer.status != 201:
                raise Failure("POST " + path + ": " + str(answer.status))

    def credit(self, user, amount):
        """Credit bought at the cashier: the administrator's command, beside the server."""
        done = subprocess.run([self._binary, "credit", "--db", self._db, str(user), str(amount)],
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        if done.returncode != 0:
            raise Failure("ru-server credit: " + done.stderr.strip())

    def get_json(self, path):
        with urllib.request.urlopen(self.url + path, timeout=10) as answer:
            return json.load(answer)

    def stop(self):
        """Stops it as a stop signal does; returns its exit status (a sanitizer's finding
        makes it non-zero)."""
        self._process.terminate()
        return self._process.wait(timeout=10)


def utc_iso(t):
    return time.strftime("%Y-%m-%dT%H:%M:%S.000Z", time.gmtime(t))


def local_midnight(t):
    tm = time.localtime(t)
    return time.mktime((tm.tm_year, tm.tm_mon, tm.tm_mday, 0, 0, 0, 0, 0, -1))


def clock(minutes):
    minutes = max(0, min(24 * 60, minutes))
    return "%02d:%02d" % (minutes // 60, minutes % 60)


def seed_history(server, db, now):
    """Today's earlier meals and head-counts, all at least ten minutes old; returns the
    number of meals that fall on today."""
    server.credit(1001, 500)  # bought at the cashier
    stamps = []
    inside = 0
    for k in range(90):
        server.post("/transaction/1001", {"event_id": -1})
        # Busier around the middle of the last two hours.
        at = now - 600 - 7200 + k * 80 - (k % 7) * 9
        inside = max(0, inside + (3 if k < 50 else -2) + (k % 3) - 1)
        server.post("/contador", {"v": inside})
        stamps.append(at)
    with sqlite3.connect(db, timeout=10) as con:
        meals = [r[0] for r in con.execute(
            "SELECT seq FROM transactions WHERE event = -1 AND stored_at IS NOT NULL "
            "ORDER BY seq")]
        counts = [r[0] for r in con.execute("SELECT seq FROM headcounts ORDER BY seq")]
        credit = con.execute("SELECT MAX(seq) FROM transactions WHERE event = 500").fetchone()[0]
        con.execute("UPDATE transactions SET stored_at = ? WHERE seq = ?",
                    (utc_iso(stamps[0] - 60), credit))
        for seq, at in zip(meals, stamps):
            con.execute("UPDATE transactions SET stored_at = ? WHERE seq = ?", (utc_iso(at), seq))
        for seq, at in zip(counts, stamps):
            con.execute("UPDATE headcounts SET received_at = ? WHERE seq = ?", (utc_iso(at), seq))
    midnight = local_midnight(now)
    return sum(1 for at in stamps if at >= midnight)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("ru_server")
    parser.add_argument("roster")
    parser.add_argument("--screenshot", default=None)
    parser.add_argument("--chromium", default=shutil.which("chromium") or "chromium")
    args = parser.parse_args()

    checks = 0

    def check(condition, what):
        nonlocal checks
        if not condition:
            raise Failure(what)
        checks += 1
        print("ok:", what, flush=True)

    work = tempfile.mkdtemp(prefix="ru-page-test.")
    server = browser = None
    try:
        now = time.time()
        minute = (now - local_midnight(now)) // 60
        hours = clock(int(minute - 150) // 15 * 15) + "-" + clock(int(minute + 75) // 15 * 15)
        db = os.path.join(work, "ru.db")
        server = Server(args.ru_server, db, args.roster, hours)
        meals = seed_history(server, db, now)
        data = server.get_json("/painel")
        check(data["meals_today"] == meals, "the data counts today's %d seeded meals" % meals)
        inside = data["headcount"]

        browser = Browser(args.chromium, os.path.join(work, "profile"))
        browser.call("Emulation.setDeviceMetricsOverride",
                     {"width": 1280, "height": 900, "deviceScaleFactor": 1, "mobile": False})
        # Whatever the page's Content-Security-Policy would block is counted, not hidden.
        browser.call("Page.addScriptToEvaluateOnNewDocument", {"source":
                     "window.violations = []; document.addEventListener("
                     "'securitypolicyviolation', e => window.violations.push(e.violatedDirective));"})
        browser.call("Page.navigate", {"url": server.url + "/"})

        def text(element):
            return browser.evaluate(
                "(() => { const e = document.getElementById(%s); return e ? e.textContent : null; })()"
                % json.dumps(element))

        def wait_for(what, condition):
            start = time.monotonic()
            while time.monotonic() - start < WAIT_SECONDS:
                if condition():
                    print("    (after %.1f s)" % (time.monotonic() - start), flush=True)
                    return True
                time.sleep(0.1)
            return False

        check(wait_for("first figures", lambda: text("lotacao") == str(inside)),
              "lotacao shows %d" % inside)
        check(text("refeicoes-hoje") == str(meals), "refeicoes-hoje shows %d" % meals)
        silent = data["silent"]
        check(browser.evaluate("!document.getElementById('aviso').hidden") == silent,
              "the silent-turnstile mark is %s" % ("shown" if silent else "not shown"))
        check(wait_for("chart", lambda: browser.evaluate(
            "typeof Chart !== 'undefined' && Chart.getChart('grafico') !== undefined")),
            "the chart is drawn")
        loaded = browser.evaluate("performance.timeOrigin")
        check(browser.evaluate("window.violations.length") == 0,
              "the page's policy blocks nothing the page needs")

        server.post("/contador", {"v": inside + 7})
        check(wait_for("head-count", lambda: text("lotacao") == str(inside + 7)),
              "lotacao follows POST /contador to %d" % (inside + 7))
        check(browser.evaluate("document.getElementById('aviso').hidden"),
              "a fresh report clears the silent-turnstile mark")
        server.post("/transaction/1002", {"event_id": -1})
        check(wait_for("meals", lambda: text("refeicoes-hoje") == str(meals + 1)),
              "refeicoes-hoje follows an event upload to %d" % (meals + 1))
        check(browser.evaluate("performance.timeOrigin") == loaded, "without a reload")

        # Two more boards: the figure is the sum of each board's latest count, and each
        # board has its row.
        server.post("/contador", {"v": 3}, board="norte")
        server.post("/contador", {"v": 2}, board="sul")
        total = inside + 7 + 3 + 2
        check(wait_for("boards", lambda: text("lotacao") == str(total)),
              "lotacao shows the sum of three boards, %d" % total)
        rows = browser.evaluate(
            "[...document.querySelectorAll('#placas li')].map(li => [li.dataset.placa,"
            " li.querySelector('.nome').textContent, li.querySelector('.contagem').textContent,"
            " li.querySelector('.relato').textContent, li.classList.contains('silenciosa')])")
        check([r[:3] for r in rows] == [["", "Catraca sem nome", str(inside + 7)],
                                        ["norte", "norte", "3"], ["sul", "sul", "2"]],
              "one row per board with its count: %s" % rows)
        check(all(re.match(r"^\d\d:\d\d:\d\d$", r[3]) and not r[4] for r in rows),
              "each row with its last report, none marked silent")
        check(text("em-debito") == "0", "no student overdrawn yet")
        server.post("/transaction/1004", {"event_id": -1}, board="sul")  # credit 0: a debt
        check(wait_for("overdrawn", lambda: text("em-debito") == "1"),
              "an upload below zero counts one student overdrawn")
        check(browser.evaluate("/^\\d\\d:\\d\\d:\\d\\d$/.test("
                               "document.getElementById('ultimo-relato').textContent)"),
              "the time of the last report is shown")
        page = browser.evaluate("document.body.innerText")
        for secret in ("8F3A21C0", "2021001234", "7db3c018dda763a2", "1001"):
            check(secret not in page, "no student data on the page (%s)" % secret)

        if args.screenshot:
            shot = browser.call("Page.captureScreenshot", {"format": "png"})
            with open(args.screenshot, "wb") as out:
                out.write(base64.b64decode(shot["data"]))
            print("screenshot:", args.screenshot, flush=True)

        browser.call("Emulation.setDeviceMetricsOverride",
                     {"width": 390, "height": 844, "deviceScaleFactor": 2, "mobile": True})
        check(wait_for("phone layout", lambda: browser.evaluate(
            "document.documentElement.scrollWidth <= 390")),
            "the page fits a phone's width without sideways scrolling")
    except Failure as failure:
        print("FAILED:", failure, flush=True)
        return 1
    finally:
        if browser is not None:
            browser.close()
        status = server.stop() if server is not None else 0
        shutil.rmtree(work, ignore_errors=True)
    if status != 0:
        print("FAILED: ru-server ended with status", status, flush=True)
        return 1
    print("browser test: %d checks passed" % checks)
    return 0


if __name__ == "__main__":
    sys.exit(main())
