// The firmware dialog of a serial tab: images with their flash offsets (guessed from the
// file name, editable), chip, interface, flashing speed, flash size and read-back check (as
// the session last used them), write or erase, and the job's progress as the program reports it through xferOnEvent.
(function () {
  'use strict';
  const Termiva = (window.Termiva = window.Termiva || {});
  const { t } = Termiva.i18n;
  const { call } = Termiva.bridge;

  const el = (tag, props = {}, children = []) => {
    const node = document.createElement(tag);
    Object.assign(node, props);
    for (const child of children) node.append(child);
    return node;
  };

  function baseName(p) {
    const parts = String(p).split(/[\\/]/);
    return parts[parts.length - 1] || String(p);
  }

  function hex(n) {
    return '0x' + Number(n).toString(16).toUpperCase();
  }

  // An offset as the program reads it: 0x and hex digits, or decimal digits. null otherwise.
  function offsetValue(text) {
    const s = String(text ?? '').trim();
    if (/^0[xX][0-9a-fA-F]{1,8}$/.test(s)) return parseInt(s.slice(2), 16);
    if (/^\d{1,10}$/.test(s)) return Number(s);
    return null;
  }

  function formatSize(n) {
    if (!Number.isFinite(n) || n < 0) return '?';
    if (n < 1024) return n + ' B';
    if (n < 1024 * 1024) return (n / 1024).toFixed(1) + ' KiB';
    return (n / 1024 / 1024).toFixed(2) + ' MiB';
  }

  class FirmwareDialog {
    constructor(root, { activeId, failed, onFinished }) {
      this.root = root;
      this.activeId = activeId;
      this.failed = failed;
      this.onFinished = onFinished;
      this.$ = (name) => root.querySelector('[data-fw="' + name + '"]');
      this.tabs = new Map(); // tab id → {files, chip, iface, mode, running, log, progress, result}
      this.chips = null;

      this.$('add').addEventListener('click', () => this.addFiles());
      this.$('build').addEventListener('click', () => this.pickBuildDir());
      this.$('start').addEventListener('click', () => this.start());
      this.$('cancel').addEventListener('click', () => this.cancel());
      this.$('close').addEventListener('click', () => this.close());
      this.$('chip').addEventListener('change', () => {
        this.state().chip = this.$('chip').value;
      });
      this.$('iface').addEventListener('change', () => {
        this.state().iface = this.$('iface').value;
      });
      this.$('baud').addEventListener('change', () => {
        this.state().baud = Number(this.$('baud').value);
      });
      this.$('size').addEventListener('change', () => {
        this.state().size = Number(this.$('size').value);
      });
      this.$('verify').addEventListener('change', () => {
        this.state().verify = this.$('verify').checked;
      });
      root.querySelectorAll('[name="fw-mode"]').forEach((radio) =>
        radio.addEventListener('change', () => {
          this.state().mode = radio.value;
          this.render();
        }),
      );
      root.addEventListener('keydown', (e) => {
        if (e.key === 'Escape') this.close();
      });
    }

    stateOf(id) {
      if (!this.tabs.has(id)) {
        this.tabs.set(id, {
          files: [], // {path, offset (text), size}
          chip: 'auto',
          iface: 'auto',
          baud: 460800,
          size: 0, // bytes; 0 = detect
          verify: true,
          mode: 'esp-flash',
          prefsLoaded: false,
          running: false,
          log: [],
          phase: '',
          progress: new Map(), // filename → {sent, total, rate, done}
          result: null,
        });
      }
      return this.tabs.get(id);
    }

    state() {
      return this.stateOf(this.activeId());
    }

    isOpen() {
      return !this.root.hidden;
    }

    async open() {
      const id = this.activeId();
      if (!id) return;
      const st = this.stateOf(id);
      try {
        if (!this.chips) this.chips = await call('esp_chip_list');
        if (!st.prefsLoaded) {
          const prefs = await call('esp_get_session_prefs', id);
          if (prefs && prefs.esp_chip) st.chip = prefs.esp_chip;
          if (prefs && prefs.esp_interface) st.iface = prefs.esp_interface;
          if (prefs && Number(prefs.esp_flash_baud) > 0) st.baud = Number(prefs.esp_flash_baud);
          if (prefs && Number.isFinite(Number(prefs.esp_flash_size))) st.size = Number(prefs.esp_flash_size);
          if (prefs && typeof prefs.esp_verify === 'boolean') st.verify = prefs.esp_verify;
          st.prefsLoaded = true;
        }
      } catch (err) {
        this.failed(err);
      }
      this.root.hidden = false;
      this.render();
      this.$('add').focus();
    }

    close() {
      this.root.hidden = true;
    }

    async addFiles() {
      const st = this.state();
      let paths = [];
      try {
        paths = await call('esp_flash_pick_files');
      } catch (err) {
        this.failed(err);
        return;
      }
      for (const p of Array.isArray(paths) ? paths : []) await this.addFile(st, String(p));
      this.render();
    }

    async pickBuildDir() {
      let dir = '';
      try {
        dir = await call('esp_pick_build_dir');
      } catch (err) {
        this.failed(err);
        return;
      }
      if (typeof dir === 'string' && dir !== '') await this.loadBuildDir(dir);
    }

    // The images and offsets a build folder lists replace the table.
    async loadBuildDir(dir) {
      const st = this.state();
      let answer;
      try {
        answer = await call('esp_files_from_build_dir', dir);
      } catch (err) {
        this.failed(err);
        return;
      }
      if (!answer || answer.ok !== true) {
        st.result = { ok: false, reason: (answer && answer.reason) || '' };
      } else {
        st.result = null;
        st.files = [];
        for (const f of answer.files) {
          const entry = { path: String(f.path), offset: String(f.offset), guess: String(f.offset), size: -1 };
          st.files.push(entry);
          try {
            entry.size = Number(await call('esp_file_size', entry.path));
          } catch (err) {
            this.failed(err);
          }
        }
      }
      this.render();
    }

    async addFile(st, path) {
      if (st.files.some((f) => f.path === path)) return;
      const entry = { path, offset: '', guess: '', size: -1 };
      st.files.push(entry);
      try {
        const [offset, size] = await Promise.all([
          call('esp_guess_offset', baseName(path), st.chip === 'auto' ? '' : st.chip),
          call('esp_file_size', path),
        ]);
        if (Number.isInteger(offset)) entry.offset = entry.guess = hex(offset);
        entry.size = Number(size);
      } catch (err) {
        this.failed(err);
      }
    }

    async start() {
      const id = this.activeId();
      const st = this.stateOf(id);
      this.readOffsets(st);
      if (st.mode === 'esp-flash' && !this.offsetsValid(st)) return;
      if (st.mode === 'esp-erase-flash' && !window.confirm(t('esp.confirm.erase_flash'))) return;
      const files = st.mode === 'esp-flash' ? st.files.map((f) => ({ path: f.path, offset: f.offset })) : [];
      const options = {
        chip: st.chip,
        interface: st.iface,
        compress: true,
        auto_reset_after: true,
        flash_baud: st.baud,
        flash_size: st.size,
        verify: st.verify,
      };
      st.log = [];
      st.phase = '';
      st.progress = new Map();
      st.result = null;
      let answer;
      try {
        answer = await call('esp_flash_start', id, st.mode, files, options);
      } catch (err) {
        this.failed(err);
        return;
      }
      if (!answer || answer.ok !== true) {
        st.result = { ok: false, reason: (answer && answer.reason) || '' };
      } else {
        st.running = true;
      }
      this.render();
    }

    async cancel() {
      try {
        await call('xfer_cancel', this.activeId());
      } catch (err) {
        this.failed(err);
      }
    }

    // Every image needs an offset the program can read; the first that lacks one is marked,
    // named with what is wrong, and gets the keyboard.
    offsetsValid(st) {
      st.files.forEach((f) => (f.invalid = false));
      const wrong = st.files.find((f) => offsetValue(f.offset) === null);
      if (!wrong) return true;
      wrong.invalid = true;
      const values = { file: baseName(wrong.path), offset: wrong.offset, guess: wrong.guess || '0x10000' };
      st.result = { ok: false, text: t(wrong.offset.trim() === '' ? 'esp.offset_missing' : 'esp.offset_bad', values) };
      this.render();
      const input = this.root.querySelector('[data-fw-offset="' + st.files.indexOf(wrong) + '"]');
      if (input) input.focus();
      return false;
    }

    readOffsets(st) {
      this.root.querySelectorAll('[data-fw-offset]').forEach((input) => {
        const f = st.files[Number(input.dataset.fwOffset)];
        if (f) f.offset = input.value.trim();
      });
    }

    // Every transfer event of every tab comes here too; a flashing job's kinds are
    // phase, log, progress, file_done and done.
    onEvent(tabId, event) {
      if (typeof tabId !== 'string' || !event || typeof event !== 'object') return;
      const st = this.tabs.get(tabId);
      if (!st || (!st.running && event.kind !== 'done')) return;
      const now = performance.now();
      switch (event.kind) {
        case 'phase':
          st.phase = String(event.title ?? '') + (event.detail ? ' — ' + event.detail : '');
          break;
        case 'log':
          st.log.push({ text: String(event.text ?? ''), level: String(event.level ?? 'info') });
          if (st.log.length > 500) st.log.shift();
          break;
        case 'progress': {
          const name = String(event.filename ?? '');
          const prev = st.progress.get(name);
          const sent = Number(event.sent) || 0;
          let rate = prev ? prev.rate : 0;
          if (prev && now > prev.at && sent > prev.sent) rate = ((sent - prev.sent) * 1000) / (now - prev.at);
          st.progress.set(name, { sent, total: Number(event.total) || 0, rate, at: now, done: false });
          break;
        }
        case 'file_done': {
          const name = String(event.filename ?? '');
          const prev = st.progress.get(name) || { sent: 0, total: 0, rate: 0, at: now };
          st.progress.set(name, Object.assign({}, prev, { done: true, sent: prev.total || prev.sent }));
          break;
        }
        case 'done':
          if (!st.running) return;
          st.running = false;
          st.result = { ok: event.ok === true, reason: String(event.reason ?? '') };
          break;
        default:
          return;
      }
      if (tabId === this.activeId() && this.isOpen()) this.render();
      if (event.kind === 'done' && tabId === this.activeId()) this.onFinished(tabId);
    }

    render() {
      if (!this.isOpen()) return;
      const id = this.activeId();
      if (!id) {
        this.close();
        return;
      }
      const st = this.stateOf(id);
      const chip = this.$('chip');
      chip.textContent = '';
      chip.append(el('option', { value: 'auto', textContent: t('esp.chip_auto') }));
      for (const c of this.chips || []) chip.append(el('option', { value: c.key, textContent: c.name }));
      chip.value = st.chip;
      const iface = this.$('iface');
      for (const option of iface.options) option.textContent = t('esp.interface.' + option.value);
      iface.value = st.iface;
      const baud = this.$('baud');
      // A speed remembered from elsewhere that the list lacks is offered as it is.
      if (![...baud.options].some((o) => Number(o.value) === st.baud)) {
        baud.append(el('option', { value: String(st.baud), textContent: String(st.baud) }));
      }
      baud.value = String(st.baud);
      const size = this.$('size');
      size.options[0].textContent = t('esp.flash_size.detect');
      size.value = String(st.size);
      if (size.value !== String(st.size)) size.value = '0';
      const verify = this.$('verify');
      verify.checked = st.verify;
      baud.disabled = size.disabled = verify.disabled = st.running;
      this.root.querySelectorAll('[name="fw-mode"]').forEach((radio) => {
        radio.checked = radio.value === st.mode;
        radio.disabled = st.running;
      });
      chip.disabled = iface.disabled = st.running;

      const body = this.$('files');
      body.textContent = '';
      const writing = st.mode === 'esp-flash';
      this.$('table').hidden = !writing;
      this.$('add').hidden = !writing;
      this.$('build').hidden = !writing || st.running;
      st.files.forEach((f, i) => {
        const offset = el('input', {
          className: 'input input-compact' + (f.invalid ? ' input-invalid' : ''),
          value: f.offset,
          placeholder: f.guess || '0x10000',
          spellcheck: false,
          disabled: st.running,
        });
        offset.dataset.fwOffset = String(i);
        offset.addEventListener('change', () => this.readOffsets(st));
        offset.addEventListener('input', () => {
          if (f.invalid && offsetValue(offset.value) !== null) {
            f.invalid = false;
            offset.classList.remove('input-invalid');
          }
        });
        const remove = el('button', { type: 'button', className: 'icon-button', textContent: '×', title: t('esp.remove'), disabled: st.running });
        remove.addEventListener('click', () => {
          this.readOffsets(st);
          st.files.splice(i, 1);
          this.render();
        });
        const p = st.progress.get(baseName(f.path));
        let progress = '';
        if (p) {
          const pct = p.total ? Math.min(100, Math.round((p.sent * 100) / p.total)) : 0;
          progress = p.done ? t('esp.file_done') : pct + '%' + (p.rate ? ' · ' + formatSize(p.rate) + '/s' : '');
        }
        const row = el('tr', {}, [
          el('td', { textContent: baseName(f.path), title: f.path }),
          el('td', {}, [offset]),
          el('td', { textContent: formatSize(f.size) }),
          el('td', { className: 'fw-progress', textContent: progress }),
          el('td', {}, [remove]),
        ]);
        row.dataset.fwFile = baseName(f.path);
        body.append(row);
      });

      // Progress that belongs to no file (a whole-flash erase) goes with the phase.
      const whole = st.progress.get('');
      const wholePct = whole && whole.total ? Math.min(100, Math.round((whole.sent * 100) / whole.total)) : null;
      this.$('phase').textContent = st.phase + (wholePct === null ? '' : ' · ' + wholePct + '%');
      const log = this.$('log');
      log.textContent = '';
      for (const line of st.log) log.append(el('div', { className: 'fw-log-' + line.level, textContent: line.text }));
      log.scrollTop = log.scrollHeight;
      const result = this.$('result');
      result.hidden = !st.result;
      if (st.result) {
        result.textContent = st.result.text || (st.result.ok ? t('esp.result_ok', { reason: st.result.reason }) : t('esp.result_fail', { reason: st.result.reason }));
        result.classList.toggle('form-error', !st.result.ok);
      }
      this.$('start').hidden = st.running;
      this.$('start').disabled = writing && st.files.length === 0;
      this.$('start').textContent = t(writing ? 'esp.start_flash' : 'esp.start_erase');
      this.$('cancel').hidden = !st.running;
    }
  }

  Termiva.FirmwareDialog = FirmwareDialog;
})();
