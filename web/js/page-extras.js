// What terminal users reach for around the terminals: the keyboard shortcuts (listed in
// `Termiva.shortcuts` for the About panel), zoom and the font in a small settings panel,
// find in the scrollback, the right-click menus of the terminal and of a tab, logging a
// tab to a file (written by the program), copy-on-select, link clicks and the tab title
// the peer sets. app.js builds one PageExtras and hands it what it needs.
(function () {
  'use strict';
  const Termiva = (window.Termiva = window.Termiva || {});
  const { call } = Termiva.bridge;
  const { t } = Termiva.i18n;

  const ZOOM_MIN = -8;
  const ZOOM_MAX = 20;
  const SIZE_MIN = 6;
  const SIZE_MAX = 72;
  const SAVE_DELAY_MS = 400;
  const SCROLLBACK_MIN = 100;
  const SCROLLBACK_MAX = 200000;
  const CURSOR_STYLES = ['block', 'bar', 'underline'];
  const BELLS = ['none', 'visual', 'sound'];

  const el = (tag, props = {}, children = []) => {
    const node = document.createElement(tag);
    Object.assign(node, props);
    for (const child of children) node.append(child);
    return node;
  };

  // The keyboard shortcuts of the window, in the order the About panel lists them.
  const SHORTCUTS = [
    ['Ctrl+Shift+C', 'shortcut.copy'],
    ['Ctrl+Shift+V', 'shortcut.paste'],
    ['Ctrl+Shift+F', 'shortcut.find'],
    ['Enter / Shift+Enter', 'shortcut.find_next'],
    ['Ctrl+= / Ctrl+Shift+=', 'shortcut.zoom_in'],
    ['Ctrl+-', 'shortcut.zoom_out'],
    ['Ctrl+0', 'shortcut.zoom_reset'],
    ['Ctrl+Shift+T', 'shortcut.open_selected'],
    ['Ctrl+W', 'shortcut.close_tab'],
    ['Ctrl+PageDown', 'shortcut.next_tab'],
    ['Ctrl+PageUp', 'shortcut.previous_tab'],
  ].map(([keys, key]) => ({
    keys,
    key,
    get label() {
      return t(key);
    },
  }));

  // ---- a small floating menu ----

  class Menu {
    constructor() {
      this.box = el('div', { className: 'ctx-menu', hidden: true });
      this.box.setAttribute('role', 'menu');
      document.body.append(this.box);
      const close = () => this.close();
      document.addEventListener('mousedown', (e) => {
        if (!this.box.hidden && !this.box.contains(e.target)) close();
      });
      window.addEventListener('blur', close);
      document.addEventListener('keydown', (e) => {
        if (e.key === 'Escape' && !this.box.hidden) close();
      });
    }

    // items: [{label, action, disabled, name}] or null for a separator.
    open(x, y, items) {
      this.box.textContent = '';
      for (const item of items) {
        if (!item) {
          this.box.append(el('div', { className: 'ctx-sep' }));
          continue;
        }
        const button = el('button', { type: 'button', className: 'ctx-item', textContent: item.label, disabled: !!item.disabled });
        button.dataset.name = item.name || '';
        button.setAttribute('role', 'menuitem');
        button.addEventListener('click', () => {
          this.close();
          item.action();
        });
        this.box.append(button);
      }
      this.box.hidden = false;
      const { innerWidth: w, innerHeight: h } = window;
      const r = this.box.getBoundingClientRect();
      this.box.style.left = Math.max(0, Math.min(x, w - r.width - 4)) + 'px';
      this.box.style.top = Math.max(0, Math.min(y, h - r.height - 4)) + 'px';
      const first = this.box.querySelector('.ctx-item:not([disabled])');
      if (first) first.focus();
    }

    close() {
      this.box.hidden = true;
    }
  }

  // ---- find in the scrollback ----

  class FindBar {
    constructor(host, activeTerminal) {
      this.activeTerminal = activeTerminal;
      this.current = null;
      this.input = el('input', { className: 'input find-input', type: 'text', spellcheck: false });
      this.caseButton = this.toggle('Aa', 'find.case');
      this.regexButton = this.toggle('.*', 'find.regex');
      this.prev = el('button', { type: 'button', className: 'icon-button find-prev', textContent: '↑' });
      this.next = el('button', { type: 'button', className: 'icon-button find-next', textContent: '↓' });
      this.count = el('span', { className: 'find-count' });
      this.count.setAttribute('role', 'status');
      this.closeButton = el('button', { type: 'button', className: 'icon-button find-close', textContent: '×' });
      this.box = el('div', { className: 'find-bar', hidden: true }, [
        this.input, this.caseButton, this.regexButton, this.prev, this.next, this.count, this.closeButton,
      ]);
      host.append(this.box);
      this.input.addEventListener('input', () => this.search(true));
      this.input.addEventListener('keydown', (e) => {
        if (e.key === 'Enter') {
          e.preventDefault();
          this.search(!e.shiftKey);
        } else if (e.key === 'Escape') {
          e.preventDefault();
          this.close();
        }
      });
      this.prev.addEventListener('click', () => this.search(false));
      this.next.addEventListener('click', () => this.search(true));
      this.closeButton.addEventListener('click', () => this.close());
      this.paintTitles();
    }

    toggle(text, key) {
      const b = el('button', { type: 'button', className: 'find-toggle', textContent: text });
      b.dataset.key = key;
      b.setAttribute('aria-pressed', 'false');
      b.addEventListener('click', () => {
        b.setAttribute('aria-pressed', b.getAttribute('aria-pressed') === 'true' ? 'false' : 'true');
        this.search(true, true);
        this.input.focus();
      });
      return b;
    }

    paintTitles() {
      this.input.placeholder = t('find.placeholder');
      this.caseButton.title = t('find.case');
      this.regexButton.title = t('find.regex');
      this.prev.title = t('find.previous');
      this.next.title = t('find.next');
      this.closeButton.title = t('find.close');
      this.paintCount();
    }

    isOpen() {
      return !this.box.hidden;
    }

    open() {
      this.box.hidden = false;
      const terminal = this.activeTerminal();
      const selected = terminal && terminal.term.getSelection();
      if (selected && !selected.includes('\n')) this.input.value = selected;
      this.input.focus();
      this.input.select();
      if (this.input.value) this.search(true, true);
    }

    close() {
      this.box.hidden = true;
      this.detach();
      const terminal = this.activeTerminal();
      if (terminal) terminal.focus();
    }

    detach() {
      if (this.current && this.current.searchAddon && !this.current.closed) this.current.searchAddon.clearDecorations();
      if (this.subscription) this.subscription.dispose();
      this.subscription = null;
      this.current = null;
      this.result = null;
      this.paintCount();
    }

    // The active tab changed: matches belong to the terminal they were found in.
    sync() {
      const terminal = this.activeTerminal();
      if (terminal === this.current) return;
      this.detach();
      if (this.isOpen() && this.input.value) this.search(true, true);
    }

    options() {
      return {
        caseSensitive: this.caseButton.getAttribute('aria-pressed') === 'true',
        regex: this.regexButton.getAttribute('aria-pressed') === 'true',
        incremental: false,
        decorations: {
          matchBackground: '#3a4a2a',
          matchBorder: '#8cc98a',
          matchOverviewRuler: '#8cc98a',
          activeMatchBackground: '#7a5a10',
          activeMatchBorder: '#f2d58f',
          activeMatchColorOverviewRuler: '#f2d58f',
        },
      };
    }

    // `fresh`: the query or its options changed (the next match from where the view is).
    search(forward, fresh) {
      const terminal = this.activeTerminal();
      if (!terminal || !terminal.searchAddon) return;
      if (terminal !== this.current) {
        this.detach();
        this.current = terminal;
        this.subscription = terminal.searchAddon.onDidChangeResults((r) => {
          this.result = r;
          this.paintCount();
        });
      }
      const query = this.input.value;
      this.input.classList.remove('find-invalid');
      if (!query) {
        terminal.searchAddon.clearDecorations();
        this.result = null;
        this.paintCount();
        return;
      }
      if (this.regexButton.getAttribute('aria-pressed') === 'true') {
        try {
          new RegExp(query);
        } catch (err) {
          this.input.classList.add('find-invalid');
          terminal.searchAddon.clearDecorations();
          this.result = { resultIndex: -1, resultCount: 0 };
          this.paintCount();
          return;
        }
      }
      if (fresh) terminal.searchAddon.clearDecorations();
      const found = forward ? terminal.searchAddon.findNext(query, this.options()) : terminal.searchAddon.findPrevious(query, this.options());
      if (!found && !this.result) this.result = { resultIndex: -1, resultCount: 0 };
      this.paintCount();
    }

    paintCount() {
      const r = this.result;
      this.count.dataset.count = r ? String(r.resultCount) : '';
      this.count.dataset.index = r ? String(r.resultIndex) : '';
      if (!r || !this.input.value) this.count.textContent = '';
      else if (r.resultCount === 0) this.count.textContent = t('find.none');
      else this.count.textContent = t('find.count', { index: r.resultIndex >= 0 ? r.resultIndex + 1 : '?', count: r.resultCount });
    }
  }

  // ---- the extras ----

  class PageExtras {
    // api: {state, activeTerminal, toast, failed, reportSaveFailure, copySelection, paste,
    //       renderTabs, sessionOfTab, saveSession, openSession, editSession, confirmDelete,
    //       terminalsEl, tabBarEl, mainEl, topbarEl}
    constructor(api) {
      this.api = api;
      this.settings = {};
      this.zoom = 0;
      this.titles = new Map(); // tab id -> title the peer set
      this.logging = new Map(); // tab id -> {path, timestamps}
      this.menu = new Menu();
      this.find = new FindBar(api.mainEl, () => api.activeTerminal());
      this.saveTimer = null;
      this.buildSettingsPanel();
      this.buildLogDialog();

      api.terminalsEl.addEventListener('contextmenu', (e) => this.terminalMenu(e));
      api.tabBarEl.addEventListener('contextmenu', (e) => this.tabMenu(e));
      document.addEventListener('visibilitychange', () => this.visibilityChanged());
      window.addEventListener('pagehide', () => this.saveNow());
      Termiva.i18n.onChange(() => {
        this.find.paintTitles();
        this.paintSettingsTexts();
      });
    }

    async start() {
      try {
        const stored = await call('get_page_settings');
        if (stored && typeof stored === 'object') this.settings = stored;
      } catch (err) {
        // A program without these settings: the page's defaults hold.
      }
      this.zoom = Number.isInteger(this.settings.term_zoom) ? this.settings.term_zoom : 0;
      this.applyLook();
      this.visibilityChanged();
    }

    visibilityChanged() {
      if (document.hidden) this.saveNow();
      call('set_page_visible', !document.hidden).catch(() => {});
    }

    // ---- font and zoom ----

    font() {
      const base = Number.isInteger(this.settings.term_font_size) ? this.settings.term_font_size : Termiva.TerminalTab.DEFAULT_SIZE;
      const family = typeof this.settings.term_font_family === 'string' && this.settings.term_font_family.trim()
        ? this.settings.term_font_family
        : Termiva.TerminalTab.DEFAULT_FONT;
      return { family, size: Math.max(SIZE_MIN, Math.min(SIZE_MAX, base + this.zoom)) };
    }

    applyFont() {
      const { family, size } = this.font();
      for (const terminal of this.api.state.terminals.values()) {
        if (terminal.pane.hidden) {
          // Measured when it is shown again (show() refits).
          terminal.term.options.fontFamily = family;
          terminal.term.options.fontSize = size;
        } else {
          terminal.setFont(family, size);
        }
      }
    }

    setZoom(step) {
      this.zoom = Math.max(ZOOM_MIN, Math.min(ZOOM_MAX, step));
      this.applyFont();
      this.saveLater({ term_zoom: this.zoom });
    }

    // Zoom keys repeat while held: their steps are written once the keys rest.
    saveLater(values) {
      this.pendingSave = Object.assign(this.pendingSave || {}, values);
      clearTimeout(this.saveTimer);
      this.saveTimer = setTimeout(() => this.saveNow(), SAVE_DELAY_MS);
    }

    // Writes what waits (with `values` added) now. Also what the page does when it goes
    // away or is hidden, and what the program asks for before it quits: a change made
    // just before is never lost. Writes go one after another, so an older one never
    // lands after a newer one. Resolves when everything asked so far is written.
    saveNow(values = null) {
      if (values) this.pendingSave = Object.assign(this.pendingSave || {}, values);
      clearTimeout(this.saveTimer);
      this.saveTimer = null;
      this.saving = (this.saving || Promise.resolve()).then(() => this.writePending());
      return this.saving;
    }

    async writePending() {
      const values = this.pendingSave;
      this.pendingSave = null;
      if (!values) return;
      try {
        const result = await call('set_page_settings', values);
        // What the program keeps, with what was changed meanwhile and is still to go.
        if (result && result.settings) this.settings = Object.assign(result.settings, this.pendingSave || {});
        this.api.reportSaveFailure(result);
      } catch (err) {
        this.api.failed(err);
      }
    }

    // ---- keys ----

    // The extras' shortcuts; true when the key was used.
    shortcut(event) {
      const key = event.key;
      if (event.shiftKey && key.toLowerCase() === 'f') {
        if (this.find.isOpen() && document.activeElement === this.find.input) this.find.close();
        else this.find.open();
        return true;
      }
      // Ctrl+Shift+= is what many layouts need to type Ctrl++.
      if (key === '=' || key === '+') {
        this.setZoom(this.zoom + 1);
        return true;
      }
      if (event.shiftKey) return false;
      if (key === '-' || key === '_') {
        this.setZoom(this.zoom - 1);
        return true;
      }
      if (key === '0') {
        this.setZoom(0);
        return true;
      }
      return false;
    }

    // ---- terminals ----

    // Cursor, scrollback and bell as the settings say; anything invalid keeps the default.
    look() {
      const s = this.settings;
      return {
        cursorStyle: CURSOR_STYLES.includes(s.term_cursor_style) ? s.term_cursor_style : 'block',
        cursorBlink: s.term_cursor_blink !== false,
        scrollback: Number.isInteger(s.term_scrollback) && s.term_scrollback >= SCROLLBACK_MIN && s.term_scrollback <= SCROLLBACK_MAX
          ? s.term_scrollback
          : Termiva.TerminalTab.DEFAULT_SCROLLBACK,
        bell: BELLS.includes(s.bell) ? s.bell : 'none',
      };
    }

    applyLook() {
      const look = this.look();
      for (const terminal of this.api.state.terminals.values()) terminal.setLook(look);
    }

    terminalOptions() {
      return {
        font: this.font(),
        look: this.look(),
        onTitle: (terminal, title) => this.titleChanged(terminal.id, title),
        onLink: (uri, event) => this.linkClicked(uri, event),
        onSelection: (terminal) => {
          if (this.settings.copy_on_select === true && terminal.term.hasSelection()) this.api.copySelection(terminal, true);
        },
      };
    }

    // A plain click belongs to selecting text unless the settings hand it to links.
    linkClicked(uri, event) {
      const plain = this.settings.link_click === 'plain';
      if (!plain && !(event && (event.ctrlKey || event.metaKey))) {
        this.api.toast(t('link.ctrl_click'));
        return;
      }
      this.openLink(uri);
    }

    async openLink(uri) {
      let opened = false;
      try {
        opened = (await call('open_url', uri)) === true;
      } catch (err) {
        // No such operation in this program: reported below like a browser that did not start.
      }
      if (!opened) this.api.toast(t('link.failed', { url: String(uri).slice(0, 200) }), true);
    }

    // Closing a connected tab asks first unless turned off in the settings.
    confirmClose() {
      return this.settings.confirm_close !== false;
    }

    titleChanged(id, title) {
      this.titles.set(id, String(title || '').slice(0, 200));
      this.api.renderTabs();
    }

    // The caption a tab shows: the peer's title when its session asks for that.
    caption(tab) {
      const session = this.api.sessionOfTab(tab);
      const title = this.titles.get(tab.id);
      if (session && session.title_from_terminal === true && title) return title;
      return String(tab.display ?? '');
    }

    forget(id) {
      this.titles.delete(id);
      this.logging.delete(id);
      if (this.find.current && this.find.current.id === id) this.find.detach();
    }

    afterRender() {
      this.find.sync();
    }

    terminalMenu(event) {
      const pane = event.target.closest('.terminal-pane');
      if (!pane) return;
      event.preventDefault();
      const terminal = this.api.state.terminals.get(pane.dataset.tabId);
      if (!terminal) return;
      this.menu.open(event.clientX, event.clientY, [
        { name: 'copy', label: t('menu.copy'), disabled: !terminal.term.hasSelection(), action: () => this.api.copySelection(terminal) },
        { name: 'paste', label: t('menu.paste'), action: () => this.api.paste(terminal) },
        { name: 'select_all', label: t('menu.select_all'), action: () => terminal.term.selectAll() },
        null,
        { name: 'clear', label: t('menu.clear_scrollback'), action: () => terminal.term.clear() },
        { name: 'find', label: t('menu.find'), action: () => this.find.open() },
      ]);
    }

    tabMenu(event) {
      const tabEl = event.target.closest('.tab');
      if (!tabEl) return;
      event.preventDefault();
      const id = tabEl.dataset.id;
      const tab = this.api.state.tabs.find((x) => x.id === id);
      const session = tab ? this.api.sessionOfTab(tab) : null;
      const logging = this.logging.has(id);
      this.menu.open(event.clientX, event.clientY, [
        { name: 'reconnect', label: t('menu.reconnect'), disabled: !this.api.isEnded(id), action: () => this.api.reconnectTab(id) },
        null,
        logging
          ? { name: 'log_stop', label: t('menu.log_stop'), action: () => this.stopLog(id) }
          : { name: 'log_start', label: t('menu.log_start'), action: () => this.openLogDialog(id) },
        { name: 'duplicate', label: t('menu.duplicate'), disabled: !session, action: () => this.duplicate(session) },
        null,
        { name: 'close', label: t('menu.close_tab'), action: () => this.api.closeTab(id) },
      ]);
    }

    // ---- logging a tab ----

    isLogging(id) {
      return this.logging.has(id);
    }

    logEnded(id) {
      if (this.logging.delete(id)) this.api.renderTabs();
    }

    buildLogDialog() {
      this.logPath = el('input', { className: 'input', type: 'text', id: 'log-path', spellcheck: false });
      this.logStamps = el('input', { type: 'checkbox', id: 'log-timestamps' });
      this.logError = el('p', { className: 'form-error', hidden: true });
      this.logStart = el('button', { type: 'submit', className: 'button button-primary', id: 'log-start' });
      this.logCancel = el('button', { type: 'button', className: 'button button-ghost' });
      this.logTitle = el('h2', { className: 'dialog-title' });
      this.logPathLabel = el('label', { className: 'form-label', htmlFor: 'log-path' });
      this.logStampsText = el('span');
      this.logHint = el('p', { className: 'form-note' });
      const form = el('form', { className: 'dialog dialog-small', noValidate: true }, [
        this.logTitle,
        el('div', { className: 'dialog-body' }, [
          el('div', { className: 'form-row' }, [this.logPathLabel, this.logPath]),
          this.logHint,
          el('label', { className: 'form-check', htmlFor: 'log-timestamps' }, [this.logStamps, this.logStampsText]),
          this.logError,
        ]),
        el('div', { className: 'dialog-actions' }, [this.logCancel, this.logStart]),
      ]);
      this.logBackdrop = el('div', { className: 'backdrop', id: 'log-backdrop', hidden: true }, [form]);
      document.getElementById('app').append(this.logBackdrop);
      form.addEventListener('submit', (e) => {
        e.preventDefault();
        this.startLog();
      });
      this.logCancel.addEventListener('click', () => (this.logBackdrop.hidden = true));
      this.logBackdrop.addEventListener('keydown', (e) => {
        if (e.key === 'Escape') this.logBackdrop.hidden = true;
      });
      this.paintLogTexts();
    }

    paintLogTexts() {
      this.logTitle.textContent = t('log.title');
      this.logPathLabel.textContent = t('log.path');
      this.logPath.placeholder = t('log.path_placeholder');
      this.logHint.textContent = t('log.hint');
      this.logStampsText.textContent = t('log.timestamps');
      this.logStart.textContent = t('log.start');
      this.logCancel.textContent = t('editor.cancel');
    }

    openLogDialog(id) {
      this.logTab = id;
      this.logError.hidden = true;
      this.logBackdrop.hidden = false;
      this.logPath.focus();
    }

    async startLog() {
      const id = this.logTab;
      try {
        const result = await call('tab_log_start', id, this.logPath.value.trim(), this.logStamps.checked);
        if (!result || !result.ok) {
          this.logError.textContent = t('log.failed', { error: (result && result.error) || '?' });
          this.logError.hidden = false;
          return;
        }
        this.logging.set(id, { path: result.path, timestamps: result.timestamps });
        this.logBackdrop.hidden = true;
        this.api.toast(t('log.started', { path: result.path }));
        this.api.renderTabs();
        const terminal = this.api.state.terminals.get(id);
        if (terminal && id === this.api.state.activeId) terminal.focus();
      } catch (err) {
        this.api.failed(err);
      }
    }

    async stopLog(id) {
      try {
        await call('tab_log_stop', id);
      } catch (err) {
        this.api.failed(err);
      }
      const was = this.logging.get(id);
      this.logging.delete(id);
      if (was) this.api.toast(t('log.stopped', { path: was.path }));
      this.api.renderTabs();
    }

    // ---- sessions ----

    sessionMenu(session, x, y) {
      this.menu.open(x, y, [
        { name: 'open', label: t('sessions.open'), action: () => this.api.openSession(session.id) },
        { name: 'edit', label: t('sessions.edit'), action: () => this.api.editSession(session) },
        { name: 'duplicate', label: t('menu.duplicate'), action: () => this.duplicate(session) },
        null,
        { name: 'delete', label: t('sessions.delete'), action: () => this.api.confirmDelete(session) },
      ]);
    }

    async duplicate(session) {
      if (!session) return;
      const copy = JSON.parse(JSON.stringify(session));
      delete copy.id;
      copy.name = t('sessions.copy_name', { name: Termiva.sessionCaption(session) });
      // The same local ports twice cannot both listen: the copy gets its own in the editor.
      const local = (Array.isArray(copy.port_forwards) ? copy.port_forwards : []).some((rule) =>
        ['L', 'D'].includes(rule && Termiva.sshOptions.parseRule(rule)?.type),
      );
      if (local) {
        this.api.editCopy(copy, t('editor.copy_ports'));
        return;
      }
      try {
        await this.api.saveSession(copy);
      } catch (err) {
        this.api.failed(err);
      }
    }

    // ---- the settings panel ----

    buildSettingsPanel() {
      this.gear = el('button', { type: 'button', className: 'button button-ghost button-small', id: 'open-settings' });
      this.api.topbarEl.prepend(this.gear);
      // The installed monospace fonts (asked of the program when the panel first opens).
      this.fontFamily = el('select', { className: 'select', id: 'settings-font-family' });
      this.installedFonts = null;
      this.fontSize = el('input', { className: 'input', type: 'number', id: 'settings-font-size', min: String(SIZE_MIN), max: String(SIZE_MAX) });
      this.copyOnSelect = el('input', { type: 'checkbox', id: 'settings-copy-on-select' });
      this.confirmCloseBox = el('input', { type: 'checkbox', id: 'settings-confirm-close' });
      this.plainLinks = el('input', { type: 'checkbox', id: 'settings-plain-links' });
      this.reachability = el('input', { type: 'checkbox', id: 'settings-reachability' });
      this.reachabilityText = el('span');
      this.confirmCloseText = el('span');
      this.plainLinksText = el('span');
      this.cursorStyle = el('select', { className: 'select', id: 'settings-cursor-style' });
      for (const style of CURSOR_STYLES) this.cursorStyle.append(el('option', { value: style }));
      this.cursorBlink = el('input', { type: 'checkbox', id: 'settings-cursor-blink' });
      this.cursorBlinkText = el('span');
      this.scrollback = el('input', { className: 'input', type: 'number', id: 'settings-scrollback', min: String(SCROLLBACK_MIN), max: String(SCROLLBACK_MAX), step: '1000' });
      this.bell = el('select', { className: 'select', id: 'settings-bell' });
      for (const bell of BELLS) this.bell.append(el('option', { value: bell }));
      this.cursorLabel = el('label', { className: 'form-label', htmlFor: 'settings-cursor-style' });
      this.scrollbackLabel = el('label', { className: 'form-label', htmlFor: 'settings-scrollback' });
      this.bellLabel = el('label', { className: 'form-label', htmlFor: 'settings-bell' });
      // Where received files go: typed, or chosen in the program's folder dialog.
      this.downloadFolder = el('input', { className: 'input', type: 'text', id: 'settings-download-folder', spellcheck: false });
      this.downloadChoose = el('button', { type: 'button', className: 'button button-ghost button-small form-browse', id: 'settings-download-choose' });
      this.downloadLabel = el('label', { className: 'form-label', htmlFor: 'settings-download-folder' });
      this.settingsTitle = el('h2', { className: 'dialog-title' });
      this.familyLabel = el('label', { className: 'form-label', htmlFor: 'settings-font-family' });
      this.sizeLabel = el('label', { className: 'form-label', htmlFor: 'settings-font-size' });
      this.copyText = el('span');
      this.zoomNote = el('p', { className: 'form-note', id: 'settings-zoom' });
      this.settingsDone = el('button', { type: 'submit', className: 'button button-primary', id: 'settings-done' });
      const form = el('form', { className: 'dialog dialog-small', noValidate: true }, [
        this.settingsTitle,
        el('div', { className: 'dialog-body' }, [
          el('div', { className: 'form-row' }, [this.familyLabel, this.fontFamily]),
          el('div', { className: 'form-row' }, [this.sizeLabel, this.fontSize]),
          el('div', { className: 'form-row' }, [this.cursorLabel, this.cursorStyle]),
          el('label', { className: 'form-check', htmlFor: 'settings-cursor-blink' }, [this.cursorBlink, this.cursorBlinkText]),
          el('div', { className: 'form-row' }, [this.scrollbackLabel, this.scrollback]),
          el('div', { className: 'form-row' }, [this.bellLabel, this.bell]),
          el('div', { className: 'form-row' }, [
            this.downloadLabel,
            el('div', { className: 'form-inline' }, [this.downloadFolder, this.downloadChoose]),
          ]),
          el('label', { className: 'form-check', htmlFor: 'settings-copy-on-select' }, [this.copyOnSelect, this.copyText]),
          el('label', { className: 'form-check', htmlFor: 'settings-confirm-close' }, [this.confirmCloseBox, this.confirmCloseText]),
          el('label', { className: 'form-check', htmlFor: 'settings-plain-links' }, [this.plainLinks, this.plainLinksText]),
          el('label', { className: 'form-check', htmlFor: 'settings-reachability' }, [this.reachability, this.reachabilityText]),
          this.zoomNote,
        ]),
        el('div', { className: 'dialog-actions' }, [this.settingsDone]),
      ]);
      this.settingsBackdrop = el('div', { className: 'backdrop', id: 'settings-backdrop', hidden: true }, [form]);
      document.getElementById('app').append(this.settingsBackdrop);
      this.gear.addEventListener('click', () => this.openSettings());
      const applyNow = () => {
        const size = Number(this.fontSize.value);
        const values = {
          term_font_family: this.fontFamily.value.trim() || null,
          term_font_size: Number.isInteger(size) && size >= SIZE_MIN && size <= SIZE_MAX ? size : null,
          copy_on_select: this.copyOnSelect.checked,
          confirm_close: this.confirmCloseBox.checked,
          link_click: this.plainLinks.checked ? 'plain' : 'ctrl',
          reachability: this.reachability.checked,
          term_cursor_style: this.cursorStyle.value,
          term_cursor_blink: this.cursorBlink.checked,
          term_scrollback: (() => {
            const n = Number(this.scrollback.value);
            return Number.isInteger(n) && n >= SCROLLBACK_MIN && n <= SCROLLBACK_MAX ? n : null;
          })(),
          bell: this.bell.value,
          download_folder: this.downloadFolder.value.trim() || null,
        };
        Object.assign(this.settings, values);
        this.applyFont();
        this.applyLook();
        this.saveNow(values);
      };
      this.fontFamily.addEventListener('change', applyNow);
      this.fontSize.addEventListener('change', applyNow);
      this.copyOnSelect.addEventListener('change', applyNow);
      this.confirmCloseBox.addEventListener('change', applyNow);
      this.plainLinks.addEventListener('change', applyNow);
      this.reachability.addEventListener('change', applyNow);
      for (const control of [this.cursorStyle, this.cursorBlink, this.scrollback, this.bell, this.downloadFolder]) control.addEventListener('change', applyNow);
      this.downloadChoose.addEventListener('click', async () => {
        try {
          const folder = await call('xfer_pick_save_dir');
          if (typeof folder !== 'string' || !folder) return;
          this.downloadFolder.value = folder;
          applyNow();
        } catch (err) {
          this.api.failed(err);
        }
      });
      form.addEventListener('submit', (e) => {
        e.preventDefault();
        applyNow();
        this.settingsBackdrop.hidden = true;
        const terminal = this.api.activeTerminal();
        if (terminal) terminal.focus();
      });
      this.settingsBackdrop.addEventListener('keydown', (e) => {
        if (e.key === 'Escape') this.settingsBackdrop.hidden = true;
      });
      this.paintSettingsTexts();
    }

    paintSettingsTexts() {
      this.gear.textContent = t('settings.open');
      this.gear.title = t('settings.title');
      this.settingsTitle.textContent = t('settings.title');
      this.familyLabel.textContent = t('settings.font_family');
      this.fillFontChoices();
      this.sizeLabel.textContent = t('settings.font_size');
      this.copyText.textContent = t('settings.copy_on_select');
      this.confirmCloseText.textContent = t('settings.confirm_close');
      this.plainLinksText.textContent = t('settings.plain_links');
      this.reachabilityText.textContent = t('settings.reachability');
      this.cursorLabel.textContent = t('settings.cursor_style');
      for (const option of this.cursorStyle.options) option.textContent = t('settings.cursor_' + option.value);
      this.cursorBlinkText.textContent = t('settings.cursor_blink');
      this.scrollbackLabel.textContent = t('settings.scrollback');
      this.bellLabel.textContent = t('settings.bell');
      this.downloadLabel.textContent = t('settings.download_folder');
      this.downloadFolder.placeholder = t('xfer.default_folder');
      this.downloadChoose.textContent = t('editor.browse');
      for (const option of this.bell.options) option.textContent = t('settings.bell_' + option.value);
      this.zoomNote.textContent = t('settings.zoom_note', { zoom: (this.zoom > 0 ? '+' : '') + this.zoom });
      this.settingsDone.textContent = t('settings.done');
      if (this.logTitle) this.paintLogTexts();
    }

    openSettings() {
      this.fontSize.value = String(Number.isInteger(this.settings.term_font_size) ? this.settings.term_font_size : Termiva.TerminalTab.DEFAULT_SIZE);
      this.copyOnSelect.checked = this.settings.copy_on_select === true;
      this.confirmCloseBox.checked = this.confirmClose();
      this.plainLinks.checked = this.settings.link_click === 'plain';
      this.reachability.checked = this.settings.reachability !== false;
      const look = this.look();
      this.cursorStyle.value = look.cursorStyle;
      this.cursorBlink.checked = look.cursorBlink;
      this.scrollback.value = String(look.scrollback);
      this.bell.value = look.bell;
      this.downloadFolder.value = typeof this.settings.download_folder === 'string' ? this.settings.download_folder : '';
      this.paintSettingsTexts();
      this.settingsBackdrop.hidden = false;
      this.fontFamily.focus();
      this.loadFonts();
    }

    async loadFonts() {
      if (this.installedFonts) return;
      let fonts = [];
      try {
        const answer = await call('list_monospace_fonts');
        if (Array.isArray(answer)) fonts = answer.filter((f) => typeof f === 'string' && f && !/['",\\]/.test(f));
      } catch (err) {
        // A program that cannot list fonts: the default and the stored choice remain.
      }
      this.installedFonts = fonts;
      this.fillFontChoices();
    }

    // The font choices: the default, each installed monospace font, and a stored font
    // list that is none of them (written by hand or by an older version) as it is.
    fillFontChoices() {
      const stored = typeof this.settings.term_font_family === 'string' ? this.settings.term_font_family.trim() : '';
      const choices = [['', t('settings.font_default')]];
      for (const family of this.installedFonts || []) choices.push([`'${family}', monospace`, family]);
      if (stored && !choices.some(([value]) => value === stored)) choices.push([stored, t('settings.font_custom', { font: stored })]);
      this.fontFamily.replaceChildren(...choices.map(([value, text]) => el('option', { value, textContent: text })));
      this.fontFamily.value = stored;
    }

    // A dialog of the extras has the keyboard: the window's shortcuts stay out of its way.
    dialogOpen() {
      return !this.settingsBackdrop.hidden || !this.logBackdrop.hidden;
    }
  }

  Termiva.PageExtras = PageExtras;
  Termiva.shortcuts = SHORTCUTS;
})();
