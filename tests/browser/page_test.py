#!/usr/bin/env python3
"""Browser test of the page that vrel-serve embeds.

Starts the service itself on 127.0.0.1 (a port the system picks), drives Debian's headless
Chromium through chromium-driver, and goes through what a user does: review a photo that passes
and save it, a rejected one with its tip picture, a correction that fails and one that works, the
explanation picture, the layout on a desktop and on a phone, the accessibility rules of axe-core,
the keyboard, and what the page says once the service is gone. Every saved photo is reviewed
again with vrel-check. Further services, started the same way, offer a choice of backdrop
colours (settings with bgc=1) or have no backdrop model.

    python3 tests/browser/page_test.py --server EXE --data-dir DIR --samples DIR --check EXE \
        [--screenshots DIR]

Needs: apt-get install -y chromium chromium-driver python3-selenium, and axe-core in
.cache/npm (scripts/install-deps.sh installs all of them).
"""
import argparse
import base64
import http.client
import json
import os
import queue
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

try:
    from selenium import webdriver
    from selenium.common.exceptions import WebDriverException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
except ImportError:
    # Debian's python3-selenium belongs to the system interpreter; another python3 may come first.
    system = '/usr/bin/python3'
    if os.path.exists(system) and os.path.realpath(sys.executable) != os.path.realpath(system):
        os.execv(system, [system, *sys.argv])
    sys.exit('page_test: selenium is missing: apt-get install -y chromium chromium-driver python3-selenium')

WAIT = 30            # seconds for a review, a correction, a download
START_WAIT = 10      # seconds for the service to announce its port and answer /healthz
STOP_WAIT = 10       # seconds for the service to exit after SIGTERM
DOWNLOAD_NAME = '报名照片.jpg'
PASS_INFO = '审核通过'
REJECT_INFO = '审核不通过'
CORRECTED_INFO = '修正后审核通过'
# What the page says a correction did, for each step of the X-Vrel-Correction header.
STEP_TEXT = {'convert': '转换格式与大小', 'reframe': '重新裁剪构图',
             'backdrop': '更换为白色背景', 'straighten': '校正头部倾斜'}
ENLARGED_TEXT = '照片细节不足，可能是放大得到的，建议提交原始照片'
BUTTONS = ('open-button', 'save-button', 'correct-button', 'explain-button')
AXE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                   '.cache', 'npm', 'node_modules', 'axe-core', 'axe.min.js')
TEST_DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'data')
DIRECT = urllib.request.build_opener(urllib.request.ProxyHandler({}))  # never through a proxy


class Failure(Exception):
    pass


def wait_until(what, condition, timeout=WAIT, detail=lambda: ''):
    """Polls condition() until it returns something true; fails after timeout seconds."""
    end = time.monotonic() + timeout
    last_error = None
    while True:
        try:
            value = condition()
            if value:
                return value
        except (WebDriverException, OSError, http.client.HTTPException) as e:
            last_error = e
        if time.monotonic() > end:
            extra = detail()
            if last_error is not None:
                extra += f'\n  last error: {str(last_error).strip().splitlines()[0]}'
            raise Failure(f'timed out after {timeout} s waiting for {what}{extra}')
        time.sleep(0.1)


# ---- The service -------------------------------------------------------------------------------

class Server:
    def __init__(self, exe, data_dir, workdir, settings=None, extra=(), name='server'):
        self.log_path = os.path.join(workdir, name + '-stderr.log')
        self.log = open(self.log_path, 'wb')
        # No draining after SIGTERM: the test stops the service to see the page without it.
        command = [exe, '--listen', '127.0.0.1:0', '--data-dir', data_dir,
                   '--settings', settings or os.path.join(data_dir, 'setting.vr'), '--jobs', '1',
                   '--drain-seconds', '0', *extra]
        self.proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=self.log)
        try:
            self._start()
        except BaseException:
            self.stop()
            raise

    def _start(self):
        # Standard output is read to the end, so that the service never blocks on a full pipe.
        self.lines = queue.Queue()
        threading.Thread(target=self._drain, daemon=True).start()
        try:
            first = self.lines.get(timeout=START_WAIT)
        except queue.Empty:
            raise Failure(f'the service printed no line within {START_WAIT} s{self.stderr_tail()}')
        if first is None:
            raise Failure(f'the service exited (status {self.proc.wait()}) before printing its '
                          f'address{self.stderr_tail()}')
        match = re.fullmatch(rb'listening on 127\.0\.0\.1:(\d+)\n?', first)
        if not match:
            raise Failure(f'the first line of the service is {first!r}, '
                          'expected "listening on 127.0.0.1:PORT"')
        self.base = f'http://127.0.0.1:{int(match.group(1))}'
        wait_until('GET /healthz to answer 200', self._healthy, START_WAIT, self.stderr_tail)

    def _drain(self):
        for line in self.proc.stdout:
            self.lines.put(line)
        self.lines.put(None)

    def _healthy(self):
        if self.proc.poll() is not None:
            raise Failure(f'the service exited (status {self.proc.returncode}) before /healthz '
                          f'answered{self.stderr_tail()}')
        with DIRECT.open(self.base + '/healthz', timeout=2) as response:
            return response.status == 200

    def stderr(self):
        self.log.flush()
        with open(self.log_path, 'rb') as f:
            return f.read().decode('utf-8', 'replace')

    def stderr_tail(self):
        text = self.stderr()[-2000:].strip()
        return f'\n  service stderr:\n{text}' if text else ''

    def stop(self):
        """SIGTERM, then at most STOP_WAIT seconds; returns a complaint, or None."""
        if self.proc.poll() is not None:
            return None
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(STOP_WAIT)
            return None
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(5)
            return f'the service did not exit within {STOP_WAIT} s of SIGTERM (killed)'


# ---- The browser -------------------------------------------------------------------------------

def start_browser(workdir, downloads):
    chromium = shutil.which('chromium') or shutil.which('chromium-browser')
    driver_exe = shutil.which('chromedriver')
    if not chromium or not driver_exe:
        raise Failure('chromium or chromedriver not found: '
                      'apt-get install -y chromium chromium-driver python3-selenium')
    options = webdriver.ChromeOptions()
    options.binary_location = chromium
    for flag in ('--headless=new', '--no-sandbox', '--disable-gpu', '--disable-quic',
                 '--no-first-run', '--disable-background-networking', '--disable-component-update',
                 '--disable-sync', '--no-proxy-server', '--disable-dev-shm-usage',
                 '--window-size=1280,800', '--lang=zh-CN',
                 '--user-data-dir=' + tempfile.mkdtemp(prefix='profile-', dir=workdir)):
        options.add_argument(flag)
    options.add_experimental_option('prefs', {
        'download.default_directory': downloads,
        'download.prompt_for_download': False,
        'download.directory_upgrade': True,
        'safebrowsing.enabled': False,
    })
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    driver = webdriver.Chrome(service=Service(executable_path=driver_exe), options=options)
    driver.set_page_load_timeout(WAIT)
    driver.set_script_timeout(WAIT)
    driver.execute_cdp_cmd('Browser.setDownloadBehavior',
                           {'behavior': 'allow', 'downloadPath': downloads})
    return driver


