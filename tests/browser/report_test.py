#!/usr/bin/env python3
"""Browser test of the batch report page (report/web), from file:// and from http://127.0.0.1.

Builds a report folder as vrel-check --report writes it. Its records are report_records.jsonl,
what vrel-check --json printed for photos of every verdict, some with names that look like
markup, plus what only the report has (thumbnails, explanation pictures, quality hints); its
CSV export must equal report_records.csv, what vrel-check --csv wrote for the same photos.

    python3 tests/browser/report_test.py [--report-dir DIR [--csv FILE]] [--screenshots DIR]

--report-dir tests a folder that vrel-check --report wrote instead; with --csv (the --csv of the
same run) the export of every row must equal that file.
"""
import argparse
import csv
import functools
import http.server
import io
import itertools
import json
import os
import pathlib
import re
import shutil
import struct
import sys
import tempfile
import threading
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from page_test import (AXE, Failure, axe_violations, keyboard_problems, press,  # noqa: E402
                       run_case, start_browser, wait_until)
from selenium.common.exceptions import NoAlertPresentException  # noqa: E402
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402
from selenium.webdriver.support.ui import Select  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
WEB = os.path.join(os.path.dirname(os.path.dirname(HERE)), 'report', 'web')
PAGE_SIZE = 200
PERF_RECORDS = 20000
HOSTILE = ('photos/<img src=x onerror=alert(1)>.jpg', 'photos/"><script>alert(2)</script>.jpg')
HINTS = {'photos/李四.jpg': ['colour'], 'photos/王五.jpg': ['soft', 'underexposed'],
         'photos/IMG_9.jpg': ['roll'], 'photos/half-length.jpg': ['compression']}
# Floating point numbers as vrel-check's JSON library writes them, not always the shortest.
NUMBERS = [(0.4206733, '0.42067329999999997'), (0.64099159, '0.6409915900000001'), (1.0, '1.0'),
           (1e-05, '1e-05'), (0.0001, '0.0001'), (1e15, '1e+15'), (123456789012345.0,
           '123456789012345.0'), (-2.5e-07, '-2.5e-07'), (0.933852140077821, '0.933852140077821')]
META = {'generated': '2025-03-18T09:30:12+08:00', 'host': 'REG-OFFICE-PC07', 'seconds': 12.3,
        'program': 'vrel-check 2.5.2', 'settings': {'min_width': 480, 's_min': 0.15, 'bgc': 0},
        'requirements': ['照片须为 JPG（JPEG）格式', '宽 480～4800 像素、高 640～6400 像素']}


def png(width, height, rgb):
    def chunk(kind, data):
        crc = struct.pack('>I', zlib.crc32(kind + data))
        return struct.pack('>I', len(data)) + kind + data + crc
    header = struct.pack('>IIBBBBB', width, height, 8, 2, 0, 0, 0)
    pixels = zlib.compress((b'\0' + bytes(rgb) * width) * height)
    return (b'\x89PNG\r\n\x1a\n' + chunk(b'IHDR', header) + chunk(b'IDAT', pixels)
            + chunk(b'IEND', b''))


def passed(record):
    return record['verdict'].startswith('Passed')


def codes(record):
    return [a['code'] for a in record.get('advisories', [])]


JUDGED = {'NotJpeg', 'FileSizeOutOfRange', 'PixelSizeOutOfRange', 'BackgroundRejected',
          'FaceCountWrong', 'PlacementWrong', 'NotCentred'}


def group(record):
    """What the photo asks of an operator, as vrel-check's summary counts it."""
    if passed(record):
        return 'advised' if codes(record) else 'passed'
    if record.get('corrected'):
        return 'corrected'
    measure = (record.get('why') or {}).get('measure')
    judged = record['verdict'] in JUDGED and measure not in ('readable', 'decode', 'damaged',
                                                              'review')
    return 'refused' if judged else 'damaged'


def to_review(record):
    return group(record) in ('advised', 'corrected')


