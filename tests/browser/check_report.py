#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
"""Loads realcam report pages in headless Chromium (Debian's `chromium`) and
checks what a reader sees: the page loads with no network request and no
console error, and every plot has ink where the browser laid it out.

    check_report.py HARNESS REPORT.html [REPORT.html ...]

For each page: Chromium runs the harness (which reads each SVG plot's box
from the page in a frame), then takes a screenshot of the page itself at
the page's full height; each plot's box in the screenshot must hold dark
pixels. Every host name resolves to nothing, so a request to the network
would fail and show in the log. Exit status 0 when every page passes."""
import json
import os
import re
import subprocess
import sys
import tempfile

from PIL import Image

CHROMIUM = os.environ.get("CHROMIUM", "chromium")
COMMON = ["--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", "--no-first-run",
          "--host-resolver-rules=MAP * ~NOTFOUND", "--enable-logging=stderr", "--v=0",
          "--allow-file-access-from-files",
          # Chromium's own services stay quiet: what the network log shows
          # is the page's.
          "--disable-background-networking", "--disable-component-update", "--disable-sync",
          "--disable-default-apps", "--disable-extensions", "--no-default-browser-check",
          "--disable-client-side-phishing-detection", "--disable-domain-reliability",
          "--disable-features=SpellCheck,Translate,OptimizationHints,MediaRouter,AutofillServerCommunication"]


def run(args):
    return subprocess.run([CHROMIUM] + COMMON + args, capture_output=True, text=True, timeout=120)


def check(harness, page):
    problems = []
    url = "file://" + os.path.abspath(page)
    dom = run(["--virtual-time-budget=5000", "--dump-dom", "file://" + os.path.abspath(harness) + "?" + url])
    found = re.search(r"RESULT (\{.*\})", dom.stdout)
    if not found:
        return ["the harness could not read the page: " + dom.stdout[-300:] + dom.stderr[-600:]]
    result = json.loads(found.group(1).replace("&quot;", '"'))
    log = dom.stderr
    with tempfile.TemporaryDirectory() as folder:
        shot = os.path.join(folder, "page.png")
        height = max(600, int(result["height"]) + 10)
        netlog = os.path.join(folder, "net.json")
        taken = run(["--screenshot=" + shot, "--window-size=1400,%d" % height, "--log-net-log=" + netlog, url])
        log += taken.stderr
        # Every URL the page asked for, from Chromium's network log: the
        # requests whose isolation key is the page's (file://), not the
        # browser's own services.
        if os.path.exists(netlog):
            with open(netlog, errors="replace") as f:
                events = json.load(f).get("events", [])
            asked = set()
            for event in events:
                params = event.get("params", {})
                if "file://" in str(params.get("network_isolation_key", "")) and \
                        re.match(r"(https?|wss?|ftp)://", str(params.get("url", ""))):
                    asked.add(params["url"])
            problems.extend("network request: " + url for url in sorted(asked))
        if not os.path.exists(shot):
            return ["no screenshot: " + taken.stderr[-600:]]
        image = Image.open(shot).convert("L")
        for plot in result["plots"]:
            box = (int(plot["x"]), int(plot["y"]), int(plot["x"] + plot["w"]), int(plot["y"] + plot["h"]))
            if plot["w"] < 50 or plot["h"] < 50:
                problems.append("plot %s is %dx%d px" % (plot["cls"], plot["w"], plot["h"]))
                continue
            if plot["marks"] < 3:
                problems.append("plot %s at %s holds %d marks" % (plot["cls"], box, plot["marks"]))
            dark = sum(1 for v in image.crop(box).getdata() if v < 160)
            if dark < 50:
                problems.append("plot %s at %s shows no ink (%d dark pixels)" % (plot["cls"], box, dark))
    if len(result["plots"]) < 10:
        problems.append("only %d plots" % len(result["plots"]))
    for line in log.splitlines():
        # The pages hold no script: any console message is an error.
        if "CONSOLE" in line and "harness" not in line:
            problems.append("console: " + line)
        if "net::ERR" in line or "ERR_NAME_NOT_RESOLVED" in line:
            problems.append("network: " + line)
    print("%s: %d plots, page %d px high%s" % (page, len(result["plots"]), result["height"],
                                              "" if not problems else ", %d problems" % len(problems)))
    return problems


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    failed = False
    for page in sys.argv[2:]:
        for p in check(sys.argv[1], page):
            print("  " + p)
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