def axe_violations(driver):
    """Runs axe-core on the page as it is; returns one line per rule broken, with the elements."""
    if not os.path.isfile(AXE):
        raise Failure(f'{AXE} is missing: run scripts/install-deps.sh')
    if not driver.execute_script('return typeof window.axe === "object"'):
        with open(AXE, encoding='utf-8') as f:
            driver.execute_script(f.read())
    return driver.execute_async_script("""
        const done = arguments[arguments.length - 1];
        axe.run(document).then(
          (r) => done(r.violations.map((v) => `${v.id} (${v.impact}): ${v.help}: ` +
                                       v.nodes.map((n) => n.target.join(' ')).join(', '))),
          (e) => done(['axe-core failed: ' + e]));""")


def press(driver, key):
    ActionChains(driver).send_keys(key).perform()


def keyboard_problems(driver, limit=400):
    """Goes once round the page with Tab, then presses each button reached with Enter and with
    Space, its clicks caught before the page sees them. Returns what Tab misses and what a key
    does not press."""
    driver.execute_script("""
        [...document.querySelectorAll(
            'button, a[href], input, select, textarea, summary, [tabindex]')]
          .filter((e) => !e.disabled && e.tabIndex >= 0 && e.getClientRects().length > 0)
          .forEach((e, i) => { e.dataset.kb = i; });
        window.kbClicks = [];
        window.kbCatch = (event) => {
          kbClicks.push(event.target.closest('[data-kb]')?.dataset.kb);
          event.stopImmediatePropagation();
          event.preventDefault();
        };
        addEventListener('click', kbCatch, true);
        const start = document.createElement('span');
        start.id = 'kb-start';
        start.tabIndex = -1;
        document.body.prepend(start);
        start.focus();""")
    reached, problems = [], []
    for _ in range(limit):
        press(driver, Keys.TAB)
        index = driver.execute_script('return document.activeElement.dataset.kb')
        if index is None or index in reached:
            break
        reached.append(index)
    for index in reached:
        name = driver.execute_script(
            'const e = document.querySelector(`[data-kb="${arguments[0]}"]`); e.focus();'
            'kbClicks = []; return e.matches("button, summary, [role=button]") && e.outerHTML;',
            index)
        for key, key_name in ((Keys.ENTER, 'Enter'), (Keys.SPACE, 'Space')) if name else ():
            press(driver, key)
            if driver.execute_script('return kbClicks.splice(0)') != [index]:
                problems.append(f'{key_name} does not press {name[:100]}')
    problems += [f'Tab does not reach {m}' for m in driver.execute_script("""
        removeEventListener('click', kbCatch, true);
        document.getElementById('kb-start').remove();
        const all = [...document.querySelectorAll('[data-kb]')];
        const got = all.filter((e) => arguments[0].includes(e.dataset.kb));
        // A radio group is one stop for Tab (its checked radio); the arrows move within it.
        const grouped = (e) => e.type === 'radio' &&
          got.some((r) => r.type === 'radio' && r.name === e.name);
        const missed = all.filter((e) => !got.includes(e) && !grouped(e));
        all.forEach((e) => delete e.dataset.kb);
        return missed.map((e) => e.outerHTML.slice(0, 100));""", reached)]
    return problems + radio_problems(driver)


def radio_problems(driver):
    """In each visible radio group, an arrow key moves the focus and the choice to another radio
    of the group, and back; returns what does not."""
    problems = []
    names = driver.execute_script("""
        return [...new Set([...document.querySelectorAll('input[type=radio]')]
          .filter((e) => !e.disabled && e.getClientRects().length > 0).map((e) => e.name))];""")
    for name in names:
        start = driver.execute_script(
            'const g = [...document.getElementsByName(arguments[0])];'
            'const c = g.find((e) => e.checked) || g[0]; c.focus(); return c.value;', name)
        for key, back in ((Keys.ARROW_RIGHT, Keys.ARROW_LEFT), (Keys.ARROW_DOWN, Keys.ARROW_UP)):
            press(driver, key)
            moved = driver.execute_script(
                'const e = document.activeElement;'
                'return e.type === "radio" && e.name === arguments[0] && e.checked && e.value;',
                name)
            if not moved or moved == start:
                problems.append(f'{key!r} does not move the choice in the radio group {name}')
            press(driver, back)
            if driver.execute_script('return document.activeElement.value') != start:
                problems.append(f'{back!r} does not move back in the radio group {name}')
    return problems