def fixture_records():
    records = []
    with open(os.path.join(HERE, 'report_records.jsonl'), encoding='utf-8') as f:
        for r in map(json.loads, f):
            if 'width' in r:  # decoded: a thumbnail and an explanation picture
                r.update(thumb=f'thumbs/{"pass" if passed(r) else "fail"}.png',
                         explain='explain/picture.png')
            if 'corrected' in r:
                r['corrected_thumb'] = 'thumbs/corrected.png'
            r['advisories'] = [{'code': c, 'measure': 0.42, 'bound': 0.3, 'text': '请人工确认'}
                               for c in HINTS.get(r['path'], [])]
            records.append(r)
    return records


def write_report(folder, records):
    shutil.copytree(WEB, folder)
    for name, size, rgb in (('thumbs/pass.png', (120, 160), (150, 200, 160)),
                            ('thumbs/fail.png', (120, 160), (220, 160, 150)),
                            ('thumbs/corrected.png', (120, 160), (160, 180, 230)),
                            ('explain/picture.png', (480, 640), (200, 200, 120))):
        os.makedirs(os.path.dirname(os.path.join(folder, name)), exist_ok=True)
        with open(os.path.join(folder, name), 'wb') as f:
            f.write(png(*size, rgb))
    counts = {}
    for r in records:
        counts[r['verdict']] = counts.get(r['verdict'], 0) + 1
    with open(os.path.join(folder, 'records.js'), 'w', encoding='utf-8') as f:
        f.write('window.vrelReport = ' + json.dumps(
            {'meta': dict(META, counts=counts), 'records': records}, ensure_ascii=False) + ';\n')


def read_report(folder):
    with open(os.path.join(folder, 'records.js'), encoding='utf-8') as f:
        text = f.read()
    return json.loads(re.fullmatch(r'\s*window\.vrelReport\s*=\s*(.*?);?\s*', text, re.S)[1])


class Quiet(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


class Report:
    def __init__(self, driver, args, base, folder):
        self.driver, self.args, self.base = driver, args, base
        self.fixture = not args.report_dir
        data = read_report(os.path.join(args.site, folder))
        self.meta, self.records = data['meta'], data['records']

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def open(self, folder='report', width=1280, height=900, mobile=False):
        self.driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride', {
            'width': width, 'height': height, 'deviceScaleFactor': 1, 'mobile': mobile})
        self.driver.get(f'{self.base}/{folder}/index.html')
        wait_until('the report to show its records', lambda: self.js(
            'return document.getElementById("status").dataset.count !== undefined'))
        errors = [e['message'] for e in self.driver.get_log('browser') if e['level'] == 'SEVERE']
        expect(not errors, 'the browser console has errors:\n  ' + '\n  '.join(errors))

    def expect_shown(self, what, records):
        count, shown = self.js(
            'return [+document.getElementById("status").dataset.count,'
            ' [...document.querySelectorAll(".photo .path")].map(e => e.textContent)]')
        expected = [r['path'] for r in records]
        expect(count == len(expected) and shown == expected[:PAGE_SIZE], f'{what}: {count} shown, '
               f'expected {len(expected)}\n  shown:    {shown[:6]}\n  expected: {expected[:6]}')

    def choose(self, verdict='all', advisory='all', search='', sort='input'):
        for element_id, value in (('verdict-filter', verdict), ('advisory-filter', advisory),
                                  ('sort', sort)):
            Select(self.driver.find_element(By.ID, element_id)).select_by_value(value)
        field = self.driver.find_element(By.ID, 'search')
        self.js('arguments[0].value = ""; arguments[0].dispatchEvent(new Event("input"));', field)
        field.send_keys(search)

    def export(self):
        path = os.path.join(self.args.downloads, '审核结果.csv')
        if os.path.exists(path):
            os.remove(path)
        self.driver.find_element(By.ID, 'export-button').click()
        wait_until('the CSV in the download folder', lambda: os.path.isfile(path) and not any(
            n.endswith('.crdownload') for n in os.listdir(self.args.downloads)))
        with open(path, 'rb') as f:
            return f.read()


