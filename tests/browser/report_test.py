#!/usr/bin/env python3
"""Browser test of the batch report page (report/web), from file:// and from http://127.0.0.1.

Builds a report folder as vrel-check --report writes it. Its records are report_records.jsonl,
what vrel-check --json printed for photos of every verdict, some with names that look like
markup, plus what only the report has (thumbnails, explanation pictures, quality hints, the
photos' addresses, the groups of possible duplicates); its CSV export must equal
report_records.csv, what vrel-check --csv wrote for the same photos. An operator's decisions
are made with the mouse, the keyboard and in 逐张审核, kept over a reload, and exported as
decisions.csv.

    python3 tests/browser/report_test.py [--report-dir DIR [--csv FILE]] [--screenshots DIR]

--report-dir tests a folder that vrel-check --report wrote instead; with --csv (the --csv of the
same run) the export of every row must equal that file.
"""
import argparse
import csv
import datetime
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
import urllib.parse
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
        'requirements': ['照片须为 JPG（JPEG）格式', '宽 480～4800 像素、高 640～6400 像素'],
        'id': '5e0c1a2b3c4d5e6f-67d8c6d4', 'duplicate_groups': [[0, 10], [1, 15]]}
# The photos themselves, beside the report folder: one the browser cannot show (a TIFF), one
# without an address; of the corrections one is there and one is gone.
PHOTO_SIZE, CORRECTED_SIZE, THUMB_SIZE = (300, 400), (240, 320), (120, 160)
TIFF = 'photos/bg.jpg'
NO_URL = 'photos/bypass.JPG'
GONE = 'corrected/half-length.jpg'


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
                r['corrected_url'] = '../' + urllib.parse.quote(r['corrected'])
            if r['path'] != NO_URL:  # as the report writer addresses them: relative, encoded
                r['photo_url'] = '../' + urllib.parse.quote(r['path'])
            r['advisories'] = [{'code': c, 'measure': 0.42, 'bound': 0.3, 'text': '请人工确认'}
                               for c in HINTS.get(r['path'], [])]
            records.append(r)
    return records


def write_photos(site, records):
    for r in records:
        for key, url, size in (('path', 'photo_url', PHOTO_SIZE),
                               ('corrected', 'corrected_url', CORRECTED_SIZE)):
            if url not in r or r[key] == GONE:
                continue
            path = os.path.join(site, r[key])
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, 'wb') as f:
                f.write(b'II*\0' + bytes(200) if r[key] == TIFF else png(*size, (90, 120, 200)))