class Page:
    def __init__(self, driver, base, downloads):
        self.driver = driver
        self.base = base
        self.downloads = downloads

    def viewport(self, width, height, mobile):
        self.driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride', {
            'width': width, 'height': height, 'deviceScaleFactor': 1, 'mobile': mobile})

    def open(self):
        self.driver.get(self.base + '/')
        wait_until('the page to load', lambda: self.js('return document.readyState') == 'complete'
                   and self.el('open-button').is_displayed(), detail=self.state)

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def el(self, element_id):
        return self.driver.find_element(By.ID, element_id)

    def text(self, element_id):
        return self.el(element_id).text.strip()

    def enabled(self, element_id):
        return self.el(element_id).is_enabled()

    def choose(self, path):
        self.el('file-input').send_keys(os.path.abspath(path))

    def drop(self, path):
        """Drops a file on #drop-zone as a file manager would (the file comes from a scratch input)."""
        source = self.js("const i = document.createElement('input'); i.type = 'file';"
                         "document.body.append(i); return i;")
        source.send_keys(os.path.abspath(path))
        self.js("""
            const source = arguments[0], zone = document.getElementById('drop-zone');
            const data = new DataTransfer();
            data.items.add(source.files[0]);
            source.remove();
            for (const type of ['dragenter', 'dragover', 'drop']) {
              zone.dispatchEvent(new DragEvent(type, {bubbles: true, cancelable: true, dataTransfer: data}));
            }""", source)

    def click(self, element_id):
        self.el(element_id).click()

    def loaded(self, element_id):
        return self.js('const i = document.getElementById(arguments[0]);'
                       'return i.complete && i.naturalWidth > 0;', element_id)

    def photo_src(self):
        return self.el('photo').get_attribute('src') or ''

    def state(self):
        try:
            parts = [f'{i}={self.text(i)!r}' for i in ('info-line', 'reason', 'message')]
            parts.append(f'photo={self.photo_src()[:80]!r}')
            parts.append('enabled=' + ','.join(b for b in BUTTONS if self.enabled(b)))
            return '\n  page: ' + '; '.join(parts)
        except WebDriverException as e:
            return f'\n  page state unavailable: {str(e).splitlines()[0]}'

    def dialog_open(self):
        return self.js('return document.getElementById("explain-dialog").open')

    def shown(self, selector):
        return self.js('const e = document.querySelector(arguments[0]);'
                       'return Boolean(e) && e.getClientRects().length > 0;', selector)

    def box(self, selector):
        return self.js('const r = document.querySelector(arguments[0]).getBoundingClientRect();'
                       'return {left: r.left, right: r.right, top: r.top, bottom: r.bottom};',
                       selector)

    def notes(self):
        """The lines under the message: what a correction did, or why it could not."""
        return self.js('return [...document.querySelectorAll("#notes li")]'
                       '.map((e) => e.textContent.trim());')

    def backdrops_loaded(self):
        return self.js('return document.getElementById("backdrop-choice").dataset.loaded'
                       ' === "true"')

    def expect_no_exit_promise(self, when):
        """The page goes on after a save: nothing on it may say that the program exits."""
        text = self.js('return document.body.textContent')
        self.expect('退出' not in text, f'the page promises an exit {when}: '
                    + text[max(0, text.find('退出') - 40):text.find('退出') + 20])

    def record_requests(self, fake=None):
        """From now on the page's requests are noted (page.sent()); with fake, POST
        /api/v1/correct gets that answer instead: {status, correction} (with 200, the photo the
        service corrected and X-Vrel-Correction set to correction) or {status, body}."""
        self.js("""
            window.realFetch = window.realFetch || window.fetch;
            window.sentTargets = [];
            const fake = arguments[0];
            window.fetch = async (target, init) => {
              sentTargets.push(String(target));
              if (!fake || !String(target).startsWith('/api/v1/correct')) return realFetch(target, init);
              if (fake.status === 200) {
                const real = await realFetch(target, init);
                return new Response(await real.blob(), {status: 200, headers: {
                  'Content-Type': 'image/jpeg', 'X-Vrel-Correction': fake.correction}});
              }
              return new Response(JSON.stringify(fake.body), {status: fake.status,
                headers: {'Content-Type': 'application/json'}});
            };""", fake)

    def sent(self):
        return self.js('return window.sentTargets || []')

    def wait(self, what, condition, timeout=WAIT):
        return wait_until(what, condition, timeout, self.state)

    def wait_info(self, expected):
        self.wait(f'the info line to read "{expected}"', lambda: self.text('info-line') == expected)

    def expect(self, condition, complaint):
        if not condition:
            raise Failure(complaint + self.state())

    def wait_download(self):
        path = os.path.join(self.downloads, DOWNLOAD_NAME)

        def done():
            names = os.listdir(self.downloads)
            return (os.path.isfile(path) and os.path.getsize(path) > 0
                    and not any(n.endswith('.crdownload') for n in names) and path)
        return wait_until(f'{DOWNLOAD_NAME} in the download folder', done,
                          detail=lambda: f'\n  download folder: {os.listdir(self.downloads)}')

    def screenshot(self, directory, name, full_page=False):
        if not directory:
            return
        path = os.path.join(directory, name)
        if full_page:
            size = self.js('return [document.documentElement.scrollWidth,'
                           ' document.documentElement.scrollHeight]')
            shot = self.driver.execute_cdp_cmd('Page.captureScreenshot', {
                'format': 'png', 'captureBeyondViewport': True,
                'clip': {'x': 0, 'y': 0, 'width': size[0], 'height': size[1], 'scale': 1}})
            with open(path, 'wb') as f:
                f.write(base64.b64decode(shot['data']))
        else:
            self.driver.save_screenshot(path)
        print(f'  screenshot: {path}')


def service_correction(base, path, query=''):
    """The X-Vrel-Correction of the service's correction of a file, as JSON."""
    with open(path, 'rb') as f:
        request = urllib.request.Request(base + '/api/v1/correct' + query, data=f.read(),
                                         method='POST')
    with DIRECT.open(request, timeout=WAIT) as response:
        return json.loads(response.headers['X-Vrel-Correction'])


def write_settings(data_dir, workdir, name, **values):
    """A copy of the shipped settings with some values changed; returns its path."""
    with open(os.path.join(data_dir, 'setting.vr'), encoding='utf-8') as f:
        text = f.read()
    for key, value in values.items():
        text, count = re.subn(rf'(?m)^{key}=.*$', f'{key}={value}', text)
        if count != 1:
            raise Failure(f'setting.vr has no single {key}= line')
    path = os.path.join(workdir, name)
    with open(path, 'w', encoding='utf-8') as f:
        f.write(text)
    return path


def check_file(check, path, *extra):
    """Reviews a file with vrel-check and returns its JSON record."""
    result = subprocess.run([check, '-q', '--json', *extra, path], capture_output=True, timeout=120)
    lines = result.stdout.decode('utf-8', 'replace').splitlines()
    if result.returncode not in (0, 1) or not lines:
        raise Failure(f'{check} {" ".join(extra)} {path} failed with status {result.returncode}: '
                      f'{result.stderr.decode("utf-8", "replace").strip()}')
    return json.loads(lines[0])


# ---- Cases ---------------------------------------------------------------------------------------

