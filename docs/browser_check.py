"""Checks the built site in a real browser: headless Chromium driven through Selenium.

    browser_check.py SITE [--screenshots DIR]

Serves SITE (the output of `make docs`) on 127.0.0.1 and opens every page in it. Fails on
any of: a page that does not load; a console error (a failed request included); an image
that does not render; a request to any host but the site's; a link to a page of the site
that does not exist, or to an anchor that is not on it; a search for "reset_cache" that
finds nothing. Saves screenshots of the landing page
and of the performance page into DIR. Uses Debian's chromium and chromium-driver (`make
test-docs` installs them); Selenium finds nothing to download.
"""

from __future__ import annotations

import argparse
import functools
import http.server
import os
import sys
import threading
import time
import urllib.error
import urllib.request
from pathlib import Path
from urllib.parse import urldefrag, urljoin, urlparse

from selenium import webdriver
from selenium.common.exceptions import TimeoutException, WebDriverException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

CHROMIUM = os.environ.get("CHROMIUM", "/usr/bin/chromium")
CHROMEDRIVER = os.environ.get("CHROMEDRIVER", "/usr/bin/chromedriver")
SEARCH_TERM = "reset_cache"
SCREENSHOTS = {"index.html": "landing.png", "performance.html": "performance.png"}
LOAD_TIMEOUT = 20

# Every image loaded (or failed), what the page requested, and its links.
IMAGES_JS = """
const done = arguments[arguments.length - 1];
const images = [...document.images];
Promise.all(images.map(i => i.complete ? null : new Promise(r => { i.onload = i.onerror = r; })))
  .then(() => done(images.filter(i => !(i.complete && i.naturalWidth > 0)).map(i => i.currentSrc || i.src)));
"""
RESOURCES_JS = "return performance.getEntriesByType('resource').map(e => e.name);"
LINKS_JS = "return [...document.querySelectorAll('a[href]')].map(a => a.href);"


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


def serve(site: Path) -> tuple[http.server.ThreadingHTTPServer, str]:
    handler = functools.partial(QuietHandler, directory=str(site))
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, f"http://127.0.0.1:{server.server_address[1]}/"


def browser() -> webdriver.Chrome:
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=1280,1000", "--disable-extensions", "--no-first-run",
                "--disable-background-networking", "--disable-component-update",
                "--disable-sync", "--disable-default-apps", "--hide-scrollbars"):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    driver = webdriver.Chrome(options=options, service=Service(executable_path=CHROMEDRIVER))
    driver.set_page_load_timeout(LOAD_TIMEOUT)
    driver.set_script_timeout(LOAD_TIMEOUT)
    return driver


def console_errors(driver) -> list[str]:
    return [entry["message"] for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]


def load(driver, url: str) -> None:
    driver.get(url)
    WebDriverWait(driver, LOAD_TIMEOUT).until(
        lambda d: d.execute_script("return document.readyState") == "complete")


def search(driver, url: str) -> list[str]:
    """Types SEARCH_TERM into the site's search box on `url`; the results' links."""
    load(driver, url)
    box = driver.find_element(By.CSS_SELECTOR, "input.md-search__input")
    if not box.is_displayed():  # a narrow window shows a search button instead
        driver.find_element(By.CSS_SELECTOR, "label[for='__search']").click()
    WebDriverWait(driver, LOAD_TIMEOUT).until(lambda d: box.is_displayed())
    box.click()
    box.send_keys(SEARCH_TERM)
    try:
        WebDriverWait(driver, LOAD_TIMEOUT).until(
            lambda d: d.find_elements(By.CSS_SELECTOR, ".md-search-result__item"))
    except TimeoutException:
        return []
    return [a.get_attribute("href") for a in
            driver.find_elements(By.CSS_SELECTOR, ".md-search-result__item a")]


def screenshot(driver, path: Path) -> None:
    """The whole page (up to 6,000 px tall) at the window's width."""
    height = min(driver.execute_script("return document.documentElement.scrollHeight"), 6000)
    driver.set_window_size(1280, max(height, 1000))
    path.parent.mkdir(parents=True, exist_ok=True)
    driver.save_screenshot(str(path))
    driver.set_window_size(1280, 1000)


def check(site: Path, screenshots: Path) -> list[str]:
    pages = sorted(p.relative_to(site).as_posix() for p in site.rglob("*.html")
                   if p.name != "404.html")
    if "index.html" not in pages:
        return [f"{site}: no index.html; run `make docs` first"]
    problems, links = [], {}
    server, base = serve(site)
    driver = browser()
    try:
        started = time.monotonic()
        for page in pages:
            url = urljoin(base, page)
            try:
                load(driver, url)
            except (TimeoutException, WebDriverException) as error:
                problems.append(f"{page}: did not load: {error.msg}")
                continue
            if driver.title in ("", "404 - Not found") or driver.current_url != url:
                problems.append(f"{page}: did not load (title {driver.title!r}, at {driver.current_url})")
            broken = driver.execute_async_script(IMAGES_JS)
            problems += [f"{page}: image does not render: {src}" for src in broken]
            problems += [f"{page}: request to another host: {name}"
                         for name in driver.execute_script(RESOURCES_JS)
                         if not name.startswith(base) and not name.startswith(("data:", "blob:"))]
            for href in driver.execute_script(LINKS_JS):
                if href.startswith(base):
                    links.setdefault(href, page)
            if page in SCREENSHOTS:
                screenshot(driver, screenshots / SCREENSHOTS[page])
            problems += [f"{page}: console error: {message}" for message in console_errors(driver)]
        print(f"[browser] opened {len(pages)} pages in {time.monotonic() - started:.1f} s")

        checked_anchors = 0
        for href, page in sorted(links.items()):
            target, fragment = urldefrag(href)
            try:
                with urllib.request.urlopen(target, timeout=10) as response:
                    body = response.read().decode("utf-8", "replace")
            except urllib.error.HTTPError as error:
                problems.append(f"{page}: link to a missing page: {href} ({error.code})")
                continue
            if fragment and target.endswith(".html") and f'id="{fragment}"' not in body:
                problems.append(f"{page}: link to an anchor that is not there: {href}")
            checked_anchors += bool(fragment)
        print(f"[browser] followed {len(links)} internal links ({checked_anchors} to anchors)")

        results = search(driver, base + "index.html")
        if not results:
            problems.append(f"search for {SEARCH_TERM!r} found nothing")
        problems += [f"search: console error: {message}" for message in console_errors(driver)]
        problems += [f"search: request to another host: {name}"
                     for name in driver.execute_script(RESOURCES_JS) if not name.startswith(base)]
        missing = [href for href in results if not href.startswith(base)
                   or not (site / urlparse(href).path.lstrip("/")).is_file()]
        problems += [f"search: a result links to a missing page: {href}" for href in missing]
        print(f"[browser] search for {SEARCH_TERM!r}: {len(results)} results")
    finally:
        driver.quit()
        server.shutdown()
    return problems


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("site", type=Path)
    parser.add_argument("--screenshots", type=Path, default=Path("build/docs/screenshots"))
    args = parser.parse_args()
    started = time.monotonic()
    problems = check(args.site.resolve(), args.screenshots)
    for problem in problems:
        print(f"FAIL {problem}")
    print(f"[browser] {'FAILED' if problems else 'passed'} in {time.monotonic() - started:.1f} s; "
          f"screenshots in {args.screenshots}/: {', '.join(SCREENSHOTS.values())}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
