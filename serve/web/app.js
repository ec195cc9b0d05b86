// VrelPictureCheck web page: review a photo, show the verdict, save, correct, explain.
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const fileInput = $('file-input');
  const dropZone = $('drop-zone');
  const infoLine = $('info-line');
  const reason = $('reason');
  const advisoryList = $('advisories');
  const message = $('message');
  const hint = $('hint');
  const photo = $('photo');
  const placeholder = $('placeholder');
  const saveButton = $('save-button');
  const correctButton = $('correct-button');
  const explainButton = $('explain-button');
  const dialog = $('explain-dialog');
  const explainImage = $('explain-image');
  const workspace = document.querySelector('.workspace');
  const sampleCard = document.querySelector('.sample-card');
  const originalCard = $('original-card');
  const originalPhoto = $('original-photo');
  const originalPlaceholder = $('original-placeholder');
  const photoCaption = $('photo-caption');
  const notes = $('notes');
  const backdropChoice = $('backdrop-choice');
  const backdropOptions = $('backdrop-options');
  const cameraInput = $('camera-input');
  const profileChoice = $('profile-choice');
  const profileSelect = $('profile');
  const profileSource = $('profile-source');
  const DEFAULT_CAPTION = photoCaption.textContent;

  const DOWNLOAD_NAME = '报名照片.jpg';
  const STATUS_TEXT = {
    400: '请求有误',
    404: '服务地址不存在',
    405: '请求方式不被接受',
    413: '照片文件太大',
    500: '服务内部出错',
    503: '服务繁忙，请稍后再试',
  };

  // What a correction did, from the steps and warnings of its X-Vrel-Correction header.
  const STEP_TEXT = {
    trim: () => '裁掉截图或扫描留下的边框',
    convert: () => '转换格式与大小',
    reframe: () => '重新裁剪构图',
    backdrop: (label) => `更换为${label || '纯色'}背景`,
    straighten: () => '校正头部倾斜',
    extend: () => '以纯色背景扩展画面',
  };
  const WARNING_TEXT = {
    enlarged: '照片细节不足，可能是放大得到的，建议提交原始照片',
  };

  // The exam whose rules review the photos: a profile of the service ('' its default), as the
  // page's own address may name it (?profile=NAME).
  let profile = new URLSearchParams(location.search).get('profile') || '';

  // An API address with the profile chosen.
  function api(route, query = null) {
    const params = new URLSearchParams(query || {});
    if (profile) params.set('profile', profile);
    const text = params.toString();
    return '/api/v1/' + route + (text ? '?' + text : '');
  }

  // The photo under review. A newer choice replaces it; answers that arrive
  // for an older one are dropped (each step checks that it is still current).
  let current = null; // { file, record, blob }
  let photoUrl = null; // object URL of the shown saved/corrected photo
  let originalUrl = null; // object URL of the original beside a corrected photo
  let explainUrl = null;
  // The backdrop colours a correction may ask for: { default, choices: [{ name, label, colour }] }.
  let backdrops = null;

  // ---- Display helpers ----------------------------------------------------

  // The records carry the desktop tool's pass text, which ends in "保存后退出" (save, then the
  // program exits); the page goes on, so it never says so.
  const withoutExit = (text) => String(text || '').replace(/[，,、;；]?\s*保存后退出[。.]?/g, '');

  function setInfo(text, kind) {
    infoLine.textContent = withoutExit(text);
    infoLine.className = 'frame-line' + (kind ? ' ' + kind : '');
  }

  function updateHint() {
    hint.hidden = Boolean(reason.textContent || message.textContent || !advisoryList.hidden ||
                          !notes.hidden);
  }

  // Lines under the message: what a correction did and what to look out for, or every reason
  // why it could not be done. Each is [text, kind] with kind 'step', 'warning' or 'blocker'.
  function setNotes(lines) {
    notes.replaceChildren(...lines.map(([text, kind]) => {
      const item = document.createElement('li');
      item.className = kind;
      item.textContent = withoutExit(text);
      return item;
    }));
    notes.hidden = lines.length === 0;
    updateHint();
  }

  // Quality hints beside the verdict (they never change it), one line each, as text.
  function setAdvisories(record) {
    advisoryList.replaceChildren();
    const notes = record && Array.isArray(record.advisories) ? record.advisories : [];
    for (const note of notes) {
      const item = document.createElement('li');
      item.textContent = '画质提示：' + (typeof note.text === 'string' ? note.text : String(note.code));
      advisoryList.append(item);
    }
    advisoryList.hidden = notes.length === 0;
    updateHint();
  }

  function setReason(text) {
    reason.textContent = withoutExit(text);
    updateHint();
  }

  function setMessage(text, kind) {
    message.textContent = withoutExit(text);
    message.className = text ? kind : '';
    updateHint();
  }

  // A button that was pressed is disabled while its request runs, which takes the keyboard
  // focus away; afterwards the focus goes to the button for the next step.
  function keepFocus(button) {
    if (document.activeElement === document.body || !document.activeElement) button.focus();
  }

  function replaceUrl(old, blob) {
    if (old) URL.revokeObjectURL(old);
    return blob ? URL.createObjectURL(blob) : null;
  }

  // Shows a server picture (a tip), a blob (saved or corrected photo), or,
  // with neither, the placeholder text.
  function showPhoto({ src = null, blob = null, text = '', alt = '照片' } = {}) {
    photoUrl = replaceUrl(photoUrl, blob);
    const url = photoUrl || src;
    photo.alt = alt;
    if (url) {
      photo.src = url;
    } else {
      photo.removeAttribute('src');
    }
    photo.hidden = !url;
    placeholder.hidden = Boolean(url);
    placeholder.textContent = text;
  }

  // After a correction the original takes the sample's place, beside the corrected photo; with
  // file null the sample comes back.
  function showOriginal(file) {
    originalUrl = replaceUrl(originalUrl, file);
    const comparing = Boolean(originalUrl);
    workspace.classList.toggle('comparing', comparing);
    sampleCard.hidden = comparing;
    originalCard.hidden = !comparing;
    if (comparing) photoCaption.textContent = '修正后的照片';
    originalPlaceholder.hidden = true;
    if (comparing) {
      originalPhoto.src = originalUrl;
      originalPhoto.hidden = false;
    } else {
      originalPhoto.removeAttribute('src');
      originalPhoto.hidden = true;
    }
  }

  // ---- Talking to the service ----------------------------------------------

  // A failed request: message is what the page shows, body the parsed JSON answer (if any).
  class RequestError extends Error {
    constructor(text, status = 0, body = null) {
      super(text);
      this.status = status;
      this.body = body;
    }
  }

  async function post(route, file, query = null) {
    const form = new FormData();
    form.append('photo', file, file.name || 'photo.jpg');
    const target = api(route, query);
    let response;
    try {
      response = await fetch(target, { method: 'POST', body: form });
    } catch (e) {
      throw new RequestError('无法连接审核服务，请检查网络后重试');
    }
    if (response.ok) return response;

    let body = null;
    try {
      body = await response.json();
    } catch (e) {
      // Not JSON (a proxy's error page, a cut connection): the status says enough.
    }
    const serverText = body && typeof body.error === 'string' ? body.error : '';
    if (response.status === 422) {
      throw new RequestError(serverText || '无法处理这张照片', 422, body);
    }
    let text = STATUS_TEXT[response.status] || `服务出错（状态 ${response.status}）`;
    const retry = response.headers.get('Retry-After');
    if (response.status === 503 && /^\d+$/.test(retry || '')) {
      text += `（约 ${retry} 秒后可重试）`;
    } else if (response.status === 503 && serverText) {
      // Not busy: stopping, or this service cannot do it; its own sentence says which.
      text = serverText;
    } else if (response.status === 400 && serverText) {
      // The request itself is wrong (an empty file, no photo): the service's sentence says
      // what to do.
      text = serverText;
    } else if (serverText) {
      text += `（服务器信息：${serverText}）`;
    }
    throw new RequestError(text, response.status, body);
  }

  async function readBody(response, kind) {
    try {
      return kind === 'json' ? await response.json() : await response.blob();
    } catch (e) {
      throw new RequestError('服务返回的数据不完整，请重试');
    }
  }

  // Runs one step for the current photo; drops its result if another photo was chosen meanwhile.
  async function step(state, work, onError) {
    try {
      await work(() => state !== current);
    } catch (e) {
      if (state !== current) return;
      if (!(e instanceof RequestError)) console.error(e);
      onError(e instanceof RequestError ? e : new RequestError('页面出错，请刷新后重试'));
    }
  }

  // ---- The flow ------------------------------------------------------------

  const isPass = (record) => typeof record.verdict === 'string' && record.verdict.startsWith('Passed');

  function review(file) {
    const state = { file, record: null, blob: null };
    current = state;
    if (dialog.open) dialog.close();
    saveButton.disabled = correctButton.disabled = explainButton.disabled = true;
    showOriginal(null);
    photoCaption.textContent = DEFAULT_CAPTION;
    setReason('');
    setAdvisories(null);
    setMessage('', '');
    setNotes([]);
    if (file.size === 0) {
      // Nothing to send: the file chosen is empty, which only the applicant can mend.
      setInfo('审核未完成', 'bad');
      showPhoto({ text: '这个文件是空的' });
      setMessage('这个照片文件是空的（0 字节），可能没有保存完整或下载失败。请重新选择照片文件，或重新拍照。', 'error');
      return Promise.resolve();
    }
    showPhoto({ text: '正在审核…' });
    setInfo('正在审核…', 'busy');

    return step(state, async (stale) => {
      const record = await readBody(await post('review', file), 'json');
      if (stale()) return;
      state.record = record;
      const passed = isPass(record);
      setInfo(record.info || (passed ? '审核通过' : '审核不通过'), passed ? 'ok' : 'bad');
      // The reason says what to do; the error field is the operators' detail, not shown.
      setReason(passed ? '' : record.reason || '照片未通过审核');
      setAdvisories(record);
      explainButton.disabled = typeof record.width !== 'number';
      if (!passed) {
        correctButton.disabled = false;
        photoCaption.textContent = record.tip ? '提示图：照片为什么未通过审核' : '照片未通过审核';
        showPhoto(record.tip ? { src: '/' + record.tip, alt: '提示图：照片为什么未通过审核' } : { text: '照片未通过审核' });
        return;
      }
      photoCaption.textContent = '审核通过的照片（保存后的样子）';
      // A passed photo is shown as it will be saved: normalised, 300 dpi, marked.
      showPhoto({ text: '正在生成照片…' });
      try {
        const blob = await readBody(await post('save', file), 'blob');
        if (stale()) return;
        state.blob = blob;
        showPhoto({ blob });
        saveButton.disabled = false;
        setMessage('审核通过。请点击“保存照片”，把照片保存到电脑或手机上，再按报名网站的要求上传保存的这张照片。', 'note');
        keepFocus(saveButton);
      } catch (e) {
        if (stale()) return;
        showPhoto({ text: '无法生成照片' });
        setMessage('无法生成保存用的照片：' + e.message, 'error');
      }
    }, (e) => {
      setInfo('审核未完成', 'bad');
      showPhoto({ text: '请重新打开照片' });
      setMessage(e.message, 'error');
    });
  }

  // The colour chosen for a replaced backdrop, where the applicant has a choice.
  function chosenBackdrop() {
    if (backdropChoice.hidden) return null;
    const checked = backdropOptions.querySelector('input[name="backdrop"]:checked');
    return checked ? checked.value : null;
  }

  // The Chinese name of the colour a correction used: the one asked for, or the service's own.
  function backdropLabel(name) {
    if (!backdrops) return '';
    const choice = backdrops.choices.find((c) => c.name === (name || backdrops.default));
    return choice ? choice.label : '';
  }

  // What the X-Vrel-Correction header says was done, as lines for setNotes.
  function correctionNotes(header, backdrop) {
    let correction = {};
    try {
      correction = JSON.parse(header || '{}') || {};
    } catch (e) {
      // Without it the corrected photo still stands; only the list is missing.
    }
    const lines = [];
    for (const name of Array.isArray(correction.steps) ? correction.steps : []) {
      if (!STEP_TEXT[name]) continue;
      let text = STEP_TEXT[name](backdropLabel(backdrop));
      if (name === 'straighten' && typeof correction.roll === 'number') {
        text += `（约 ${Math.abs(correction.roll).toFixed(1)}°）`;
      }
      lines.push([text, 'step']);
    }
    for (const name of Array.isArray(correction.warnings) ? correction.warnings : []) {
      lines.push([WARNING_TEXT[name] || String(name), 'warning']);
    }
    // The corrected photo's own quality, measured again.
    for (const note of Array.isArray(correction.advisories) ? correction.advisories : []) {
      if (note && typeof note.text === 'string') {
        lines.push([`修正后的照片：${note.text}`, 'warning']);
      }
    }
    return lines;
  }

  function correct() {
    const state = current;
    if (!state || !state.record) return;
    correctButton.disabled = true;
    setNotes([]);
    setMessage('正在自动修正…', 'busy');
    const backdrop = chosenBackdrop();
    step(state, async (stale) => {
      const response = await post('correct', state.file, backdrop ? { backdrop } : null);
      const blob = await readBody(response, 'blob');
      if (stale()) return;
      state.blob = blob;
      showPhoto({ blob, alt: '修正后的照片' });
      showOriginal(state.file);
      setInfo('修正后审核通过', 'ok');
      setReason('');
      setMessage('照片已自动修正，请核对修正前后的照片，再点击“保存照片”。', 'note');
      setNotes(correctionNotes(response.headers.get('X-Vrel-Correction'), backdrop));
      saveButton.disabled = false;
      // Another colour may be tried on the same photo.
      correctButton.disabled = backdropChoice.hidden;
      keepFocus(saveButton);
    }, (e) => {
      // 422: this photo cannot be mended (the reasons say what to do); other errors may pass.
      if (e.status !== 422) correctButton.disabled = false;
      keepFocus(correctButton.disabled ? $('open-button') : correctButton);
      const refusal = e.status === 422 && e.body ? e.body.correction_error : null;
      const blockers = refusal && Array.isArray(refusal.blockers) ?
        refusal.blockers.filter((b) => b && typeof b.reason === 'string' && b.reason) : [];
      if (blockers.length > 0) {
        setMessage('无法自动修正：', 'error');
        setNotes(blockers.map((b) => [b.reason, 'blocker']));
      } else {
        setMessage((e.status === 422 ? '无法自动修正：' : '') + e.message, 'error');
      }
    });
  }

  // The requirements of the settings this service runs with, as it checks them.
  async function loadRequirements() {
    const list = $('requirements');
    try {
      const response = await fetch(api('requirements'));
      const body = response.ok ? await response.json() : null;
      const sentences = body && Array.isArray(body.sentences) ?
        body.sentences.filter((s) => typeof s === 'string' && s) : [];
      if (sentences.length === 0) throw new Error('no requirements');
      list.replaceChildren(...sentences.map((text) => {
        const item = document.createElement('li');
        item.textContent = text;
        return item;
      }));
      const saved = body.saved || {};
      const walls = body.backdrops || {};
      const colours = [['white', '白'], ['light_grey', '浅灰'], ['light_blue', '浅蓝']]
        .filter(([key]) => walls[key] === true).map(([, name]) => name);
      if (Number.isInteger(saved.width) && Number.isInteger(saved.height)) {
        $('sample-line').textContent = `${saved.width}×${saved.height} 像素` +
          (colours.length > 0 ? ` · ${colours.join('、')}色背景` : '');
      }
    } catch (e) {
      list.replaceChildren(Object.assign(document.createElement('li'),
        { textContent: '无法读取照片要求，请刷新页面重试' }));
    } finally {
      list.removeAttribute('aria-busy');
    }
  }

  // The backdrop colours this service offers; a choice is shown only where there are several.
  async function loadBackdrops() {
    try {
      const response = await fetch(api('backdrops'));
      const body = response.ok ? await response.json() : null;
      const choices = body && Array.isArray(body.choices) ? body.choices.filter((c) =>
        c && typeof c.name === 'string' && typeof c.label === 'string' &&
        /^#[0-9a-f]{6}$/i.test(c.colour)) : [];
      if (choices.length === 0) return;
      const fallback = choices.some((c) => c.name === body.default) ? body.default : choices[0].name;
      backdrops = { default: fallback, choices };
      backdropOptions.replaceChildren(...choices.map((c) => {
        const label = document.createElement('label');
        label.className = 'backdrop-option';
        const input = document.createElement('input');
        input.type = 'radio';
        input.name = 'backdrop';
        input.value = c.name;
        input.checked = c.name === fallback;
        const swatch = document.createElement('span');
        swatch.className = 'swatch';
        swatch.style.backgroundColor = c.colour;
        label.append(input, swatch, c.label);
        return label;
      }));
      backdropChoice.hidden = choices.length < 2;
    } catch (e) {
      // An older or unreachable service: corrections use its own colour.
    } finally {
      backdropChoice.dataset.loaded = 'true';
    }
  }

  function explain() {
    const state = current;
    if (!state || !state.record) return;
    explainButton.disabled = true;
    const before = message.textContent;
    const beforeKind = message.className;
    setMessage('正在生成解释图…', 'busy');
    step(state, async (stale) => {
      const blob = await readBody(await post('annotate', state.file), 'blob');
      if (stale()) return;
      explainButton.disabled = false;
      setMessage(before, beforeKind);
      explainUrl = replaceUrl(explainUrl, blob);
      explainImage.src = explainUrl;
      dialog.showModal();
    }, (e) => {
      explainButton.disabled = false;
      keepFocus(explainButton);
      setMessage('无法生成解释图：' + e.message, 'error');
    });
  }

  function save() {
    if (!current || !current.blob || !photoUrl) return;
    const link = document.createElement('a');
    link.href = photoUrl;
    link.download = DOWNLOAD_NAME;
    document.body.append(link);
    link.click();
    link.remove();
  }

  // ---- Wiring ----------------------------------------------------------------

  $('open-button').addEventListener('click', () => fileInput.click());
  // A photo taken with the phone's camera is reviewed like any other.
  $('camera-button').addEventListener('click', () => cameraInput.click());
  for (const input of [fileInput, cameraInput]) {
    input.addEventListener('change', () => {
      const file = input.files[0];
      input.value = ''; // choosing the same file again reviews it again
      if (file) review(file);
    });
  }
  saveButton.addEventListener('click', save);
  originalPhoto.addEventListener('error', () => {
    // A format the browser does not show (TIFF): the corrected photo is still beside it.
    if (!originalPhoto.getAttribute('src')) return;
    originalPhoto.hidden = true;
    originalPlaceholder.hidden = false;
  });
  correctButton.addEventListener('click', correct);
  explainButton.addEventListener('click', explain);
  $('explain-close').addEventListener('click', () => dialog.close());
  dialog.addEventListener('close', () => {
    explainImage.removeAttribute('src');
    explainUrl = replaceUrl(explainUrl, null);
    // Back to the button that opened it (the browser cannot: the button was disabled meanwhile).
    if (!explainButton.disabled) explainButton.focus();
  });

  // A photo dropped anywhere on the page is reviewed; the photo frame lights up meanwhile.
  const carriesFiles = (event) => Array.from(event.dataTransfer?.types || []).includes('Files');
  for (const type of ['dragenter', 'dragover']) {
    document.addEventListener(type, (event) => {
      if (!carriesFiles(event)) return;
      event.preventDefault();
      event.dataTransfer.dropEffect = 'copy';
      dropZone.classList.add('dragging');
    });
  }
  document.addEventListener('dragleave', (event) => {
    if (!event.relatedTarget) dropZone.classList.remove('dragging');
  });
  document.addEventListener('drop', (event) => {
    if (!carriesFiles(event)) return;
    event.preventDefault();
    dropZone.classList.remove('dragging');
    const file = event.dataTransfer.files[0];
    if (file) review(file);
  });

  // The exams this service has rules for; a choice is shown only where there are several.
  async function loadProfiles() {
    let listed = [];
    try {
      const response = await fetch('/api/v1/profiles');
      const body = response.ok ? await response.json() : null;
      listed = body && Array.isArray(body.profiles) ? body.profiles.filter((p) =>
        p && typeof p.name === 'string' && p.name) : [];
    } catch (e) {
      // An older or unreachable service: its own rules only.
    }
    if (!listed.some((p) => p.name === profile)) profile = '';
    if (listed.length < 2) return;
    profileSelect.replaceChildren(...listed.map((p) => {
      const option = document.createElement('option');
      option.value = p.name === 'default' ? '' : p.name;
      option.textContent = typeof p.title === 'string' && p.title ? p.title :
        (p.name === 'default' ? '本服务的默认要求' : p.name);
      option.dataset.source = typeof p.source === 'string' ? p.source : '';
      return option;
    }));
    profileSelect.value = profile === 'default' ? '' : profile;
    const showSource = () => {
      const chosen = profileSelect.selectedOptions[0];
      profileSource.textContent = chosen && chosen.dataset.source ?
        '依据：' + chosen.dataset.source : '';
    };
    showSource();
    profileChoice.hidden = false;
    profileSelect.addEventListener('change', () => {
      profile = profileSelect.value;
      showSource();
      const address = new URL(location.href);
      if (profile) address.searchParams.set('profile', profile);
      else address.searchParams.delete('profile');
      history.replaceState(null, '', address);
      loadRequirements();
      loadBackdrops();
      // The photo on show is reviewed again by the rules now chosen.
      if (current && current.file) review(current.file);
    });
  }

  loadProfiles().then(() => {
    loadRequirements();
    loadBackdrops();
  });
})();
