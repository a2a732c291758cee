// The dialog that creates and edits a session. Its fields come from the protocol table;
// fields the page does not know are kept as they were, so a record saved by a newer
// version survives an edit here.
(function () {
  'use strict';
  const Termiva = (window.Termiva = window.Termiva || {});
  const { t } = Termiva.i18n;
  const { PROTOCOLS, find, fieldOf } = Termiva.protocols;

  const el = (tag, props = {}, children = []) => {
    const node = document.createElement(tag);
    Object.assign(node, props);
    for (const child of children) node.append(child);
    return node;
  };

  class SessionEditor {
    // `confirm(text, okLabel, action)`: asks the user, runs `action` on yes.
    constructor({ backdrop, form, title, fields, error, cancel }, { onSave, confirm }) {
      this.backdrop = backdrop;
      this.form = form;
      this.titleEl = title;
      this.fieldsEl = fields;
      this.errorEl = error;
      this.onSave = onSave;
      this.confirm = confirm;
      this.original = null;
      this.isCopy = false;
      this.values = {};
      this.opened = '';
      cancel.addEventListener('click', () => this.close());
      form.addEventListener('submit', (e) => {
        e.preventDefault();
        this.save();
      });
      backdrop.addEventListener('keydown', (e) => {
        if (e.key !== 'Escape' || e.defaultPrevented) return;
        e.preventDefault();
        this.escape();
      });
      // A shown problem is checked again as the form changes: gone when fixed, else current.
      const recheck = () => {
        if (this.errorEl.hidden || !this.errorEl.dataset.problem) return;
        this.readForm();
        const problem = this.validate();
        if (problem) this.errorEl.textContent = problem.text;
        else this.clearError();
      };
      form.addEventListener('input', recheck);
      form.addEventListener('change', recheck);
    }

    // Escape leaves at once only when nothing was changed; otherwise the user is asked.
    escape() {
      if (!this.changed() || !this.confirm) {
        this.close();
        return;
      }
      this.confirm(t('editor.discard_confirm'), t('editor.discard'), () => this.close());
    }

    snapshot() {
      this.readForm();
      return JSON.stringify(this.record());
    }

    changed() {
      return this.isOpen() && this.snapshot() !== this.opened;
    }

    showError(text, problem) {
      this.errorEl.textContent = text;
      this.errorEl.dataset.problem = problem ? 'true' : '';
      this.errorEl.hidden = false;
    }

    clearError() {
      this.errorEl.hidden = true;
      this.errorEl.dataset.problem = '';
    }

    isOpen() {
      return !this.backdrop.hidden;
    }

    // A copy of a session not saved yet: a new session to the user, with the copied fields.
    // Local forwarding ports (of L and D rules) are cleared: the original's tab may hold them, and a second
    // listener on a port fails at once. `notice` says why the fields are empty.
    openCopy(copy, notice) {
      this.open(copy, { copy: true });
      let first = null;
      for (const row of this.fieldsEl.querySelectorAll('.fwd-rule')) {
        const type = row.querySelector('.fwd-type');
        const listen = row.querySelector('.fwd-listen');
        if (!type || !listen || !['L', 'D'].includes(type.value)) continue;
        listen.value = '';
        first = first || listen;
      }
      if (notice) this.showError(notice, false);
      if (first) {
        const closed = first.closest('details');
        if (closed) closed.open = true;
        first.focus();
      }
    }

    open(session, { copy = false } = {}) {
      this.isCopy = copy;
      this.original = session ? JSON.parse(JSON.stringify(session)) : null;
      const protocolId = session ? session.protocol || 'ssh' : PROTOCOLS[0].id;
      const protocol = find(protocolId);
      this.values = Object.assign({}, protocol ? protocol.defaults : {}, session || {}, { protocol: protocolId });
      // Older local-shell records name the shell in `host`.
      if (protocolId === 'conpty' && session && session.host && !session.conpty_shell) {
        this.values.conpty_shell = String(session.host).toLowerCase();
      }
      this.render();
      this.backdrop.hidden = false;
      this.opened = this.snapshot();
      const first = this.fieldsEl.querySelector('input, select');
      if (first) first.focus();
    }

    close() {
      this.backdrop.hidden = true;
      this.clearError();
    }

    // Re-renders in the current language when the dialog is open.
    refresh() {
      if (!this.isOpen()) return;
      this.readForm();
      this.render();
    }

    render() {
      this.titleEl.textContent = t(this.original && !this.isCopy ? 'editor.title_edit' : 'editor.title_new');
      this.fieldsEl.textContent = '';
      this.clearError();
      const protocol = find(this.values.protocol);

      const general = this.section('editor.section_general');
      general.append(this.row('name', { type: 'text', label: 'editor.name', placeholder: 'editor.name_placeholder' }));
      general.append(this.protocolRow());
      this.fieldsEl.append(general);

      if (protocol) {
        const connection = this.section('editor.section_connection');
        protocol.connection.forEach((key) => connection.append(this.row(key, fieldOf(protocol.id, key))));
        this.fieldsEl.append(connection);
        const terminal = this.section('editor.section_terminal');
        protocol.terminal.forEach((key) => terminal.append(this.row(key, fieldOf(protocol.id, key))));
        this.fieldsEl.append(terminal);
        if (protocol.advanced) {
          const advanced = this.section('editor.section_advanced');
          protocol.advanced.forEach((key) => advanced.append(this.row(key, fieldOf(protocol.id, key))));
          this.fieldsEl.append(advanced);
        }
      }
      this.applyVisibility();
    }

    section(labelKey) {
      return el('fieldset', { className: 'form-section' }, [el('legend', { textContent: t(labelKey) })]);
    }

    protocolRow() {
      const select = el('select', { className: 'select', name: 'protocol', id: 'field-protocol' });
      for (const p of PROTOCOLS) select.append(el('option', { value: p.id, textContent: t(p.label) }));
      if (!find(this.values.protocol)) {
        select.append(el('option', {
          value: this.values.protocol,
          textContent: t('editor.unknown_protocol', { protocol: this.values.protocol }),
        }));
      }
      select.value = this.values.protocol;
      select.addEventListener('change', () => {
        // Before readForm, which already reads the new choice from this select.
        const previous = find(this.values.protocol);
        this.readForm();
        const next = find(select.value);
        if (next) {
          // A value left at the old protocol's default (SSH's port 22) is not a choice the
          // user made: it follows the new protocol.
          const untouched = (key) => previous && key in previous.defaults && this.values[key] === previous.defaults[key];
          for (const [key, value] of Object.entries(next.defaults)) {
            if (this.values[key] === undefined || this.values[key] === '' || untouched(key)) this.values[key] = value;
          }
        }
        this.values.protocol = select.value;
        this.render();
        const again = this.fieldsEl.querySelector('#field-protocol');
        if (again) again.focus();
      });
      return this.wrap('protocol', t('editor.protocol'), select);
    }

    row(key, field) {
      const widget = Termiva.editorWidgets && Termiva.editorWidgets[field.type];
      if (widget) return widget(this, key, field);
      const id = 'field-' + key;
      const value = this.values[key];
      let control;
      if (field.type === 'note') {
        const note = el('p', { className: 'form-note', id, textContent: t(field.label) });
        const wrapper = el('div', { className: 'form-row form-row-note' }, [note]);
        wrapper.dataset.key = key;
        return wrapper;
      }
      if (field.type === 'keyvalue') return this.keyValueRow(key, field);
      if (field.type === 'checkbox') {
        control = el('input', { type: 'checkbox', id, name: key, checked: !!value });
        // Other rows may depend on it (the variables list on NEW-ENVIRON).
        control.addEventListener('change', () => this.applyVisibility());
        const label = el('label', { className: 'form-check', htmlFor: id }, [control, el('span', { textContent: t(field.label) })]);
        const wrapper = el('div', { className: 'form-row form-row-check' }, [label]);
        wrapper.dataset.key = key;
        return wrapper;
      }
      if (field.type === 'select') {
        control = el('select', { className: 'select', id, name: key });
        const options = field.options(t);
        for (const [v, text] of options) control.append(el('option', { value: v, textContent: text }));
        const current = field.upper ? String(value ?? '').toUpperCase() : String(value ?? '').toLowerCase();
        if (current && !options.some(([v]) => v === current)) {
          control.append(el('option', { value: current, textContent: current }));
        }
        control.value = current || options[0][0];
        control.addEventListener('change', () => {
          this.readForm();
          this.applyVisibility();
        });
      } else if (field.type === 'combo') {
        return this.comboRow(key, field, value);
      } else {
        const inputType = { port: 'number', number: 'number', password: 'password' }[field.type] || 'text';
        control = el('input', {
          className: 'input',
          id,
          name: key,
          type: inputType,
          value: value === undefined || value === null ? '' : String(value),
          spellcheck: false,
        });
        if (field.type === 'port') {
          control.min = '1';
          control.max = '65535';
          control.inputMode = 'numeric';
        }
        if (field.type === 'number') {
          control.min = String(field.min);
          control.max = String(field.max);
          control.inputMode = 'numeric';
        }
        if (field.type === 'password') control.autocomplete = 'new-password';
        if (field.placeholder) control.placeholder = t(field.placeholder);
      }
      if (field.type === 'file' && this.canPick(field.pick)) {
        const browse = el('button', { type: 'button', className: 'button button-ghost button-small form-browse', textContent: t('editor.browse') });
        browse.dataset.pick = field.pick;
        browse.addEventListener('click', () => this.pick(field.pick, control, browse));
        const line = el('div', { className: 'form-inline' }, [control, browse]);
        const row = this.wrap(key, t(field.label), line);
        row.querySelector('label').htmlFor = id;
        return row;
      }
      return this.wrap(key, t(field.label), control);
    }

    // A text field with suggestions: typed text stays possible. Suggestions come from the
    // field's own list or, asked when the row is drawn, from a program operation.
    comboRow(key, field, value) {
      const id = 'field-' + key;
      const list = el('datalist', { id: id + '-choices' });
      const control = el('input', {
        className: 'input',
        id,
        name: key,
        type: 'text',
        value: value === undefined || value === null ? '' : String(value),
        spellcheck: false,
        autocomplete: 'off',
      });
      control.setAttribute('list', list.id);
      if (field.numeric) control.inputMode = 'numeric';
      if (field.placeholder) control.placeholder = t(field.placeholder);
      const fill = (choices) => {
        list.textContent = '';
        for (const [v, text] of choices) list.append(el('option', { value: v, label: text, textContent: text }));
      };
      if (field.choices) fill(field.choices(t));
      if (field.source && this.canPick(field.source)) {
        Termiva.bridge
          .call(field.source)
          .then((answer) => {
            if (Array.isArray(answer)) fill(field.choicesFrom(answer));
          })
          .catch((err) => {
            if (err instanceof Termiva.bridge.BridgeError && /unknown operation/.test(err.message)) {
              SessionEditor.missingOps.add(field.source);
            }
          });
      }
      const row = this.wrap(key, t(field.label), el('div', { className: 'form-inline' }, [control, list]));
      row.querySelector('label').htmlFor = id;
      return row;
    }

    // An editable list of name/value pairs. The inputs carry no `name`: readForm collects
    // the rows itself, in order, so a re-render keeps what was typed.
    keyValueRow(key, field) {
      const list = el('div', { className: 'kv-list', id: 'field-' + key });
      list.dataset.kv = key;
      const pairs = Array.isArray(this.values[key]) ? this.values[key] : [];
      const addPair = (pair) => {
        const name = el('input', { className: 'input kv-key', type: 'text', value: String(pair.key ?? ''), spellcheck: false, placeholder: t('editor.env_key') });
        const val = el('input', { className: 'input kv-value', type: 'text', value: String(pair.value ?? ''), spellcheck: false, placeholder: t('editor.env_value') });
        const remove = el('button', { type: 'button', className: 'button button-ghost button-small kv-remove', textContent: t('editor.env_remove') });
        const line = el('div', { className: 'form-inline kv-row' }, [name, val, remove]);
        remove.addEventListener('click', () => {
          line.remove();
          this.readForm();
        });
        list.append(line);
        return name;
      };
      pairs.forEach((pair) => addPair(pair && typeof pair === 'object' ? pair : {}));
      const add = el('button', { type: 'button', className: 'button button-ghost button-small kv-add', textContent: t('editor.env_add') });
      add.addEventListener('click', () => {
        addPair({}).focus();
        this.readForm();
      });
      const wrapper = el('div', { className: 'form-row form-row-kv' }, [
        el('span', { className: 'form-label', textContent: t(field.label) }),
        el('div', { className: 'kv-box' }, [list, add]),
      ]);
      wrapper.dataset.key = key;
      return wrapper;
    }

    // A picker op the program turned out not to have stays hidden from then on.
    canPick(op) {
      return Termiva.bridge.available() && !SessionEditor.missingOps.has(op);
    }

    async pick(op, control, button) {
      button.disabled = true;
      try {
        const path = await Termiva.bridge.call(op);
        // An empty answer is a cancelled dialog (or no desktop): the field keeps its text.
        if (typeof path === 'string' && path !== '') {
          control.value = path;
          this.readForm();
        }
      } catch (err) {
        if (err instanceof Termiva.bridge.BridgeError && /unknown operation/.test(err.message)) {
          SessionEditor.missingOps.add(op);
          button.remove();
        } else {
          this.showError(String(err && err.message ? err.message : err), false);
        }
      } finally {
        button.disabled = false;
        control.focus();
      }
    }

    wrap(key, labelText, control) {
      const wrapper = el('div', { className: 'form-row' }, [
        el('label', { className: 'form-label', htmlFor: control.id || 'field-' + key, textContent: labelText }),
        control,
      ]);
      wrapper.dataset.key = key;
      return wrapper;
    }

    applyVisibility() {
      this.readForm();
      this.fieldsEl.querySelectorAll('.form-row[data-key]').forEach((row) => {
        const field = fieldOf(this.values.protocol, row.dataset.key);
        row.hidden = !!(field && field.showIf && !field.showIf(this.values));
      });
    }

    readForm() {
      this.fieldsEl.querySelectorAll('[name]').forEach((control) => {
        const key = control.name;
        if (control.type === 'checkbox') this.values[key] = control.checked;
        else if (control.type === 'number') this.values[key] = control.value.trim() === '' ? '' : Number(control.value);
        else if (control.inputMode === 'numeric' && /^\s*\d+\s*$/.test(control.value)) this.values[key] = Number(control.value);
        else this.values[key] = control.value;
      });
      this.fieldsEl.querySelectorAll('[data-widget]').forEach((box) => {
        const value = box.readValue();
        if (value === undefined) delete this.values[box.dataset.widget];
        else this.values[box.dataset.widget] = value;
      });
      this.fieldsEl.querySelectorAll('[data-kv]').forEach((list) => {
        this.values[list.dataset.kv] = Array.from(list.querySelectorAll('.kv-row')).map((row) => ({
          key: row.querySelector('.kv-key').value,
          value: row.querySelector('.kv-value').value,
        }));
      });
    }

    validate() {
      const protocol = find(this.values.protocol);
      if (!protocol) return null;
      for (const key of protocol.connection.concat(protocol.terminal, protocol.advanced || [])) {
        const field = fieldOf(protocol.id, key);
        if (field.showIf && !field.showIf(this.values)) continue;
        const box = this.fieldsEl.querySelector('[data-widget="' + key + '"]');
        if (box) {
          const wrong = box.validateValue();
          if (wrong) return Object.assign({ key }, wrong);
          continue;
        }
        const value = this.values[key];
        if (field.required && String(value ?? '').trim() === '') {
          return { key, text: t('editor.required', { field: t(field.label) }) };
        }
        if (field.check) {
          const problem = field.check(value);
          if (problem) return { key, text: t(problem.text, problem.params) };
        }
        if (field.type === 'port' && value !== '' && value !== undefined) {
          if (!Number.isInteger(value) || value < 1 || value > 65535) return { key, text: t('editor.bad_port') };
        }
        if (field.type === 'combo' && field.numeric && value !== '' && value !== undefined) {
          if (!Number.isInteger(value) || value < 1) return { key, text: t('editor.bad_baud') };
        }
        if (field.type === 'number' && value !== '' && value !== undefined) {
          if (!Number.isInteger(value) || value < field.min || value > field.max) {
            return { key, text: t('editor.bad_number', { field: t(field.label), min: field.min, max: field.max }) };
          }
        }
      }
      return null;
    }

    record() {
      const rec = Object.assign({}, this.original || {}, this.values);
      if (typeof rec.name === 'string') rec.name = rec.name.trim();
      if (typeof rec.host === 'string') rec.host = rec.host.trim();
      // A local shell is chosen by conpty_shell; a leftover host would override it.
      if (rec.protocol === 'conpty') rec.host = '';
      // Unnamed variables are never sent; a name alone is kept (its value is empty).
      if (Array.isArray(rec.telnet_env)) {
        rec.telnet_env = rec.telnet_env
          .map((p) => ({ key: String(p.key ?? '').trim(), value: String(p.value ?? '') }))
          .filter((p) => p.key !== '');
      }
      return rec;
    }

    async save() {
      this.readForm();
      const problem = this.validate();
      if (problem) {
        this.showError(problem.text, true);
        const control = problem.control || this.fieldsEl.querySelector('[name="' + problem.key + '"]');
        if (control) {
          const closed = control.closest('details');
          if (closed) closed.open = true;
          control.focus();
        }
        return;
      }
      const saveButton = this.form.querySelector('[type="submit"]');
      saveButton.disabled = true;
      try {
        await this.onSave(this.record());
        this.close();
      } catch (err) {
        this.showError(String(err && err.message ? err.message : err), false);
      } finally {
        saveButton.disabled = false;
      }
    }
  }

  SessionEditor.missingOps = new Set();

  Termiva.SessionEditor = SessionEditor;
})();
