// VrelPictureCheck batch report: the records of one vrel-check run (records.js beside this file),
// with counts, filters, search, sorting, the explanation pictures and a CSV export.
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

  // ---- Filters and sorting ----------------------------------------------------------------------

  const state = { verdict: 'all', advisory: 'all', search: '', sort: 'input', page: 0 };
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

  function verdictTest(choice) {
    if (choice === 'pass') return (item) => item.pass;
    if (choice === 'fail') return (item) => !item.pass;
    if (choice === 'review') {
      return (item) => item.group === 'advised' || item.group === 'corrected';
    }
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

  function applyFilters() {
    const byVerdict = verdictTest(state.verdict);
    const byAdvisory = advisoryTest(state.advisory);
    const query = state.search.trim().toLowerCase();
    shown = order(state.sort).filter((item) => (!byVerdict || byVerdict(item))
      && (!byAdvisory || byAdvisory(item)) && (!query || item.key.includes(query)));
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

  function card(item) {
    const r = item.r;
    const review = item.group === 'advised' || item.group === 'corrected';
    const article = el('article', `photo ${item.pass ? 'pass' : 'fail'}${review ? ' review' : ''}`);
    article.dataset.index = String(item.index);

    const thumbs = el('div', 'thumbs');
    const original = thumbnail(r.thumb, `原照片：${item.name}`);
    if (localUrl(r.explain)) {
      const button = el('button', 'thumb explain-button');
      button.type = 'button';
      button.setAttribute('aria-label', `查看解释图：${item.name}`);
      button.append(original, el('span', 'thumb-hint', '解释图'));
      thumbs.append(button);
    } else {
      const frame = el('div', 'thumb');
      frame.append(original);
      thumbs.append(frame);
    }
    if (r.corrected_thumb != null || r.corrected != null) {
      const figure = el('figure', 'thumb corrected');
      figure.append(thumbnail(r.corrected_thumb, `修正后：${item.name}`),
        el('figcaption', '', '修正后'));
      thumbs.append(figure);
    }
    article.append(thumbs, pathLine(item));

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
        const entry = el('li', '', `${advisoryName(text(a.code))}：${text(a.text)}`);
        if (a.measure != null || a.bound != null) {
          entry.append(el('span', 'advisory-numbers', `（测得 ${num(a.measure)}，界限 ${num(a.bound)}）`));
        }
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
  }

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

  function exportCsv() {
    // The byte order mark makes spreadsheet programs read the file as UTF-8.
    const blob = new Blob(['\ufeff', CSV_HEADER, ...shown.map((item) => csvRow(item.r))],
      { type: 'text/csv;charset=utf-8' });
    const link = document.createElement('a');
    link.href = URL.createObjectURL(blob);
    link.download = '审核结果.csv';
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 60000);
  }

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
  $('export-button').addEventListener('click', exportCsv);

  showOverview();
  fillFilters();
  for (const hidden of document.querySelectorAll('.overview, .toolbar, .list-head')) {
    hidden.hidden = false;
  }
  // A reload keeps the choices the browser restored into the form fields.
  state.verdict = $('verdict-filter').value;
  state.advisory = $('advisory-filter').value;
  state.search = $('search').value;
  state.sort = $('sort').value;
  applyFilters();
})();
