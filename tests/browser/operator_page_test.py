#!/usr/bin/python3
"""The operator's page in a real browser: headless Chromium, driven by Selenium, against the real
player playing real clips. It signs in (a wrong token first), names the clip that plays, shows a
screenshot of the clip's colour, follows an item change by itself, and leaves no error in the
browser's console. Exits 77 (skipped) where Chromium, its driver, Selenium or ffmpeg is missing.

Usage: operator_page_test.py path/to/vornplayer
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


def skip(why):
    print("SKIP: " + why)
    sys.exit(SKIP)


try:
    from selenium import webdriver
    from selenium.common.exceptions import StaleElementReferenceException, WebDriverException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    skip("Selenium for Python is not installed (package python3-selenium)")
for tool, package in ((CHROMIUM, "chromium"), (CHROMEDRIVER, "chromium-driver")):
    if not os.access(tool, os.X_OK):
        skip(f"{tool} is not installed (package {package})")
if not shutil.which("ffmpeg"):
    skip("ffmpeg is not installed")


def wait_until(condition, timeout, what):
    """Polls the condition until it holds; fails the test with `what` otherwise."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            value = condition()
        except WebDriverException:
            value = None
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError(f"not within {timeout} s: {what}")


def solid_clip(colour, path, seconds):
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
                    f"color=c={colour}:size=160x120:rate=25:duration={seconds}",
                    "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", path], check=True)