def write_report(folder, records, **meta):
    """meta: what differs from META (None: left out)."""
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
    meta = dict(META, counts=counts, photos=len(records),
                id=f'{META["id"]}-{os.path.basename(folder)}') | meta
    meta = {k: v for k, v in meta.items() if v is not None}
    with open(os.path.join(folder, 'records.js'), 'w', encoding='utf-8') as f:
        f.write('window.vrelReport = ' + json.dumps(
            {'meta': meta, 'records': records}, ensure_ascii=False) + ';\n')


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

    def real(self, folder):
        """A real report opened as a file from where it lies: its photos are addressed relative
        to it, and a symbolic link to it would lead them astray."""
        return folder == 'report' and self.args.report_dir and self.origin == 'file'

    def js(self, script, *args):
        return self.driver.execute_script(script, *args)

    def open(self, folder='report', width=1280, height=900, mobile=False):
        self.driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride', {
            'width': width, 'height': height, 'deviceScaleFactor': 1, 'mobile': mobile})
        self.driver.get(f'{self.base}/{folder}/index.html' if not self.real(folder)
                        else pathlib.Path(os.path.realpath(self.args.report_dir)).as_uri()
                        + '/index.html')
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

    def fresh(self, folder='report', **size):
        """The report as a browser that has never seen it: no decisions, no operator's name."""
        self.open(folder, **size)
        self.js('localStorage.clear()')
        self.open(folder, **size)

    def card(self, index, inside=''):
        return self.driver.find_element(By.CSS_SELECTOR, f'.photo[data-index="{index}"] {inside}')

    def decisions(self):
        """Each card's decision as the page shows it: {record number: (decision, note)} of those
        decided or with a note, after checking that the stamp, the buttons' state and the name
        a screen reader hears all agree with it."""
        cards = self.js("""
            return [...document.querySelectorAll('.photo')].map((c) => {
              const d = c.querySelector('.decide');
              const pressed = [...d.querySelectorAll('[aria-pressed=true]')]
                .map((b) => b.textContent);
              const heard = c.getAttribute('aria-labelledby').split(' ')
                .map((id) => document.getElementById(id).textContent).join(' ');
              return [+c.dataset.index, c.dataset.decision, d.querySelector('.note-input').value,
                      d.querySelector('.stamp').textContent, pressed, heard,
                      d.querySelector('.undo').disabled];
            });""")
        words = {'accept': ('已通过', ['通过']), 'reject': ('已退回', ['退回']), '': ('未决定', [])}
        for index, decision, note, stamp, pressed, heard, undo in cards:
            expect((stamp, pressed) == words[decision] and stamp in heard
                   and (not note or f'备注：{note}' in heard) and undo == (not decision and not note),
                   f'card {index} ({decision!r}, {note!r}) shows {stamp!r}, pressed {pressed}, '
                   f'is heard as {heard!r}, 撤销 disabled: {undo}')
        return {i: (d, n) for i, d, n, *_ in cards if d or n}

    def focused(self):
        return self.js('const c = document.activeElement.closest(".photo, dialog");'
                       ' return c && (c.dataset.index ? +c.dataset.index : c.id)')

    def quiet(self):
        """Drops what the console holds: a picture that is gone is a 404 there, as intended."""
        self.driver.get_log('browser')

    def export(self, name='审核结果.csv', button='export-button'):
        path = os.path.join(self.args.downloads, name)
        if os.path.exists(path):
            os.remove(path)
        self.driver.find_element(By.ID, button).click()
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


def keys(page, *sequence):
    return lambda: [press(page.driver, k) for k in sequence]


