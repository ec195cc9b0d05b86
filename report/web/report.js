// VrelPictureCheck batch report: the records of one vrel-check run (records.js beside this file),
// with counts, filters, search, sorting, the explanation pictures and a CSV export; the photos
// and their corrections large, possible duplicates, and an operator's decisions (pass or send
// back, with a note), kept in this browser and exported as decisions.csv.
// Every file name and every text of a record goes into the page as text, never as markup.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const PAGE_SIZE = 200;

  // In the order of the chart and of "sort by verdict"; passes first.
  const VERDICTS = [
    ['Passed', '审核通过'],
    ['PassedByMarker', '已有通过标记'],
    ['PassedByBypass', '免检通过'],
    ['NotJpeg', '不是 JPEG 文件'],
    ['FileSizeOutOfRange', '文件大小不符'],
    ['PixelSizeOutOfRange', '像素尺寸不符'],
    ['BackgroundRejected', '背景颜色不符'],
    ['FaceCountWrong', '未检测到唯一人脸'],
    ['PlacementWrong', '人脸大小或位置不符'],
    ['NotCentred', '人脸未居中'],
  ];
  const VERDICT_NAME = new Map(VERDICTS);
  const VERDICT_RANK = new Map(VERDICTS.map(([name], i) => [name, i]));
  const ADVISORY_NAME = new Map([
    ['colour', '黑白照片'],
    ['tint', '偏色'],
    ['soft', '不够清晰'],
    ['compression', '压缩痕迹明显'],
    ['underexposed', '偏暗'],
    ['overexposed', '过亮'],
    ['uneven_light', '光照不均'],
    ['roll', '头部倾斜'],
    ['eyes_closed', '闭眼'],
    ['mouth_open', '张嘴或露齿'],
    ['yaw', '头部侧转'],
    ['pitch', '抬头或低头'],
    ['gaze', '未看镜头'],
    ['head_size', '头部大小不当'],
    ['eye_line', '眼睛位置不当'],
  ]);

  const text = (value) => (typeof value === 'string' ? value : value == null ? '' : String(value));
  const isPass = (verdict) => verdict.startsWith('Passed');
  const verdictName = (verdict) => VERDICT_NAME.get(verdict) || verdict || '（无结论）';
  const advisoryName = (code) => ADVISORY_NAME.get(code) || code;
  const count = (n) => n.toLocaleString('zh-CN');

  function el(tag, className, content) {
    const e = document.createElement(tag);
    if (className) e.className = className;
    if (content != null) e.textContent = text(content);
    return e;
  }

  function svg(tag, attributes) {
    const e = document.createElementNS('http://www.w3.org/2000/svg', tag);
    for (const [name, value] of Object.entries(attributes)) e.setAttribute(name, value);
    return e;
  }

  // A picture of the report folder: a relative path, never another scheme or an absolute path.
  function localUrl(value) {
    const path = text(value);
    if (!path || /^[a-z][a-z0-9+.-]*:|^[/\\]/i.test(path) || path.split(/[/\\]/).includes('..')) {
      return '';
    }
    return path.split('/').map(encodeURIComponent).join('/');
  }

  // A photo file itself, as the report writer addressed it: relative to this page and already
  // percent-encoded, or a file: URL where no relative path leads there (another drive).
  function fileUrl(value) {
    const url = text(value);
    if (/^file:\/\//i.test(url)) return url;
    return !url || /^[a-z][a-z0-9+.-]*:|^[/\\]/i.test(url) ? '' : url;
  }

  // ---- The data ---------------------------------------------------------------------------------

  const report = window.vrelReport;
  if (!report || typeof report !== 'object' || !Array.isArray(report.records)) {
    const error = $('load-error');
    error.textContent = '没有找到审核数据：本页面须与 vrel-check 写出的 records.js 放在同一文件夹中。';
    error.hidden = false;
    return;
  }
  const meta = report.meta && typeof report.meta === 'object' ? report.meta : {};

  // What a photo asks of an operator, as vrel-check's closing summary counts it: nothing
  // (passed), a look at its hints (advised), a confirmation of its correction (corrected), a
  // word to the applicant (refused), or a new file (damaged).
  const JUDGED = new Set(['NotJpeg', 'FileSizeOutOfRange', 'PixelSizeOutOfRange',
    'BackgroundRejected', 'FaceCountWrong', 'PlacementWrong', 'NotCentred']);
  const UNREAD = new Set(['readable', 'decode', 'damaged', 'review']);
  function groupOf(r, verdict, advised) {
    if (isPass(verdict)) return advised ? 'advised' : 'passed';
    if (typeof r.corrected === 'string' && r.corrected) return 'corrected';
    const measure = r.why && typeof r.why === 'object' ? r.why.measure : '';
    return JUDGED.has(verdict) && !UNREAD.has(measure) ? 'refused' : 'damaged';
  }

  const items = report.records.map((record, index) => {
    const r = record && typeof record === 'object' ? record : {};
    const path = text(r.path);
    const cut = Math.max(path.lastIndexOf('/'), path.lastIndexOf('\\')) + 1;
    const verdict = text(r.verdict);
    const advisories = (Array.isArray(r.advisories) ? r.advisories : [])
      .filter((a) => a && typeof a === 'object');
    return {
      r,
      index,
      path,
      folder: path.slice(0, cut),
      name: path.slice(cut),
      key: path.toLowerCase(),
      verdict,
      pass: isPass(verdict),
      advisories,
      codes: advisories.map((a) => text(a.code)),
      size: typeof r.file_size === 'number' ? r.file_size : null,
      group: groupOf(r, verdict, advisories.length > 0),
    };
  });

  // ---- Possible duplicates ---------------------------------------------------------------------

  // Each photo in a group of photos that look the same, with that group (shared, in record
  // order). The groups of the summary (duplicate_groups, by record number) are the batch's own
  // word; without them a record's duplicates (the paths of earlier photos like it) are joined
  // into groups here.
  const duplicateGroup = new Map();
  (() => {
    const valid = (i) => Number.isInteger(i) && i >= 0 && i < items.length;
    let groups = [];
    if (Array.isArray(meta.duplicate_groups)) {
      groups = meta.duplicate_groups.filter(Array.isArray)
        .map((g) => [...new Set(g.filter(valid))]);
    } else {
      const byPath = new Map();
      for (const item of items) if (!byPath.has(item.path)) byPath.set(item.path, item.index);
      const parent = items.map((item) => item.index);
      const root = (i) => {
        while (parent[i] !== i) i = parent[i] = parent[parent[i]];
        return i;
      };
      for (const item of items) {
        for (const other of Array.isArray(item.r.duplicates) ? item.r.duplicates : []) {
          const j = byPath.get(text(other));
          if (j !== undefined) parent[root(j)] = root(item.index);
        }
      }
      const members = new Map();
      for (const item of items) {
        const top = root(item.index);
        if (!members.has(top)) members.set(top, []);
        members.get(top).push(item.index);
      }
      groups = [...members.values()];
    }
    for (const group of groups) {
      if (group.length < 2) continue;
      const shared = group.sort((a, b) => a - b).map((i) => items[i]);
      for (const item of shared) {
        if (!duplicateGroup.has(item.index)) duplicateGroup.set(item.index, shared);
      }
    }
  })();

  // ---- Decisions --------------------------------------------------------------------------------

  // What an operator decided for a photo: passed or sent back, with a note, who and when. They are
  // kept in this browser's localStorage under the report's identity, one key for the report:
  // {"v":1,"who":[names],"d":{record number: [1 passed | 2 sent back | 0 only a note,
  // index in who or -1, seconds since 1970, note if any]}}, written a moment after the last change.
  const DECISION = {
    accept: { word: '通过', done: '已通过', code: 1 },
    reject: { word: '退回', done: '已退回', code: 2 },
  };
  const DECISION_OF_CODE = { 1: 'accept', 2: 'reject' };
  const identity = typeof meta.id === 'string' && meta.id ? meta.id
    : [meta.generated, meta.host, meta.photos ?? items.length].map(text).join('|');
  const STORE_KEY = `vrel-report-decisions:${identity}`;
  const REVIEWER_KEY = 'vrel-report-reviewer';
  // record number → { decision: 'accept' | 'reject' | '', note, who, when (milliseconds) }
  const decisions = new Map();
  const tally = { accept: 0, reject: 0 };

  function storage() {
    try {
      return window.localStorage;
    } catch (e) {
      return null; // refused (a browser's privacy setting): decisions last until the page closes
    }
  }

  function loadDecisions() {
    let saved = null;
    try {
      saved = JSON.parse(storage()?.getItem(STORE_KEY) || 'null');
    } catch (e) {
      saved = null;
    }
    if (!saved || typeof saved !== 'object' || !saved.d || typeof saved.d !== 'object') return;
    const names = Array.isArray(saved.who) ? saved.who : [];
    for (const [key, entry] of Object.entries(saved.d)) {
      const index = Number(key);
      if (!Number.isInteger(index) || index < 0 || index >= items.length || !Array.isArray(entry)) {
        continue;
      }
      const decision = DECISION_OF_CODE[entry[0]] || '';
      const note = typeof entry[3] === 'string' ? entry[3] : '';
      if (!decision && !note) continue;
      decisions.set(index, { decision, note, who: text(names[entry[1]]),
        when: typeof entry[2] === 'number' ? entry[2] * 1000 : 0 });
      if (decision) tally[decision] += 1;
    }
  }

  let saveTimer = 0;

  function saveDecisions() {
    clearTimeout(saveTimer);
    saveTimer = 0;
    const names = [];
    const nameAt = new Map();
    const d = {};
    for (const [index, e] of decisions) {
      if (e.who && !nameAt.has(e.who)) nameAt.set(e.who, names.push(e.who) - 1);
      const entry = [e.decision ? DECISION[e.decision].code : 0, e.who ? nameAt.get(e.who) : -1,
        Math.round(e.when / 1000)];
      if (e.note) entry.push(e.note);
      d[index] = entry;
    }
    const error = $('save-error');
    try {
      const store = storage();
      if (!store) throw new Error('no localStorage');
      if (decisions.size) store.setItem(STORE_KEY, JSON.stringify({ v: 1, who: names, d }));
      else store.removeItem(STORE_KEY);
      error.hidden = true;
    } catch (e) {
      error.textContent = '无法在本浏览器中保存人工决定（存储已满或被禁止）：关闭页面前请先“导出决定”。';
      error.hidden = false;
    }
  }

  const scheduleSave = () => {
    if (!saveTimer) saveTimer = setTimeout(saveDecisions, 400);
  };
  // Whatever is still waiting is written before the page goes (a reload, a closed tab).
  window.addEventListener('pagehide', () => saveTimer && saveDecisions());
  document.addEventListener('visibilitychange',
    () => document.hidden && saveTimer && saveDecisions());

  const reviewer = () => $('reviewer').value.trim();
  const decisionOf = (item) => decisions.get(item.index)?.decision || '';

  // A decision ('' takes it back, with its note); the note stays when it is changed.
  function decide(item, decision) {
    const before = decisions.get(item.index);
    if (decision) {
      decisions.set(item.index,
        { decision, note: before?.note || '', who: reviewer(), when: Date.now() });
    } else {
      decisions.delete(item.index);
    }
    changed(item, before);
    announce(`${item.name}：${decision ? DECISION[decision].done : '已撤销决定'}`);
  }

  function setNote(item, note) {
    const before = decisions.get(item.index);
    const decision = before?.decision || '';
    if (!decision && !note) {
      decisions.delete(item.index);
    } else {
      decisions.set(item.index, { decision, note, who: decision ? reviewer() || before.who : '',
        when: decision ? Date.now() : 0 });
    }
    changed(item, before);
  }

  // The local time with its offset, to the second: 2025-03-18T09:31:05+08:00.
  function isoTime(ms) {
    const d = new Date(ms);
    const pad = (n) => String(n).padStart(2, '0');
    const offset = -d.getTimezoneOffset();
    return `${d.getFullYear()}-${pad(d.getMonth() + 1)}-${pad(d.getDate())}T${pad(d.getHours())}:`
      + `${pad(d.getMinutes())}:${pad(d.getSeconds())}${offset < 0 ? '-' : '+'}`
      + `${pad(Math.floor(Math.abs(offset) / 60))}:${pad(Math.abs(offset) % 60)}`;
  }

  // ---- Filters and sorting ----------------------------------------------------------------------

  const state = {
    verdict: 'all', advisory: 'all', decision: 'all', search: '', sort: 'input', page: 0,
  };
  let shown = items;

  const collator = new Intl.Collator('zh-CN', { numeric: true });
  const byName = (a, b) => collator.compare(a.name, b.name) || collator.compare(a.path, b.path)
    || a.index - b.index;
  const rank = (item) => (VERDICT_RANK.has(item.verdict) ? VERDICT_RANK.get(item.verdict) : 99);
  const SORTS = {
    name: byName,
    verdict: (a, b) => rank(a) - rank(b) || (a.verdict < b.verdict ? -1 : a.verdict > b.verdict
      ? 1 : 0) || byName(a, b),
    // Records without a size (unreadable files) come last either way.
    'size-asc': (a, b) => (a.size ?? Infinity) - (b.size ?? Infinity) || a.index - b.index,
    'size-desc': (a, b) => (b.size ?? -Infinity) - (a.size ?? -Infinity) || a.index - b.index,
  };
  const orders = { input: items }; // each order is sorted once, when first asked for

  function order(sort) {
    if (!orders[sort]) orders[sort] = items.slice().sort(SORTS[sort] || SORTS.name);
    return orders[sort];
  }

  const toReview = (item) => item.group === 'advised' || item.group === 'corrected';

  function verdictTest(choice) {
    if (choice === 'pass') return (item) => item.pass;
    if (choice === 'fail') return (item) => !item.pass;
    if (choice === 'review') return toReview;
    if (choice === 'dup') return (item) => duplicateGroup.has(item.index);
    if (choice.startsWith('g:')) {
      const group = choice.slice(2);
      return (item) => item.group === group;
    }
    if (choice.startsWith('v:')) {
      const verdict = choice.slice(2);
      return (item) => item.verdict === verdict;
    }
    return null;
  }

  function advisoryTest(choice) {
    if (choice === 'any') return (item) => item.codes.length > 0;
    if (choice === 'none') return (item) => item.codes.length === 0;
    if (choice.startsWith('c:')) {
      const code = choice.slice(2);
      return (item) => item.codes.includes(code);
    }
    return null;
  }

  function decisionTest(choice) {
    if (choice === 'none') return (item) => !decisionOf(item);
    if (choice === 'accept' || choice === 'reject') return (item) => decisionOf(item) === choice;
    return null;
  }

  // A decision taken while a filter of decisions is on leaves the photo where it is until the
  // filters are applied again, so that it does not vanish from under the operator's eyes.
  function applyFilters() {
    const byVerdict = verdictTest(state.verdict);
    const byAdvisory = advisoryTest(state.advisory);
    const byDecision = decisionTest(state.decision);
    const query = state.search.trim().toLowerCase();
    shown = order(state.sort).filter((item) => (!byVerdict || byVerdict(item))
      && (!byAdvisory || byAdvisory(item)) && (!byDecision || byDecision(item))
      && (!query || item.key.includes(query)));
    state.page = 0;
    render();
  }

  // ---- The overview -----------------------------------------------------------------------------

  function verdictCounts() {
    const counts = new Map();
    const given = meta.counts && typeof meta.counts === 'object' ? Object.entries(meta.counts) : [];
    if (given.length > 0 && given.every(([, n]) => Number.isInteger(n) && n >= 0)) {
      for (const [verdict, n] of given) counts.set(verdict, n);
    } else {
      for (const item of items) counts.set(item.verdict, (counts.get(item.verdict) || 0) + 1);
    }
    const known = VERDICTS.map(([name]) => name).filter((name) => counts.has(name));
    const other = [...counts.keys()].filter((name) => !VERDICT_NAME.has(name));
    return [...known, ...other].map((name) => [name, counts.get(name)]);
  }

  function runLine() {
    const parts = [];
    if (meta.generated) {
      // The time of the machine that ran the batch, as it wrote it (not converted to this one's).
      const when = /^(\d{4}-\d\d-\d\d)[T ](\d\d:\d\d(:\d\d)?)/.exec(text(meta.generated));
      parts.push('生成于 ' + (when ? `${when[1]} ${when[2]}` : text(meta.generated)));
    }
    if (meta.host) parts.push('电脑 ' + text(meta.host));
    if (typeof meta.seconds === 'number') {
      const s = meta.seconds;
      parts.push('用时 ' + (s < 60 ? `${s.toFixed(1)} 秒`
        : `${Math.floor(s / 60)} 分 ${Math.round(s % 60)} 秒`));
    }
    if (meta.program) parts.push(text(meta.program));
    return parts.join(' · ');
  }

  function showOverview() {
    const counts = verdictCounts();
    const total = counts.reduce((sum, [, n]) => sum + n, 0);
    const passed = counts.reduce((sum, [v, n]) => sum + (isPass(v) ? n : 0), 0);
    $('run-line').textContent = runLine();
    $('total-all').textContent = count(total);
    $('total-pass').textContent = count(passed);
    $('total-fail').textContent = count(total - passed);
    $('total-review').textContent = count(items.filter(verdictTest('review')).length);
    for (const group of ['advised', 'corrected', 'refused', 'damaged']) {
      $(`total-${group}`).textContent = count(items.filter(verdictTest(`g:${group}`)).length);
    }
    $('total-dup').textContent = count(duplicateGroup.size);

    const chart = $('chart');
    const most = Math.max(1, ...counts.map(([, n]) => n));
    for (const [verdict, n] of counts) {
      const row = el('button', 'bar ' + (isPass(verdict) ? 'pass' : 'fail'));
      row.type = 'button';
      row.dataset.verdict = verdict;
      row.title = verdict;
      const track = svg('svg', { class: 'bar-track', viewBox: '0 0 100 10',
        preserveAspectRatio: 'none', 'aria-hidden': 'true', focusable: 'false' });
      track.append(svg('rect', { width: String((100 * n) / most), height: '10', rx: '1' }));
      row.append(el('span', 'bar-name', verdictName(verdict)), track,
        el('span', 'bar-count', count(n)));
      chart.append(row);
    }

    const requirements = Array.isArray(meta.requirements) ?
      meta.requirements.filter((r) => typeof r === 'string' && r) : [];
    $('requirements').replaceChildren(...requirements.map((r) => el('li', '', r)));
    $('requirements-box').hidden = requirements.length === 0;

    const settings = $('settings');
    const values = meta.settings && typeof meta.settings === 'object' ? meta.settings : {};
    for (const [key, value] of Object.entries(values)) {
      settings.append(el('dt', '', key),
        el('dd', '', typeof value === 'object' ? JSON.stringify(value) : value));
    }
    if (!settings.children.length) settings.append(el('dd', 'note', '（报告中没有设置）'));
    // On a phone the settings start folded, so that the photos are nearer.
    if (window.matchMedia('(max-width: 640px)').matches) $('settings-box').open = false;
  }

  function fillSelect(select, options) {
    for (const [value, label] of options) {
      const option = el('option', '', label);
      option.value = value;
      select.append(option);
    }
  }

  function fillFilters() {
    const n = (test) => count(items.filter(test).length);
    const present = [...new Set(items.map((item) => item.verdict))].sort((a, b) =>
      (VERDICT_RANK.get(a) ?? 99) - (VERDICT_RANK.get(b) ?? 99) || (a < b ? -1 : 1));
    fillSelect($('verdict-filter'), [
      ['all', `全部（${count(items.length)}）`],
      ['pass', `全部通过（${n(verdictTest('pass'))}）`],
      ['fail', `全部不通过（${n(verdictTest('fail'))}）`],
      ['review', `需人工查看（${n(verdictTest('review'))}）`],
      ['g:advised', `通过但有画质提示（${n(verdictTest('g:advised'))}）`],
      ['g:corrected', `已修正，待确认（${n(verdictTest('g:corrected'))}）`],
      ['g:refused', `不通过，须告知申请人（${n(verdictTest('g:refused'))}）`],
      ['g:damaged', `文件损坏或无法读取（${n(verdictTest('g:damaged'))}）`],
      ['dup', `疑似重复（${count(duplicateGroup.size)}）`],
      ...present.map((v) => [`v:${v}`, `${verdictName(v)}（${n(verdictTest(`v:${v}`))}）`]),
    ]);
    const codes = [...new Set(items.flatMap((item) => item.codes))].sort((a, b) =>
      (ADVISORY_NAME.has(a) ? 0 : 1) - (ADVISORY_NAME.has(b) ? 0 : 1) || (a < b ? -1 : 1));
    fillSelect($('advisory-filter'), [
      ['all', '不限'],
      ['any', `有提示（${n(advisoryTest('any'))}）`],
      ['none', `无提示（${n(advisoryTest('none'))}）`],
      ...codes.map((c) => [`c:${c}`, `${advisoryName(c)}（${n(advisoryTest(`c:${c}`))}）`]),
    ]);
    fillSelect($('decision-filter'), [['all', '全部'], ['none', '未决定'], ['accept', '已通过'],
      ['reject', '已退回']]);
  }

  // The counts of decisions, in the overview and in the filter, after every change.
  function showTally() {
    const undecided = items.length - tally.accept - tally.reject;
    $('total-accepted').textContent = count(tally.accept);
    $('total-rejected').textContent = count(tally.reject);
    $('total-undecided').textContent = count(undecided);
    const [all, none, accept, reject] = $('decision-filter').options;
    all.textContent = `全部（${count(items.length)}）`;
    none.textContent = `未决定（${count(undecided)}）`;
    accept.textContent = `已通过（${count(tally.accept)}）`;
    reject.textContent = `已退回（${count(tally.reject)}）`;
  }

  // ---- Why a photo was rejected, in numbers -----------------------------------------------------

  const num = (v) => (typeof v !== 'number' ? text(v) || '?'
    : String(Number.isInteger(v) ? v : +v.toFixed(3)));
  const span = (r) => (Array.isArray(r) ? `${num(r[0])}–${num(r[1])}` : '?');
  const WHY = {
    file_size: (w) => [`${num(w.value)} 字节`,
      w.max == null ? `不小于 ${num(w.min)} 字节` : `${num(w.min)}–${num(w.max)} 字节`],
    pixel_size: (w) => [`${num(w.width)}×${num(w.height)} 像素，高宽比 ${num(w.ratio)}`,
      `宽 ${span(w.width_range)}，高 ${span(w.height_range)}，高宽比大于 ${num(w.ratio_range[0])}`
      + ` 且小于 ${num(w.ratio_range[1])}`],
    decode_ceiling: (w) => [`${num(w.value)} 像素`, `不超过 ${num(w.max)} 像素`],
    background_pixel: (w) => {
      if (w.region === 'empty') return ['背景取样区为空', 'jc_row 与 jc_col 须大于 0'];
      const white = w.white_rule;
      let rule = `白色：饱和度小于 ${num(white.saturation_below)}，亮度大于 ${num(white.value_above)}`;
      if (w.blue_rule) {
        const blue = w.blue_rule;
        rule += `；或蓝色：色调 ${span(blue.hue_range)}，饱和度 ${span(blue.saturation_range)}，`
          + `亮度大于 ${num(blue.value_above)}`;
      }
      return [`${w.strip === 'right' ? '右' : '左'}上角第 ${num(w.row)} 行第 ${num(w.col)} 列：`
        + `色调 ${num(w.hue)}，饱和度 ${num(w.saturation)}，亮度 ${num(w.value)}`, rule];
    },
    faces: (w) => [`${num(w.value)} 张人脸`, `恰好 ${num(w.expected)} 张`],
    ratio_y: (w) => [`纵向比例 ${num(w.value)}`, `在 ${num(w.range[0])} 与 ${num(w.range[1])} 之间`],
    ratio_x: (w) => [`横向比例 ${num(w.value)}`, `在 ${num(w.range[0])} 与 ${num(w.range[1])} 之间`],
    centre_diff: (w) => [`左右边距相差 ${num(w.value)} 像素`, `绝对值小于 ${num(w.bound)} 像素`],
    signature: (w) => ['文件开头不是 JPEG 标记', `以 ${text(w.expected)} 开头`],
  };

  // [measured, required], or null where the record has no numbers to show.
  function whyLines(why) {
    if (!why || typeof why !== 'object' || !WHY[why.measure]) return null;
    try {
      return WHY[why.measure](why);
    } catch (e) {
      return null; // a field is missing: the reason sentence says it all the same
    }
  }

  // A quality hint as the page words it: [the hint, its numbers or ''].
  function advisoryWords(a) {
    const numbers = a.measure != null || a.bound != null
      ? `（测得 ${num(a.measure)}，界限 ${num(a.bound)}）` : '';
    return [`${advisoryName(text(a.code))}：${text(a.text)}`, numbers];
  }

  // Why the photo is where it is, in the words of its card: the verdict (for a rejection its
  // reason) and the quality hints.
  const reasonLines = (item) => [
    item.pass || item.r.reason == null ? verdictName(item.verdict) : text(item.r.reason),
    ...item.advisories.map((a) => advisoryWords(a).join('')),
  ];

  // ---- The grid ---------------------------------------------------------------------------------

  function pathLine(item) {
    const line = el('p', 'path');
    line.title = item.path;
    line.append(el('span', 'folder', item.folder), el('span', 'name', item.name || '（无文件名）'));
    return line;
  }

  function thumbnail(value, alt) {
    const url = localUrl(value);
    if (!url) return el('span', 'no-thumb', '无缩略图');
    const image = el('img');
    image.alt = alt;
    image.loading = 'lazy';
    image.decoding = 'async';
    image.src = url;
    return image;
  }

  const hasCorrection = (r) => r.corrected_thumb != null || r.corrected != null
    || r.corrected_url != null;

  // The two pictures of a photo: the original and its correction, each as the file itself (its
  // URL) and as the report's thumbnail.
  const PICTURES = {
    original: { title: '原照片', link: '打开原图', url: (r) => fileUrl(r.photo_url),
      thumb: (r) => localUrl(r.thumb) },
    corrected: { title: '修正后照片', link: '打开修正后照片', url: (r) => fileUrl(r.corrected_url),
      thumb: (r) => localUrl(r.corrected_thumb) },
  };

  // A thumbnail that opens the picture large, or the thumbnail alone where there is nothing to
  // open.
  function picture(item, which, caption) {
    const source = PICTURES[which];
    const figure = el('figure', `thumb ${which}`);
    const image = thumbnail(which === 'original' ? item.r.thumb : item.r.corrected_thumb,
      `${source.title}：${item.name}`);
    if (source.url(item.r) || source.thumb(item.r)) {
      const button = el('button', 'view-button');
      button.type = 'button';
      button.dataset.picture = which;
      const words = `查看大图：${source.title} ${item.name}`;
      if (image.tagName === 'IMG') {
        button.setAttribute('aria-label', words);
        button.append(image);
      } else {
        button.append(image, el('span', 'visually-hidden', `，${words}`)); // after "无缩略图"
      }
      figure.append(button);
    } else {
      figure.append(image);
    }
    if (caption) figure.append(el('figcaption', '', caption));
    return figure;
  }

  // The explanation picture and the files themselves, where the report has them.
  function fileLinks(item, withExplain) {
    const line = el('p', 'files');
    if (withExplain && localUrl(item.r.explain)) {
      const button = el('button', 'explain-button', '解释图');
      button.type = 'button';
      button.setAttribute('aria-label', `查看解释图：${item.name}`);
      line.append(button);
    }
    for (const source of Object.values(PICTURES)) {
      const url = source.url(item.r);
      if (!url) continue;
      const link = el('a', 'file-link', source.link);
      link.href = url;
      link.target = '_blank';
      link.rel = 'noopener';
      line.append(link);
    }
    return line.childNodes.length ? line : null;
  }

  // "Possible duplicate", with the other photos' names, each a way to it.
  function duplicatesLine(item) {
    const group = duplicateGroup.get(item.index);
    if (!group) return null;
    const others = group.filter((other) => other !== item);
    const line = el('p', 'duplicates', `疑似重复：与 ${count(others.length)} 张照片相同或相近：`);
    const named = others.slice(0, 5);
    named.forEach((other, i) => {
      const button = el('button', 'duplicate-link', other.name || other.path);
      button.type = 'button';
      button.dataset.target = String(other.index);
      button.title = `转到 ${other.path}`;
      line.append(i ? '、' : '', button);
    });
    if (others.length > named.length) line.append(` 等 ${count(others.length)} 张`);
    return line;
  }

  // The buttons and the note of a decision; filled by showDecision.
  function decisionPanel(id) {
    const panel = el('div', 'decide');
    panel.setAttribute('role', 'group');
    panel.setAttribute('aria-label', '人工决定');
    const said = el('p', 'decision-state');
    said.id = `${id}-decision`;
    const buttons = [['accept', '通过'], ['reject', '退回'], ['', '撤销']].map(([decision, label]) => {
      const button = el('button', `decide-button ${decision || 'undo'}`, label);
      button.type = 'button';
      button.dataset.decision = decision;
      return button;
    });
    const field = el('label', 'note-field', '备注');
    const note = el('input', 'note-input');
    note.type = 'text';
    note.maxLength = 500;
    note.autocomplete = 'off';
    note.placeholder = '退回原因或说明';
    field.append(note);
    panel.append(said, ...buttons, field);
    return panel;
  }

  function showDecision(panel, item) {
    const e = decisions.get(item.index);
    const decision = e?.decision || '';
    panel.dataset.index = String(item.index);
    panel.dataset.decision = decision;
    const said = panel.querySelector('.decision-state');
    if (decision) {
      const by = [e.who, e.when ? isoTime(e.when).slice(5, 16).replace('T', ' ') : '']
        .filter(Boolean);
      said.replaceChildren(el('span', `stamp ${decision}`, DECISION[decision].done),
        by.length ? ` ${by.join(' · ')}` : '',
        e.note ? el('span', 'said-note', `备注：${e.note}`) : '');
    } else {
      said.replaceChildren(el('span', 'stamp', '未决定'));
    }
    for (const button of panel.querySelectorAll('.decide-button')) {
      if (button.dataset.decision) {
        button.setAttribute('aria-pressed', String(button.dataset.decision === decision));
      } else {
        button.disabled = !e;
      }
    }
    const note = panel.querySelector('.note-input');
    if (document.activeElement !== note) note.value = e?.note || '';
  }

  function card(item) {
    const r = item.r;
    const review = toReview(item);
    const article = el('article', `photo ${item.pass ? 'pass' : 'fail'}${review ? ' review' : ''}`);
    article.dataset.index = String(item.index);
    article.tabIndex = -1; // J and K move the focus from card to card
    const id = `photo-${item.index}`;

    const thumbs = el('div', 'thumbs');
    thumbs.append(picture(item, 'original'));
    if (hasCorrection(r)) thumbs.append(picture(item, 'corrected', '修正后'));
    const path = pathLine(item);
    path.id = `${id}-path`;
    article.append(thumbs, path);
    article.setAttribute('aria-labelledby', `${id}-path ${id}-decision`);

    const verdict = el('p', 'verdict', verdictName(item.verdict));
    verdict.title = item.verdict;
    if (review) verdict.append(el('span', 'badge', '需人工查看'));
    article.append(verdict);

    if (!item.pass && r.reason != null) article.append(el('p', 'reason', r.reason));
    const why = item.pass ? null : whyLines(r.why);
    if (why) {
      const list = el('dl', 'why');
      list.append(el('dt', '', '测得'), el('dd', 'measure', why[0]),
        el('dt', '', '要求'), el('dd', 'bound', why[1]));
      article.append(list);
    }
    if (r.error != null && r.error !== '') article.append(el('p', 'problem', `错误：${text(r.error)}`));
    if (Array.isArray(r.warnings) && r.warnings.length) {
      article.append(el('p', 'problem', `解码提示：${r.warnings.map(text).join('；')}`));
    }
    if (item.advisories.length) {
      const list = el('ul', 'advisories');
      for (const a of item.advisories) {
        const [words, numbers] = advisoryWords(a);
        const entry = el('li', '', words);
        if (numbers) entry.append(el('span', 'advisory-numbers', numbers));
        list.append(entry);
      }
      article.append(list);
    }

    const facts = [];
    if (item.size != null) facts.push(`${count(Math.round(item.size / 102.4) / 10)} KB`);
    if (typeof r.width === 'number' && typeof r.height === 'number') {
      facts.push(`${r.width}×${r.height} 像素`);
    }
    if (facts.length) article.append(el('p', 'facts', facts.join(' · ')));

    const outputs = [
      ['corrected', '已修正：'], ['saved', '已保存：'], ['save_error', '保存失败：'],
      ['annotate_error', '解释图写入失败：'], ['correct_write_error', '修正照片写入失败：'],
    ];
    for (const [key, label] of outputs) {
      if (r[key] != null) {
        article.append(el('p', key.endsWith('error') ? 'problem' : 'output', label + text(r[key])));
      }
    }
    const corrected = r.correction && typeof r.correction === 'object' ? r.correction : null;
    if (corrected && Array.isArray(corrected.advisories) && corrected.advisories.length) {
      // The corrected photo's own quality, measured again.
      const list = el('ul', 'advisories corrected-advisories');
      for (const a of corrected.advisories) {
        list.append(el('li', '', `修正后的照片：${advisoryName(text(a.code))}：${text(a.text)}`));
      }
      article.append(list);
    }
    if (r.correction_error && typeof r.correction_error === 'object') {
      article.append(el('p', 'problem', `无法自动修正：${text(r.correction_error.reason)}`));
    }
    if (r.face_check && typeof r.face_check === 'object' && r.face_check.text) {
      article.append(el('p', 'face-check', text(r.face_check.text)));
    }
    const duplicates = duplicatesLine(item);
    if (duplicates) article.append(duplicates);
    const files = fileLinks(item, true);
    if (files) article.append(files);
    const panel = decisionPanel(id);
    showDecision(panel, item);
    article.append(panel);
    article.dataset.decision = panel.dataset.decision;
    return article;
  }

  // ---- Pages ------------------------------------------------------------------------------------

  const pagers = [...document.querySelectorAll('.pager')].map((nav) => {
    const previous = el('button', 'page-previous', '上一页');
    const next = el('button', 'page-next', '下一页');
    previous.type = next.type = 'button';
    const input = el('input', 'page-input');
    input.type = 'number';
    input.min = '1';
    input.inputMode = 'numeric';
    const pages = el('span', 'page-count');
    const label = el('label', 'page-label');
    label.append('第 ', input, ' 页，共 ', pages, ' 页');
    nav.append(previous, label, next);
    previous.addEventListener('click', () => goTo(state.page - 1, nav));
    next.addEventListener('click', () => goTo(state.page + 1, nav));
    input.addEventListener('change', () => goTo(Number(input.value) - 1, nav));
    return { nav, previous, next, input, pages };
  });

  const pageCount = () => Math.max(1, Math.ceil(shown.length / PAGE_SIZE));

  function goTo(page, from) {
    state.page = Math.min(Math.max(0, Math.floor(page) || 0), pageCount() - 1);
    render();
    // From the pager under the grid, the new page is read from its top.
    if (from && from.classList.contains('bottom')) $('grid').scrollIntoView({ block: 'start' });
  }

  function render() {
    const first = state.page * PAGE_SIZE;
    const slice = shown.slice(first, first + PAGE_SIZE);
    $('grid').replaceChildren(...slice.map(card));
    if (!slice.length) $('grid').append(el('p', 'empty', '没有符合条件的照片。'));
    $('status').textContent = (shown.length === items.length ? `共 ${count(items.length)} 张`
      : `筛选出 ${count(shown.length)} 张（共 ${count(items.length)} 张）`)
      + (slice.length ? `，显示第 ${count(first + 1)}–${count(first + slice.length)} 张` : '');
    $('status').dataset.count = String(shown.length);
    const pages = pageCount();
    for (const pager of pagers) {
      pager.nav.hidden = pages <= 1;
      pager.previous.disabled = state.page === 0;
      pager.next.disabled = state.page >= pages - 1;
      pager.input.max = String(pages);
      pager.input.value = String(state.page + 1);
      pager.pages.textContent = count(pages);
    }
    for (const bar of $('chart').children) {
      bar.setAttribute('aria-pressed', String(state.verdict === `v:${bar.dataset.verdict}`));
    }
    for (const button of document.querySelectorAll('.totals button[data-choice]')) {
      button.setAttribute('aria-pressed', String(state.verdict === button.dataset.choice));
    }
    for (const button of document.querySelectorAll('.totals button[data-decision]')) {
      button.setAttribute('aria-pressed', String(state.decision === button.dataset.decision));
    }
  }

  // ---- A change of decision, wherever it was made -----------------------------------------------

  // Said by a screen reader; outside a modal dialog the page is out of its reach.
  function announce(words) {
    $(queueDialog.open ? 'queue-announce' : 'announce').textContent = words;
  }

  function changed(item, before) {
    const after = decisions.get(item.index);
    if (before?.decision) tally[before.decision] -= 1;
    if (after?.decision) tally[after.decision] += 1;
    showTally();
    const shownCard = cardOf(item.index);
    if (shownCard) {
      showDecision(shownCard.querySelector('.decide'), item);
      shownCard.dataset.decision = after?.decision || '';
    }
    if (queue.item === item) showQueueDecision();
    scheduleSave();
  }

  const cardOf = (index) => $('grid').querySelector(`.photo[data-index="${index}"]`);

  // Clicks on the decision buttons and typing in the note, in the grid and in the queue.
  function wireDecisions(container) {
    container.addEventListener('click', (event) => {
      const button = event.target.closest('.decide-button');
      if (!button) return;
      decide(items[Number(button.closest('.decide').dataset.index)], button.dataset.decision);
      if (container === queueDialog && button.dataset.decision) nextUndecided();
      // 撤销 is disabled once pressed: the focus stays with the photo.
      if (button.disabled) (button.closest('.photo') || $('queue-body')).focus();
    });
    container.addEventListener('input', (event) => {
      if (!event.target.matches('.note-input')) return;
      setNote(items[Number(event.target.closest('.decide').dataset.index)], event.target.value);
    });
    // Enter or Esc in a note: back to the photo, where the shortcuts work again.
    container.addEventListener('keydown', (event) => {
      if (!event.target.matches('.note-input')) return;
      if (event.key !== 'Enter' && event.key !== 'Escape') return;
      event.preventDefault();
      (event.target.closest('.photo') || $('queue-body')).focus();
    });
  }

  // ---- The photo large --------------------------------------------------------------------------

  // The file itself where the browser shows it, else the thumbnail (a TIFF, a file gone); the
  // image says which in data-shown (file, thumb or none), the note says why.
  function showPicture(image, url, thumb, note) {
    const fallBack = (why) => {
      image.onerror = null;
      note.textContent = thumb ? `${why}，此处显示的是缩略图。` : `${why}。`;
      if (thumb) {
        image.dataset.shown = 'thumb';
        image.src = thumb;
      } else {
        image.dataset.shown = 'none';
        image.removeAttribute('src');
      }
    };
    note.textContent = '';
    if (url) {
      image.onerror = () => fallBack('浏览器无法显示这个文件（例如 TIFF 格式，或文件已移走）');
      image.dataset.shown = 'file';
      image.src = url;
    } else {
      fallBack('报告中没有这个文件的地址');
    }
  }

  const viewDialog = $('view-dialog');
  let viewOpener = null;

  function openView(item, which, opener) {
    const source = PICTURES[which];
    viewOpener = opener;
    $('view-title').textContent = source.title;
    $('view-path').replaceChildren(...pathLine(item).childNodes);
    $('view-path').title = item.path;
    const image = $('view-image');
    image.alt = `${source.title}：${item.name}`;
    showPicture(image, source.url(item.r), source.thumb(item.r), $('view-note'));
    $('view-note').hidden = !$('view-note').textContent;
    const url = source.url(item.r);
    $('view-open').hidden = !url;
    if (url) $('view-open').href = url;
    viewDialog.showModal();
  }

  $('grid').addEventListener('click', (event) => {
    const button = event.target.closest('.view-button');
    if (!button) return;
    openView(items[Number(button.closest('.photo').dataset.index)], button.dataset.picture, button);
  });
  $('view-close').addEventListener('click', () => viewDialog.close());
  viewDialog.addEventListener('click', (event) => {
    if (event.target === viewDialog) viewDialog.close();
  });
  viewDialog.addEventListener('close', () => {
    $('view-image').onerror = null;
    $('view-image').removeAttribute('src');
    if (viewOpener && viewOpener.isConnected) viewOpener.focus();
  });

  // ---- Going through the photos with the keyboard -----------------------------------------------

  let current = -1; // the record number of the card the shortcuts act on

  $('grid').addEventListener('focusin', (event) => {
    const at = event.target.closest('.photo');
    if (at) current = Number(at.dataset.index);
  });

  function focusCard(photo) {
    current = Number(photo.dataset.index);
    photo.focus({ preventScroll: true });
    photo.scrollIntoView({ block: 'nearest' });
  }

  // The next or previous card, over to the next or previous page at either end.
  function moveCard(by) {
    const cards = [...$('grid').querySelectorAll('.photo')];
    const at = cards.findIndex((c) => Number(c.dataset.index) === current);
    const next = at < 0 ? (by > 0 ? 0 : cards.length - 1) : at + by;
    if (next >= 0 && next < cards.length) {
      focusCard(cards[next]);
    } else if (at >= 0 && (by > 0 ? state.page < pageCount() - 1 : state.page > 0)) {
      goTo(state.page + by);
      const fresh = $('grid').querySelectorAll('.photo');
      focusCard(fresh[by > 0 ? 0 : fresh.length - 1]);
    }
  }

  function gridKey(key) {
    if (key === 'j' || key === 'k') {
      moveCard(key === 'j' ? 1 : -1);
      return;
    }
    const photo = current >= 0 ? cardOf(current) : null;
    if (!photo) {
      announce('请先按 J 选择一张照片。');
    } else if (key === 'n') {
      photo.querySelector('.note-input').focus();
    } else {
      decide(items[current], key === 'a' ? 'accept' : 'reject');
    }
  }

  const BUTTON_INPUTS = ['button', 'checkbox', 'radio', 'reset', 'submit'];
  const isTextField = (e) => e instanceof Element
    && (e.matches('textarea, select, [contenteditable]')
      || (e.matches('input') && !BUTTON_INPUTS.includes(e.type)));

  document.addEventListener('keydown', (event) => {
    if (event.ctrlKey || event.metaKey || event.altKey || event.isComposing) return;
    const key = event.key.length === 1 ? event.key.toLowerCase() : '';
    if (!key || !'jkarn'.includes(key) || isTextField(event.target)) return;
    if (queueDialog.open) {
      queueKey(key);
    } else if (!document.querySelector('dialog[open]')) {
      gridKey(key);
    } else {
      return;
    }
    event.preventDefault();
  });

  // ---- One photo after another: those that need a person ----------------------------------------

  const queueDialog = $('queue-dialog');
  const queue = { list: [], at: 0, item: null };
  const queuePanel = decisionPanel('queue');
  $('queue-info').insertBefore(queuePanel, $('queue-done'));

  function showQueueDecision() {
    showDecision(queuePanel, queue.item);
    const left = queue.list.filter((item) => !decisionOf(item)).length;
    $('queue-position').textContent = `第 ${count(queue.at + 1)} / ${count(queue.list.length)} 张`
      + `（未决定 ${count(left)} 张）`;
  }

  function showQueue(at) {
    queue.at = at;
    const item = queue.item = queue.list[at];
    const r = item.r;
    showPicture($('queue-original'), PICTURES.original.url(r), PICTURES.original.thumb(r),
      $('queue-original-note'));
    $('queue-original').alt = `原照片：${item.name}`;
    $('queue-corrected-box').hidden = !hasCorrection(r);
    if (hasCorrection(r)) {
      showPicture($('queue-corrected'), PICTURES.corrected.url(r), PICTURES.corrected.thumb(r),
        $('queue-corrected-note'));
      $('queue-corrected').alt = `修正后照片：${item.name}`;
    } else {
      $('queue-corrected').removeAttribute('src');
    }
    $('queue-path').replaceChildren(...pathLine(item).childNodes);
    $('queue-path').title = item.path;
    $('queue-verdict').textContent = verdictName(item.verdict) + (item.group === 'corrected'
      ? '，已自动修正，请确认修正后的照片' : '，有画质提示，请人工确认');
    // For a photo that passed, the verdict above says the first line already.
    $('queue-reason').replaceChildren(...reasonLines(item).slice(item.pass ? 1 : 0)
      .map((line) => el('li', '', line)));
    const extra = [duplicatesLine(item), fileLinks(item, false)].filter(Boolean);
    $('queue-files').replaceChildren(...extra.flatMap((line) => [...line.childNodes, ' ']));
    $('queue-done').textContent = '';
    $('queue-prev').disabled = at === 0;
    $('queue-next').disabled = at >= queue.list.length - 1;
    showQueueDecision();
  }

  function stepQueue(by) {
    const at = queue.at + by;
    if (at >= 0 && at < queue.list.length) showQueue(at);
  }

  // After a decision: the next photo not yet decided, from the start again after the last one.
  function nextUndecided() {
    const n = queue.list.length;
    for (let k = 1; k < n; k += 1) {
      const at = (queue.at + k) % n;
      if (!decisionOf(queue.list[at])) {
        showQueue(at);
        return;
      }
    }
    $('queue-done').textContent = `需人工查看的 ${count(n)} 张照片都已决定。可按 Esc 退出，或导出决定。`;
  }

  function queueKey(key) {
    if (key === 'j' || key === 'k') {
      stepQueue(key === 'j' ? 1 : -1);
    } else if (key === 'n') {
      queuePanel.querySelector('.note-input').focus();
    } else {
      decide(queue.item, key === 'a' ? 'accept' : 'reject');
      nextUndecided();
    }
  }

  function openQueue() {
    queue.list = order(state.sort).filter(toReview);
    if (!queue.list.length) return;
    const first = queue.list.findIndex((item) => !decisionOf(item));
    showQueue(Math.max(0, first));
    queueDialog.showModal();
    $('queue-body').focus();
  }

  $('queue-button').addEventListener('click', openQueue);
  $('queue-close').addEventListener('click', () => queueDialog.close());
  $('queue-prev').addEventListener('click', () => stepQueue(-1));
  $('queue-next').addEventListener('click', () => stepQueue(1));
  $('queue-files').addEventListener('click', (event) => {
    const button = event.target.closest('.duplicate-link');
    if (!button) return;
    queueDialog.close();
    jumpTo(Number(button.dataset.target));
  });
  queueDialog.addEventListener('close', () => {
    queue.item = null;
    for (const id of ['queue-original', 'queue-corrected']) {
      $(id).onerror = null;
      $(id).removeAttribute('src');
    }
    if (!document.activeElement?.closest('.photo')) $('queue-button').focus();
  });
  wireDecisions($('grid'));
  wireDecisions(queueDialog);

  // ---- A possible duplicate, one click away ----------------------------------------------------

  // To another photo's card: on its page, with the filters opened to the possible duplicates
  // when the filters chosen hide it.
  function jumpTo(index) {
    const item = items[index];
    if (!item) return;
    if (!shown.includes(item)) {
      Object.assign(state, { verdict: 'dup', advisory: 'all', decision: 'all', search: '' });
      $('verdict-filter').value = 'dup';
      $('advisory-filter').value = 'all';
      $('decision-filter').value = 'all';
      $('search').value = '';
      applyFilters();
    }
    const at = shown.indexOf(item);
    if (at < 0) return;
    if (Math.floor(at / PAGE_SIZE) !== state.page) goTo(Math.floor(at / PAGE_SIZE));
    focusCard(cardOf(index));
  }

  $('grid').addEventListener('click', (event) => {
    const button = event.target.closest('.duplicate-link');
    if (button) jumpTo(Number(button.dataset.target));
  });

  // ---- The explanation picture ------------------------------------------------------------------

  const dialog = $('explain-dialog');
  let viewing = null; // the item shown in the dialog
  let opener = null; // the button that opened it

  const explained = () => shown.filter((item) => localUrl(item.r.explain));

  function showExplanation(item) {
    viewing = item;
    const list = explained();
    const at = list.indexOf(item);
    $('explain-path').replaceChildren(...pathLine(item).childNodes);
    $('explain-path').title = item.path;
    $('explain-image').src = localUrl(item.r.explain);
    $('explain-image').alt = `解释图：${item.name}（采样的背景条、检测到的人脸和测得的数值）`;
    $('explain-verdict').textContent = verdictName(item.verdict);
    $('explain-reason').textContent = item.pass ? '' : text(item.r.reason);
    $('explain-position').textContent = at < 0 ? '' : `${count(at + 1)} / ${count(list.length)}`;
    $('explain-prev').disabled = at <= 0;
    $('explain-next').disabled = at < 0 || at >= list.length - 1;
  }

  function step(by) {
    const list = explained();
    const next = list[list.indexOf(viewing) + by];
    if (next) showExplanation(next);
    // At the first or last photo its button is disabled: the focus goes on to the other one.
    const [pressed, other] = by < 0 ? ['explain-prev', 'explain-next'] : ['explain-next', 'explain-prev'];
    if (document.activeElement === $(pressed) && $(pressed).disabled) {
      ($(other).disabled ? $('explain-close') : $(other)).focus();
    }
  }

  $('grid').addEventListener('click', (event) => {
    const button = event.target.closest('.explain-button');
    if (!button) return;
    opener = button;
    showExplanation(items[Number(button.closest('.photo').dataset.index)]);
    dialog.showModal();
  });
  $('explain-close').addEventListener('click', () => dialog.close());
  $('explain-prev').addEventListener('click', () => step(-1));
  $('explain-next').addEventListener('click', () => step(1));
  dialog.addEventListener('keydown', (event) => {
    if (event.target.closest('button') && (event.key === 'Enter' || event.key === ' ')) return;
    if (event.key === 'ArrowLeft') step(-1);
    if (event.key === 'ArrowRight') step(1);
  });
  dialog.addEventListener('click', (event) => {
    if (event.target === dialog) dialog.close(); // a click on the backdrop
  });
  dialog.addEventListener('close', () => {
    $('explain-image').removeAttribute('src');
    // Back to the photo now shown if it is on this page, else to the button that opened it.
    const shownButton = viewing
      && $('grid').querySelector(`.photo[data-index="${viewing.index}"] .explain-button`);
    (shownButton || (opener && opener.isConnected ? opener : null))?.focus();
  });

  // ---- The CSV export: the columns and rules of vrel-check --csv --------------------------------

  const CSV_HEADER = 'path,verdict,info,tip,marked,file_size,width,height,faces,face_x,face_y,'
    + 'face_w,face_h,ratio_y,ratio_x,centre_diff,reason,why,error,saved,quality,save_error,'
    + 'annotated,background_strip,background_row,background_col,background_hue,'
    + 'background_saturation,background_value,warnings,annotate_error,corrected,correction,'
    + 'correction_error,correct_write_error,advisories\r\n';

  const csvField = (value) => (/[,"\r\n]/.test(value) ? `"${value.replace(/"/g, '""')}"` : value);

  // The values that vrel-check writes as floating point numbers (1 is then written "1.0").
  function isFloat(path, record) {
    const [top, key] = path;
    if (top === 'ratio_y' || top === 'ratio_x' || top === 'correction_error') return true;
    if (top === 'background_pixel') return key === 'saturation' || key === 'value';
    if (top === 'correction') return key === 'scale' || key === 'ratio_y' || key === 'ratio_x';
    if (top !== 'why') return false;
    if (['ratio', 'ratio_range', 'range', 'saturation', 'white_rule', 'blue_rule'].includes(key)) {
      return true;
    }
    const measure = record.why && record.why.measure;
    return key === 'value' && ['background_pixel', 'ratio_y', 'ratio_x'].includes(measure);
  }

  // vrel-check's JSON library writes a double with Grisu2, whose digits are the shortest in most
  // cases but not in all (0.4206733 comes out as 0.42067329999999997). These are its steps, with
  // BigInt for its 64-bit integers, so that the export has the same digits.
  const bitLength = (x) => x.toString(2).length;
  const normalize = ({ f, e }) => {
    const shift = 64 - bitLength(f);
    return { f: f << BigInt(shift), e: e - shift };
  };
  const multiply = (x, y) => ({ f: (x.f * y.f + (1n << 63n)) >> 64n, e: x.e + y.e + 64 });
  const powers = new Map();

  // 10^k as f * 2^e, f of 64 bits rounded to the nearest.
  function power(k) {
    if (!powers.has(k)) {
      const num = k >= 0 ? 10n ** BigInt(k) : 1n;
      const den = k >= 0 ? 1n : 10n ** BigInt(-k);
      const ratio = (e) => (e >= 0 ? [num, den << BigInt(e)] : [num << BigInt(-e), den]);
      let e = bitLength(num) - bitLength(den) - 64; // num / den / 2^e is in [2^63, 2^65)
      let [a, b] = ratio(e);
      if (a / b >= 1n << 64n) [a, b] = ratio(++e);
      let f = (2n * a + b) / (2n * b);
      if (f >> 64n) {
        f >>= 1n;
        e += 1;
      }
      powers.set(k, { f, e });
    }
    return powers.get(k);
  }

  // [digits, exponent] with value = digits * 10^exponent, for a positive finite value.
  function grisu2(value) {
    const view = new DataView(new ArrayBuffer(8));
    view.setFloat64(0, value);
    const raw = view.getBigUint64(0);
    const biased = Number(raw >> 52n);
    const fraction = raw & ((1n << 52n) - 1n);
    const v = biased === 0 ? { f: fraction, e: -1074 } : { f: fraction + (1n << 52n), e: biased - 1075 };
    const plus = normalize({ f: 2n * v.f + 1n, e: v.e - 1 });
    const minus = fraction === 0n && biased > 1 ? { f: 4n * v.f - 1n, e: v.e - 2 }
      : { f: 2n * v.f - 1n, e: v.e - 1 };
    minus.f <<= BigInt(minus.e - plus.e);
    const f = -61 - plus.e;
    const k = -300 + 8 * Math.trunc((307 + Math.trunc((f * 78913) / 262144) + (f > 0)) / 8);
    const c = power(k);
    const w = multiply(normalize(v), c).f;
    const high = multiply(plus, c);
    const low = multiply({ f: minus.f, e: plus.e }, c).f + 1n;
    const top = high.f - 1n;
    const shift = BigInt(-high.e);
    const one = 1n << shift;
    let delta = top - low;
    let dist = top - w;
    let digits = '';
    let exponent = -k;
    let rest;
    let unit;
    let p1 = Number(top >> shift);
    let p2 = top & (one - 1n);
    let pow10 = 10 ** (String(p1).length - 1);
    for (let n = String(p1).length; ; pow10 /= 10) {
      digits += Math.floor(p1 / pow10);
      p1 %= pow10;
      n -= 1;
      rest = (BigInt(p1) << shift) + p2;
      if (rest <= delta) {
        exponent += n;
        unit = BigInt(pow10) << shift;
        break;
      }
      if (n === 0) {
        do {
          p2 *= 10n;
          digits += p2 >> shift;
          p2 &= one - 1n;
          delta *= 10n;
          dist *= 10n;
          exponent -= 1;
        } while (p2 > delta);
        rest = p2;
        unit = one;
        break;
      }
    }
    let last = Number(digits[digits.length - 1]);
    while (rest < dist && delta - rest >= unit
           && (rest + unit < dist || dist - rest > rest + unit - dist)) {
      last -= 1;
      rest += unit;
    }
    return [digits.slice(0, -1) + last, exponent];
  }

  // A floating point number as the program's JSON library writes it: Grisu2's digits, ".0" after
  // a whole number, an exponent below 1e-4 and from 1e15.
  function floatText(v) {
    if (!Number.isFinite(v)) return 'null';
    if (v === 0) return Object.is(v, -0) ? '-0.0' : '0.0';
    const [digits, exponent] = grisu2(Math.abs(v));
    const k = digits.length;
    const n = k + exponent; // where the decimal point goes
    let body;
    if (k <= n && n <= 15) {
      body = digits + '0'.repeat(n - k) + '.0';
    } else if (n > 0 && n <= 15) {
      body = `${digits.slice(0, n)}.${digits.slice(n)}`;
    } else if (n > -4 && n <= 0) {
      body = `0.${'0'.repeat(-n)}${digits}`;
    } else {
      const e = n - 1;
      body = (k === 1 ? digits : `${digits[0]}.${digits.slice(1)}`) + 'e' + (e < 0 ? '-' : '+')
        + String(Math.abs(e)).padStart(2, '0');
    }
    return (v < 0 ? '-' : '') + body;
  }

  // Compact JSON as vrel-check writes it; path says where the value is in the record.
  function dump(value, path, record) {
    if (value === null || value === undefined) return 'null';
    if (typeof value === 'number') {
      return Number.isInteger(value) && !isFloat(path, record) ? String(value) : floatText(value);
    }
    if (typeof value === 'string' || typeof value === 'boolean') return JSON.stringify(value);
    if (Array.isArray(value)) {
      return `[${value.map((v, i) => dump(v, [...path, i], record)).join(',')}]`;
    }
    return `{${Object.entries(value).map(([k, v]) =>
      `${JSON.stringify(k)}:${dump(v, [...path, k], record)}`).join(',')}}`;
  }

  function csvRow(r) {
    const field = (key) => (r[key] == null ? ''
      : csvField(typeof r[key] === 'string' ? r[key] : dump(r[key], [key], r)));
    const face = (key) => (r.face == null ? '' : dump(r.face[key], ['face', key], r));
    const pixel = (key) => {
      const p = r.background_pixel;
      if (p == null) return '';
      return typeof p[key] === 'string' ? p[key] : dump(p[key], ['background_pixel', key], r);
    };
    const warnings = Array.isArray(r.warnings) ? r.warnings.map(text).join('; ') : '';
    return [
      ...['path', 'verdict', 'info', 'tip', 'marked', 'file_size', 'width', 'height', 'faces']
        .map(field),
      ...['x', 'y', 'w', 'h'].map(face),
      ...['ratio_y', 'ratio_x', 'centre_diff', 'reason', 'why', 'error', 'saved', 'quality',
        'save_error', 'annotated'].map(field),
      ...['strip', 'row', 'col', 'hue', 'saturation', 'value'].map(pixel),
      csvField(warnings),
      ...['annotate_error', 'corrected', 'correction', 'correction_error', 'correct_write_error']
        .map(field),
      csvField((Array.isArray(r.advisories) ? r.advisories : []).map((a) => text(a.code))
        .join('; ')),
    ].join(',') + '\r\n';
  }

  // ---- The decisions as a CSV file --------------------------------------------------------------

  const DECISIONS_HEADER = 'path,verdict,decision,note,who,when,corrected,reason,file_size,sha256,'
    + 'corrected_sha256\r\n';

  // What a person typed or the page worded: one starting with = + - @ (or a tab or a carriage
  // return) would be a formula to a spreadsheet, so it gets an apostrophe before it. The paths and
  // checksums, which vrel-check reads back, stay as they are.
  const wordsField = (value) => csvField(/^[=+\-@\t\r]/.test(value) ? `'${value}` : value);

  function decisionRow(item) {
    const r = item.r;
    const e = decisions.get(item.index);
    const plain = (value) => csvField(value == null ? '' : text(value));
    const decided = e && e.decision ? e : null;
    return [
      plain(item.path), plain(item.verdict), decided ? DECISION[decided.decision].word : '',
      decided ? wordsField(decided.note) : '', decided ? wordsField(decided.who) : '',
      decided && decided.when ? isoTime(decided.when) : '', plain(r.corrected),
      wordsField(reasonLines(item).join('；')), plain(r.file_size), plain(r.sha256),
      plain(r.corrected_sha256),
    ].join(',') + '\r\n';
  }

  function download(name, parts) {
    // The byte order mark makes spreadsheet programs read the file as UTF-8.
    const blob = new Blob(['\ufeff', ...parts], { type: 'text/csv;charset=utf-8' });
    const link = document.createElement('a');
    link.href = URL.createObjectURL(blob);
    link.download = name;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 60000);
  }

  const exportCsv = () => download('审核结果.csv',
    [CSV_HEADER, ...shown.map((item) => csvRow(item.r))]);
  // Every record, decided or not, in the order of the run.
  const exportDecisions = () => download('decisions.csv',
    [DECISIONS_HEADER, ...items.map(decisionRow)]);

  // ---- Wiring -----------------------------------------------------------------------------------

  function setVerdict(choice) {
    state.verdict = choice;
    $('verdict-filter').value = choice;
    applyFilters();
  }

  $('verdict-filter').addEventListener('change', (e) => setVerdict(e.target.value));
  $('advisory-filter').addEventListener('change', (e) => {
    state.advisory = e.target.value;
    applyFilters();
  });
  $('search').addEventListener('input', (e) => {
    state.search = e.target.value;
    applyFilters();
  });
  $('sort').addEventListener('change', (e) => {
    state.sort = e.target.value;
    applyFilters();
  });
  for (const button of document.querySelectorAll('.totals button[data-choice]')) {
    const choice = button.dataset.choice;
    button.addEventListener('click', () => setVerdict(state.verdict === choice ? 'all' : choice));
  }
  $('chart').addEventListener('click', (event) => {
    const bar = event.target.closest('.bar');
    if (!bar) return;
    const choice = `v:${bar.dataset.verdict}`;
    setVerdict(state.verdict === choice ? 'all' : choice);
  });
  function setDecision(choice) {
    state.decision = choice;
    $('decision-filter').value = choice;
    applyFilters();
  }

  $('decision-filter').addEventListener('change', (e) => setDecision(e.target.value));
  for (const button of document.querySelectorAll('.totals button[data-decision]')) {
    const choice = button.dataset.decision;
    button.addEventListener('click', () => setDecision(state.decision === choice ? 'all' : choice));
  }
  $('export-button').addEventListener('click', exportCsv);
  $('decisions-button').addEventListener('click', exportDecisions);
  // The operator's name, typed once for every report opened in this browser.
  $('reviewer').value = (() => {
    try {
      return storage()?.getItem(REVIEWER_KEY) || '';
    } catch (e) {
      return '';
    }
  })();
  $('reviewer').addEventListener('input', () => {
    try {
      storage()?.setItem(REVIEWER_KEY, reviewer());
    } catch (e) {
      // not kept: typed again next time
    }
  });

  loadDecisions();
  showOverview();
  fillFilters();
  showTally();
  $('queue-button').disabled = !items.some(toReview);
  for (const hidden of document.querySelectorAll('.overview, .toolbar, .list-head')) {
    hidden.hidden = false;
  }
  // A reload keeps the choices the browser restored into the form fields.
  state.verdict = $('verdict-filter').value;
  state.advisory = $('advisory-filter').value;
  state.decision = $('decision-filter').value;
  state.search = $('search').value;
  state.sort = $('sort').value;
  applyFilters();
})();