def case_pass_and_save(page, args):
    """(a) A passing photo: the normalised photo is shown, saved as 报名照片.jpg, and explained."""
    page.viewport(1280, 800, False)
    page.open()
    page.expect(page.text('info-line') == '信息提示区', 'the info line does not start empty')
    page.expect(not any(page.enabled(b) for b in BUTTONS[1:]),
                'save, correct or explain is enabled before any photo was reviewed')
    page.expect(not page.el('photo').is_displayed(),
                'the empty photo frame shows an image (a broken-image icon) before any review')

    page.choose(os.path.join(args.samples, 'passed-grey-600x800.jpg'))
    page.wait_info(PASS_INFO)
    page.wait('the save button to be enabled', lambda: page.enabled('save-button'))
    page.wait('the saved photo to show in the frame',
              lambda: page.photo_src().startswith('blob:') and page.loaded('photo'))
    page.expect(not page.enabled('correct-button'), 'correct is enabled after a pass')
    page.expect(page.text('reason') == '', 'a reason is shown for a passed photo')
    page.expect_no_exit_promise('after a pass')
    page.expect(not page.el('advisories').is_displayed(), 'advisories are shown for a clean photo')
    page.expect('保存照片' in page.text('message') and '上传' in page.text('message'),
                f'after a pass the page does not say what to do next: {page.text("message")!r}')
    page.expect(page.text('photo-caption').startswith('审核通过的照片'),
                f'the caption of the passed photo is {page.text("photo-caption")!r}')

    page.click('save-button')
    saved = page.wait_download()
    record = check_file(args.check, saved)
    page.expect(record.get('verdict') == 'PassedByMarker',
                f'the downloaded photo reviews {record.get("verdict")}, expected PassedByMarker: {record}')
    os.remove(saved)

    page.expect(page.enabled('explain-button'), 'explain is disabled after a review with a width')
    page.click('explain-button')
    page.wait('the explanation picture in an open dialog',
              lambda: page.js('return document.getElementById("explain-dialog").open')
              and page.loaded('explain-image'))
    page.click('explain-close')
    page.wait('the dialog to close',
              lambda: not page.js('return document.getElementById("explain-dialog").open'))


def case_advisories(page, args):
    """(h) A black-and-white photo passes, and the page says under the verdict that it is one."""
    page.viewport(1280, 800, False)
    page.open()
    page.choose(os.path.join(TEST_DATA, 'passed-greyscale-600x800.jpg'))
    page.wait_info(PASS_INFO)
    page.wait('the advisory under the verdict',
              lambda: page.el('advisories').is_displayed() and '黑白' in page.text('advisories'))


def case_rejected(page, args):
    """(b) Rejected photos on the same page: tip picture, reason, no save; a correction that fails."""
    page.choose(os.path.join(args.samples, 'background-rejected.jpg'))
    page.wait_info(REJECT_INFO)
    page.wait('the tip picture tips/state6.jpg',
              lambda: page.photo_src().endswith('/tips/state6.jpg') and page.loaded('photo'))
    page.expect(page.text('reason') != '', 'no reason is shown for a rejection')
    page.expect(page.text('photo-caption').startswith('提示图'),
                f'the caption of the tip is {page.text("photo-caption")!r}')
    page.expect(not page.enabled('save-button'),
                'save is still enabled after a rejection (the previous photo would be saved)')
    page.expect(page.enabled('correct-button'), 'correct is not enabled after a rejection')
    page.screenshot(args.screenshots, 'web-desktop.png')

    # Two faces: the correction refuses, with the sentence the correction itself gives.
    sample = os.path.join(args.samples, 'face-count-wrong.jpg')
    with tempfile.TemporaryDirectory() as scratch:
        expected = check_file(args.check, sample, '--correct-dir', scratch).get('correction_error')
    if not expected or not expected.get('reason'):
        raise Failure(f'{sample} is expected to be a photo the correction refuses')
    reasons = [b['reason'] for b in expected.get('blockers') or []] or [expected['reason']]
    page.choose(sample)
    page.wait('the tip picture of the second photo',
              lambda: page.photo_src().endswith('/tips/state7.jpg') and page.loaded('photo'))
    page.expect(page.text('info-line') == REJECT_INFO, 'the info line does not say 审核不通过')
    page.click('correct-button')
    page.wait('every reason why the correction failed', lambda: all(
        r in page.text('message') + '\n'.join(page.notes()) for r in reasons))
    page.expect(page.photo_src().endswith('/tips/state7.jpg'),
                'the tip picture was replaced after a failed correction')
    page.expect(page.text('info-line') == REJECT_INFO,
                'the info line changed after a failed correction')
    page.expect(not page.enabled('save-button'), 'save is enabled after a failed correction')


def case_empty_and_camera(page, args):
    """(m) An empty file is the applicant's mistake, said so without asking the service; the
    camera button takes a photo on phones (a file input with capture), reviewed as any other."""
    page.viewport(390, 844, True)
    page.open()
    empty = os.path.join(args.workdir, 'empty.jpg')
    open(empty, 'wb').close()
    page.record_requests()
    page.choose(empty)
    page.wait('the page to say the file is empty', lambda: '空的' in page.text('message'))
    page.expect(not any(t.startswith('/api/v1/review') for t in page.sent()),
                f'an empty file was sent to the service: {page.sent()}')
    request = urllib.request.Request(page.base + '/api/v1/review', data=b'', method='POST',
                                     headers={'Content-Type': 'image/jpeg'})
    try:
        DIRECT.open(request, timeout=WAIT)
        raise Failure('an empty upload was answered 2xx')
    except urllib.error.HTTPError as e:
        body = json.loads(e.read())
        page.expect(e.code == 400 and '空的' in body.get('error', ''),
                    f'an empty upload is answered {e.code} {body}')
    camera = page.el('camera-input')
    page.expect(camera.get_attribute('capture') in ('user', 'environment') and
                camera.get_attribute('accept') == 'image/*',
                'the camera input does not ask for the camera')
    page.expect(page.el('camera-button').is_displayed(), 'there is no 拍照 button on a phone')
    camera.send_keys(os.path.abspath(os.path.join(args.samples, 'passed-grey-600x800.jpg')))
    page.wait_info(PASS_INFO)