def main(program):
    root = tempfile.mkdtemp(prefix="vorn-tests-browser-")
    player = None
    driver = None
    try:
        home = os.path.join(root, "home")
        logs = os.path.join(home, "Library/Logs/Vorn")
        runtime = os.path.join(root, "run")
        daily = os.path.join(root, "source/day")
        for folder in (logs, runtime, daily, os.path.join(root, "config")):
            os.makedirs(folder)
        os.chmod(runtime, 0o700)
        red = os.path.join(daily, "red.mp4")
        solid_clip("red", red, 2)
        an_hour_ago = time.time() - 3600
        os.utime(red, (an_hour_ago, an_hour_ago))
        token_file = os.path.join(root, "token")
        with open(token_file, "w") as f:
            f.write("s3cret-of-the-hall\n")
        os.chmod(token_file, 0o600)

        env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(root, "config"), XDG_RUNTIME_DIR=runtime,
                   QT_QPA_PLATFORM="offscreen")
        env.pop("VORNPLAYER_VIDEO_OUTPUT", None)  # frames, rendered in software off screen
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        player = subprocess.Popen([program, "-prefTamrinVideosFolder", os.path.join(root, "source"),
                                   "-prefDailyDateFormat", "'day'", "-prefRepeatListItemsCount", "3",
                                   "-prefNewMovieRepeatLoopCount", "2", "-prefStatusListenAddress", "127.0.0.1:0",
                                   "-prefStatusTokenFile", token_file, "-prefScreenName", "Hall 2"], env=env, cwd=root)
        log_path = os.path.join(logs, "VornPlayer.log")

        def serving_port():
            if not os.path.exists(log_path):
                return None
            with open(log_path, encoding="utf-8", errors="replace") as f:
                m = re.search(r"\] Status server: /metrics, .* at http://127\.0\.0\.1:(\d+)/ ", f.read())
            return m and int(m.group(1))

        base = f"http://127.0.0.1:{wait_until(serving_port, 30, 'the status server listens')}/"

        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        for argument in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                         "--disable-background-networking", "--disable-component-update", "--disable-sync",
                         "--user-data-dir=" + os.path.join(root, "chromium")):
            options.add_argument(argument)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        driver.set_page_load_timeout(30)

        def sign_in(token):
            form = driver.find_element(By.ID, "signin")
            field = driver.find_element(By.ID, "token")
            field.clear()
            field.send_keys(token)
            driver.find_element(By.CSS_SELECTOR, "#signin input[type=submit]").click()

            def answered():
                try:
                    form.is_displayed()
                    return False
                except StaleElementReferenceException:
                    return True
            wait_until(answered, 10, "the form's answer")

        # Without the cookie: the sign-in form. A wrong token gets it again, saying so.
        driver.get(base)
        assert driver.find_elements(By.ID, "signin"), driver.page_source
        sign_in("not-the-token")
        wait_until(lambda: driver.find_elements(By.ID, "problem"), 10, "the wrong token is said")
        assert driver.find_elements(By.ID, "signin") and not driver.find_elements(By.ID, "live"), driver.page_source
        assert "s3cret" not in driver.page_source
        # Tries come at most twice a second per peer: one that comes too soon is turned away, and
        # is made again.
        def signed_in():
            if driver.find_elements(By.ID, "signin"):
                sign_in("s3cret-of-the-hall")
            return driver.find_elements(By.ID, "live")
        wait_until(signed_in, 10, "the page after signing in")
        cookie = driver.get_cookie("vornplayer_session")
        assert cookie and cookie["httpOnly"] and cookie.get("sameSite") == "Strict", cookie
        assert "s3cret" not in cookie["value"]

        # It names the clip that plays, and its screenshot is of the clip's colour.
        wait_until(lambda: "red.mp4" in driver.find_element(By.ID, "current").text, 30, "red.mp4 is named as playing")

        def centre_colour():
            return driver.execute_script(
                "const img=document.getElementById('screenshot');"
                "if(!img||!img.complete||!img.naturalWidth)return null;"
                "const c=document.createElement('canvas');c.width=img.naturalWidth;c.height=img.naturalHeight;"
                "const g=c.getContext('2d');g.drawImage(img,0,0);"
                "return Array.from(g.getImageData(c.width/2,c.height/2,1,1).data);")

        def is_colour(want):
            rgba = centre_colour()
            if not rgba:
                return False
            r, g, b = rgba[:3]
            return (r > 200 and g < 60 and b < 60) if want == "red" else (b > 200 and r < 60 and g < 60)

        wait_until(lambda: is_colour("red"), 30, f"the screenshot's centre is red (it is {centre_colour()})")

        # A new clip lands: the page follows the item change by itself, without a reload.
        driver.execute_script("document.documentElement.dataset.loadedOnce='yes'")
        blue = os.path.join(daily, "blue.mp4")
        solid_clip("blue", os.path.join(root, "blue.mp4"), 2)
        shutil.move(os.path.join(root, "blue.mp4"), blue)
        wait_until(lambda: "blue.mp4" in driver.find_element(By.ID, "current").text, 60, "blue.mp4 is named as playing")
        wait_until(lambda: is_colour("blue"), 30, "the screenshot's centre turns blue")
        assert driver.execute_script("return document.documentElement.dataset.loadedOnce") == "yes", "the page reloaded"
        assert "blue.mp4" in driver.find_element(By.ID, "repeat-list").text
        assert driver.find_element(By.ID, "log").text.strip(), "the log's last lines are shown"

        # The screen's name and the verdict, in the title too, in view without scrolling at a desktop's
        # and a phone's width; the screenshot keeps the screen's proportions.
        for width, height in ((1280, 800), (390, 844)):
            driver.set_window_size(width, height)
            wait_until(lambda: driver.execute_script(
                "const v=document.getElementById('verdict').getBoundingClientRect();"
                "return v.width>0&&v.top>=0&&v.bottom<=innerHeight;"), 10, f"the verdict is in view at {width}x{height}")
            wait_until(lambda: driver.title.startswith("playing \u00b7 Hall 2 \u00b7 "), 10, f"the title ({driver.title})")
            natural, shown = driver.execute_script(
                "const i=document.getElementById('screenshot');"
                "return [i.naturalWidth/i.naturalHeight,i.clientWidth/i.clientHeight];")
            assert abs(natural - shown) < 0.03 * natural, (width, natural, shown)

        # Never a blank screenshot between two: watched over six refreshes.
        driver.execute_script(
            "window.shots=new Set();window.blank=0;setInterval(()=>{const i=document.getElementById('screenshot');"
            "shots.add(i.getAttribute('src'));if(!i.complete||!i.naturalWidth)blank++;},20);")
        wait_until(lambda: driver.execute_script("return shots.size") >= 7, 30, "six refreshes of the screenshot")
        assert driver.execute_script("return blank") == 0, "the screenshot went blank between two refreshes"

        # Nothing went wrong in the browser on the way.
        errors = [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]
        assert not errors, errors

        # The player ends: the page says it does not answer, within 5 s (the browser's refused
        # fetches are expected from now on).
        player.send_signal(signal.SIGTERM)
        player.wait(15)
        wait_until(lambda: "does not answer" in driver.find_element(By.ID, "banner").text, 5,
                   "the page says the player does not answer")
        assert driver.title.startswith("The player does not answer"), driver.title

        print("operator page: signed in, showed red.mp4 then blue.mp4, verdict and screen name in view at two widths, "
              "no blank screenshot, no console errors, the player's end said")
        return 0
    finally:
        if driver:
            driver.quit()
        if player:
            player.send_signal(signal.SIGTERM)
            try:
                player.wait(15)
            except subprocess.TimeoutExpired:
                player.kill()
                player.wait()
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