def expect(condition, complaint):
    if not condition:
        raise Failure(complaint)


# ---- Cases ---------------------------------------------------------------------------------------

def case_overview(page):
    """Totals, one bar per verdict with its count and length, the settings, date, machine, time."""
    page.open()
    counts = page.meta['counts']
    bars = page.js('return [...document.querySelectorAll("#chart .bar")].map(b => [b.dataset.verdict,'
                   ' b.querySelector(".bar-count").textContent, +b.querySelector("rect").'
                   'getAttribute("width")])')
    expect(sorted(b[0] for b in bars) == sorted(counts), f'bars {bars}, counts {counts}')
    for verdict, number, width in bars:
        expect(number == f'{counts[verdict]:,}' and abs(width - 100 * counts[verdict]
               / max(counts.values())) < 0.01, f'bar {verdict}: {number}, {width} %; {counts}')
    total, passes = sum(counts.values()), sum(n for v, n in counts.items() if v.startswith('Pass'))
    review = sum(1 for r in page.records if to_review(r))
    groups = ['advised', 'corrected', 'refused', 'damaged']
    totals = page.js('return ["all", "pass", "fail", "review", ...arguments[0]].map('
                     'k => document.getElementById("total-" + k).textContent)', groups)
    numbers = [total, passes, total - passes, review] + [
        sum(1 for r in page.records if group(r) == g) for g in groups]
    expect(totals == [f'{n:,}' for n in numbers],
           f'totals {totals}: expected {numbers} (all, passed, not, to look at, {groups})')
    text = page.js('return document.querySelector(".overview").textContent')
    for part in [page.meta['host'], page.meta['program'], '秒'] + [
            f'{k}{v}' for k, v in page.meta['settings'].items()]:
        expect(str(part) in text, f'the overview does not show {part}')
    shown = page.js('return [...document.querySelectorAll("#requirements li")].map(l => l.textContent)')
    expect(shown == page.meta['requirements'], f'the requirements shown are {shown}')
    wait_until('the first thumbnail to load', lambda: page.js(
        'const i = document.querySelector(".photo img"); return i.complete && i.naturalWidth > 0'))


def case_filters(page):
    """Verdict, quality hint and file name, alone and together; the bars; names kept as text."""
    page.open()
    table = [('passes', 'pass', 'all', '', passed),
             ('rejections', 'fail', 'all', '', lambda r: not passed(r)),
             ('需人工查看', 'review', 'all', '', to_review),
             ('with a hint', 'all', 'any', '', codes),
             ('without a hint', 'all', 'none', '', lambda r: not codes(r)),
             ('search in another case', 'all', 'all', 'IMG_', lambda r: 'img_' in r['path'].lower()),
             ('rejections without hints, .JPG', 'fail', 'none', '.JPG',
              lambda r: not passed(r) and not codes(r) and '.jpg' in r['path'].lower()),
             ('nothing found', 'all', 'all', 'no such name', lambda r: False)]
    table += [(g, 'g:' + g, 'all', '', lambda r, g=g: group(r) == g)
              for g in ('advised', 'corrected', 'refused', 'damaged')]
    table += [(v, 'v:' + v, 'all', '', lambda r, v=v: r['verdict'] == v)
              for v in sorted({r['verdict'] for r in page.records})]
    table += [(c, 'all', 'c:' + c, '', lambda r, c=c: c in codes(r))
              for c in sorted({c for r in page.records for c in codes(r)})]
    table += [(p, 'all', 'all', p[7:], lambda r, p=p: r['path'] == p) for p in HOSTILE
              if page.fixture]
    for what, verdict, advisory, search, test in table:
        page.choose(verdict, advisory, search)
        page.expect_shown(what, [r for r in page.records if test(r)])
    try:
        raise Failure(f'a file name ran a script: alert {page.driver.switch_to.alert.text!r}')
    except NoAlertPresentException:
        pass
    expect(page.js('return document.querySelectorAll("img[src=x], script").length') == 2,
           'markup in a file name became elements')
    page.choose()
    bar = page.driver.find_element(By.CSS_SELECTOR, '#chart .bar')
    bar.click()
    verdict = bar.get_attribute('data-verdict')
    page.expect_shown(f'bar {verdict}', [r for r in page.records if r['verdict'] == verdict])
    page.driver.find_element(By.ID, 'review-button').click()
    page.expect_shown('button 需人工查看', [r for r in page.records if to_review(r)])
    page.driver.find_element(By.CSS_SELECTOR, '.totals [data-choice="g:corrected"]').click()
    page.expect_shown('button 已修正，待确认',
                      [r for r in page.records if group(r) == 'corrected'])


