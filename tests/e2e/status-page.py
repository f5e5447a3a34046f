"""Drives the status page in headless Chromium for status-page.sh.

Arguments: STATUS_PORT TOKEN SCREENSHOT. Waits for an upload's and a
download's rows, sees the upload's position advance, saves the screenshot,
cuts the upload through the endpoint and waits for its row to go while the
download's stays. Exits non-zero with the reason on the first failure.
"""
import sys
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

port, token, screenshot = int(sys.argv[1]), sys.argv[2], sys.argv[3]
base = "http://127.0.0.1:%d" % port


def wait_until(what, check, seconds=20):
    deadline = time.time() + seconds
    while time.time() < deadline:
        value = check()
        if value:
            return value
        time.sleep(0.2)
    sys.exit("timed out waiting for " + what)


def row(direction):
    rows = driver.find_elements(By.CSS_SELECTOR, "#transfers tr." + direction)
    return rows[0] if rows else None


def position(element):
    return int(element.find_element(By.CSS_SELECTOR, ".position").get_attribute("data-position") or 0)


options = Options()
for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--window-size=1360,620", "--user-data-dir=" + tempfile.mkdtemp(prefix="vardex-chromium-")):
    options.add_argument(flag)
options.binary_location = "/usr/bin/chromium"
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
try:
    driver.get(base + "/")
    upload = wait_until("the upload's row", lambda: row("upload"))
    download = wait_until("the download's row", lambda: row("download"))
    first = wait_until("the upload's first bytes", lambda: position(upload))
    advanced = wait_until("the upload's position to advance", lambda: position(upload) > first and position(upload))
    wait_until("a rate", lambda: "B/s" in upload.find_element(By.CSS_SELECTOR, ".rate").text and
               "\u2013" not in upload.find_element(By.CSS_SELECTOR, ".left").text)
    time.sleep(2)  # a few more seconds of progress for the picture
    driver.save_screenshot(screenshot)

    upload_id, download_id = upload.get_attribute("data-id"), download.get_attribute("data-id")
    request = urllib.request.Request("%s/transfers/%s/cut" % (base, upload_id), method="POST",
                                     headers={"Authorization": "Bearer " + token})
    with urllib.request.urlopen(request, timeout=10) as answer:
        if answer.status != 200:
            sys.exit("the cut answered %d" % answer.status)
    wait_until("the upload's row to go",
               lambda: not driver.find_elements(By.ID, "transfer-" + upload_id))
    if not driver.find_elements(By.ID, "transfer-" + download_id):
        sys.exit("the download's row went with the cut")
    print("rows %s (upload, cut) and %s (download, kept); the upload's position went from %d to %d"
          % (upload_id, download_id, first, advanced))
finally:
    driver.quit()
