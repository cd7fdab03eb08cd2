#!/usr/bin/env python3
"""Drives the page of qz470-probe serve in headless chromium for
serve_browser_test, which sends the presses and checks the LED bytes. Says
each step on a line of its own: ready, the presses shown, the answer to an
LED command, the round's ranking; or SKIP when the browser cannot start.

Usage: serve_browser.py URL
"""
import sys
import tempfile

try:
    from selenium import webdriver
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("SKIP: python3-selenium is not installed", flush=True)
    sys.exit(0)


def say(line):
    print(line, flush=True)


def text(element):
    return " ".join(element.text.split())


def main():
    profile = tempfile.TemporaryDirectory()
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    # No sandbox as root; nothing of the browser's own that reaches out.
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--user-data-dir=" + profile.name):
        options.add_argument(flag)
    try:
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    except WebDriverException as error:
        say("SKIP: chromium does not start here: " + " ".join(str(error).split())[:300])
        return 0
    try:
        wait = WebDriverWait(driver, 30)
        find = driver.find_element
        driver.get(sys.argv[1])
        wait.until(lambda d: find(By.ID, "link").text == "live" and "0x1003" in find(By.ID, "transceiver").text)
        say("ready")

        wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#presses li")) >= 2)
        say("presses: " + " | ".join(text(li) for li in driver.find_elements(By.CSS_SELECTOR, "#presses li")))

        pad = find(By.ID, "pad")
        pad.clear()
        pad.send_keys("7")
        find(By.CSS_SELECTOR, "[data-led=short]").click()
        wait.until(lambda d: find(By.ID, "led-result").text != "")
        say("led: " + text(find(By.ID, "led-result")))

        find(By.ID, "close-round").click()
        wait.until(lambda d: find(By.ID, "round-title").text == "Round 1")
        places = [text(find(By.ID, "first"))] + [text(li) for li in driver.find_elements(By.CSS_SELECTOR, "#ranking li")]
        say("round 1: " + " | ".join(places))
    finally:
        driver.quit()
    return 0


if __name__ == "__main__":
    sys.exit(main())
