// File transfer for the active tab: what to send or where to save, start and cancel,
// and the progress the program reports through xferOnEvent. Each tab keeps its own
// transfer state, so switching tabs shows the transfer of the tab in front.
(function () {
  'use strict';
  const Termiva = (window.Termiva = window.Termiva || {});
  const { t } = Termiva.i18n;
  const { call } = Termiva.bridge;

  // A flashing job shown in the panel.
  Termiva.i18n.extend('en', {
    'xfer.flashing': 'Flashing: {what}',
    'xfer.flash_starting': 'Flashing the board…',
    'xfer.flash_done': 'Firmware flashed',
  });
  Termiva.i18n.extend('zh-Hant', {
    'xfer.flashing': '燒錄中：{what}',
    'xfer.flash_starting': '正在燒錄板子…',
    'xfer.flash_done': '韌體燒錄完成',
  });

  const RECEIVER_OFFER_MS = 60000;
  const PROTOCOLS = ['zmodem', 'ymodem', 'ymodem-g', 'xmodem', 'xmodem-crc', 'xmodem-1k'];
  // The receiver of these names the file itself; an X-modem receiver is told only a folder
  // and the sender's single file.
  const SINGLE_FILE = new Set(['xmodem', 'xmodem-crc', 'xmodem-1k']);

  function formatBytes(n) {
    if (!Number.isFinite(n)) return '';
    const units = ['B', 'KiB', 'MiB', 'GiB'];
    let value = n;
    let unit = 0;
    while (value >= 1024 && unit < units.length - 1) {
      value /= 1024;
      unit += 1;
    }
    return (unit === 0 ? String(Math.round(value)) : value.toFixed(value < 10 ? 1 : 0)) + ' ' + units[unit];
  }

  function baseName(path) {
    const parts = String(path).split(/[\\/]/);
    return parts[parts.length - 1] || String(path);
  }

  function freshState() {
    return {
      protocol: 'zmodem',
      direction: 'send',
      files: [],
      saveDir: '',
      active: false,
      starting: false,
      sawDone: false,
      file: null, // {name, index, bytes, total, rate}
      result: null, // {ok, reason, files}
      // A board being flashed from the firmware dialog borrows the tab's transfer slot;
      // its events (phase, log, progress, file_done, done) show here too.
      flashing: false,
      phase: '',
      sample: null, // the last flashing progress, for its rate: {name, sent, at}
      // Shown for this tab: a new tab starts with the bar closed, whatever another tab shows.
      open: false,
    };
  }

  class TransferPanel {
    constructor(root, toggle, { activeId, onFinished, failed, toast }) {
      this.root = root;
      this.toggle = toggle;
      this.activeId = activeId;
      this.onFinished = onFinished;
      this.failed = failed;
      this.toast = toast;
      this.tabs = new Map();
      this.$ = (name) => root.querySelector('[data-xfer="' + name + '"]');

      const protocol = this.$('protocol');
      for (const p of PROTOCOLS) {
        const option = document.createElement('option');
        option.value = p;
        option.textContent = t('xfer.protocol.' + p);
        protocol.append(option);
      }
      protocol.addEventListener('change', () => this.edit({ protocol: protocol.value }));
      this.$('direction').addEventListener('change', (e) => this.edit({ direction: e.target.value }));
      this.$('choose').addEventListener('click', () => this.choose());
      this.$('start').addEventListener('click', () => this.start());
      this.$('cancel').addEventListener('click', () => this.cancel());
      this.$('open_folder').addEventListener('click', () => this.openFolder());
      this.$('close').addEventListener('click', () => this.setOpen(false));
      toggle.addEventListener('click', () => this.setOpen(root.hidden));
    }

    stateOf(id) {
      if (!this.tabs.has(id)) this.tabs.set(id, freshState());
      return this.tabs.get(id);
    }

    forget(id) {
      this.tabs.delete(id);
    }

    setOpen(open) {
      const id = this.activeId();
      if (id) this.stateOf(id).open = !!open;
      this.root.hidden = !open;
      this.toggle.setAttribute('aria-pressed', open ? 'true' : 'false');
      if (open) this.render();
    }

    edit(changes) {
      const id = this.activeId();
      if (!id) return;
      const st = this.stateOf(id);
      if (st.active || st.starting) return;
      Object.assign(st, changes);
      // The choice no longer matches what was picked for the other direction.
      if ('direction' in changes) st.result = null;
      this.render();
    }

    // Files to send for the active tab, as if chosen in the dialog. The page tests use it
    // because a headless run has no desktop dialog.
    setFiles(list) {
      this.edit({ files: Array.isArray(list) ? list.map(String).filter((p) => p !== '') : [] });
    }

    async choose() {
      const id = this.activeId();
      if (!id) return;
      const st = this.stateOf(id);
      const button = this.$('choose');
      button.disabled = true;
      try {
        if (st.direction === 'send') {
          const files = await call('xfer_pick_files');
          // An empty answer is a cancelled dialog: keep what was chosen before.
          if (Array.isArray(files) && files.length) st.files = files.map(String);
        } else {
          const dir = await call('xfer_pick_save_dir');
          if (typeof dir === 'string' && dir !== '') st.saveDir = dir;
        }
      } catch (err) {
        this.failed(err);
      }
      button.disabled = false;
      this.render();
    }

    async start() {
      const id = this.activeId();
      if (!id) return;
      const st = this.stateOf(id);
      if (st.active || st.starting) return;
      const files = st.direction === 'send' ? st.files.slice() : null;
      const saveDir = st.direction === 'recv' && st.saveDir ? st.saveDir : null;
      st.starting = true;
      st.flashing = false;
      st.sawDone = false;
      st.result = null;
      st.file = null;
      this.render();
      try {
        const answer = await call('xfer_start', id, st.protocol, st.direction, files, saveDir);
        if (answer && answer.ok) {
          // Events may have overtaken the answer, up to the very end.
          if (!st.sawDone) st.active = true;
        } else {
          st.result = { ok: false, reason: (answer && answer.reason) || t('xfer.busy'), files: [] };
        }
      } catch (err) {
        st.result = { ok: false, reason: String(err && err.message ? err.message : err), files: [] };
      }
      st.starting = false;
      this.render();
      if (!st.active) this.onFinished(id);
    }

    async cancel() {
      const id = this.activeId();
      if (!id) return;
      try {
        await call('xfer_cancel', id);
      } catch (err) {
        this.failed(err);
      }
      // The program's "done" event ends the transfer on the page.
    }

    // A flashing job's events: the firmware dialog shows them in full, the panel shows
    // where the job is. Returns false for an event that is not a flashing job's.
    onFlashEvent(st, event) {
      const isFlash =
        event.kind === 'phase' || event.kind === 'log' || event.kind === 'file_done' ||
        (event.kind === 'progress' && 'sent' in event) || (event.kind === 'done' && st.flashing);
      if (!isFlash) return false;
      if (!st.flashing || (!st.active && event.kind !== 'done')) {
        // The first event of a new job.
        Object.assign(st, { flashing: true, active: true, result: null, file: null, phase: '', sample: null });
      }
      switch (event.kind) {
        case 'phase':
          st.phase = String(event.title ?? '') + (event.detail ? ' — ' + event.detail : '');
          break;
        case 'progress': {
          // Progress of no file (a whole-flash erase) comes worded in place of a name.
          const name = String(event.text || event.filename || '');
          const sent = Number(event.sent) || 0;
          const now = performance.now();
          const prev = st.sample && st.sample.name === name ? st.sample : null;
          let rate = st.file && st.file.name === name ? st.file.rate : 0;
          if (prev && now > prev.at && sent > prev.sent) rate = ((sent - prev.sent) * 1000) / (now - prev.at);
          st.sample = { name, sent, at: now };
          st.file = { name, index: 0, bytes: sent, total: Number(event.total) || null, rate };
          break;
        }
        case 'file_done':
          if (st.file) st.file.bytes = st.file.total || st.file.bytes;
          break;
        case 'done':
          st.active = false;
          st.sawDone = true;
          st.result = { ok: event.ok === true, reason: event.reason ? String(event.reason) : '', files: [] };
          break;
        default:
          break;
      }
      return true;
    }

    // Called for every event of every tab's transfer or flashing job.
    onEvent(tabId, event) {
      if (typeof tabId !== 'string' || !event || typeof event !== 'object') return;
      const st = this.stateOf(tabId);
      if (this.onFlashEvent(st, event)) {
        if (tabId === this.activeId()) this.render();
        return;
      }
      switch (event.kind) {
        case 'start':
          st.flashing = false;
          st.active = true;
          st.result = null;
          st.file = null;
          // A job of another kind (the file panel's SFTP) leaves the panel's choice as it was.
          if (PROTOCOLS.includes(event.protocol)) st.protocol = event.protocol;
          if (event.direction) st.direction = String(event.direction);
          // A transfer the program began by itself (a sender seen in the output) shows up.
          st.open = true;
          if (tabId === this.activeId() && this.root.hidden) this.setOpen(true);
          break;
        case 'receiver_waiting': {
          // The other side runs rz: the panel opens ready to send with ZMODEM, and the
          // file chooser with it. rz repeats its request while it waits; one offer a minute.
          if (st.active || st.starting || st.flashing) return;
          st.protocol = 'zmodem';
          st.direction = 'send';
          st.result = null;
          st.open = true;
          const now = Date.now();
          const offer = tabId === this.activeId() && !(st.offeredAt && now - st.offeredAt < RECEIVER_OFFER_MS);
          if (tabId === this.activeId()) this.setOpen(true);
          if (offer) {
            st.offeredAt = now;
            this.choose();
          }
          break;
        }
        case 'file':
          st.file = { name: String(event.name ?? ''), index: event.index, bytes: 0, total: event.size ?? null, rate: 0 };
          break;
        case 'progress':
          st.file = Object.assign(st.file || { index: 1 }, {
            name: String(event.name ?? (st.file && st.file.name) ?? ''),
            bytes: Number(event.bytes) || 0,
            total: event.total === null || event.total === undefined ? null : Number(event.total),
            rate: Number(event.rate) || 0,
          });
          break;
        case 'done':
          st.active = false;
          st.sawDone = true;
          st.result = {
            ok: event.ok === true,
            reason: event.reason ? String(event.reason) : '',
            files: Array.isArray(event.files) ? event.files.map(String) : [],
          };
          break;
        default:
          return;
      }
      if (tabId === this.activeId()) this.render();
      if (event.kind === 'done' && tabId === this.activeId()) this.onFinished(tabId);
    }

    // Picks up a transfer already running when the page (re)loads or a tab comes to front.
    async sync(id) {
      if (!id || this.tabs.has(id)) return;
      try {
        const status = await call('xfer_status', id);
        if (status && status.active) {
          const st = this.stateOf(id);
          st.active = true;
          if (PROTOCOLS.includes(status.protocol)) st.protocol = status.protocol;
          if (status.direction) st.direction = String(status.direction);
          st.open = true;
          if (id === this.activeId()) this.setOpen(true);
        }
      } catch (err) {
        // A build without transfers: the panel stays idle.
      }
    }

    // The folder a finished receive wrote into, shown by the desktop's file manager.
    async openFolder() {
      const id = this.activeId();
      if (!id) return;
      let shown = false;
      try {
        shown = (await call('xfer_open_folder', id)) === true;
      } catch (err) {
        // No such operation in this program: said below like a folder that could not open.
      }
      if (!shown) this.toast(t('xfer.open_folder_failed'), true);
    }

    render() {
      const id = this.activeId();
      this.toggle.hidden = !id;
      if (!id) {
        this.root.hidden = true;
        return;
      }
      const st = this.stateOf(id);
      this.toggle.classList.toggle('tool-busy', st.active);
      this.root.hidden = !st.open;
      this.toggle.setAttribute('aria-pressed', st.open ? 'true' : 'false');
      if (this.root.hidden) return;
      const busy = st.active || st.starting;

      const protocol = this.$('protocol');
      protocol.value = st.protocol;
      protocol.disabled = busy;
      for (const option of protocol.options) option.textContent = t('xfer.protocol.' + option.value);
      const direction = this.$('direction');
      direction.value = st.direction;
      direction.disabled = busy;

      const sending = st.direction === 'send';
      const choose = this.$('choose');
      choose.textContent = t(sending ? 'xfer.choose_files' : 'xfer.choose_folder');
      choose.disabled = busy;
      const chosen = this.$('chosen');
      if (sending) {
        chosen.textContent = st.files.length === 0
          ? t('xfer.no_files')
          : st.files.length === 1
            ? baseName(st.files[0])
            : t('xfer.n_files', { count: st.files.length });
        chosen.title = st.files.join('\n');
      } else {
        chosen.textContent = st.saveDir ? baseName(st.saveDir) : t('xfer.default_folder');
        chosen.title = st.saveDir;
      }
      chosen.classList.toggle('xfer-chosen-empty', sending ? st.files.length === 0 : !st.saveDir);

      const tooMany = sending && SINGLE_FILE.has(st.protocol) && st.files.length > 1;
      this.$('start').disabled = busy || (sending && st.files.length === 0) || tooMany;
      this.$('cancel').hidden = !st.active;
      this.$('start').hidden = st.active;

      this.renderProgress(st, tooMany);
    }

    renderProgress(st, tooMany) {
      const status = this.$('status');
      const bar = this.$('bar');
      const fill = this.$('fill');
      const detail = this.$('detail');
      let state = 'idle';
      let text = '';
      let info = '';
      let fraction = 0;
      if (st.flashing && (st.active || st.result)) {
        state = st.active ? 'running' : st.result.ok ? 'done' : 'failed';
        if (st.active) {
          text = st.file ? t('xfer.flashing', { what: st.file.name }) : st.phase ? t('xfer.flashing', { what: st.phase }) : t('xfer.flash_starting');
          if (st.file && st.file.total > 0) {
            fraction = Math.min(1, st.file.bytes / st.file.total);
            info = t('xfer.bytes_of', { done: formatBytes(st.file.bytes), total: formatBytes(st.file.total) });
            if (st.file.rate > 0) info += ' · ' + t('xfer.rate', { rate: formatBytes(st.file.rate) });
          } else {
            info = st.phase;
          }
        } else if (st.result.ok) {
          fraction = 1;
          text = t('xfer.flash_done');
        } else {
          text = t('xfer.failed', { reason: st.result.reason || t('xfer.no_reason') });
        }
      } else if (st.starting && !st.active) {
        state = 'running';
        text = t('xfer.starting');
      } else if (st.active) {
        state = 'running';
        if (st.file) {
          text = st.file.name || t('xfer.waiting');
          const total = st.file.total;
          if (Number.isFinite(total) && total > 0) {
            fraction = Math.min(1, st.file.bytes / total);
            info = t('xfer.bytes_of', { done: formatBytes(st.file.bytes), total: formatBytes(total) });
          } else {
            info = formatBytes(st.file.bytes);
          }
          if (st.file.rate > 0) info += ' · ' + t('xfer.rate', { rate: formatBytes(st.file.rate) });
        } else {
          text = t(st.direction === 'send' ? 'xfer.waiting_receiver' : 'xfer.waiting_sender');
        }
      } else if (st.result) {
        state = st.result.ok ? 'done' : 'failed';
        fraction = st.result.ok ? 1 : 0;
        if (st.result.ok) {
          const n = st.result.files.length;
          text = n === 1
            ? t('xfer.done_one', { name: baseName(st.result.files[0]) })
            : t('xfer.done_many', { count: n });
          if (st.direction === 'recv' && n) info = st.result.files.join(', ');
        } else {
          text = t('xfer.failed', { reason: st.result.reason || t('xfer.no_reason') });
        }
      } else if (tooMany) {
        state = 'failed';
        text = t('xfer.one_file_only');
      } else {
        text = t(st.direction === 'send' ? 'xfer.hint_send' : 'xfer.hint_recv');
      }
      status.dataset.state = state;
      status.textContent = text;
      status.title = text;
      detail.textContent = info;
      detail.title = info;
      this.$('open_folder').hidden = !(state === 'done' && !st.flashing && st.direction === 'recv' && st.result.files.length > 0);
      const indeterminate = state === 'running' && fraction === 0 && !(st.file && Number.isFinite(st.file.total) && st.file.total > 0);
      // A failed transfer has no amount worth drawing: the red text says it all.
      bar.hidden = state === 'idle' || state === 'failed';
      bar.dataset.state = state;
      bar.classList.toggle('xfer-bar-indeterminate', indeterminate);
      bar.setAttribute('aria-valuenow', String(Math.round(fraction * 100)));
      fill.style.width = (indeterminate ? 100 : fraction * 100) + '%';
    }
  }

  Termiva.TransferPanel = TransferPanel;
  Termiva.transferFormat = { formatBytes };
})();
