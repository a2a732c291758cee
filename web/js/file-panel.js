// The server's files beside an SSH-2 tab (sftp_* operations on the tab's own connection):
// a breadcrumb path, a sortable listing, new folder, rename, remove (a folder that still
// holds files only after asking), download and upload. Uploads come from the picker or from
// files dropped onto the panel (the window hands their paths to termivaFilesDropped);
// both directions report in the transfer panel. Each tab keeps its own place.
(function () {
  'use strict';
  const Termiva = window.Termiva;
  const { t } = Termiva.i18n;
  const { call } = Termiva.bridge;

  Termiva.i18n.extend('en', {
    'files.toggle': 'Files',
    'files.toggle_title': 'The server’s files over SFTP',
    'files.title': 'Files',
    'files.close': 'Close the file panel',
    'files.up': 'Up one folder',
    'files.refresh': 'Refresh',
    'files.mkdir': 'New folder',
    'files.upload': 'Upload…',
    'files.download': 'Download',
    'files.download_to': 'Download to…',
    'files.rename': 'Rename',
    'files.remove': 'Remove',
    'files.col_name': 'Name',
    'files.col_size': 'Size',
    'files.col_date': 'Modified',
    'files.loading': 'Reading the folder…',
    'files.empty': 'This folder is empty.',
    'files.drop_hint': 'Drop files here to upload them into this folder.',
    'files.new_name': 'Name',
    'files.ok': 'OK',
    'files.cancel': 'Cancel',
    'files.bad_name': 'A name cannot be empty, “.”, “..” or contain “/”.',
    'files.remove_confirm': 'Remove “{name}” from the server?',
    'files.remove_tree_confirm': 'The folder “{name}” is not empty. Remove it with everything in it?',
    'files.remove_ok': 'Remove',
    'files.remove_tree_ok': 'Remove all',
    'files.removed': 'Removed “{name}”.',
    'files.uploading': 'Uploading {n} file(s) into {path}…',
    'files.downloading': 'Downloading “{name}”…',
    'files.failed': 'Failed: {error}',
  });
  Termiva.i18n.extend('zh-Hant', {
    'files.toggle': '檔案',
    'files.toggle_title': '透過 SFTP 檢視伺服器上的檔案',
    'files.title': '檔案',
    'files.close': '關閉檔案面板',
    'files.up': '上一層資料夾',
    'files.refresh': '重新整理',
    'files.mkdir': '新增資料夾',
    'files.upload': '上傳…',
    'files.download': '下載',
    'files.download_to': '下載到…',
    'files.rename': '重新命名',
    'files.remove': '刪除',
    'files.col_name': '名稱',
    'files.col_size': '大小',
    'files.col_date': '修改時間',
    'files.loading': '正在讀取資料夾…',
    'files.empty': '此資料夾是空的。',
    'files.drop_hint': '將檔案拖放到這裡即可上傳到此資料夾。',
    'files.new_name': '名稱',
    'files.ok': '確定',
    'files.cancel': '取消',
    'files.bad_name': '名稱不可為空、「.」、「..」，也不可包含「/」。',
    'files.remove_confirm': '要從伺服器刪除「{name}」嗎？',
    'files.remove_tree_confirm': '資料夾「{name}」不是空的。要連同其中所有內容一起刪除嗎？',
    'files.remove_ok': '刪除',
    'files.remove_tree_ok': '全部刪除',
    'files.removed': '已刪除「{name}」。',
    'files.uploading': '正在上傳 {n} 個檔案到 {path}…',
    'files.downloading': '正在下載「{name}」…',
    'files.failed': '失敗：{error}',
  });

  const KIB = 1024;

  function formatSize(entry) {
    if (entry.type === 'dir') return '';
    const n = Number(entry.size);
    if (!Number.isFinite(n)) return '';
    if (n < KIB) return n + ' B';
    const units = ['KiB', 'MiB', 'GiB', 'TiB'];
    let value = n / KIB;
    let unit = 0;
    while (value >= KIB && unit < units.length - 1) {
      value /= KIB;
      unit += 1;
    }
    return value.toFixed(value < 10 ? 1 : 0) + ' ' + units[unit];
  }

  // Year first, 24-hour: one short form that reads the same in both languages.
  function formatDate(mtime) {
    const seconds = Number(mtime);
    if (!Number.isFinite(seconds) || seconds <= 0) return '';
    const d = new Date(seconds * 1000);
    const two = (n) => String(n).padStart(2, '0');
    return d.getFullYear() + '-' + two(d.getMonth() + 1) + '-' + two(d.getDate()) + ' ' + two(d.getHours()) + ':' + two(d.getMinutes());
  }

  // Server paths are POSIX paths whatever the local system is.
  function joinPath(dir, name) {
    return dir.endsWith('/') ? dir + name : dir + '/' + name;
  }
  function parentOf(path) {
    const cut = path.replace(/\/+$/, '').lastIndexOf('/');
    return cut <= 0 ? '/' : path.slice(0, cut);
  }
  function validName(name) {
    return name !== '' && name !== '.' && name !== '..' && !name.includes('/');
  }

  const SORTERS = {
    name: (a, b) => a.name.localeCompare(b.name, undefined, { numeric: true, sensitivity: 'base' }),
    size: (a, b) => (Number(a.size) || 0) - (Number(b.size) || 0),
    date: (a, b) => (Number(a.mtime) || 0) - (Number(b.mtime) || 0),
  };

  function el(tag, attrs, children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(attrs || {})) {
      if (key === 'text') node.textContent = value;
      else node.setAttribute(key, value);
    }
    for (const child of children || []) node.appendChild(child);
    return node;
  }

  class FilePanel {
    // `root`: the panel; `toggle`: its button in the tab toolbar. `tabOf(id)` gives the
    // runtime tab and `sessionOf(tab)` its session; `confirm(text, okLabel, action)` asks.
    constructor(root, toggle, { tabOf, sessionOf, confirm }) {
      this.root = root;
      this.toggle = toggle;
      this.tabOf = tabOf;
      this.sessionOf = sessionOf;
      this.confirm = confirm;
      // tab id -> {open, path, entries, selected, status: {key, values} or null, error, jobs}
      this.tabs = new Map();
      this.activeId = null;
      this.sort = { key: 'name', descending: false };
      this.$ = (name) => root.querySelector('[data-files="' + name + '"]');

      toggle.addEventListener('click', () => this.setOpen(root.hidden));
      this.$('close').addEventListener('click', () => this.setOpen(false));
      this.$('up').addEventListener('click', () => this.go(parentOf(this.current().path || '/')));
      this.$('refresh').addEventListener('click', () => this.load(this.activeId, this.current().path));
      this.$('mkdir').addEventListener('click', () => this.askName('mkdir', ''));
      this.$('upload').addEventListener('click', () => this.pickAndUpload());
      this.$('download').addEventListener('click', () => this.download(false));
      this.$('download-to').addEventListener('click', () => this.download(true));
      this.$('rename').addEventListener('click', () => {
        const entry = this.selectedEntry();
        if (entry) this.askName('rename', entry.name);
      });
      this.$('remove').addEventListener('click', () => this.remove());
      this.$('name-ok').addEventListener('click', () => this.finishName());
      this.$('name-cancel').addEventListener('click', () => this.closeName());
      this.$('name').addEventListener('keydown', (e) => {
        if (e.key === 'Enter') this.finishName();
        else if (e.key === 'Escape') this.closeName();
        e.stopPropagation();
      });
      for (const head of root.querySelectorAll('[data-files-sort]')) {
        head.addEventListener('click', () => this.sortBy(head.dataset.filesSort));
      }
      const list = this.$('list');
      list.addEventListener('click', (e) => {
        const row = e.target.closest('tr[data-name]');
        if (row) this.select(row.dataset.name);
      });
      list.addEventListener('dblclick', (e) => {
        const row = e.target.closest('tr[data-name]');
        if (row) this.enter(row.dataset.name);
      });
      // Only this panel takes dropped files: accepting the drag here keeps WebKit from
      // loading the file; the paths arrive through termivaFilesDropped.
      // (WebKitGTK may name a file manager's drag only by its URI list.)
      const carriesFiles = (e) => !!e.dataTransfer && Array.from(e.dataTransfer.types || []).some((type) => type === 'Files' || type === 'text/uri-list');
      root.addEventListener('dragover', (e) => {
        if (!this.canDrop() || !carriesFiles(e)) return;
        e.preventDefault();
        e.dataTransfer.dropEffect = 'copy';
        root.classList.add('files-drop');
      });
      root.addEventListener('dragleave', (e) => {
        if (!root.contains(e.relatedTarget)) root.classList.remove('files-drop');
      });
      root.addEventListener('drop', (e) => {
        root.classList.remove('files-drop');
        if (this.canDrop()) e.preventDefault();
      });
      Termiva.i18n.onChange(() => this.render());
    }

    // A connected SSH-2 tab; SSH-1 has no SFTP.
    offersFiles(id) {
      const tab = id && this.tabOf(id);
      if (!tab || tab.protocol !== 'ssh' || tab.alive === false) return false;
      const session = this.sessionOf(tab);
      return String((session && session.ssh_version) ?? '2') !== '1';
    }

    current() {
      if (!this.tabs.has(this.activeId)) {
        this.tabs.set(this.activeId, { open: false, path: '', entries: [], selected: null, status: null, error: false, jobs: new Set() });
      }
      return this.tabs.get(this.activeId);
    }

    forget(id) {
      this.tabs.delete(id);
    }

    // The active tab changed or its runtime did.
    sync(id) {
      this.activeId = id;
      const offered = this.offersFiles(id);
      this.toggle.hidden = !offered;
      const wasHidden = this.root.hidden;
      this.root.hidden = !offered || !this.current().open;
      this.toggle.setAttribute('aria-pressed', this.root.hidden ? 'false' : 'true');
      if (wasHidden !== this.root.hidden) window.dispatchEvent(new Event('resize')); // terminals refit
      if (!this.root.hidden) this.render();
    }

    setOpen(open) {
      if (!this.activeId || !this.offersFiles(this.activeId)) return;
      const st = this.current();
      st.open = !!open;
      this.sync(this.activeId);
      if (st.open && !st.path) this.start(this.activeId);
    }

    async start(id) {
      this.show(id, 'files.loading', {}, false);
      const opened = await this.ask(id, 'sftp_open', id);
      if (!opened) return;
      await this.load(id, opened.home || '/');
    }

    // A call whose refusal or failure is said in the panel; null then.
    async ask(id, op, ...args) {
      let result;
      try {
        result = await call(op, ...args);
      } catch (err) {
        result = { ok: false, error: err && err.message ? err.message : String(err) };
      }
      if (result && result.ok) return result;
      this.show(id, 'files.failed', { error: (result && (result.error || result.reason)) || op }, true);
      return null;
    }

    show(id, key, values, isError) {
      const st = this.tabs.get(id);
      if (!st) return;
      st.status = key ? { key, values } : null;
      st.error = !!isError;
      if (id === this.activeId) this.renderStatus();
    }

    async load(id, path) {
      const st = this.tabs.get(id);
      if (!st) return;
      const listing = await this.ask(id, 'sftp_list', id, path || '/');
      if (!listing) return;
      st.path = String(listing.path || path);
      st.entries = (Array.isArray(listing.entries) ? listing.entries : []).filter((e) => e && typeof e.name === 'string');
      if (!st.entries.some((e) => e.name === st.selected)) st.selected = null;
      // What went before is over; a line about a finished step ("Removed …") stays.
      if (!st.status || st.error || st.status.key === 'files.loading') st.status = null;
      st.error = false;
      if (id === this.activeId) this.render();
    }

    go(path) {
      const st = this.current();
      st.status = null;
      st.error = false;
      st.selected = null;
      this.load(this.activeId, path);
    }

    enter(name) {
      const st = this.current();
      const entry = st.entries.find((e) => e.name === name);
      if (!entry) return;
      // A link may lead to a folder: listing it says which it is.
      if (entry.type === 'dir' || entry.type === 'link') this.go(joinPath(st.path, name));
    }

    // The rows stay the same nodes: a double-click needs both its clicks on one row.
    select(name) {
      this.current().selected = name;
      for (const row of this.$('rows').children) row.classList.toggle('files-selected', row.dataset.name === name);
      this.renderActions();
    }

    selectedEntry() {
      const st = this.current();
      return st.entries.find((e) => e.name === st.selected) || null;
    }

    sortBy(key) {
      if (!SORTERS[key]) return;
      this.sort = { key, descending: this.sort.key === key ? !this.sort.descending : key !== 'name' };
      this.renderList();
    }

    sorted(entries) {
      const by = SORTERS[this.sort.key];
      const sign = this.sort.descending ? -1 : 1;
      // Folders stay above files whichever way the list is sorted.
      return entries.slice().sort((a, b) => (a.type === 'dir') !== (b.type === 'dir') ? (a.type === 'dir' ? -1 : 1) : sign * by(a, b) || SORTERS.name(a, b));
    }

    // ---- new folder and rename: one name field under the tools ----

    askName(mode, value) {
      this.naming = { mode, from: value };
      this.$('name-row').hidden = false;
      this.$('name').value = value;
      this.$('name').focus();
      this.$('name').select();
    }

    closeName() {
      this.naming = null;
      this.$('name-row').hidden = true;
    }

    async finishName() {
      const naming = this.naming;
      if (!naming) return;
      const name = this.$('name').value.trim();
      const id = this.activeId;
      const st = this.current();
      if (!validName(name)) {
        this.show(id, 'files.bad_name', {}, true);
        return;
      }
      this.closeName();
      const done =
        naming.mode === 'mkdir'
          ? await this.ask(id, 'sftp_mkdir', id, joinPath(st.path, name))
          : name === naming.from || (await this.ask(id, 'sftp_rename', id, joinPath(st.path, naming.from), joinPath(st.path, name)));
      if (!done) return;
      st.selected = name;
      st.status = null;
      st.error = false;
      await this.load(id, st.path);
    }

    // ---- remove ----

    remove() {
      const entry = this.selectedEntry();
      if (!entry) return;
      const id = this.activeId;
      const st = this.current();
      const path = joinPath(st.path, entry.name);
      this.confirm(t('files.remove_confirm', { name: entry.name }), t('files.remove_ok'), async () => {
        let result;
        try {
          result = await call('sftp_remove', id, path);
        } catch (err) {
          result = { ok: false, error: err.message };
        }
        if (result && result.reason === 'not_empty') {
          this.confirm(t('files.remove_tree_confirm', { name: entry.name }), t('files.remove_tree_ok'), async () => {
            if (await this.removeTree(id, path)) this.removed(id, st, entry.name);
          });
          return;
        }
        if (result && result.ok) this.removed(id, st, entry.name);
        else this.show(id, 'files.failed', { error: (result && (result.error || result.reason)) || '' }, true);
      });
    }

    // Depth first: a folder's files and folders, then the folder. Stops at the first refusal.
    async removeTree(id, path) {
      const listing = await this.ask(id, 'sftp_list', id, path);
      if (!listing) return false;
      for (const entry of listing.entries || []) {
        const child = joinPath(String(listing.path || path), entry.name);
        const ok = entry.type === 'dir' ? await this.removeTree(id, child) : await this.ask(id, 'sftp_remove', id, child);
        if (!ok) return false;
      }
      return !!(await this.ask(id, 'sftp_remove', id, path));
    }

    removed(id, st, name) {
      st.selected = null;
      this.show(id, 'files.removed', { name }, false);
      this.load(id, st.path);
    }

    // ---- transfers: the transfer panel shows their progress ----

    async download(choose) {
      const entry = this.selectedEntry();
      if (!entry) return;
      const id = this.activeId;
      const st = this.current();
      let dir = null; // the download folder of the settings
      if (choose) {
        dir = await call('xfer_pick_save_dir').catch(() => '');
        if (typeof dir !== 'string' || dir === '') return;
      }
      const started = await this.ask(id, 'sftp_download', id, joinPath(st.path, entry.name), dir);
      if (started) this.show(id, 'files.downloading', { name: entry.name }, false);
    }

    async pickAndUpload() {
      const files = await call('xfer_pick_files').catch(() => []);
      if (Array.isArray(files) && files.length) this.upload(files.map(String));
    }

    async upload(paths) {
      const id = this.activeId;
      const st = this.current();
      if (!id || !st.path || !paths.length) return;
      const started = await this.ask(id, 'sftp_upload', id, paths, st.path);
      if (!started) return;
      st.jobs.add(String(started.job));
      this.show(id, 'files.uploading', { n: paths.length, path: st.path }, false);
    }

    canDrop() {
      return !this.root.hidden && !!this.current().path;
    }

    // The window's hand-over of a drop: the paths of the dropped files and where they fell.
    filesDropped(paths, x, y) {
      this.root.classList.remove('files-drop');
      if (!Array.isArray(paths) || !this.canDrop()) return false;
      const target = document.elementFromPoint(Number(x), Number(y));
      if (!target || !this.root.contains(target)) return false;
      const files = paths.filter((p) => typeof p === 'string' && p !== '');
      if (files.length) this.upload(files);
      return files.length > 0;
    }

    // Transfer events of every tab: an upload's end shows the folder as it is now.
    onEvent(tabId, event) {
      const st = this.tabs.get(tabId);
      if (!st || !event || event.kind !== 'done') return;
      const ours = !event.job || st.jobs.delete(String(event.job));
      if (!ours) return;
      st.status = null;
      if (st.path) this.load(tabId, st.path);
    }

    // ---- drawing ----

    render() {
      if (this.root.hidden || !this.activeId) return;
      this.renderCrumbs();
      this.renderList();
      this.renderActions();
      this.renderStatus();
    }

    renderCrumbs() {
      const st = this.current();
      const crumbs = this.$('crumbs');
      crumbs.replaceChildren();
      if (!st.path) return;
      const parts = st.path.split('/').filter(Boolean);
      const link = (label, path) => {
        const button = el('button', { type: 'button', class: 'files-crumb', 'data-path': path, text: label });
        button.addEventListener('click', () => this.go(path));
        return button;
      };
      crumbs.appendChild(link('/', '/'));
      let path = '';
      parts.forEach((part, index) => {
        path += '/' + part;
        if (index > 0) crumbs.appendChild(el('span', { class: 'files-crumb-sep', 'aria-hidden': 'true', text: '/' }));
        crumbs.appendChild(link(part, path));
      });
      crumbs.scrollLeft = crumbs.scrollWidth;
    }

    renderList() {
      const st = this.current();
      const body = this.$('rows');
      body.replaceChildren();
      for (const entry of this.sorted(st.entries)) {
        const row = el('tr', { 'data-name': entry.name, 'data-type': entry.type, class: entry.name === st.selected ? 'files-selected' : '' }, [
          el('td', {}, [el('div', { class: 'files-name' }, [el('span', { class: 'files-icon files-icon-' + entry.type, 'aria-hidden': 'true' }), el('span', { text: entry.name })])]),
          el('td', { class: 'files-size', text: formatSize(entry) }),
          el('td', { class: 'files-date', text: formatDate(entry.mtime) }),
        ]);
        row.title = entry.name;
        body.appendChild(row);
      }
      for (const head of this.root.querySelectorAll('[data-files-sort]')) {
        const key = head.dataset.filesSort;
        head.setAttribute('aria-sort', key !== this.sort.key ? 'none' : this.sort.descending ? 'descending' : 'ascending');
      }
      this.$('empty').hidden = !st.path || st.entries.length > 0;
    }

    renderActions() {
      const st = this.current();
      const entry = this.selectedEntry();
      this.$('up').disabled = !st.path || st.path === '/';
      // A folder downloads with everything in it.
      for (const name of ['rename', 'remove', 'download', 'download-to']) this.$(name).disabled = !entry;
      for (const name of ['mkdir', 'upload', 'refresh']) this.$(name).disabled = !st.path;
    }

    renderStatus() {
      const st = this.current();
      const status = this.$('status');
      status.textContent = st.status ? t(st.status.key, st.status.values) : '';
      status.classList.toggle('files-status-error', !!st.error);
      status.hidden = !st.status;
    }
  }

  Termiva.FilePanel = FilePanel;
})();
