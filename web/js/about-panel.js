// The about panel: the logo, the program's version, the keyboard shortcuts (when the page
// lists them in Termiva.shortcuts), and the notices of the open-source software delivered
// with the program, each text unfolding on demand. Addresses in the texts open in the
// desktop's browser through the program.
(function () {
  'use strict';
  const Termiva = (window.Termiva = window.Termiva || {});
  const { call } = Termiva.bridge;
  const { t } = Termiva.i18n;

  Termiva.i18n.extend('en', {
    'about.open': 'About Termiva',
    'about.title': 'About',
    'about.tagline': 'Terminal sessions in tabs: SSH, Telnet, serial ports and more.',
    'about.version': 'Version {version}',
    'about.shortcuts': 'Keyboard shortcuts',
    'about.notices': 'Open-source software',
    'about.notices_intro': 'Termiva delivers or uses these components. Select one to read its licence.',
    'about.notices_none': 'No notices were found in the program folder.',
    'about.loading': 'Loading…',
    'about.close': 'Close',
  });
  Termiva.i18n.extend('zh-Hant', {
    'about.open': '關於 Termiva',
    'about.title': '關於',
    'about.tagline': '在分頁中使用終端機連線：SSH、Telnet、序列埠等。',
    'about.version': '版本 {version}',
    'about.shortcuts': '鍵盤快速鍵',
    'about.notices': '開放原始碼軟體',
    'about.notices_intro': 'Termiva 隨附或使用下列元件。選擇一項即可閱讀其授權條款。',
    'about.notices_none': '程式資料夾中找不到授權聲明。',
    'about.loading': '載入中…',
    'about.close': '關閉',
  });

  // Addresses a licence text may hold; what they open is the program's decision.
  const ADDRESS = /\b(?:https?:\/\/|mailto:)[^\s<>"'()]+[^\s<>"'().,;:!?]/g;

  function element(tag, className, text) {
    const el = document.createElement(tag);
    if (className) el.className = className;
    if (text !== undefined) el.textContent = text;
    return el;
  }

  // The text as nodes, each address a link the program opens.
  function linkified(text, onLink) {
    const fragment = document.createDocumentFragment();
    let last = 0;
    for (const match of text.matchAll(ADDRESS)) {
      fragment.append(text.slice(last, match.index));
      const link = element('a', 'about-link', match[0]);
      link.href = match[0];
      link.addEventListener('click', (e) => {
        e.preventDefault();
        onLink(match[0]);
      });
      fragment.append(link);
      last = match.index + match[0].length;
    }
    fragment.append(text.slice(last));
    return fragment;
  }

  class AboutPanel {
    // handlers: failed(err).
    constructor(handlers) {
      this.handlers = handlers;
      this.items = null;
      this.logo = null;
      this.build();
      Termiva.i18n.onChange(() => this.isOpen() && this.render());
    }

    build() {
      this.backdrop = element('div', 'backdrop');
      this.backdrop.id = 'about-backdrop';
      this.backdrop.hidden = true;
      const dialog = element('div', 'dialog dialog-about');
      dialog.setAttribute('role', 'dialog');
      dialog.setAttribute('aria-labelledby', 'about-name');
      const head = element('div', 'about-head');
      this.logoImage = element('img', 'about-logo');
      this.logoImage.alt = '';
      const names = element('div', 'about-names');
      const name = element('h2', 'about-name', 'Termiva');
      name.id = 'about-name';
      this.versionLine = element('p', 'about-version');
      this.tagline = element('p', 'about-tagline');
      names.append(name, this.versionLine, this.tagline);
      head.append(this.logoImage, names);
      this.body = element('div', 'dialog-body about-body');
      const actions = element('div', 'dialog-actions');
      this.closeButton = element('button', 'button button-primary');
      this.closeButton.type = 'button';
      actions.append(this.closeButton);
      dialog.append(head, this.body, actions);
      this.backdrop.append(dialog);
      document.getElementById('app').append(this.backdrop);

      this.closeButton.addEventListener('click', () => this.close());
      this.backdrop.addEventListener('keydown', (e) => {
        if (e.key === 'Escape') this.close();
      });
    }

    isOpen() {
      return !this.backdrop.hidden;
    }

    async open() {
      this.backdrop.hidden = false;
      this.render();
      this.closeButton.focus();
      const [images, notices] = await Promise.all([
        this.logo === null ? call('get_images').catch(() => null) : Promise.resolve(null),
        this.items === null ? call('get_third_party_licenses').catch((err) => this.handlers.failed(err)) : null,
      ]);
      if (images && typeof images.logo === 'string') this.logo = images.logo;
      if (notices && Array.isArray(notices.items)) this.items = notices.items.filter((i) => i && typeof i === 'object');
      else if (this.items === null) this.items = [];
      this.render();
    }

    close() {
      this.backdrop.hidden = true;
    }

    openLink(url) {
      call('open_url', url).catch((err) => this.handlers.failed(err));
    }

    render() {
      this.closeButton.textContent = t('about.close');
      this.tagline.textContent = t('about.tagline');
      this.versionLine.textContent = Termiva.version ? t('about.version', { version: Termiva.version }) : '';
      this.logoImage.hidden = !this.logo;
      if (this.logo) this.logoImage.src = this.logo;

      // Sections that stay open keep their place when the language changes.
      const unfolded = new Set(Array.from(this.body.querySelectorAll('details[open]')).map((d) => d.dataset.key));
      this.body.textContent = '';
      this.renderShortcuts();
      this.body.append(element('h3', 'about-section', t('about.notices')));
      if (this.items === null) {
        this.body.append(element('p', 'about-note', t('about.loading')));
        return;
      }
      if (!this.items.length) {
        this.body.append(element('p', 'about-note', t('about.notices_none')));
        return;
      }
      this.body.append(element('p', 'about-note', t('about.notices_intro')));
      const list = element('div', 'about-notices');
      for (const item of this.items) {
        const key = String(item.name) + '-' + String(item.version);
        const details = element('details', 'about-notice');
        details.dataset.key = key;
        details.open = unfolded.has(key);
        const summary = element('summary', 'about-notice-head');
        summary.append(
          element('span', 'about-notice-name', String(item.name || '')),
          element('span', 'about-notice-version', String(item.version || '')),
          element('span', 'about-notice-file', item.license_file ? t('about.license_file', { file: String(item.license_file) }) : ''),
        );
        const body = element('pre', 'about-notice-body');
        // Long texts are laid out only when someone opens them.
        const fill = () => {
          if (!body.childNodes.length) body.append(linkified(String(item.body || ''), (url) => this.openLink(url)));
        };
        if (details.open) fill();
        details.addEventListener('toggle', () => details.open && fill());
        details.append(summary, body);
        list.append(details);
      }
      this.body.append(list);
    }

    // The page's shortcut list, when one is defined: [{keys, label_key}] (or label).
    renderShortcuts() {
      const shortcuts = Array.isArray(Termiva.shortcuts) ? Termiva.shortcuts : [];
      if (!shortcuts.length) return;
      this.body.append(element('h3', 'about-section', t('about.shortcuts')));
      const table = element('dl', 'about-shortcuts');
      for (const s of shortcuts) {
        if (!s || typeof s !== 'object') continue;
        const keys = Array.isArray(s.keys) ? s.keys.join(' / ') : String(s.keys || '');
        const label = s.label_key ? t(s.label_key) : String(s.label || '');
        table.append(element('dt', 'about-keys', keys), element('dd', 'about-action', label));
      }
      this.body.append(table);
    }
  }

  Termiva.AboutPanel = AboutPanel;
})();