def case_corrected(page, args):
    """(c) A PNG dropped on the page that the correction mends: shown, saved, reviewed again."""
    page.open()
    page.drop(os.path.join(args.samples, 'correctable', 'off-centre.png'))
    page.wait('the dropped photo to be reviewed ("审核不通过")',
              lambda: page.text('info-line') == REJECT_INFO)
    page.wait('the correct button to be enabled', lambda: page.enabled('correct-button'))
    page.click('correct-button')
    page.wait_info(CORRECTED_INFO)
    page.wait('the save button to be enabled', lambda: page.enabled('save-button'))
    page.wait('the corrected photo to show in the frame',
              lambda: page.photo_src().startswith('blob:') and page.loaded('photo'))
    page.wait('the original beside it', lambda: page.shown('#original-card')
              and page.loaded('original-photo'))
    page.expect(not page.shown('.sample-card'), 'the sample is still shown beside the photos')
    original, corrected = page.box('#original-card'), page.box('#drop-zone')
    page.expect(abs(original['top'] - corrected['top']) < 1
                and original['right'] <= corrected['left'],
                f'the original {original} is not left of the corrected photo {corrected}')
    # Every step the service reports, in Chinese, in its order.
    steps = service_correction(page.base, os.path.join(args.samples, 'correctable',
                                                       'off-centre.png')).get('steps')
    page.expect(isinstance(steps, list) and steps and steps[0] == 'convert',
                f'X-Vrel-Correction has no steps starting with "convert": {steps}')
    page.expect(page.notes()[:len(steps)] == [STEP_TEXT[s] for s in steps],
                f'the page does not say what the correction did ({steps}): {page.notes()}')
    page.expect_no_exit_promise('after a correction')
    page.screenshot(args.screenshots, 'web-corrected-desktop.png')

    page.click('save-button')
    saved = page.wait_download()
    for extra, verdict in (((), 'PassedByMarker'), (('--ignore-marker',), 'Passed')):
        record = check_file(args.check, saved, *extra)
        page.expect(record.get('verdict') == verdict,
                    f'the downloaded corrected photo reviews {record.get("verdict")} with '
                    f'{list(extra)}, expected {verdict}: {record}')
    os.remove(saved)


def check_layout(page, args, width, height, mobile):
    page.viewport(width, height, mobile)
    page.open()
    page.choose(os.path.join(args.samples, 'background-rejected.jpg'))
    page.wait_info(REJECT_INFO)
    page.wait('the tip picture', lambda: page.loaded('photo'))
    # A phone zooms out a page wider than its screen: the layout viewport then grows too.
    scroll_width, inner_width = page.js('return [document.documentElement.scrollWidth,'
                                        ' window.innerWidth]')
    page.expect(scroll_width <= width and inner_width == width,
                f'the page is wider than the {width}×{height} screen (it scrolls sideways): '
                f'scrollWidth {scroll_width}, innerWidth {inner_width}')
    for button in BUTTONS:
        element = page.el(button)
        page.expect(element.is_displayed(), f'#{button} is not visible at {width}×{height}')
        box = page.js('const r = arguments[0].getBoundingClientRect();'
                      'return {left: r.left, right: r.right, width: r.width, bottom: r.bottom};',
                      element)
        page.expect(box['left'] >= 0 and box['right'] <= width,
                    f'#{button} sticks out of the {width} px wide page: {box}')
        if mobile:
            page.expect(box['width'] >= 0.8 * width,
                        f'#{button} is not full width on a phone: {box}')
        else:
            # On a desktop everything is usable without scrolling.
            page.expect(box['bottom'] <= height,
                        f'#{button} is below the {height} px high window: {box}')


def case_layout(page, args):
    """(d) Phone 390×844: no sideways scrolling, full-width buttons, and after a correction the
    original above the corrected photo; desktop 1024×700: no scrolling."""
    check_layout(page, args, 1024, 700, False)
    check_layout(page, args, 390, 844, True)
    page.screenshot(args.screenshots, 'web-phone.png', full_page=True)

    page.choose(os.path.join(args.samples, 'correctable', 'off-centre.png'))
    page.wait_info(REJECT_INFO)
    page.click('correct-button')
    page.wait_info(CORRECTED_INFO)
    page.wait('both photos', lambda: page.loaded('photo') and page.loaded('original-photo'))
    original, corrected = page.box('#original-card'), page.box('#drop-zone')
    page.expect(corrected['top'] >= original['bottom'],
                f'on a phone the original {original} is not above the corrected photo {corrected}')
    scroll_width = page.js('return document.documentElement.scrollWidth')
    page.expect(scroll_width <= 390 and all(0 <= b['left'] and b['right'] <= 390
                                            for b in (original, corrected)),
                f'the photos stick out of the 390 px page: {original} {corrected}, '
                f'scrollWidth {scroll_width}')
    page.screenshot(args.screenshots, 'web-corrected-phone.png', full_page=True)
    page.viewport(1280, 800, False)


def case_accessibility(page, args):
    """(f) axe-core finds nothing, on a desktop and on a phone: before a review, after a pass,
    after a rejection, and with the explanation picture open."""
    for width, height, mobile in ((1280, 800, False), (390, 844, True)):
        page.viewport(width, height, mobile)
        page.open()
        found = [('before a review', axe_violations(page.driver))]
        page.choose(os.path.join(args.samples, 'passed-grey-600x800.jpg'))
        page.wait_info(PASS_INFO)
        page.wait('the saved photo', lambda: page.photo_src().startswith('blob:')
                  and page.loaded('photo'))
        found.append(('passed', axe_violations(page.driver)))
        page.choose(os.path.join(args.samples, 'background-rejected.jpg'))
        page.wait_info(REJECT_INFO)
        page.wait('the tip picture', lambda: page.photo_src().endswith('.jpg')
                  and page.loaded('photo'))
        found.append(('rejected', axe_violations(page.driver)))
        page.click('explain-button')
        page.wait('the explanation picture', lambda: page.dialog_open()
                  and page.loaded('explain-image'))
        found.append(('explanation open', axe_violations(page.driver)))
        page.click('explain-close')
        page.wait('the dialog to close', lambda: not page.dialog_open())
        page.choose(os.path.join(args.samples, 'correctable', 'off-centre.png'))
        page.wait_info(REJECT_INFO)
        page.click('correct-button')
        page.wait_info(CORRECTED_INFO)
        page.wait('both photos', lambda: page.loaded('photo') and page.loaded('original-photo'))
        found.append(('corrected', axe_violations(page.driver)))
        page.choose(os.path.join(args.samples, 'face-count-wrong.jpg'))
        page.wait_info(REJECT_INFO)
        page.click('correct-button')
        page.wait('the refusal', lambda: '无法自动修正' in page.text('message'))
        found.append(('correction refused', axe_violations(page.driver)))
        problems = [f'{state}: {v}' for state, violations in found for v in violations]
        page.expect(not problems, f'axe-core at {width}×{height}:\n  ' + '\n  '.join(problems))
    page.viewport(1280, 800, False)