def case_decisions(page):
    """通过, 退回 and 撤销 by mouse and with J K A R N: the card shows the decision and its note,
    the counts and the filter follow, the letters of a note are no shortcuts, a reload keeps it
    all with the operator's name, J and K go on over a page's end; another report has none."""
    if not page.fixture:
        return
    page.fresh()
    page.driver.find_element(By.ID, 'reviewer').send_keys('李审核')

    def click(index, button):
        return lambda: page.card(index, f'.decide-button.{button}').click()

    def note(index, words):
        return lambda: page.card(index, '.note-input').send_keys(words)

    steps = [('通过', click(0, 'accept'), {0: ('accept', '')}, 0),
             ('退回 changes it', click(0, 'reject'), {0: ('reject', '')}, 0),
             ('a note of shortcut letters', note(0, 'jar, "nk"'), {0: ('reject', 'jar, "nk"')}, 0),
             ('Esc leaves the note', keys(page, Keys.ESCAPE), {0: ('reject', 'jar, "nk"')}, 0),
             ('J A', keys(page, 'j', 'a'), {0: ('reject', 'jar, "nk"'), 1: ('accept', '')}, 1),
             ('J R', keys(page, 'j', 'r'), {0: ('reject', 'jar, "nk"'), 1: ('accept', ''),
                                           2: ('reject', '')}, 2),
             ('N and a note', keys(page, 'n', 'x', Keys.ENTER), {0: ('reject', 'jar, "nk"'),
              1: ('accept', ''), 2: ('reject', 'x')}, 2),
             ('K K A keeps the note', keys(page, 'k', 'k', 'a'), {0: ('accept', 'jar, "nk"'),
              1: ('accept', ''), 2: ('reject', 'x')}, 0),
             ('撤销', click(1, 'undo'), {0: ('accept', 'jar, "nk"'), 2: ('reject', 'x')}, 1)]
    for what, action, decided, focused in steps:
        action()
        expect((page.decisions(), page.focused()) == (decided, focused),
               f'after {what}: {page.decisions()}, focus on {page.focused()}; expected {decided}'
               f' on {focused}')
    final = steps[-1][2]
    totals = page.js('return ["accepted", "rejected", "undecided"].map('
                     '(k) => document.getElementById("total-" + k).textContent)')
    options = page.js('return [...document.getElementById("decision-filter").options]'
                      '.map((o) => o.textContent)')
    n = len(page.records)
    expect(totals == ['1', '1', str(n - 2)] and options == [
        f'全部（{n}）', f'未决定（{n - 2}）', '已通过（1）', '已退回（1）'],
        f'the counts are {totals}, the filter offers {options}')
    for choice, test in (('accept', lambda i: final.get(i, ('',))[0] == 'accept'),
                         ('reject', lambda i: final.get(i, ('',))[0] == 'reject'),
                         ('none', lambda i: i not in final), ('all', lambda i: True)):
        Select(page.driver.find_element(By.ID, 'decision-filter')).select_by_value(choice)
        page.expect_shown(f'decision {choice}', [r for i, r in enumerate(page.records) if test(i)])
    page.driver.find_element(By.CSS_SELECTOR, '.totals [data-decision="reject"]').click()
    page.expect_shown('button 已退回', [page.records[2]])

    page.open()
    said = page.card(0, '.decision-state').text
    expect(page.decisions() == final and '李审核' in said and page.js(
        'return document.getElementById("reviewer").value') == '李审核',
        f'after a reload: {page.decisions()}, card 0 says {said!r}')
    page.open('ungrouped')
    expect(page.decisions() == {}, f'another report has decisions: {page.decisions()}')

    page.open('big')
    page.js('document.querySelector(".photo:last-child").focus()')
    for key, index, status in (('j', PAGE_SIZE, f'第 {PAGE_SIZE + 1:,}'),
                               ('k', PAGE_SIZE - 1, '第 1–')):
        press(page.driver, key)
        expect(page.focused() == index and status in page.js(
            'return document.getElementById("status").textContent'),
            f'{key} at the end of a page: focus on {page.focused()}, expected {index}')


def case_decision_export(page):
    """decisions.csv: BOM, CRLF, the header, one row per record in the run's order with the
    decision words, a note with a comma and quotes quoted, a leading = or @ defused in the note
    and the name, the reason in the card's words, the checksums from the record."""
    if not page.fixture:
        return
    page.fresh()
    page.driver.find_element(By.ID, 'reviewer').send_keys('@审核员')
    made = {0: ('accept', '=SUM(A1), "ok"'), 8: ('reject', '背景发灰'), 9: ('accept', '')}
    second = datetime.timedelta(seconds=1)
    start = datetime.datetime.now().astimezone().replace(microsecond=0) - second
    for index, (decision, words) in made.items():
        page.card(index, f'.decide-button.{decision}').click()
        page.card(index, '.note-input').send_keys(words)
    got = page.export('decisions.csv', 'decisions-button')
    end = datetime.datetime.now().astimezone() + second
    header = ('path,verdict,decision,note,who,when,corrected,reason,file_size,sha256,'
              'corrected_sha256')
    body = got[3:].decode('utf-8')
    expect(got[:3] == b'\xef\xbb\xbf' and body.startswith(header + '\r\n') and body.endswith('\r\n')
           and body.count('\n') == body.count('\r\n') == len(page.records) + 1,
           f'decisions.csv does not begin, end or break its lines right:\n{body[:300]!r}')
    expect(b'"\'=SUM(A1), ""ok"""' in got and b'"photos/tiny, ""q"".jpg"' in got,
           'a note or a path with a comma and quotes is not quoted as it should be')
    # The reason as each card words it: the rejection's reason or the verdict, and the hints.
    reasons = page.js("""
        return [...document.querySelectorAll('.photo')].map((c) => [
          c.querySelector('.reason')?.textContent
            ?? c.querySelector('.verdict').firstChild.textContent,
          ...[...c.querySelectorAll('.advisories li')].map((li) => li.textContent)].join('；'));""")
    rows = list(csv.reader(io.StringIO(body, newline='')))[1:]
    for index, (r, row, reason) in enumerate(zip(page.records, rows, reasons)):
        decision, words = made.get(index, ('', ''))
        when = row[5] and datetime.datetime.fromisoformat(row[5])
        expected = [r['path'], r['verdict'], {'accept': '通过', 'reject': '退回'}.get(decision, ''),
                    "'" + words if words.startswith('=') else words, "'@审核员" if decision else '',
                    row[5], r.get('corrected', ''), reason, str(r.get('file_size', '')),
                    r.get('sha256', ''), r.get('corrected_sha256', '')]
        expect(row == expected and bool(when) == bool(decision)
               and (not when or start <= when <= end),
               f'row {index}:\n  got      {row}\n  expected {expected}'
               f'\n  time between {start} and {end}')
    expect(len(rows) == len(page.records), f'{len(rows)} rows for {len(page.records)} records')


