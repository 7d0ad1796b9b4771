#!/usr/bin/env python3
"""The service's page in a real browser: headless Chromium through
chromedriver and Selenium against kestrivaned-demo on a free loopback port.
The page's picture must show what the virtual tower reports (GET status),
a control driven in the page must reach the tower, and a screenshot of the
page is kept.

    page_in_browser.py <kestrivaned-demo> <screenshot.png>
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

daemon, shot = sys.argv[1], sys.argv[2]
work = tempfile.mkdtemp()
proc = subprocess.Popen([daemon, "--listen", "127.0.0.1", "--port", "0", "--state-dir", work + "/state",
                         "--socket", work + "/api.sock"],
                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
driver = None


def fail(text):
    print("FAIL:", text, file=sys.stderr)
    sys.exit(1)


try:
    port = None
    for line in proc.stdout:
        m = re.match(r"kestrivaned: listening on http://127\.0\.0\.1:(\d+)/", line)
        if m:
            port = m.group(1)
        if "the page:" in line:
            break
    if port is None:
        fail("the service did not say where it listens")
    base = "http://127.0.0.1:" + port
    token = open(work + "/state/token").read().strip()

    def status():
        with urllib.request.urlopen(base + "/api/v1/towers/1") as r:
            return json.load(r)

    deadline = time.time() + 10
    while True:
        try:
            tower = status()
            break
        except Exception:
            if time.time() > deadline:
                fail("the tower did not come in step")
            time.sleep(0.1)

    options = webdriver.ChromeOptions()
    for arg in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--window-size=1000,900", "--user-data-dir=" + work + "/profile"]:
        options.add_argument(arg)
    options.binary_location = shutil.which("chromium") or "/usr/bin/chromium"
    driver = webdriver.Chrome(service=Service(shutil.which("chromedriver") or "/usr/bin/chromedriver"),
                              options=options)
    driver.get(base + "/#token=" + token)
    wait = WebDriverWait(driver, 15)
    wait.until(lambda d: d.find_elements(By.CSS_SELECTOR, "#tower-1 .row[data-segment='sound']"))
    wait.until(lambda d: d.find_element(By.ID, "link").text == "live")

    def row(key):
        return driver.find_element(By.CSS_SELECTOR, "#tower-1 .row[data-segment='%s']" % key)

    def check_picture(tower):
        for seg in tower["segments"] + [tower["sound"]]:
            key = "sound" if seg is tower["sound"] else str(seg["position"])
            r = row(key)
            picture = r.find_element(By.CSS_SELECTOR, ".seg")
            want_on = "1" if seg["present"] and seg["on"] else "0"
            if picture.get_attribute("data-on") != want_on:
                return "segment %s: the picture shows on=%s, the tower %s" % (key, picture.get_attribute("data-on"), want_on)
            if not seg["present"]:
                continue
            if r.find_element(By.TAG_NAME, "label").text != seg["name"]:
                return "segment %s: named %r, the tower %r" % (key, r.find_element(By.TAG_NAME, "label").text, seg["name"])
            chosen = Select(r.find_element(By.TAG_NAME, "select")).first_selected_option.text
            if chosen != seg["pattern"]:
                return "segment %s: pattern %r, the tower %r" % (key, chosen, seg["pattern"])
            level = r.find_element(By.CSS_SELECTOR, "input[type=number]").get_attribute("value")
            if level != str(seg["level"]):
                return "segment %s: level %r, the tower %r" % (key, level, seg["level"])
        return None

    problem = check_picture(tower)
    if problem:
        fail(problem)

    # Drive the first segment's controls: Alarm Flash at 60 %, then on.
    r = row("1")
    Select(r.find_element(By.TAG_NAME, "select")).select_by_visible_text("Alarm Flash")
    level = r.find_element(By.CSS_SELECTOR, "input[type=number]")
    level.clear()
    level.send_keys("60")
    r.find_element(By.XPATH, ".//button[text()='Set']").click()
    wait.until(lambda d: d.find_element(By.ID, "message").text == "The tower took it.")
    seg = status()["segments"][0]
    if seg["pattern"] != "Alarm Flash" or seg["level"] != 60:
        fail("the tower did not take the page's pattern: %s" % seg)
    row("1").find_element(By.CSS_SELECTOR, "button.switch").click()
    wait.until(lambda d: status()["segments"][0]["on"] is True)
    # The event stream brings the change back into the picture.
    wait.until(lambda d: row("1").find_element(By.CSS_SELECTOR, ".seg").get_attribute("data-on") == "1")
    wait.until(lambda d: check_picture(status()) is None)
    driver.save_screenshot(shot)
    if os.path.getsize(shot) < 1000:
        fail("the screenshot is empty")
    print("ok: the page shows the tower, drives it, screenshot in", shot)
finally:
    if driver is not None:
        driver.quit()
    proc.terminate()
    proc.wait(timeout=10)
    shutil.rmtree(work, ignore_errors=True)
