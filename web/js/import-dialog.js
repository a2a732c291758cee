// The PuTTY import: lists the sessions PuTTY saved, lets the user tick the ones to bring
// over (all / none), and adds them to the session list as new sessions.
(function () {
  'use strict';
  const Termiva = (window.Termiva = window.Termiva || {});
  const { call } = Termiva.bridge;
  const { t } = Termiva.i18n;

  Termiva.i18n.extend('en', {
    'import.open': 'Import from PuTTY',
    'import.open_short': 'Import',
    'import.title': 'Import sessions from PuTTY',
    'import.loading': 'Looking for PuTTY’s saved sessions…',
    'import.none': 'PuTTY has no saved sessions here.',
    'import.none_hint': 'PuTTY keeps them in ~/.putty/sessions (on Windows, in the registry).',
    'import.found': '{count} saved sessions found',
    'import.all': 'Select all',
    'import.nothing': 'Select none',
    'import.submit': 'Import ({count})',
    'import.cancel': 'Cancel',
    'import.done': '{count} sessions imported',
    'import.serial': 'serial',
    'import.proxy_jump': 'through jump host {hop}',
    'import.proxy_skipped': 'proxy ({kind}) not imported',
  });
  Termiva.i18n.extend('zh-Hant', {
    'import.open': '從 PuTTY 匯入',
    'import.open_short': '匯入',
    'import.title': '從 PuTTY 匯入工作階段',
    'import.loading': '正在尋找 PuTTY 儲存的工作階段…',
    'import.none': '這裡沒有 PuTTY 儲存的工作階段。',
    'import.none_hint': 'PuTTY 將工作階段存於 ~/.putty/sessions（Windows 上則在登錄檔中）。',
    'import.found': '找到 {count} 個已儲存的工作階段',
    'import.all': '全選',
    'import.nothing': '全不選',
    'import.submit': '匯入（{count}）',
    'import.cancel': '取消',
    'import.done': '已匯入 {count} 個工作階段',
    'import.serial': '序列埠',
    'import.proxy_jump': '經由跳板主機 {hop}',
    'import.proxy_skipped': '未匯入代理伺服器（{kind}）',
  });

  function element(tag, className, text) {
    const el = document.createElement(tag);
    if (className) el.className = className;
    if (text !== undefined) el.textContent = text;
    return el;
  }

  // One line under the name: protocol, where it goes, who logs in.
  function describe(rec) {
    const protocol = String(rec.Protocol || 'ssh').toLowerCase();
    const host = rec.HostName || rec.SerialLine || '';
    const port = typeof rec.PortNumber === 'number' && protocol !== 'serial' ? ':' + rec.PortNumber : '';
    const user = rec.UserName ? rec.UserName + '@' : '';
    const where = host ? user + host + port : '';
    // What becomes of PuTTY's proxy: a jump host, or said to be left behind.
    const proxy =
      rec.proxy_jump && protocol === 'ssh' ? t('import.proxy_jump', { hop: rec.proxy_jump }) :
      rec.proxy_jump ? t('import.proxy_skipped', { kind: 'SSH' }) :
      rec.proxy_skipped ? t('import.proxy_skipped', { kind: rec.proxy_skipped }) : '';
    return [protocol === 'serial' ? t('import.serial') : protocol, where, proxy].filter(Boolean).join(' · ');
  }

  class ImportDialog {
    // handlers: onImported(result) with the program's answer, notify(text), failed(err).
    constructor(handlers) {
      this.handlers = handlers;
      this.records = [];
      this.build();
      Termiva.i18n.onChange(() => this.isOpen() && this.render());
    }

    build() {
      this.backdrop = element('div', 'backdrop');
      this.backdrop.id = 'import-backdrop';
      this.backdrop.hidden = true;
      const dialog = element('div', 'dialog dialog-import');
      dialog.setAttribute('role', 'dialog');
      dialog.setAttribute('aria-labelledby', 'import-title');
      this.title = element('h2', 'dialog-title');
      this.title.id = 'import-title';
      const body = element('div', 'dialog-body');
      this.status = element('p', 'import-status');
      this.status.setAttribute('role', 'status');
      this.hint = element('p', 'import-hint');
      this.tools = element('div', 'import-tools');
      this.allButton = element('button', 'button button-ghost button-small');
      this.noneButton = element('button', 'button button-ghost button-small');
      for (const b of [this.allButton, this.noneButton]) b.type = 'button';
      this.tools.append(this.allButton, this.noneButton);
      this.list = element('ul', 'import-list');
      body.append(this.status, this.hint, this.tools, this.list);
      const actions = element('div', 'dialog-actions');
      this.cancelButton = element('button', 'button button-ghost');
      this.submitButton = element('button', 'button button-primary');
      this.cancelButton.type = this.submitButton.type = 'button';
      actions.append(this.cancelButton, this.submitButton);
      dialog.append(this.title, body, actions);
      this.backdrop.append(dialog);
      document.getElementById('app').append(this.backdrop);

      this.allButton.addEventListener('click', () => this.setAll(true));
      this.noneButton.addEventListener('click', () => this.setAll(false));
      this.cancelButton.addEventListener('click', () => this.close());
      this.submitButton.addEventListener('click', () => this.submit());
      this.list.addEventListener('change', () => this.paintCount());
      this.backdrop.addEventListener('keydown', (e) => {
        if (e.key === 'Escape') this.close();
      });
    }

    isOpen() {
      return !this.backdrop.hidden;
    }

    async open() {
      this.records = null;
      this.list.textContent = ''; // a fresh list starts with every session ticked
      this.backdrop.hidden = false;
      this.render();
      this.cancelButton.focus();
      try {
        const records = await call('import_list_from_putty');
        this.records = Array.isArray(records) ? records.filter((r) => r && typeof r === 'object') : [];
      } catch (err) {
        this.records = [];
        this.handlers.failed(err);
      }
      this.render();
      if (this.records.length) this.submitButton.focus();
    }

    close() {
      this.backdrop.hidden = true;
    }

    checkboxes() {
      return Array.from(this.list.querySelectorAll('input[type=checkbox]'));
    }

    setAll(on) {
      for (const box of this.checkboxes()) box.checked = on;
      this.paintCount();
    }

    chosen() {
      return this.checkboxes()
        .filter((box) => box.checked)
        .map((box) => this.records[Number(box.dataset.index)]);
    }

    render() {
      this.title.textContent = t('import.title');
      this.allButton.textContent = t('import.all');
      this.noneButton.textContent = t('import.nothing');
      this.cancelButton.textContent = t('import.cancel');
      const loading = this.records === null;
      const records = this.records || [];
      const ticked = new Set(this.checkboxes().filter((b) => b.checked).map((b) => b.dataset.index));
      const first = this.list.childElementCount === 0;
      this.status.textContent = loading
        ? t('import.loading')
        : records.length
          ? t('import.found', { count: records.length })
          : t('import.none');
      this.hint.textContent = t('import.none_hint');
      this.hint.hidden = loading || records.length > 0;
      this.tools.hidden = records.length === 0;
      this.list.textContent = '';
      records.forEach((rec, index) => {
        const row = element('li', 'import-row');
        const label = element('label', 'import-label');
        const box = element('input');
        box.type = 'checkbox';
        box.dataset.index = String(index);
        box.checked = first || ticked.has(String(index));
        const text = element('span', 'import-text');
        text.append(
          element('span', 'import-name', String(rec.name || '') || t('sessions.untitled')),
          element('span', 'import-detail', describe(rec)),
        );
        label.append(box, text);
        row.append(label);
        this.list.append(row);
      });
      this.paintCount();
    }

    paintCount() {
      const count = this.checkboxes().filter((b) => b.checked).length;
      this.submitButton.textContent = t('import.submit', { count });
      this.submitButton.disabled = count === 0;
    }

    async submit() {
      const records = this.chosen();
      if (!records.length) return;
      this.submitButton.disabled = true;
      try {
        const result = await call('import_putty_sessions', records);
        this.close();
        this.handlers.onImported(result);
        this.handlers.notify(t('import.done', { count: records.length }));
      } catch (err) {
        this.handlers.failed(err);
        this.paintCount();
      }
    }
  }

  Termiva.ImportDialog = ImportDialog;
})();