def case_large_view(page):
    """A click on a thumbnail shows the file itself large, or the thumbnail where the browser
    cannot show it (a TIFF), it is gone or has no address; Esc closes it and the focus is back on
    the thumbnail. Each card links to the files it has."""
    if not page.fixture:
        return
    page.open()
    names = [r['path'] for r in page.records]
    table = [('photos/张三.jpg', 'original', 'file', PHOTO_SIZE[0]),
             ('photos/doc.png', 'original', 'file', PHOTO_SIZE[0]),  # no thumbnail of its own
             (TIFF, 'original', 'thumb', THUMB_SIZE[0]),
             (NO_URL, 'original', 'thumb', THUMB_SIZE[0]),
             ('photos/doc.png', 'corrected', 'file', CORRECTED_SIZE[0]),
             ('photos/half-length.jpg', 'corrected', 'thumb', THUMB_SIZE[0])]
    state = ('const $ = (id) => document.getElementById(id), i = $("view-image"),'
             ' o = $("view-open"); return [$("view-dialog").open,'
             ' document.activeElement === arguments[0], i.dataset.shown,'
             ' i.complete && i.naturalWidth, !!$("view-note").textContent,'
             ' o.hidden ? null : o.getAttribute("href")];')
    for path, which, shown, width in table:
        r = page.records[names.index(path)]
        url = r.get({'original': 'photo_url', 'corrected': 'corrected_url'}[which])
        button = page.card(names.index(path), f'.thumb.{which} .view-button')
        for action, expected in ((button.click, [True, False, shown, width, shown == 'thumb', url]),
                                 (keys(page, Keys.ESCAPE), [False, True])):
            action()
            wait_until(f'{path} ({which}): {expected}',
                       lambda: page.js(state, button)[:len(expected)] == expected,
                       detail=lambda: f'\n  got {page.js(state, button)}')
    page.quiet()
    links = page.js('return [...document.querySelectorAll(".photo")].map((c) => [...c.'
                    'querySelectorAll(".file-link")].map((a) => [a.textContent, a.getAttribute('
                    '"href")]))')
    expected = [[[t, r[k]] for t, k in (('打开原图', 'photo_url'), ('打开修正后照片', 'corrected_url'))
                 if k in r] for r in page.records]
    expect(links == expected, f'the cards link to {links}\n  expected {expected}')


