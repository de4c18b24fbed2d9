#!/usr/bin/python3
"""The view test's browser: headless Chromium through chromedriver. One command a
line in, one answer a line out: "open URL" (connected, password when the page asks
for one, refused REASON, or timeout), "click X Y" (at the canvas's pixel X,Y),
"key NAME" (a selenium Keys name), "canvas FILE" (what the canvas shows, as PNG)."""
import base64
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.actions.action_builder import ActionBuilder
from selenium.webdriver.common.keys import Keys

CANVAS = "document.querySelector('#noVNC_container canvas')"
STATE = """const c = %s, dlg = document.getElementById('noVNC_credentials_dlg'),
        status = document.getElementById('noVNC_status');
    if (document.documentElement.classList.contains('noVNC_connected') && c && c.width) return 'connected';
    if (dlg && dlg.classList.contains('noVNC_open')) return 'password';
    if (status && status.classList.contains('noVNC_status_error')) return 'refused ' + status.textContent;
    return '';""" % CANVAS


def open_page(driver, url):
    driver.get(url)
    deadline = time.time() + 20
    while time.time() < deadline:
        state = driver.execute_script(STATE)
        if state:
            return state
        time.sleep(0.1)
    return "timeout"


def run(driver, cmd, arg):
    if cmd == "open":
        return open_page(driver, arg)
    if cmd == "click":
        x, y = (int(v) for v in arg.split())
        left, top = driver.execute_script("const r = %s.getBoundingClientRect(); return [r.left, r.top];" % CANVAS)
        actions = ActionBuilder(driver)
        actions.pointer_action.move_to_location(int(left + x), int(top + y)).click()
        actions.perform()
    elif cmd == "key":
        ActionChains(driver).send_keys(getattr(Keys, arg)).perform()
    elif cmd == "canvas":
        data = driver.execute_script("return %s.toDataURL('image/png');" % CANVAS)
        with open(arg, "wb") as f:
            f.write(base64.b64decode(data.split(",", 1)[1]))
    else:
        return "error: unknown command " + cmd
    return "ok"


opts = webdriver.ChromeOptions()
for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
             "--disable-component-update", "--disable-sync", "--window-size=800,900", "--user-data-dir=" + sys.argv[1]):
    opts.add_argument(flag)
browser = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)
print("ready", flush=True)
try:
    for line in sys.stdin:
        cmd, _, arg = line.strip().partition(" ")
        try:
            reply = run(browser, cmd, arg)
        except Exception as e:  # the test names the command that failed
            reply = "error: %s" % str(e).splitlines()[0]
        print(reply, flush=True)
finally:
    browser.quit()
