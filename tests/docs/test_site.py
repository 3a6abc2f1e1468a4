"""The built documentation site (scripts/docs.sh), read as its users read it.

Every public name has its page in the API reference, with its Examples;
and headless Chromium (Debian's package, driven over its DevTools protocol)
loads the home page, the API page of polya_gamma, a gallery page and the
search page from the file system: the expected headings, every figure
loaded, no console errors, and a search for "exact" that lists the methods
page. Screenshots go to build/docs/screenshots/.

Run after the build: scripts/docs.sh && .venv/bin/pytest tests/docs
Outside CI the tests skip when the site or chromium is absent; in CI
(CI=true) that is a failure.
"""

from __future__ import annotations

import base64
import html.parser
import json
import os
import pathlib
import shutil
import subprocess
import tempfile
import time
import urllib.request

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
SITE = ROOT / "build" / "docs" / "html"
SCREENSHOTS = ROOT / "build" / "docs" / "screenshots"
IN_CI = os.environ.get("CI", "").lower() in ("1", "true", "yes")


def need(condition: bool, reason: str) -> None:
    if not condition:
        if IN_CI:
            pytest.fail(reason)
        pytest.skip(reason)


@pytest.fixture(scope="module")
def site() -> pathlib.Path:
    need((SITE / "index.html").is_file(), f"no built site at {SITE} (run scripts/docs.sh)")
    return SITE


def public_names():
    import vexol
    import vexol.gibbs
    import vexol.numpyro

    for module in (vexol, vexol.numpyro, vexol.gibbs):
        for name in module.__all__:
            yield f"{module.__name__}.{name}"


class _Sections(html.parser.HTMLParser):
    """The ids of a page's elements and the text of its rubrics."""

    def __init__(self):
        super().__init__()
        self.ids: set[str] = set()
        self.rubrics: list[str] = []
        self._in_rubric = False

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if attrs.get("id"):
            self.ids.add(attrs["id"])
        self._in_rubric = tag == "p" and "rubric" in (attrs.get("class") or "").split()

    def handle_data(self, data):
        if self._in_rubric and data.strip():
            self.rubrics.append(data.strip())
            self._in_rubric = False


def test_every_public_name_has_an_api_page_with_examples(site):
    problems = []
    index = (site / "api" / "index.html").read_text()
    for name in public_names():
        page = site / "api" / "generated" / f"{name}.html"
        if not page.is_file() or f"generated/{name}.html" not in index:
            problems.append(f"{name}: not in the API reference")
            continue
        sections = _Sections()
        sections.feed(page.read_text())
        if name not in sections.ids:
            problems.append(f"{name}: its page documents no object of that name")
        if "Examples" not in sections.rubrics:
            problems.append(f"{name}: no Examples section")
    assert not problems, "\n".join(problems)


# ---------------------------------------------------------------- browser