def case_sort(page):
    """By file size both ways (no size last), by verdict (grouped, passes first), by name."""
    page.open()
    for sort, sign in (('size-asc', 1), ('size-desc', -1)):
        page.choose(sort=sort)
        page.expect_shown(sort, [r for _, r in sorted(enumerate(page.records), key=lambda p: (
            'file_size' not in p[1], sign * p[1].get('file_size', 0), p[0]))])
    page.choose(sort='verdict')
    verdicts = page.js('return [...document.querySelectorAll(".photo .verdict")].map(e => e.title)')
    groups = [v for i, v in enumerate(verdicts) if i == 0 or verdicts[i - 1] != v]
    expect(len(groups) == len(set(groups)) and groups == sorted(groups, key=lambda v: not
           v.startswith('Passed')), f'sorted by verdict, they come as {groups}')
    page.choose(sort='name')
    names = page.js('return [...document.querySelectorAll(".photo .name")].map(e => e.textContent)')
    expect(not page.fixture or names.index('IMG_9.jpg') < names.index('IMG_10.jpg'),
           f'sorted by name, IMG_10 comes before IMG_9: {names}')


def case_explain(page):
    """The explanation picture opens on a click and with Enter, → shows the next photo's, Esc
    and the close button close it, and the focus is back on the button of the photo shown."""
    page.open()
    explained = [r['path'] for r in page.records if r.get('explain')][:2]
    state = ('const d = document.getElementById("explain-dialog"), i = document.getElementById('
             '"explain-image"); return [d.open, i.complete && i.naturalWidth > 0, document.'
             'getElementById("explain-path").textContent, document.activeElement.closest(".photo")'
             '?.querySelector(".path").textContent];')
    steps = [(lambda: page.driver.find_element(By.CSS_SELECTOR, '.explain-button').click(),
              [True, True, explained[0]]),
             (lambda: press(page.driver, Keys.ARROW_RIGHT), [True, True, explained[-1]]),
             (lambda: press(page.driver, Keys.ESCAPE), [False, False, explained[-1], explained[-1]]),
             (lambda: page.js('document.querySelector(".explain-button").focus()')
              or press(page.driver, Keys.ENTER), [True, True, explained[0]]),
             (lambda: page.driver.find_element(By.ID, 'explain-close').click(),
              [False, False, explained[0], explained[0]])]
    for number, (action, expected) in enumerate(steps, 1):
        action()
        wait_until(f'step {number}: dialog open, picture loaded, path, focus = {expected}',
                   lambda: page.js(state)[:len(expected)] == expected,
                   detail=lambda: f'\n  got {page.js(state)}')


def case_export(page):
    """The CSV of the rows shown, as vrel-check --csv writes it: columns, quoting, BOM, CRLF."""
    page.open()
    if page.fixture:
        with open(os.path.join(HERE, 'report_records.csv'), 'rb') as f:
            header, *rows = f.read().split(b'\r\n')[:-1]
        page.choose('fail', 'none')
        expected = b''.join(line + b'\r\n' for line, r in zip([header] + rows, [None] + page.records)
                            if r is None or not passed(r) and not codes(r))
    elif page.args.csv:
        with open(page.args.csv, 'rb') as f:
            expected = f.read()
    else:
        return
    got = page.export()
    if page.fixture:
        page.open('numbers')
        column = [row[13] for row in csv.reader(io.StringIO(page.export().decode('utf-8-sig')))]
        expect(column[1:] == [text for _, text in NUMBERS],
               f'ratio_y in the export: {column[1:]}, expected {[t for _, t in NUMBERS]}')
    lines = [(a, b) for a, b in zip(got.decode('utf-8', 'replace').split('\r\n'),
                                    expected.decode('utf-8').split('\r\n')) if a != b] + [('', '')]
    expect(got == expected, f'the export ({len(got)} bytes) differs from vrel-check --csv '
           f'({len(expected)} bytes), first at\n  got:      {lines[0][0]}'
           f'\n  expected: {lines[0][1]}')