def case_queue(page):
    """逐张审核 walks the 需人工查看 photos, each with its original and correction large; A and
    R (or their buttons) decide and go on to the next undecided one, K goes back, N takes a note
    and Esc there leaves only the note; at the end it says so; Esc leaves it."""
    if not page.fixture:
        return
    page.fresh()
    review = [i for i, r in enumerate(page.records) if to_review(r)]
    names = [r['path'] for r in page.records]
    state = ('const $ = (id) => document.getElementById(id), o = $("queue-original"),'
             ' c = $("queue-corrected"); return [$("queue-dialog").open,'
             ' $("queue-path").textContent,'
             ' $("queue-position").textContent.split("（")[0],'
             ' [o.dataset.shown, o.complete && o.naturalWidth],'
             ' !$("queue-corrected-box").hidden && [c.dataset.shown, c.complete && c.naturalWidth],'
             ' !!$("queue-done").textContent];')

    def shown(at):
        r = page.records[review[at]]
        picture = lambda key, size, other: ['thumb', THUMB_SIZE[0]] if r[key] in other else [
            'file', size]
        return [True, r['path'], f'第 {at + 1} / {len(review)} 张',
                picture('path', PHOTO_SIZE[0], (TIFF, NO_URL)),
                'corrected' in r and picture('corrected', CORRECTED_SIZE[0], (GONE,)), False]

    def check(what, expected):
        wait_until(f'{what}: {expected}', lambda: page.js(state) == expected,
                   detail=lambda: f'\n  got {page.js(state)}')

    page.driver.find_element(By.ID, 'queue-button').click()
    for at in range(len(review)):
        if at:
            press(page.driver, 'j')
        check(f'J to photo {at + 1}', shown(at))
    press(page.driver, 'j')
    check('J at the last one', shown(len(review) - 1))
    press(page.driver, Keys.ESCAPE)
    page.driver.find_element(By.ID, 'queue-button').click()
    steps = [('A', keys(page, 'a'), {review[0]: 'accept'}, 1),
             ('退回', lambda: page.driver.find_element(
                 By.CSS_SELECTOR, '#queue-dialog .decide-button.reject').click(),
              {review[0]: 'accept', review[1]: 'reject'}, 2),
             ('K', keys(page, 'k'), {review[0]: 'accept', review[1]: 'reject'}, 1),
             ('A again', keys(page, 'a'), {review[0]: 'accept', review[1]: 'accept'}, 2)]
    steps += [(f'A on {at}', keys(page, 'a'), dict({i: 'accept' for i in review[:at + 1]}), at + 1)
              for at in range(2, len(review) - 1)]
    for what, action, decided, at in steps:
        action()
        check(what, shown(at))
        expect({i: d for i, (d, _) in page.decisions().items()} == decided,
               f'after {what}: {page.decisions()}, expected {decided}')
    last = {**decided, review[-1]: 'reject'}
    press(page.driver, 'r')
    check('R on the last one', shown(len(review) - 1)[:-1] + [True])
    for key in ('n', '重拍', Keys.ESCAPE):
        press(page.driver, key)
    check('Esc in the note', shown(len(review) - 1)[:-1] + [True])
    press(page.driver, Keys.ESCAPE)
    wait_until('the queue to close, the focus back on its button', lambda: page.js(
        'return !document.getElementById("queue-dialog").open && '
        'document.activeElement.id === "queue-button"'))
    expected = {i: (d, '重拍' if i == review[-1] else '') for i, d in last.items()}
    expect(page.decisions() == expected, f'the cards say {page.decisions()}, expected {expected}')
    page.quiet()