def case_keyboard(page, args):
    """(g) The keyboard alone: Tab reaches every usable button, Enter and Space press each; the
    explanation opens with Enter and Esc closes it with the focus back on its button; a
    correction started with Space leaves the focus on the save button, where Enter saves."""
    page.viewport(1280, 800, False)
    page.open()
    page.choose(os.path.join(args.samples, 'correctable', 'half-length.jpg'))
    page.wait_info(REJECT_INFO)
    page.wait('the correct and explain buttons to be enabled',
              lambda: page.enabled('correct-button') and page.enabled('explain-button'))
    problems = keyboard_problems(page.driver)
    page.expect(not problems, 'keyboard after a rejection:\n  ' + '\n  '.join(problems))

    focused = lambda: page.js('return document.activeElement.id')  # noqa: E731
    page.js("document.getElementById('explain-button').focus()")
    press(page.driver, Keys.ENTER)
    page.wait('Enter to open the explanation picture', page.dialog_open)
    page.wait('the focus to be in the dialog', lambda: page.js(
        'return document.getElementById("explain-dialog").contains(document.activeElement)'))
    press(page.driver, Keys.ESCAPE)
    page.wait('Esc to close the dialog', lambda: not page.dialog_open())
    page.wait('the focus back on the explain button', lambda: focused() == 'explain-button')

    page.js("document.getElementById('correct-button').focus()")
    press(page.driver, Keys.SPACE)
    page.wait_info(CORRECTED_INFO)
    page.wait('the focus on the save button', lambda: focused() == 'save-button')
    press(page.driver, Keys.ENTER)
    os.remove(page.wait_download())


def case_command_line(page, args):
    """(i) --backdrop takes only a colour the settings accept; anything else is a usage error."""
    shipped = os.path.join(args.data_dir, 'setting.vr')
    blue = write_settings(args.data_dir, args.workdir, 'setting-bgc1.vr', bgc=1)
    for colour, settings, why in (('red', shipped, 'an unknown name'),
                                  ('', shipped, 'an empty value'),
                                  ('blue', shipped, 'blue where bgc=0'),
                                  ('#202020', blue, 'a dark colour the backdrop test refuses'),
                                  ('#ffff', blue, 'a cut #RRGGBB')):
        result = subprocess.run([args.server, '--listen', '127.0.0.1:0', '--data-dir',
                                 args.data_dir, '--settings', settings, '--backdrop', colour],
                                stdin=subprocess.DEVNULL, capture_output=True, timeout=START_WAIT)
        err = result.stderr.decode('utf-8', 'replace')
        if result.returncode != 2 or '--backdrop' not in err or result.stdout:
            raise Failure(f'--backdrop {colour!r} ({why}): status {result.returncode}, '
                          f'stdout {result.stdout[:80]!r}, stderr {err.strip()!r}; expected '
                          'status 2 and a message about --backdrop')


def case_requirements(page, args):
    """(l) The requirements panel shows what the settings in force check: every number and
    colour it names is the one checked, light blue only where bgc=1; a slip in the settings is
    warned of at start and in the requirements."""
    exam = write_settings(args.data_dir, args.workdir, 'setting-exam.vr', bgc=1, min_width=295,
                          min_height=413, pic_out_min_size=10, pic_out_max_size=30)
    with open(exam, 'a', encoding='utf-8') as f:
        f.write('s_mn=0.15\n')
    cases = ((None, {'295', '4800', '413'}, False), (exam, {'295', '413', '10～30'}, True))
    for settings, absent_or_present, blue in cases:
        server = None if settings is None else Server(args.server, args.data_dir, args.workdir,
                                                      settings, (), 'exam')
        try:
            shown = page if server is None else Page(page.driver, server.base, page.downloads)
            shown.viewport(1280, 800, False)
            shown.open()
            shown.wait('the requirements of the service',
                       lambda: shown.el('requirements').get_attribute('aria-busy') is None)
            text = shown.text('requirements')
            with DIRECT.open(shown.base + '/api/v1/requirements', timeout=WAIT) as response:
                data = json.loads(response.read())
            shown.expect(text == '\n'.join(data['sentences']),
                         f'the panel is not the service\'s sentences: {text!r}')
            pixels, saved = data['pixels'], data['saved']
            numbers = {str(pixels['min_width']), str(pixels['max_width']),
                       str(pixels['min_height']), str(pixels['max_height']),
                       f"{saved['width']}×{saved['height']}",
                       f"{saved['min_kb']}～{saved['max_kb']}"}
            for number in numbers:
                shown.expect(number in text, f'the panel does not name {number}: {text!r}')
            if settings is None:
                shown.expect('295' not in text and '10～30' not in text,
                             f'the shipped settings show another exam\'s numbers: {text!r}')
            else:
                for number in absent_or_present:
                    shown.expect(number in text, f'the exam\'s {number} is not shown: {text!r}')
            shown.expect(('浅蓝色' in text) == blue and data['backdrops']['light_blue'] == blue,
                         f'light blue is {"not " if blue else ""}named with bgc={int(blue)}: '
                         f'{text!r}')
            shown.expect('白色' in text, f'white is not named: {text!r}')
            sample = shown.text('sample-line')
            shown.expect(f"{saved['width']}×{saved['height']}" in sample and
                         ('浅蓝' in sample) == blue, f'the sample line says {sample!r}')
            warned = [w['line'] for w in data['warnings']]
            expected = ['s_mn: unknown key; did you mean s_min?'] if blue else []
            shown.expect(warned == expected, f'the warnings are {warned}, not {expected}')
            if blue:
                shown.expect('s_mn: unknown key; did you mean s_min?' in server.stderr(),
                             'the slip is not told at start' + server.stderr_tail())
        finally:
            if server is not None:
                server.stop()


