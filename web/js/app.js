// The page's controller: loads the first state, keeps the session list, the tab bar and
// the terminals in step with the program, and defines the functions the program calls
// in the page (setTerminalInfo, terminalConnected, terminalOutput, runtimeChanged,
// xferOnEvent, termivaFilesDropped).
(function () {
  'use strict';
  const Termiva = window.Termiva;
  const { call } = Termiva.bridge;
  const { t } = Termiva.i18n;

  const TOAST_MS = 3200;

  const $ = (id) => document.getElementById(id);

  const state = {
    sessions: [],
    tabs: [], // [{id, display, protocol, alive, session_id}] in the program's order
    activeId: null,
    terminals: new Map(), // tab id -> TerminalTab
    encodings: new Map(), // tab id -> codec name shown in the tools
    connected: new Set(),
    earlyInfo: new Map(), // status lines for tabs whose terminal is not built yet
    closedIds: new Set(), // tabs gone from the program: their late lines are dropped
    reading: new Map(),
    reconnecting: new Set(), // ended tabs asked to connect again: their terminal is kept
    hinted: new Set(), // ended tabs that were told how to reconnect
  };

  // ---- feedback ----

  let toastTimer = null;
  // `sticky`: stays until clicked (what the user must read: a path, a failed save).
  function toast(text, isError, sticky) {
    const box = $('toast');
    box.textContent = text;
    box.classList.toggle('toast-error', !!isError);
    box.classList.toggle('toast-sticky', !!sticky);
    box.hidden = false;
    clearTimeout(toastTimer);
    if (!sticky) toastTimer = setTimeout(() => (box.hidden = true), TOAST_MS);
  }
  $('toast').addEventListener('click', () => ($('toast').hidden = true));

  // A file the program could not write: the change holds for now but is not on disk.
  function reportSaveFailure(result) {
    const failure = result && result.save_error;
    if (!failure) return;
    toast(t('toast.save_failed', { file: failure.file, error: failure.error }), true, true);
  }

  function failed(err) {
    toast(t('toast.bridge_failed', { error: err && err.message ? err.message : String(err) }), true);
  }

  // ---- sessions ----

  const sessionList = new Termiva.SessionList($('session-list'), $('session-empty'), {
    onOpen: (session) => openSession(session.id),
    onEdit: (session) => editor.open(session),
    onDelete: (session) => confirmDelete(session),
    onMenu: (session, x, y) => extras.sessionMenu(session, x, y),
    onCountChange: (count) => (document.querySelector('.sidebar-hint').hidden = count === 0),
  });

  const editor = new Termiva.SessionEditor(
    {
      backdrop: $('editor-backdrop'),
      form: $('session-editor'),
      title: $('editor-title'),
      fields: $('editor-fields'),
      error: $('editor-error'),
      cancel: $('editor-cancel'),
    },
    { onSave: saveSession, confirm: (text, okLabel, action) => confirmAction(text, okLabel, action) },
  );

  async function saveSession(record) {
    const result = await call('save_session', record);
    if (result && result.refused) {
      // The editor stays open with the reason, so nothing typed is lost.
      const { field, limit } = result.refused;
      throw new Error(t('editor.field_too_large', { field, limit }));
    }
    reportSaveFailure(result);
    state.sessions = (result && result.sessions) || state.sessions;
    sessionList.update(state.sessions);
    if (result && result.id) sessionList.select(result.id);
    refreshRuntime();
  }

  // One question at a time: `okLabel` names what the red button does.
  let confirmReturn = null; // what had the keyboard before the question
  function confirmAction(text, okLabel, action) {
    confirmReturn = document.activeElement;
    $('confirm-text').textContent = text;
    $('confirm-ok').textContent = okLabel;
    $('confirm-backdrop').hidden = false;
    $('confirm-ok').focus();
    $('confirm-ok').onclick = () => {
      $('confirm-backdrop').hidden = true;
      action();
    };
  }

  function closeConfirm() {
    $('confirm-backdrop').hidden = true;
    const back = confirmReturn;
    confirmReturn = null;
    if (back && back.isConnected && back !== document.body) back.focus();
    else if (activeTerminal() && !editor.isOpen()) activeTerminal().focus();
  }

  function confirmDelete(session) {
    confirmAction(t('sessions.delete_confirm', { name: Termiva.sessionCaption(session) }), t('sessions.delete'), async () => {
      try {
        const result = await call('delete_session', session.id);
        reportSaveFailure(result);
        state.sessions = (result && result.sessions) || [];
        sessionList.update(state.sessions);
      } catch (err) {
        failed(err);
      }
    });
  }
  $('confirm-cancel').addEventListener('click', closeConfirm);
  $('confirm-backdrop').addEventListener('keydown', (e) => {
    if (e.key === 'Escape') closeConfirm();
  });

  $('new-session').addEventListener('click', () => editor.open(null));

  // ---- tabs ----

  const tabBar = new Termiva.TabBar($('tab-bar'), {
    onSelect: (id) => activate(id),
    onClose: (id) => askCloseTab(id),
  });

  function tabState(tab) {
    if (tab.alive === false) return 'ended';
    return state.connected.has(tab.id) ? 'connected' : 'connecting';
  }

  function sessionOfTab(tab) {
    return state.sessions.find((s) => s.id === tab.session_id) || null;
  }

  // Calls whose answer is a runtime state. Calls run concurrently in the program, so an
  // answer may overtake a later one: only a state asked for after the one shown is applied.
  let runtimeAsked = 0;
  let runtimeShown = 0;
  async function runtimeCall(op, ...args) {
    const ticket = ++runtimeAsked;
    const result = await call(op, ...args);
    const fresh = ticket > runtimeShown;
    if (fresh) runtimeShown = ticket;
    return { result, fresh };
  }

  // Brings the page in line with a runtime state from the program.
  function applyRuntime(runtime, focusId) {
    if (!runtime || !Array.isArray(runtime.tabs)) return;
    state.tabs = runtime.tabs.filter((tab) => tab && typeof tab.id === 'string');
    const ids = new Set(state.tabs.map((tab) => tab.id));

    // A reconnected tab comes back under a new id in its old place: its terminal, with
    // what it showed, goes on under that id.
    const handedOver = new Map(); // session id (as text) -> terminal of a reconnected tab
    for (const [id, terminal] of state.terminals) {
      if (!ids.has(id)) {
        state.closedIds.add(id);
        if (state.reconnecting.has(id)) handedOver.set(JSON.stringify(terminal.sessionId ?? null), terminal);
        else terminal.dispose();
        state.terminals.delete(id);
        state.encodings.delete(id);
        state.connected.delete(id);
        state.reading.delete(id);
        state.earlyInfo.delete(id);
        state.hinted.delete(id);
        transfer.forget(id);
        files.forget(id);
        extras.forget(id);
      }
    }
    for (const tab of state.tabs) {
      if (state.terminals.has(tab.id)) continue;
      const key = JSON.stringify(tab.session_id ?? null);
      let terminal = handedOver.get(key);
      if (terminal) {
        handedOver.delete(key);
        terminal.rekey(tab.id);
      } else {
        terminal = new Termiva.TerminalTab(tab.id, $('terminals'), Object.assign({ onKey: handleTerminalKey }, extras.terminalOptions()));
      }
      terminal.sessionId = tab.session_id;
      state.terminals.set(tab.id, terminal);
      const session = sessionOfTab(tab);
      state.encodings.set(tab.id, String((session && session.line_code_page) || 'utf-8').toLowerCase());
      for (const info of state.earlyInfo.get(tab.id) || []) terminal.showInfo(info.message, info.isError);
      state.earlyInfo.delete(tab.id);
      if (state.connected.has(tab.id)) terminal.markConnected();
    }
    for (const terminal of handedOver.values()) terminal.dispose();
    // The codec the program decodes with: a session edit or a save may have changed it.
    for (const tab of state.tabs) {
      if (typeof tab.encoding === 'string' && tab.encoding) state.encodings.set(tab.id, tab.encoding.toLowerCase());
    }
    for (const tab of state.tabs) {
      // A serial port is reopened by the program itself; it says so in its own lines.
      if (tab.alive !== false || tab.protocol === 'serial' || state.hinted.has(tab.id)) continue;
      state.hinted.add(tab.id);
      state.terminals.get(tab.id).showInfo(t('tab.reconnect_hint'), false);
    }

    if (focusId && ids.has(focusId)) state.activeId = focusId;
    if (!ids.has(state.activeId)) {
      state.activeId = ids.has(runtime.active_tab) ? runtime.active_tab : state.tabs.length ? state.tabs[state.tabs.length - 1].id : null;
    }
    if (runtime.session_status && typeof runtime.session_status === 'object') {
      sessionList.updateStatus(runtime.session_status);
    }
    renderTabs();
    for (const listener of [...runtimeListeners]) listener(state);
  }

  // Parts of the page that wait for a tab or a tab's end ask to be told when the runtime
  // state changed, instead of asking the program again and again. Returns the function
  // that stops the telling.
  const runtimeListeners = new Set();
  function onRuntime(listener) {
    runtimeListeners.add(listener);
    return () => runtimeListeners.delete(listener);
  }

  // Parts of the page that show something of the active tab hear when another tab
  // becomes active (a runtime change may do that too: they listen to both).
  const activeListeners = new Set();
  function onActiveTab(listener) {
    activeListeners.add(listener);
    return () => activeListeners.delete(listener);
  }

  function renderTabs() {
    tabBar.render(
      state.tabs.map((tab) => ({ id: tab.id, display: extras.caption(tab), state: tabState(tab), logging: extras.isLogging(tab.id) })),
      state.activeId,
    );
    for (const [id, terminal] of state.terminals) {
      if (id === state.activeId) {
        if (terminal.pane.hidden) terminal.show();
      } else if (!terminal.pane.hidden) {
        terminal.hide();
      }
    }
    $('tabs-empty').hidden = state.tabs.length > 0;
    renderTools();
    transfer.sync(state.activeId);
    transfer.render();
    files.sync(state.activeId);
    extras.afterRender();
  }

  function activate(id) {
    if (!state.terminals.has(id)) return;
    state.activeId = id;
    renderTabs();
    for (const listener of [...activeListeners]) listener(state);
    const tab = state.tabs.find((x) => x.id === id);
    if (tab) sessionList.select(tab.session_id);
    state.terminals.get(id).focus();
  }

  async function openSession(sessionId) {
    if (!sessionId) return;
    try {
      const { result, fresh } = await runtimeCall('connect_session', sessionId);
      if (!result || result.tab_id === null || result.tab_id === undefined) return;
      if (fresh) applyRuntime(result, result.tab_id);
      else refreshRuntime(result.tab_id);
      const terminal = state.terminals.get(result.tab_id);
      if (terminal) terminal.focus();
    } catch (err) {
      failed(err);
    }
  }

  function isConnected(id) {
    const tab = state.tabs.find((x) => x.id === id);
    return !!tab && tabState(tab) === 'connected';
  }

  // A live connection is not dropped by a stray click: the user is asked first unless the
  // settings say not to.
  function askCloseTab(id) {
    const tab = state.tabs.find((x) => x.id === id);
    if (!tab) return;
    if (!isConnected(id) || !extras.confirmClose()) {
      closeTab(id);
      return;
    }
    confirmAction(t('tab.close_confirm', { name: extras.caption(tab) }), t('tab.close_ok'), () => closeTab(id));
  }

  function isEnded(id) {
    const tab = state.tabs.find((x) => x.id === id);
    return !!tab && tab.alive === false;
  }

  // An ended tab connects its session again in its own place, keeping what it showed.
  async function reconnectTab(id) {
    if (!isEnded(id) || state.reconnecting.has(id)) return;
    state.reconnecting.add(id);
    try {
      const { result, fresh } = await runtimeCall('reconnect_tab', id);
      if (!result || typeof result.tab_id !== 'string') {
        toast(t('tab.reconnect_failed'), true);
        return;
      }
      if (fresh) applyRuntime(result, result.tab_id);
      else await refreshRuntime(result.tab_id);
      if (result.tab_id === state.activeId) {
        const terminal = state.terminals.get(result.tab_id);
        if (terminal) terminal.focus();
      }
    } catch (err) {
      failed(err);
    } finally {
      state.reconnecting.delete(id);
    }
  }

  async function closeTab(id) {
    try {
      const { result, fresh } = await runtimeCall('close_tab', id);
      if (fresh) applyRuntime(result);
      else refreshRuntime();
    } catch (err) {
      failed(err);
    }
  }

  async function refreshRuntime(focusId) {
    try {
      const { result, fresh } = await runtimeCall('get_runtime_state');
      if (fresh) applyRuntime(result, focusId);
    } catch (err) {
      // The program's next change notice asks again.
    }
  }

  // The program says when its runtime state changed (a tab ended, reachability came in);
  // notices that arrive while a refresh is on its way cost one more refresh, not one each.
  let refreshing = false;
  let refreshAgain = false;
  async function runtimeChangedNotice() {
    if (refreshing) {
      refreshAgain = true;
      return;
    }
    refreshing = true;
    do {
      refreshAgain = false;
      await refreshRuntime();
    } while (refreshAgain);
    refreshing = false;
  }

  // ---- file transfer ----

  const transfer = new Termiva.TransferPanel($('xfer-panel'), $('tab-transfer'), {
    activeId: () => state.activeId,
    // The keyboard goes back to the terminal: the peer's prompt follows.
    onFinished: (id) => {
      const terminal = state.terminals.get(id);
      if (terminal && id === state.activeId && !editor.isOpen()) terminal.focus();
    },
    failed,
    toast,
  });
  const firmware = new Termiva.FirmwareDialog($('fw-backdrop'), {
    activeId: () => state.activeId,
    failed,
    onFinished: () => {},
  });
  // Flashing jobs report through the transfer events too: both listen, the dialog to the
  // job it started, the panel to whatever holds the tab's transfer slot.
  window.xferOnEvent = (tabId, event) => {
    firmware.onEvent(tabId, event);
    transfer.onEvent(tabId, event);
    files.onEvent(tabId, event);
  };

  // ---- the server's files beside an SSH-2 tab ----

  const files = new Termiva.FilePanel($('files-panel'), $('tab-files'), {
    tabOf: (id) => state.tabs.find((x) => x.id === id),
    sessionOf: sessionOfTab,
    confirm: confirmAction,
  });
  // The window hands over the paths of files dropped onto the page (see file-panel.js).
  window.termivaFilesDropped = (paths, x, y) => files.filesDropped(paths, x, y);

  // ---- the active tab's tools: encoding and reading ----

  const encodingSelect = $('tab-encoding');
  const readingButton = $('tab-reading');

  function renderTools() {
    const id = state.activeId;
    $('tab-tools').hidden = !id;
    if (!id) return;
    const tab = state.tabs.find((x) => x.id === id);
    $('tab-esp').hidden = !tab || tab.protocol !== 'serial';
    const current = state.encodings.get(id) || 'utf-8';
    const names = Termiva.protocols.ENCODINGS.includes(current)
      ? Termiva.protocols.ENCODINGS
      : [current].concat(Termiva.protocols.ENCODINGS);
    if (encodingSelect.dataset.names !== names.join()) {
      encodingSelect.textContent = '';
      for (const name of names) {
        const option = document.createElement('option');
        option.value = name;
        option.textContent = name;
        encodingSelect.appendChild(option);
      }
      encodingSelect.dataset.names = names.join();
    }
    encodingSelect.value = current;
    if (!state.reading.has(id)) {
      state.reading.set(id, true);
      call('get_tab_reading', id)
        .then((r) => {
          state.reading.set(id, !!(r && r.reading));
          paintReading();
        })
        .catch(() => {});
    }
    paintReading();
  }

  function paintReading() {
    const on = state.reading.get(state.activeId) !== false;
    readingButton.textContent = t(on ? 'tab.reading_on' : 'tab.reading_off');
    readingButton.setAttribute('aria-pressed', on ? 'true' : 'false');
    readingButton.classList.toggle('tool-toggle-off', !on);
    readingButton.title = t('tab.reading_title');
  }

  encodingSelect.addEventListener('change', async () => {
    const id = state.activeId;
    const wanted = encodingSelect.value;
    try {
      const applied = await call('set_tab_encoding', id, wanted);
      if (applied) state.encodings.set(id, wanted);
    } catch (err) {
      failed(err);
    }
    const terminal = state.terminals.get(id);
    if (terminal) terminal.focus();
    renderTools();
  });

  readingButton.addEventListener('click', async () => {
    const id = state.activeId;
    if (!id) return;
    try {
      const result = await call('toggle_tab_reading', id);
      state.reading.set(id, !!(result && result.reading));
    } catch (err) {
      failed(err);
    }
    const terminal = state.terminals.get(id);
    if (terminal) terminal.focus();
    paintReading();
  });

  // ---- ESP boards on serial tabs: the reset lines ----

  // The program answers false when the tab has no open port; the line change itself runs
  // in the background and its failure is only in the program's log.
  async function espReset(op) {
    const id = state.activeId;
    if (!id) return;
    try {
      const dispatched = await call(op, id);
      if (!dispatched) toast(t('esp.no_port'), true);
    } catch (err) {
      failed(err);
    }
    const terminal = state.terminals.get(id);
    if (terminal) terminal.focus();
  }
  $('tab-esp-reset').addEventListener('click', () => espReset('hard_reset_esp'));
  $('tab-esp-boot').addEventListener('click', () => espReset('enter_bootloader_esp'));
  $('tab-esp-firmware').addEventListener('click', () => firmware.open());

  // ---- PuTTY import and the about panel ----

  const importDialog = new Termiva.ImportDialog({
    onImported: (result) => {
      reportSaveFailure(result);
      state.sessions = (result && result.sessions) || state.sessions;
      sessionList.update(state.sessions);
      refreshRuntime();
    },
    notify: (text) => toast(text),
    failed,
  });
  const about = new Termiva.AboutPanel({ failed });
  $('import-putty').addEventListener('click', () => importDialog.open());
  $('about-open').addEventListener('click', () => about.open());

  // ---- keyboard and clipboard ----

  // `quiet`: copy-on-select, which would otherwise toast at every selection.
  async function copySelection(terminal, quiet) {
    const text = terminal.term.getSelection();
    if (!text) return;
    try {
      await navigator.clipboard.writeText(text);
    } catch (err) {
      const area = document.createElement('textarea');
      area.value = text;
      document.body.appendChild(area);
      area.select();
      document.execCommand('copy');
      area.remove();
    }
    if (!quiet) toast(t('toast.copied'));
  }

  let programClipboard = true; // read_clipboard is tried until the program says it has none
  async function readClipboard() {
    try {
      const text = await navigator.clipboard.readText();
      if (text) return text;
    } catch (err) {
      // The page may not read the clipboard here; ask the program.
    }
    if (!programClipboard) return '';
    try {
      const text = await call('read_clipboard');
      return typeof text === 'string' ? text : '';
    } catch (err) {
      if (err instanceof Termiva.bridge.BridgeError && /unknown operation/.test(err.message)) programClipboard = false;
      return '';
    }
  }

  async function paste(terminal) {
    const text = await readClipboard();
    if (text) terminal.term.paste(text);
    else toast(t('toast.paste_failed'));
  }

  function activeTerminal() {
    return state.terminals.get(state.activeId) || null;
  }

  function cycleTab(step) {
    if (!state.tabs.length) return;
    const index = state.tabs.findIndex((tab) => tab.id === state.activeId);
    const next = state.tabs[(index + step + state.tabs.length) % state.tabs.length];
    activate(next.id);
  }

  // Shortcuts of the program, taken before the terminal sees the key. Returns true
  // when the key was used.
  function shortcut(event) {
    if (event.type !== 'keydown' || !event.ctrlKey || event.altKey || event.metaKey) return false;
    const key = event.key.toLowerCase();
    const terminal = activeTerminal();
    if (extras.shortcut(event)) return true;
    if (event.shiftKey && key === 'c' && terminal) {
      copySelection(terminal);
      return true;
    }
    if (event.shiftKey && key === 'v' && terminal) {
      paste(terminal);
      return true;
    }
    if (event.shiftKey && key === 't') {
      const session = sessionList.selected();
      if (session) openSession(session.id);
      return true;
    }
    if (key === 'w' && state.activeId) {
      askCloseTab(state.activeId);
      return true;
    }
    if (key === 'pagedown' || key === 'pageup') {
      cycleTab(key === 'pagedown' ? 1 : -1);
      return true;
    }
    return false;
  }

  // In an ended tab Enter or R connects again; nothing else is sent to a closed line.
  function reconnectKey(event, terminal) {
    if (!terminal || !isEnded(terminal.id)) return false;
    if (event.ctrlKey || event.altKey || event.metaKey) return false;
    if (event.key !== 'Enter' && event.key !== 'r' && event.key !== 'R') return false;
    if (event.type === 'keydown') reconnectTab(terminal.id);
    return true;
  }

  function handleTerminalKey(event, terminal) {
    if (shortcut(event) || reconnectKey(event, terminal)) {
      event.preventDefault();
      return false;
    }
    return true;
  }

  document.addEventListener('keydown', (event) => {
    if (editor.isOpen() || !$('confirm-backdrop').hidden || importDialog.isOpen() || about.isOpen() || extras.dialogOpen()) return;
    if (event.target.closest && event.target.closest('.xterm')) return; // the terminal asked already
    if (shortcut(event)) event.preventDefault();
  });

  // ---- size ----

  let fitPending = false;
  new ResizeObserver(() => {
    if (fitPending) return;
    fitPending = true;
    requestAnimationFrame(() => {
      fitPending = false;
      const terminal = activeTerminal();
      if (terminal) terminal.fit();
    });
  }).observe($('terminals'));

  // ---- language ----

  document.querySelectorAll('.lang-option').forEach((button) => {
    button.addEventListener('click', async () => {
      try {
        const result = await call('set_language', button.dataset.lang);
        Termiva.i18n.setLanguage(result && result.language);
        reportSaveFailure(result);
      } catch (err) {
        failed(err);
      }
    });
  });

  Termiva.i18n.onChange((lang) => {
    document.querySelectorAll('.lang-option').forEach((button) => {
      button.setAttribute('aria-pressed', button.dataset.lang === lang ? 'true' : 'false');
    });
    sessionList.render();
    renderTabs();
    editor.refresh();
  });

  // ---- calls from the program ----

  window.setTerminalInfo = function (tabId, message, isError) {
    const terminal = state.terminals.get(tabId);
    if (terminal) {
      terminal.showInfo(message, isError);
      return;
    }
    // A closed tab's reader still says "connection ended"; nobody will show it.
    if (state.closedIds.has(tabId) || typeof tabId !== 'string') return;
    if (!state.earlyInfo.has(tabId)) state.earlyInfo.set(tabId, []);
    const lines = state.earlyInfo.get(tabId);
    if (lines.length < 100) lines.push({ message, isError });
  };

  window.terminalOutput = function (tabId, text, carried) {
    const terminal = state.terminals.get(tabId);
    if (terminal) terminal.outputReady(text, carried);
    // A terminal built later pulls once when it starts (nothing is carried before that).
  };

  window.runtimeChanged = function () {
    runtimeChangedNotice();
  };

  // The program is about to quit: settings still waiting to be written go now. The
  // program waits (briefly) for the promise.
  window.flushPageSettings = function () {
    return extras.saveNow();
  };

  // A log the program had to end (a full disk): the tab has said why, its mark goes.
  window.tabLogEnded = function (tabId) {
    extras.logEnded(tabId);
  };

  window.terminalConnected = function (tabId) {
    state.connected.add(tabId);
    const terminal = state.terminals.get(tabId);
    if (terminal) terminal.markConnected();
    renderTabs();
  };

  // ---- start ----

  async function start() {
    try {
      const initial = await call('get_initial_state');
      Termiva.i18n.setLanguage(initial && initial.language);
      state.sessions = (initial && initial.sessions) || [];
      sessionList.update(state.sessions);
      // A file that could not be read at start and was set aside: told once, with its path.
      const notices = ((initial && initial.notices) || []).map((n) =>
        t(n.key, { file: n.file, moved_to: n.moved_to }),
      );
      if (notices.length) toast(notices.join('\n'), true, true);
    } catch (err) {
      Termiva.i18n.setLanguage('en');
      failed(err);
    }
    await extras.start();
    await refreshRuntime();
    document.body.dataset.ready = 'true';
  }

  // Find, zoom and font, menus, logging a tab, copy-on-select, link clicks, titles.
  const extras = new Termiva.PageExtras({
    state,
    activeTerminal,
    toast,
    failed,
    reportSaveFailure,
    copySelection,
    paste,
    renderTabs,
    sessionOfTab,
    saveSession,
    openSession,
    reconnectTab,
    isEnded,
    closeTab: askCloseTab,
    editSession: (session) => editor.open(session),
    editCopy: (copy, notice) => editor.openCopy(copy, notice),
    confirmDelete,
    terminalsEl: $('terminals'),
    tabBarEl: $('tab-bar'),
    mainEl: document.querySelector('.main'),
    topbarEl: document.querySelector('.topbar-actions'),
  });

  Termiva.app = { state, openSession, closeTab, reconnectTab, activate, onRuntime, onActiveTab, start, transfer, files, firmware, importDialog, about, extras };

  // Under the page tests the relay is installed after the document loads; they call start().
  if (Termiva.bridge.available()) start();
})();