def case_performance(page):
    """20,000 records: each filter, the page drawn anew, in under a second; one page drawn."""
    page.open('big')
    timings, count, cards, elements = page.js("""
        const set = (id, value, type) => {
          const e = document.getElementById(id);
          e.value = value;
          e.dispatchEvent(new Event(type));
        };
        const timings = {};
        for (const [name, step] of [
            ['rejections', () => set('verdict-filter', 'fail', 'change')],
            ['hint roll', () => set('advisory-filter', 'c:roll', 'change')],
            ['search', () => set('search', '0004', 'input')],
            ['all again', () => { set('search', '', 'input'); set('advisory-filter', 'all', 'change');
                                  set('verdict-filter', 'all', 'change'); }],
            ['sort by name', () => set('sort', 'name', 'change')],
            ['需人工查看', () => set('verdict-filter', 'review', 'change')]]) {
          const start = performance.now();
          step();
          void document.body.offsetHeight; // laid out anew
          timings[name] = Math.round(performance.now() - start);
        }
        return [timings, +document.getElementById('status').dataset.count,
                document.querySelectorAll('.photo').length,
                document.getElementsByTagName('*').length];
        """)
    print(f'  {PERF_RECORDS:,} records, milliseconds: {timings}; {elements} elements')
    slow = {k: ms for k, ms in timings.items() if ms >= 1000 and k != 'sort by name'}
    expect(not slow, f'filtering {PERF_RECORDS:,} records took a second or more: {slow}')
    expected = sum(1 for r in page.big if to_review(r))
    expect(count == expected and cards == min(count, PAGE_SIZE) and elements < 8000,
           f'需人工查看: {count} photos, {cards} drawn, {elements} elements; expected {expected}')


def case_layout(page):
    """Desktop 1280×900 and phone 390×844: nothing wider than the screen, thumbnails about
    160 px high, several photos in a row on the desktop and one on the phone."""
    for width, height, mobile, name in ((1280, 900, False, 'desktop'), (390, 844, True, 'phone')):
        page.open(width=width, height=height, mobile=mobile)
        wait_until('the first thumbnail',
                   lambda: page.js('return document.querySelector(".photo img").complete'))
        box = page.js("""
            const boxes = [...document.querySelectorAll('.toolbar > *, .bar, .photo, .list-head')]
              .map((e) => e.getBoundingClientRect());
            const photos = [...document.querySelectorAll('.photo')]
              .map((e) => e.getBoundingClientRect());
            return {scroll: document.documentElement.scrollWidth, inner: innerWidth,
                    left: Math.min(...boxes.map((b) => b.left)),
                    right: Math.max(...boxes.map((b) => b.right)),
                    thumb: document.querySelector('.photo img').getBoundingClientRect().height,
                    row: photos.filter((b) => b.top === photos[0].top).length,
                    card: photos[0].width};""")
        expect(box['scroll'] <= width == box['inner'] and box['left'] >= 0 and box['right'] <= width
               and 150 <= box['thumb'] <= 170 and (box['row'] == 1 and box['card'] >= 0.9 * width
                                                   if mobile else box['row'] >= 3),
               f'{name} {width}×{height}: {box}')
        if page.args.screenshots:
            page.driver.save_screenshot(os.path.join(page.args.screenshots,
                                                     f'report-{page.origin}-{name}.png'))