class Chromium:
    """Headless Chromium on a private profile, one page driven over CDP."""

    def __init__(self, executable: str):
        import websocket  # websocket-client, pinned in requirements-dev.txt

        self.profile = tempfile.mkdtemp(prefix="vexol-chromium-")
        self.process = subprocess.Popen(
            [
                executable,
                "--headless=new",
                "--no-sandbox",
                "--disable-gpu",
                "--no-first-run",
                "--no-default-browser-check",
                "--disable-extensions",
                "--remote-debugging-address=127.0.0.1",
                "--remote-debugging-port=0",
                f"--user-data-dir={self.profile}",
                "--window-size=1280,900",
                "about:blank",
            ],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        port_file = pathlib.Path(self.profile) / "DevToolsActivePort"
        deadline = time.monotonic() + 60
        while not port_file.is_file() or not port_file.read_text().strip():
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.close()
                raise RuntimeError("chromium did not open its DevTools port")
            time.sleep(0.1)
        port = port_file.read_text().split()[0]
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=30) as reply:
            pages = [t for t in json.load(reply) if t["type"] == "page"]
        self.socket = websocket.create_connection(pages[0]["webSocketDebuggerUrl"], timeout=60)
        self.next_id = 0
        self.events: list[dict] = []
        self.call("Page.enable")
        self.call("Runtime.enable")
        self.call("Log.enable")

    def call(self, method: str, **params):
        self.next_id += 1
        self.socket.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            message = json.loads(self.socket.recv())
            if message.get("id") == self.next_id:
                if "error" in message:
                    raise RuntimeError(f"{method}: {message['error']}")
                return message.get("result", {})
            self.events.append(message)

    def open(self, url: str) -> None:
        self.events.clear()
        self.call("Page.navigate", url=url)
        # The new document's load event, not the previous page's state.
        deadline = time.monotonic() + 60
        while not any(e.get("method") == "Page.loadEventFired" for e in self.events):
            if time.monotonic() > deadline:
                raise RuntimeError(f"{url} did not load within 60 s")
            self.events.append(json.loads(self.socket.recv()))
        assert self.evaluate("location.href").split("?")[0] == url.split("?")[0]

    def evaluate(self, expression: str):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait_for(self, expression: str, seconds: float = 30.0):
        deadline = time.monotonic() + seconds
        while True:
            value = self.evaluate(expression)
            if value or time.monotonic() > deadline:
                return value
            time.sleep(0.1)

    def console_errors(self) -> list[str]:
        errors = []
        for event in self.events:
            method, params = event.get("method"), event.get("params", {})
            if method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
                errors.append(
                    " ".join(str(a.get("value", a.get("description"))) for a in params["args"])
                )
            elif method == "Runtime.exceptionThrown":
                errors.append(params["exceptionDetails"].get("text", "exception"))
            elif method == "Log.entryAdded" and params["entry"].get("level") == "error":
                errors.append(f"{params['entry'].get('text')} ({params['entry'].get('url', '')})")
        return errors

    def screenshot(self, path: pathlib.Path) -> None:
        data = self.call("Page.captureScreenshot", format="png")["data"]
        path.write_bytes(base64.b64decode(data))

    def close(self) -> None:
        if getattr(self, "socket", None) is not None:
            self.socket.close()
        self.process.terminate()
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        shutil.rmtree(self.profile, ignore_errors=True)


@pytest.fixture(scope="module")
def browser(site):
    executable = shutil.which("chromium")
    need(executable is not None, "no chromium (scripts/bootstrap.sh installs Debian's package)")
    chromium = Chromium(executable)
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)
    yield chromium
    chromium.close()


FIGURES = """Array.from(document.images).map(i => ({src: i.src, complete: i.complete,
    width: i.naturalWidth}))"""

PAGES = {
    # name: (path, expected first heading, a figure expected on the page)
    "home": ("index.html", "vexol", False),
    "api_polya_gamma": ("api/generated/vexol.polya_gamma.html", "vexol.polya_gamma", False),
    "gallery_gibbs_logistic": (
        "gallery/gibbs_logistic.html",
        "Logistic regression on the breast-cancer data",
        True,
    ),
}


@pytest.mark.parametrize("name", sorted(PAGES))
def test_page_loads_with_its_heading_and_figures_and_no_console_errors(browser, site, name):
    path, heading, has_figure = PAGES[name]
    browser.open((site / path).as_uri())
    title = browser.evaluate(
        "document.querySelector('h1') && document.querySelector('h1').innerText"
    )
    assert title is not None and title.strip().rstrip("¶#").strip() == heading, title
    browser.wait_for("Array.from(document.images).every(i => i.complete)")
    figures = browser.evaluate(FIGURES)
    broken = [f["src"] for f in figures if f["width"] == 0]
    assert not broken, f"figures that did not load: {broken}"
    if has_figure:
        assert any("/_images/" in f["src"] for f in figures), figures
    if name == "api_polya_gamma":
        text = browser.evaluate("document.body.innerText")
        assert "Examples" in text and "jax.random.key(0)" in text
    browser.screenshot(SCREENSHOTS / f"{name}.png")
    assert browser.console_errors() == []


def test_search_for_exact_lists_the_methods_page(browser, site):
    browser.open((site / "search.html").as_uri() + "?q=exact")
    # Sphinx's search page heads its results once the search has finished.
    finished = browser.wait_for(
        "(document.querySelector('h1, h2') || {}).innerText === 'Search Results'", seconds=60
    )
    assert finished, browser.evaluate("document.body.innerText.slice(0, 500)")
    links = browser.evaluate(
        "Array.from(document.querySelectorAll('#search-results a')).map(a => a.href)"
    )
    assert links, "the search for 'exact' listed nothing"
    assert any(link.endswith("/guide/methods.html") for link in links), links
    browser.screenshot(SCREENSHOTS / "search_exact.png")
    assert browser.console_errors() == []