def case_profiles(page, args):
    """(n) A service with --profiles offers the exams: the page shows the chosen one's
    requirements, keeps the choice in its address, and reviews the photo on show again by the
    rules chosen."""
    folder = os.path.join(args.workdir, 'profiles')
    os.makedirs(folder, exist_ok=True)
    large = write_settings(args.data_dir, folder, 'large.vr', min_width=1000, min_height=1300)
    with open(large, encoding='utf-8') as f:
        text = f.read()
    with open(large, 'w', encoding='utf-8') as f:
        f.write('[profile]\ntitle=大尺寸考试\nsource=测试用的要求\n\n' + text)
    write_settings(args.data_dir, folder, 'blue.vr', bgc=1)
    server = Server(args.server, args.data_dir, args.workdir, None, ('--profiles', folder),
                    'profiles')
    try:
        shown = Page(page.driver, server.base, page.downloads)
        shown.viewport(1280, 800, False)
        shown.open()
        shown.wait('the exam choice', lambda: shown.el('profile-choice').is_displayed())
        options = shown.js('return [...document.querySelectorAll("#profile option")]'
                           '.map((o) => [o.value, o.textContent])')
        shown.expect(options == [['', '本服务的默认要求'], ['blue', 'blue'], ['large', '大尺寸考试']],
                     f'the exams offered are {options}')
        shown.choose(os.path.join(args.samples, 'passed-grey-600x800.jpg'))
        shown.wait_info(PASS_INFO)
        shown.js('const s = document.getElementById("profile"); s.value = "large";'
                 's.dispatchEvent(new Event("change"));')
        shown.wait('the large exam\'s requirements', lambda: '1000～4800' in shown.text('requirements'))
        shown.expect('依据：测试用的要求' in shown.text('profile-source'),
                     f'the source reads {shown.text("profile-source")!r}')
        shown.wait_info(REJECT_INFO)  # the photo on show, reviewed again
        shown.expect('profile=large' in shown.driver.current_url,
                     f'the address is {shown.driver.current_url}')
        # The address keeps the choice over a reload.
        shown.driver.get(shown.driver.current_url)
        shown.wait('the requirements after a reload',
                   lambda: '1000～4800' in shown.text('requirements'))
        shown.expect(shown.js('return document.getElementById("profile").value') == 'large',
                     'the choice is not kept over a reload')
        violations = axe_violations(shown.driver)
        shown.expect(not violations, 'axe-core: ' + '; '.join(violations))
        shown.choose(os.path.join(args.samples, 'passed-grey-600x800.jpg'))
        shown.wait_info(REJECT_INFO)
        shown.wait('the access log to name the profile',
                   lambda: '"profile":"large"' in server.stderr())
    finally:
        server.stop()


def case_backdrop_choice(page, args):
    """(j) The backdrop colour is offered only where the settings accept more than one: a
    labelled radio group that axe-core and the keyboard accept, starting at the service's own
    colour; the chosen one goes with the correction, and the page names it."""
    page.viewport(1280, 800, False)
    page.open()
    page.wait('the page to ask for the backdrop colours', page.backdrops_loaded)
    page.expect(not page.el('backdrop-choice').is_displayed(),
                'a backdrop colour is offered although the settings accept only white')

    settings = write_settings(args.data_dir, args.workdir, 'setting-blue.vr', bgc=1)
    server = Server(args.server, args.data_dir, args.workdir, settings, ('--backdrop', 'blue'),
                    'blue')
    try:
        blue = Page(page.driver, server.base, page.downloads)
        for width, height, mobile in ((390, 844, True), (1280, 800, False)):
            blue.viewport(width, height, mobile)
            blue.open()
            blue.wait('the choice of backdrop colour', lambda: blue.backdrops_loaded()
                      and blue.el('backdrop-choice').is_displayed())
            radios = blue.js("""return [...document.querySelectorAll('#backdrop-choice input')]
                .map((e) => [e.type, e.value, e.checked, e.closest('label').textContent.trim()]);""")
            blue.expect(radios == [['radio', 'white', False, '白色'], ['radio', 'blue', True, '蓝色']],
                        f'the choice is not white and blue, starting at the service\'s blue: {radios}')
            blue.expect('背景颜色' in blue.text('backdrop-choice'), 'the choice has no Chinese legend')
            blue.choose(os.path.join(args.samples, 'correctable', 'half-length.jpg'))
            blue.wait_info(REJECT_INFO)
            violations = axe_violations(blue.driver)
            blue.expect(not violations, f'axe-core at {width}×{height} with the choice:\n  '
                        + '\n  '.join(violations))
        problems = keyboard_problems(blue.driver)
        blue.expect(not problems, 'keyboard with the choice:\n  ' + '\n  '.join(problems))

        # The applicant's choice goes with the correction.
        blue.open()
        blue.wait('the choice of backdrop colour', blue.backdrops_loaded)
        blue.js("document.querySelector('#backdrop-choice input[value=white]').closest('label').click()")
        blue.record_requests()
        blue.choose(os.path.join(args.samples, 'correctable', 'off-centre.png'))
        blue.wait_info(REJECT_INFO)
        blue.click('correct-button')
        blue.wait_info(CORRECTED_INFO)
        blue.expect(any(t.startswith('/api/v1/correct?backdrop=white') for t in blue.sent()),
                    f'the correction did not ask for the chosen white: {blue.sent()}')
        # Another colour, on the same photo, without opening it again.
        blue.expect(blue.enabled('correct-button'), 'the photo cannot be corrected again')
        blue.js("document.querySelector('#backdrop-choice input[value=blue]').closest('label').click()")
        blue.click('correct-button')
        blue.wait('a second correction in blue', lambda: any(
            t.startswith('/api/v1/correct?backdrop=blue') for t in blue.sent()))
        blue.wait_info(CORRECTED_INFO)
        order = blue.js("""const c = document.getElementById('backdrop-choice'),
            b = document.getElementById('correct-button');
            return c.compareDocumentPosition(b) & Node.DOCUMENT_POSITION_FOLLOWING;""")
        blue.expect(bool(order), 'the backdrop choice does not come before 自动修正')

        # What the page makes of the service's answers, for each kind.
        blocked = {'error': '两条原因', 'record': {},
                   'correction_error': {'reason': '原因一。原因二', 'rule': 'faces', 'blockers': [
                       {'rule': 'faces', 'reason': '原因一'}, {'rule': 'tilt', 'reason': '原因二'}]}}
        unavailable = '自动修正暂不可用：服务器缺少背景模型，请联系网站管理员，或按审核说明修改后重新提交照片'
        for what, colour, fake, info, message, notes in (
                ('every step and the warning, with blue chosen', 'blue',
                 {'status': 200, 'correction': json.dumps(
                     {'steps': ['convert', 'reframe', 'backdrop', 'straighten'], 'roll': -6.24,
                      'warnings': ['enlarged']})},
                 CORRECTED_INFO, '照片已自动修正',
                 ['转换格式与大小', '重新裁剪构图', '更换为蓝色背景', '校正头部倾斜（约 6.2°）',
                  ENLARGED_TEXT]),
                ('a replaced backdrop, with white chosen', 'white',
                 {'status': 200, 'correction': json.dumps({'steps': ['convert', 'backdrop'],
                                                           'warnings': []})},
                 CORRECTED_INFO, '照片已自动修正', ['转换格式与大小', '更换为白色背景']),
                ('a refusal with two blockers', 'blue', {'status': 422, 'body': blocked},
                 REJECT_INFO, '无法自动修正', ['原因一', '原因二']),
                ('no backdrop model', 'blue', {'status': 503, 'body': {'error': unavailable}},
                 REJECT_INFO, unavailable, [])):
            blue.open()
            blue.wait('the choice of backdrop colour', blue.backdrops_loaded)
            blue.js("document.querySelector(`#backdrop-choice input[value=${arguments[0]}]`)"
                    ".click()", colour)
            blue.record_requests(fake)
            blue.choose(os.path.join(args.samples, 'correctable', 'off-centre.png'))
            blue.wait_info(REJECT_INFO)
            blue.click('correct-button')
            blue.wait(f'{what}: the message "{message}"', lambda: message in blue.text('message'))
            blue.expect(blue.text('info-line') == info, f'{what}: the info line is not {info}')
            blue.expect(blue.notes() == notes, f'{what}: the notes are {blue.notes()}, '
                        f'expected {notes}')
            blue.expect('服务繁忙' not in blue.text('message'), f'{what}: the page says busy')
            blue.expect(blue.enabled('save-button') == (info == CORRECTED_INFO),
                        f'{what}: the save button is wrongly enabled or disabled')
            blue.expect_no_exit_promise(what)
    finally:
        complaint = server.stop()
    if complaint:
        raise Failure(complaint)