def case_accessibility(page):
    """axe-core finds nothing on the desktop and on the phone: the list, the explanation picture,
    a search that finds nothing. Tab reaches every control, Enter and Space press each button."""
    for width, height, mobile in ((1280, 900, False), (390, 844, True)):
        page.open(width=width, height=height, mobile=mobile)
        found = [('list', axe_violations(page.driver))]
        page.driver.find_element(By.CSS_SELECTOR, '.explain-button').click()
        found.append(('explanation', axe_violations(page.driver)))
        press(page.driver, Keys.ESCAPE)
        page.choose(search='no such name')
        found.append(('nothing found', axe_violations(page.driver)))
        # From file:// axe-core fetches the style sheet to read it, which the page's policy
        # refuses (the page itself connects nowhere); any other message is the page's.
        found.append(('console', [e['message'] for e in page.driver.get_log('browser')
                                  if e['level'] == 'SEVERE' and 'connect-src' not in e['message']]))
        problems = [f'{state}: {v}' for state, violations in found for v in violations]
        expect(not problems, f'axe-core at {width}×{height}:\n  ' + '\n  '.join(problems))
    page.open()
    problems = keyboard_problems(page.driver)
    expect(not problems, 'keyboard:\n  ' + '\n  '.join(problems))


CASES = (('overview and chart', case_overview), ('filters and search', case_filters),
         ('sorting', case_sort), ('explanation picture', case_explain), ('CSV export', case_export),
         (f'{PERF_RECORDS:,} records', case_performance), ('desktop and phone', case_layout),
         ('axe-core and keyboard', case_accessibility))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--report-dir', help='a folder written by vrel-check --report')
    parser.add_argument('--csv', help='the --csv written by the same run as --report-dir')
    parser.add_argument('--screenshots', help='folder for report-*.png')
    args = parser.parse_args()
    if args.csv and not args.report_dir:
        parser.error('--csv needs --report-dir')
    if args.screenshots:
        os.makedirs(args.screenshots, exist_ok=True)
        args.screenshots = os.path.abspath(args.screenshots)
    if not os.path.isfile(AXE):
        sys.exit(f'report_test: {AXE} is missing: run scripts/install-deps.sh')

    workdir = tempfile.mkdtemp(prefix='vrel-report-test-')
    args.site, args.downloads = os.path.join(workdir, 'site'), os.path.join(workdir, 'downloads')
    os.makedirs(args.downloads)
    fixture = fixture_records()
    big = [dict(r, path=f'batch/{i:05d}-{r["path"][7:]}')
           for i, r in zip(range(PERF_RECORDS), itertools.cycle(fixture))]
    write_report(os.path.join(args.site, 'big'), big)
    if args.report_dir:
        os.symlink(os.path.abspath(args.report_dir), os.path.join(args.site, 'report'))
    else:
        write_report(os.path.join(args.site, 'report'), fixture)
        write_report(os.path.join(args.site, 'numbers'), [
            {'path': f'{i}.jpg', 'verdict': 'Passed', 'ratio_y': value, 'advisories': []}
            for i, (value, _) in enumerate(NUMBERS)])
    server = http.server.ThreadingHTTPServer(('127.0.0.1', 0),
                                             functools.partial(Quiet, directory=args.site))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    failures, driver = [], None
    try:
        driver = start_browser(workdir, args.downloads)
        for origin, base in (('file', pathlib.Path(args.site).as_uri()),
                             ('http', f'http://127.0.0.1:{server.server_address[1]}')):
            page = Report(driver, args, base, 'report')
            page.origin, page.big = origin, big
            for name, case in CASES:
                run_case(f'{origin}: {name}', lambda page, _: case(page), page, args, failures)
    except (Failure, OSError, ValueError) as e:
        print(f'FAIL  set-up: {e}')
        failures.append('set-up')
    finally:
        if driver is not None:
            driver.quit()
        server.shutdown()
    if failures:
        print(f'report_test: {len(failures)} failed: {", ".join(failures)} (files kept in {workdir})')
        return 1
    shutil.rmtree(workdir, ignore_errors=True)
    print('report_test: all passed')
    return 0


if __name__ == '__main__':
    sys.exit(main())