def case_duplicates(page):
    """Possible duplicates: the summary's groups win over the records' own lists, each card in
    one names the others, the header counts them, the filter shows them, and a name leads to
    its card (opening the filters where they hide it)."""
    if not page.fixture:
        return
    for folder, groups in (('report', META['duplicate_groups']),
                           ('ungrouped', [[0, 10], [1, 15], [3, 14]])):
        page.open(folder)
        member = {i: g for g in groups for i in g}
        lines = page.js('return [...document.querySelectorAll(".photo")].map((c) => [+c.dataset.'
                        'index, c.querySelector(".duplicates")?.firstChild.textContent ?? null, '
                        '[...c.querySelectorAll(".duplicate-link")].map((b) => b.textContent)])')
        expected = [[i, f'疑似重复：与 {len(member[i]) - 1} 张照片相同或相近：' if i in member
                     else None, [r['path'][7:] for j, r in enumerate(page.records)
                                 if j in member.get(i, ()) and j != i]]
                    for i in range(len(page.records))]
        expect(lines == expected, f'{folder}: the cards say\n  {lines}\n  expected\n  {expected}')
        total = page.js('return document.getElementById("total-dup").textContent')
        expect(total == str(len(member)), f'{folder}: {total} counted, expected {len(member)}')
        page.choose('dup')
        page.expect_shown(f'{folder}: 疑似重复', [r for i, r in enumerate(page.records) if i in member])
    page.choose(search='张三')
    page.card(0, '.duplicate-link').click()
    filters = page.js('return ["verdict-filter", "search"]'
                      '.map((id) => document.getElementById(id).value)')
    expect(page.focused() == 10 and filters == ['dup', ''],
           f'the link to photo 10 went to {page.focused()}, filters {filters}')


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
    """axe-core finds nothing on the desktop and on the phone: the list, decided photos, a photo
    large, 逐张审核, the explanation picture, a search that finds nothing. Tab reaches every
    control, Enter and Space press each button."""
    for width, height, mobile in ((1280, 900, False), (390, 844, True)):
        page.fresh(width=width, height=height, mobile=mobile)
        found = [('list', axe_violations(page.driver))]
        for button, note in (('accept', 'ok'), ('reject', '请重新拍摄')):
            page.driver.find_element(By.CSS_SELECTOR, f'.photo:not([data-decision=accept]) '
                                     f'.decide-button.{button}').click()
            page.driver.switch_to.active_element.find_element(
                By.XPATH, '../label/input').send_keys(note)
        found.append(('decided', axe_violations(page.driver)))
        for opener, state in (('.view-button', 'photo large'), ('#queue-button', '逐张审核')):
            page.driver.find_element(By.CSS_SELECTOR, opener).click()
            wait_until(f'{state} to open', lambda: page.js(
                'return !!document.querySelector("dialog[open] img[data-shown]")?.complete'))
            found.append((state, axe_violations(page.driver)))
            press(page.driver, Keys.ESCAPE)
        page.driver.find_element(By.CSS_SELECTOR, '.explain-button').click()
        found.append(('explanation', axe_violations(page.driver)))
        press(page.driver, Keys.ESCAPE)
        page.choose(search='no such name')
        found.append(('nothing found', axe_violations(page.driver)))
        # From file:// axe-core fetches the style sheet to read it, which the page's policy
        # refuses (the page itself connects nowhere); any other message is the page's.
        # A real report's photos lie outside the folder the test serves over HTTP, where a static
        # server does not reach: the page shows their thumbnails instead, as it should.
        found.append(('console', [e['message'] for e in page.driver.get_log('browser')
                                  if e['level'] == 'SEVERE' and 'connect-src' not in e['message']
                                  and not (page.args.report_dir and page.origin == 'http'
                                           and 'Failed to load resource' in e['message'])]))
        problems = [f'{state}: {v}' for state, violations in found for v in violations]
        expect(not problems, f'axe-core at {width}×{height}:\n  ' + '\n  '.join(problems))
    page.open()
    problems = keyboard_problems(page.driver)
    expect(not problems, 'keyboard:\n  ' + '\n  '.join(problems))


CASES = (('overview and chart', case_overview), ('filters and search', case_filters),
         ('sorting', case_sort), ('explanation picture', case_explain), ('CSV export', case_export),
         ('decisions', case_decisions), ('decisions.csv', case_decision_export),
         ('photos large', case_large_view), ('逐张审核', case_queue),
         ('possible duplicates', case_duplicates),
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
        write_photos(args.site, fixture)
        # No identity and no groups: the report is known by its time, machine and size, and its
        # duplicates are those the records name.
        write_report(os.path.join(args.site, 'ungrouped'), fixture, id=None,
                     duplicate_groups=None)
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