def case_no_backdrop_model(page, args):
    """(k) A service without the backdrop model starts, says so once, reviews as usual and
    answers a correction with a sentence that the page shows."""
    data_dir = os.path.join(args.workdir, 'data-without-models')
    shutil.copytree(args.data_dir, data_dir, ignore=lambda folder, names: [
        n for n in names if folder == args.data_dir and n not in ('setting.vr', 'labels')
        and not n.endswith('.xml')])
    server = Server(args.server, data_dir, args.workdir, name='no-model')
    try:
        wait_until('the start-up notice about the backdrop model',
                   lambda: 'corrections are unavailable' in server.stderr())
        other = Page(page.driver, server.base, page.downloads)
        other.viewport(1280, 800, False)
        other.open()
        other.choose(os.path.join(args.samples, 'correctable', 'off-centre.png'))
        other.wait_info(REJECT_INFO)
        other.click('correct-button')
        other.wait('the page to say that corrections are unavailable',
                   lambda: '自动修正暂不可用' in other.text('message'))
        other.expect('服务繁忙' not in other.text('message'),
                     'the page calls the service busy, as if trying again would help')
        other.expect(other.text('info-line') == REJECT_INFO, 'the info line changed')
        other.expect(not other.enabled('save-button'), 'save is enabled without a correction')
    finally:
        complaint = server.stop()
    notices = server.stderr().count('corrections are unavailable')
    if notices != 1:
        raise Failure(f'the missing model is told {notices} times on standard error, not once'
                      + server.stderr_tail())
    if complaint:
        raise Failure(complaint)


def case_service_gone(page, args):
    """(e) After the service stopped, a review says that the service cannot be reached."""
    page.choose(os.path.join(args.samples, 'passed-grey-600x800.jpg'))
    page.wait('a message that the service cannot be reached',
              lambda: '无法连接' in page.text('message'))
    page.expect(page.text('info-line') != '正在审核…', 'the info line still says 正在审核…')
    page.expect(not page.enabled('save-button'), 'save is enabled although nothing was reviewed')


# ---- Main ----------------------------------------------------------------------------------------

def run_case(name, case, page, args, failures):
    try:
        case(page, args)
        print(f'ok    {name}')
    except (Failure, WebDriverException, OSError, subprocess.SubprocessError,
            json.JSONDecodeError) as e:
        print(f'FAIL  {name}: {e}')
        try:
            for entry in page.driver.get_log('browser'):
                print(f'  browser console: {entry.get("level")} {entry.get("message")}')
        except WebDriverException:
            pass
        failures.append(name)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--server', required=True, help='the service executable')
    parser.add_argument('--data-dir', required=True, help='folder with setting.vr, tips/, ...')
    parser.add_argument('--samples', required=True, help='the samples/ folder')
    parser.add_argument('--check', required=True, help='vrel-check, to review the saved photos')
    parser.add_argument('--screenshots', help='folder for web-desktop.png, web-phone.png and '
                        'web-corrected-{desktop,phone}.png')
    args = parser.parse_args()
    for path in (args.server, args.check):
        if not os.access(path, os.X_OK):
            sys.exit(f'page_test: {path} is not an executable')
    if args.screenshots:
        os.makedirs(args.screenshots, exist_ok=True)
        args.screenshots = os.path.abspath(args.screenshots)

    workdir = tempfile.mkdtemp(prefix='vrel-page-test-')
    args.workdir = workdir
    downloads = os.path.join(workdir, 'downloads')
    os.makedirs(downloads)
    failures = []
    server = driver = None
    try:
        server = Server(args.server, args.data_dir, workdir)
        print(f'service at {server.base}')
        driver = start_browser(workdir, downloads)
        page = Page(driver, server.base, downloads)
        run_case('(a) pass, save, explain', case_pass_and_save, page, args, failures)
        run_case('(b) rejections, failed correction', case_rejected, page, args, failures)
        run_case('(c) drop, correction, save', case_corrected, page, args, failures)
        run_case('(m) empty file, camera', case_empty_and_camera, page, args, failures)
        run_case('(d) desktop and phone layout', case_layout, page, args, failures)
        run_case('(f) accessibility (axe-core)', case_accessibility, page, args, failures)
        run_case('(g) keyboard', case_keyboard, page, args, failures)
        run_case('(h) quality advisories', case_advisories, page, args, failures)
        run_case('(i) --backdrop on the command line', case_command_line, page, args, failures)
        run_case('(j) backdrop colour choice', case_backdrop_choice, page, args, failures)
        run_case('(k) no backdrop model', case_no_backdrop_model, page, args, failures)
        run_case('(l) requirements from the settings', case_requirements, page, args, failures)
        run_case('(n) exams of --profiles', case_profiles, page, args, failures)
        complaint = server.stop()
        if complaint:
            print(f'FAIL  stop: {complaint}')
            failures.append('stop')
        run_case('(e) service gone', case_service_gone, page, args, failures)
    except (Failure, WebDriverException, OSError) as e:
        print(f'FAIL  set-up: {e}')
        failures.append('set-up')
    finally:
        if driver is not None:
            try:
                driver.quit()
            except WebDriverException:
                pass
        if server is not None:
            server.stop()
            if failures:
                print(server.stderr_tail().strip() or 'service stderr: (empty)')
    if failures:
        print(f'page_test: {len(failures)} failed: {", ".join(failures)} (files kept in {workdir})')
        return 1
    shutil.rmtree(workdir, ignore_errors=True)
    print('page_test: all passed')
    return 0


if __name__ == '__main__':
    sys.exit(main())
