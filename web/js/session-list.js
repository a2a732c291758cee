// The saved sessions on the left: name, protocol summary, the launcher's reachability
// dot, edit and delete buttons; double-click (or Enter) opens a session in a tab.
(function () {
  'use strict';
  const Termiva = (window.Termiva = window.Termiva || {});
  const { t } = Termiva.i18n;

  const ICON_EDIT =
    '<svg viewBox="0 0 16 16" aria-hidden="true"><path d="M11.5 2.5l2 2L6 12l-3 1 1-3z" ' +
    'fill="none" stroke="currentColor" stroke-width="1.4" stroke-linejoin="round"/></svg>';
  const ICON_DELETE =
    '<svg viewBox="0 0 16 16" aria-hidden="true"><path d="M3.5 4.5h9M6.5 4.5V3h3v1.5M5 4.5l.6 8.5h4.8l.6-8.5" ' +
    'fill="none" stroke="currentColor" stroke-width="1.4" stroke-linejoin="round"/></svg>';

  const FILTER_FROM = 5;

  function caption(session) {
    if (session.name) return String(session.name);
    const where = (session.host || '') + (session.host || session.port ? ':' + (session.port ?? '') : '');
    return where || t('sessions.untitled');
  }

  function summary(session) {
    const protocolId = session.protocol || 'ssh';
    const protocol = Termiva.protocols.find(protocolId);
    if (!protocol) return protocolId;
    const detail = protocol.summary(session, t);
    return t(protocol.label) + (detail ? ' · ' + detail : '');
  }

  class SessionList {
    constructor(listEl, emptyEl, handlers) {
      this.listEl = listEl;
      this.emptyEl = emptyEl;
      this.handlers = handlers;
      this.sessions = [];
      this.status = {};
      this.selectedId = null;
      this.filterText = '';
      // The filter box over the list: name, protocol, host and user, any case.
      this.filterEl = document.createElement('input');
      this.filterEl.type = 'search';
      this.filterEl.className = 'input session-filter';
      this.filterEl.id = 'session-filter';
      this.filterEl.spellcheck = false;
      this.filterEl.size = 1; // its width comes from the sidebar, never the other way round
      this.filterEl.addEventListener('input', () => {
        this.filterText = this.filterEl.value.trim().toLowerCase();
        this.render();
      });
      this.filterEl.addEventListener('keydown', (e) => {
        if (e.key === 'Escape' && this.filterEl.value) {
          this.filterEl.value = '';
          this.filterText = '';
          this.render();
        } else if (e.key === 'ArrowDown' || e.key === 'Enter') {
          const first = this.listEl.querySelector('.session');
          if (first) {
            e.preventDefault();
            this.select(first.dataset.id);
            if (e.key === 'Enter') this.handlers.onOpen(this.sessionOf(first));
            else first.focus();
          }
        }
      });
      listEl.before(this.filterEl);
      listEl.addEventListener('click', (e) => this.onClick(e));
      // Right click: the row's menu (open, edit, duplicate, delete).
      listEl.addEventListener('contextmenu', (e) => {
        const row = this.rowOf(e);
        const session = row && this.sessionOf(row);
        if (!session || !this.handlers.onMenu) return;
        e.preventDefault();
        this.select(row.dataset.id);
        this.handlers.onMenu(session, e.clientX, e.clientY);
      });
      listEl.addEventListener('dblclick', (e) => this.onDoubleClick(e));
      listEl.addEventListener('keydown', (e) => this.onKey(e));
    }

    update(sessions, status) {
      this.sessions = Array.isArray(sessions) ? sessions.filter((s) => s && typeof s === 'object') : [];
      if (status) this.status = status;
      if (!this.sessions.some((s) => s.id === this.selectedId)) {
        this.selectedId = this.sessions.length ? this.sessions[0].id : null;
      }
      this.render();
    }

    updateStatus(status) {
      this.status = status || {};
      this.listEl.querySelectorAll('.session').forEach((row) => this.paintStatus(row));
    }

    selected() {
      return this.sessions.find((s) => s.id === this.selectedId) || null;
    }

    select(id) {
      this.selectedId = id;
      this.listEl.querySelectorAll('.session').forEach((row) => {
        row.setAttribute('aria-selected', row.dataset.id === id ? 'true' : 'false');
      });
    }

    matches(session) {
      if (!this.filterText) return true;
      const text = [caption(session), summary(session), session.host, session.username, session.protocol]
        .map((v) => String(v ?? '').toLowerCase())
        .join('\n');
      return this.filterText.split(/\s+/).every((word) => text.includes(word));
    }

    render() {
      this.listEl.textContent = '';
      this.emptyEl.hidden = this.sessions.length > 0;
      this.filterEl.placeholder = t('sessions.filter');
      // A handful of sessions is seen at a glance; the box comes with a longer list.
      this.filterEl.hidden = this.sessions.length < FILTER_FROM && !this.filterText;
      if (this.handlers.onCountChange) this.handlers.onCountChange(this.sessions.length);
      for (const session of this.sessions.filter((x) => this.matches(x))) {
        const row = document.createElement('li');
        row.className = 'session';
        row.dataset.id = session.id;
        row.tabIndex = 0;
        row.setAttribute('role', 'option');
        row.setAttribute('aria-selected', session.id === this.selectedId ? 'true' : 'false');

        const dot = document.createElement('span');
        dot.className = 'status-dot';
        row.appendChild(dot);

        const text = document.createElement('span');
        text.className = 'session-text';
        const name = document.createElement('span');
        name.className = 'session-name';
        name.textContent = caption(session);
        const meta = document.createElement('span');
        meta.className = 'session-meta';
        meta.textContent = summary(session);
        text.append(name, meta);
        row.appendChild(text);

        const actions = document.createElement('span');
        actions.className = 'session-actions';
        actions.append(
          this.iconButton('edit', ICON_EDIT, t('sessions.edit')),
          this.iconButton('delete', ICON_DELETE, t('sessions.delete')),
        );
        row.appendChild(actions);
        this.paintStatus(row);
        this.listEl.appendChild(row);
      }
    }

    iconButton(action, svg, title) {
      const button = document.createElement('button');
      button.type = 'button';
      button.className = 'icon-button' + (action === 'delete' ? ' icon-button-danger' : '');
      button.dataset.action = action;
      button.title = title;
      button.setAttribute('aria-label', title);
      button.innerHTML = svg;
      return button;
    }

    paintStatus(row) {
      const dot = row.querySelector('.status-dot');
      const state = this.status[row.dataset.id];
      dot.classList.toggle('status-online', state === 'online');
      dot.classList.toggle('status-offline', state === 'offline');
      dot.title = state === 'online' ? t('status.online') : state === 'offline' ? t('status.offline') : '';
      row.dataset.status = state || 'unknown';
    }

    rowOf(event) {
      const row = event.target.closest('.session');
      return row && this.listEl.contains(row) ? row : null;
    }

    sessionOf(row) {
      return this.sessions.find((s) => s.id === row.dataset.id) || null;
    }

    onClick(event) {
      const row = this.rowOf(event);
      if (!row) return;
      this.select(row.dataset.id);
      const button = event.target.closest('button[data-action]');
      if (!button) return;
      const session = this.sessionOf(row);
      if (!session) return;
      if (button.dataset.action === 'edit') this.handlers.onEdit(session);
      if (button.dataset.action === 'delete') this.handlers.onDelete(session);
    }

    onDoubleClick(event) {
      const row = this.rowOf(event);
      if (!row || event.target.closest('button')) return;
      const session = this.sessionOf(row);
      if (session) this.handlers.onOpen(session);
    }

    onKey(event) {
      const row = this.rowOf(event);
      if (!row || event.target !== row) return;
      const session = this.sessionOf(row);
      if (!session) return;
      if (event.key === 'Enter') {
        this.handlers.onOpen(session);
      } else if (event.key === 'ArrowDown' || event.key === 'ArrowUp') {
        const next = event.key === 'ArrowDown' ? row.nextElementSibling : row.previousElementSibling;
        if (next) {
          this.select(next.dataset.id);
          next.focus();
        }
        event.preventDefault();
      }
    }
  }

  Termiva.SessionList = SessionList;
  Termiva.sessionCaption = caption;
})();
