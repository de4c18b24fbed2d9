#!/usr/bin/python3
"""The browser of the view's test: headless Chromium, driven through chromedriver.
Reads one command a line and answers one line:
  open URL      load the page; answers connected, password (the page asks for one),
                refused REASON, or timeout
  click X Y     a click on the page's canvas at its pixel X,Y
  key NAME      a key press in the page (a selenium Keys name, e.g. ENTER)
  canvas FILE   what the canvas shows, as a PNG file
"""
import base64
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.actions.action_builder import ActionBuilder
from selenium.webdriver.common.keys import Keys

CANVAS = "document.querySelector('#noVNC_container canvas')"
STATE = """
    const c = %s, dlg = document.getElementById('noVNC_credentials_dlg'),
          status = document.getElementById('noVNC_status');
    if (document.documentElement.classList.contains('noVNC_connected') && c && c.width) return 'connected';
    if (dlg && dlg.classList.contains('noVNC_open')) return 'password';
    if (status && status.classList.contains('noVNC_status_error')) return 'refused ' + status.textContent;
    return '';""" % CANVAS


def start(profile):
    opts = webdriver.ChromeOptions()
    for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
                "--disable-component-update", "--disable-sync", "--user-data-dir=" + profile,
                "--window-size=800,900"):
        opts.add_argument(arg)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=opts)


def page_state(driver, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        state = driver.execute_script(STATE)
        if state:
            return state
        time.sleep(0.1)
    return "timeout"


def run(driver, cmd, arg):
    if cmd == "open":
        driver.get(arg)
        return page_state(driver, 20)
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


def main():
    driver = start(sys.argv[1])
    print("ready", flush=True)
    try:
        for line in sys.stdin:
            cmd, _, arg = line.strip().partition(" ")
            try:
                reply = run(driver, cmd, arg)
            except Exception as e:  # the test reports it with the command that failed
                reply = "error: %s" % str(e).splitlines()[0]
            print(reply, flush=True)
    finally:
        driver.quit()


main()
