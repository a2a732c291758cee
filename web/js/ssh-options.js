// The SSH session fields that are more than one input: forwarding rules, algorithm
// preference lists and bug-compatibility flags. Each is an editor widget: a row whose
// `data-widget` element reads its value back (`readValue`; undefined for "absent, as in the
// stored record") and says what is wrong with it (`validateValue`).
(function () {
  'use strict';
  const Termiva = (window.Termiva = window.Termiva || {});
  const { t } = Termiva.i18n;

  const el = (tag, props = {}, children = []) => {
    const node = document.createElement(tag);
    Object.assign(node, props);
    for (const child of children) node.append(child);
    return node;
  };

  // What libssh 0.10 negotiates, strongest first (its own default order).
  const ALGORITHMS = {
    kex: [
      'curve25519-sha256', 'curve25519-sha256@libssh.org', 'ecdh-sha2-nistp256', 'ecdh-sha2-nistp384',
      'ecdh-sha2-nistp521', 'diffie-hellman-group18-sha512', 'diffie-hellman-group16-sha512',
      'diffie-hellman-group-exchange-sha256', 'diffie-hellman-group14-sha256', 'diffie-hellman-group14-sha1',
      'diffie-hellman-group-exchange-sha1', 'diffie-hellman-group1-sha1',
    ],
    ciphers: [
      'chacha20-poly1305@openssh.com', 'aes256-gcm@openssh.com', 'aes128-gcm@openssh.com', 'aes256-ctr',
      'aes192-ctr', 'aes128-ctr', 'aes256-cbc', 'aes192-cbc', 'aes128-cbc', '3des-cbc',
    ],
    macs: [
      'hmac-sha2-256-etm@openssh.com', 'hmac-sha2-512-etm@openssh.com', 'hmac-sha1-etm@openssh.com',
      'hmac-sha2-256', 'hmac-sha2-512', 'hmac-sha1',
    ],
    keys: [
      'ssh-ed25519', 'ecdsa-sha2-nistp521', 'ecdsa-sha2-nistp384', 'ecdsa-sha2-nistp256', 'rsa-sha2-512',
      'rsa-sha2-256', 'ssh-rsa',
    ],
  };

  // The flags the program acts on (SSH-2, then SSH-1). Others a record holds (faults the SSH
  // library has no switch for, or names of another version) are not shown and are saved as
  // they were.
  const BUG_FLAGS = ['ignore2', 'rsa_sha2', 'oldgex2', 'rekey2', 'dropstart', 'ignore1', 'plainpw1', 'rsa1'];

  // A list as stored: an array of names, or one text of comma- or blank-separated names.
  function nameList(value) {
    if (Array.isArray(value)) return value.map((v) => String(v ?? '').trim()).filter(Boolean);
    if (typeof value === 'string') return value.split(/[\s,]+/).filter(Boolean);
    return [];
  }

  // A port as the starter reads it: decimal digits only, 1 to 65535 here.
  function portOf(text) {
    const s = String(text ?? '').trim();
    if (!/^\+?\d{1,9}$/.test(s)) return null;
    const n = Number(s);
    return n >= 1 && n <= 65535 ? n : null;
  }

  // A dynamic rule's listening side, "[bind_address:]port" (an IPv6 address in brackets):
  // true when the starter can read it and the port is 1 to 65535.
  function dynamicListenOk(text) {
    const m = /^(?:(\[[^\]\s]+\]|[^:\s[\]]+):)?([^:]*)$/.exec(String(text ?? '').trim());
    return m !== null && portOf(m[2]) !== null;
  }

  // A rule the starter can read: {type, listen, host, port}; null for anything else. A
  // dynamic rule ("D") has its whole spec in `listen` and no destination.
  function parseRule(rule) {
    if (!rule || typeof rule !== 'object') return null;
    const type = String(rule.type ?? '').toUpperCase();
    if (type === 'D') return { type, listen: String(rule.spec ?? '').trim(), host: '', port: '' };
    if (type !== 'L' && type !== 'R') return null;
    const parts = String(rule.spec ?? '').trim().split(':');
    if (parts.length !== 3) return null;
    return { type, listen: parts[0].trim(), host: parts[1], port: parts[2].trim() };
  }

  function rowWrapper(key, label, body) {
    const wrapper = el('div', { className: 'form-row form-row-wide' }, [
      el('span', { className: 'form-label', textContent: label }),
      body,
    ]);
    wrapper.dataset.key = key;
    return wrapper;
  }

  function smallButton(text, className, title) {
    const b = el('button', { type: 'button', className: 'button button-ghost button-small ' + (className || ''), textContent: text });
    if (title) {
      b.title = title;
      b.setAttribute('aria-label', title);
    }
    return b;
  }

  // ---- forwarding rules ----

  function forwardsRow(editor, key, field) {
    const original = Array.isArray(editor.values[key]) ? editor.values[key] : [];
    const box = el('div', { className: 'fwd-box', id: 'field-' + key });
    box.dataset.widget = key;
    const table = el('table', { className: 'fwd-table' });
    const head = el('tr', {}, ['editor.fwd_type', 'editor.fwd_listen', 'editor.fwd_host', 'editor.fwd_port', ''].map((k) =>
      el('th', { textContent: k ? t(k) : '' }),
    ));
    const body = el('tbody');
    table.append(el('thead', {}, [head]), body);

    const addRow = (rule) => {
      const parsed = parseRule(rule);
      const tr = el('tr', { className: 'fwd-rule' });
      const remove = smallButton('×', 'fwd-remove', t('editor.fwd_remove'));
      remove.addEventListener('click', () => tr.remove());
      if (!parsed && rule && Object.keys(rule).length) {
        // A rule this program cannot read (another type, another spec): kept as it is.
        tr.kept = rule;
        tr.className = 'fwd-rule fwd-kept';
        tr.append(el('td', { colSpan: 4, textContent: String(rule.type ?? '') + ' ' + String(rule.spec ?? '') }), el('td', {}, [remove]));
        body.append(tr);
        return tr;
      }
      const p = parsed || { type: 'L', listen: '', host: '', port: '' };
      const type = el('select', { className: 'select select-compact fwd-type' });
      type.append(
        el('option', { value: 'L', textContent: t('editor.fwd_local') }),
        el('option', { value: 'R', textContent: t('editor.fwd_remote') }),
        el('option', { value: 'D', textContent: t('editor.fwd_dynamic') }),
      );
      type.value = p.type;
      const input = (cls, value, inputMode) =>
        el('input', { className: 'input ' + cls, type: 'text', value, spellcheck: false, inputMode: inputMode || 'text' });
      const listen = input('fwd-listen', p.listen, 'numeric');
      const host = input('fwd-host', p.host);
      const port = input('fwd-port', p.port, 'numeric');
      host.placeholder = 'localhost';
      // A dynamic rule's destinations are the SOCKS clients' to name: only where it listens.
      const showType = () => {
        const dynamic = type.value === 'D';
        host.disabled = dynamic;
        port.disabled = dynamic;
        listen.inputMode = dynamic ? 'text' : 'numeric';
        listen.placeholder = dynamic ? '1080' : '';
      };
      type.addEventListener('change', showType);
      showType();
      tr.append(el('td', {}, [type]), el('td', {}, [listen]), el('td', {}, [host]), el('td', {}, [port]), el('td', {}, [remove]));
      body.append(tr);
      return tr;
    };
    original.forEach(addRow);
    const add = smallButton(t('editor.fwd_add'), 'fwd-add');
    add.addEventListener('click', () => addRow(null).querySelector('.fwd-listen').focus());
    box.append(table, add);

    const rules = () =>
      Array.from(body.querySelectorAll('.fwd-rule')).map((tr) => {
        if (tr.kept) return { kept: tr.kept };
        return {
          type: tr.querySelector('.fwd-type').value,
          listen: tr.querySelector('.fwd-listen').value.trim(),
          host: tr.querySelector('.fwd-host').value.trim(),
          port: tr.querySelector('.fwd-port').value.trim(),
          row: tr,
        };
      });
    const stored = editor.original && editor.original[key];
    box.readValue = () => {
      const out = rules().map((r) =>
        r.kept ? r.kept : r.type === 'D' ? { type: r.type, spec: r.listen } : { type: r.type, spec: r.listen + ':' + r.host + ':' + r.port },
      );
      return out.length === 0 && stored === undefined ? undefined : out;
    };
    box.validateValue = () => {
      for (const r of rules()) {
        if (r.kept) continue;
        if (r.type === 'D') {
          if (!dynamicListenOk(r.listen)) return { control: r.row.querySelector('.fwd-listen'), text: t('editor.fwd_bad_dynamic') };
          continue;
        }
        const problem =
          portOf(r.listen) === null ? ['.fwd-listen', 'editor.fwd_bad_port'] :
          r.host === '' || r.host.includes(':') ? ['.fwd-host', 'editor.fwd_bad_host'] :
          portOf(r.port) === null ? ['.fwd-port', 'editor.fwd_bad_port'] : null;
        if (problem) return { control: r.row.querySelector(problem[0]), text: t(problem[1]) };
      }
      return null;
    };
    return rowWrapper(key, t(field.label), box);
  }

  // ---- algorithm preference lists ----

  function algorithmsRow(editor, key, field) {
    const chosen = nameList(editor.values[key]);
    const known = ALGORITHMS[field.category] || [];
    const box = el('div', { className: 'alg-box', id: 'field-' + key });
    box.dataset.widget = key;
    const custom = el('input', { type: 'checkbox', className: 'alg-custom', checked: chosen.length > 0 });
    const customLabel = el('label', { className: 'form-check' }, [custom, el('span', { textContent: t('editor.alg_custom') })]);
    const list = el('ol', { className: 'alg-list' });
    const items = chosen.map((name) => [name, true]).concat(known.filter((n) => !chosen.includes(n)).map((n) => [n, false]));
    for (const [name, on] of items) {
      const li = el('li', { className: 'alg-item' });
      li.dataset.name = name;
      const check = el('input', { type: 'checkbox', className: 'alg-on', checked: on, title: name });
      const up = smallButton('↑', 'alg-up', t('editor.alg_up'));
      const down = smallButton('↓', 'alg-down', t('editor.alg_down'));
      up.addEventListener('click', () => li.previousElementSibling && li.parentNode.insertBefore(li, li.previousElementSibling));
      down.addEventListener('click', () => li.nextElementSibling && li.parentNode.insertBefore(li.nextElementSibling, li));
      li.append(el('label', { className: 'form-check alg-name' }, [check, el('span', { textContent: name })]), up, down);
      list.append(li);
    }
    const paint = () => (list.hidden = !custom.checked);
    custom.addEventListener('change', () => {
      // An own order starts from the order offered now, every entry in it.
      const checks = Array.from(list.querySelectorAll('.alg-on'));
      if (custom.checked && !checks.some((c) => c.checked)) checks.forEach((c) => (c.checked = true));
      paint();
    });
    paint();
    box.append(customLabel, list);
    // Off: the library's defaults; an empty list where the record had one, else untouched.
    const hadList = nameList(editor.original && editor.original[key]).length > 0;
    box.readValue = () => {
      if (!custom.checked) return hadList ? [] : undefined;
      return Array.from(list.querySelectorAll('.alg-item')).filter((li) => li.querySelector('.alg-on').checked).map((li) => li.dataset.name);
    };
    box.validateValue = () => {
      if (custom.checked && box.readValue().length === 0) return { control: custom, text: t('editor.alg_empty', { list: t(field.label) }) };
      return null;
    };
    return rowWrapper(key, t(field.label), box);
  }

  // ---- bug-compatibility flags ----

  function bugsRow(editor, key, field) {
    const asMap = (v) => (v && typeof v === 'object' && !Array.isArray(v) ? v : {});
    // Modes as last chosen (a re-render keeps them); the stored record decides what is kept.
    const shown = asMap(editor.values[key]);
    const original = asMap(editor.original && editor.original[key]);
    const box = el('div', { className: 'bug-box', id: 'field-' + key });
    box.dataset.widget = key;
    const modeOf = (v) => {
      const s = String(v ?? '').toLowerCase();
      return s === 'on' || s === 'true' || s === '1' || v === true ? 'on' : s === 'off' || s === 'false' || s === '0' || v === false ? 'off' : 'auto';
    };
    const selects = new Map();
    for (const flag of BUG_FLAGS) {
      const select = el('select', { className: 'select select-compact bug-mode', id: 'field-bug-' + flag });
      for (const mode of ['auto', 'on', 'off']) select.append(el('option', { value: mode, textContent: t('editor.bug_' + mode) }));
      select.value = modeOf(shown[flag]);
      selects.set(flag, select);
      box.append(el('label', { className: 'bug-row', htmlFor: select.id }, [el('span', { className: 'bug-name', textContent: t('bug.' + flag) + ' (' + flag + ')' }), select]));
    }
    box.readValue = () => {
      // Flags this page does not know stay as they were; "auto" is the absence of a choice.
      const out = {};
      for (const [flag, v] of Object.entries(original)) if (!selects.has(flag)) out[flag] = v;
      for (const [flag, select] of selects) {
        if (select.value !== 'auto' || flag in original) out[flag] = select.value;
      }
      return Object.keys(out).length || Object.keys(original).length ? out : undefined;
    };
    box.validateValue = () => null;
    const details = el('details', { className: 'bug-details' }, [el('summary', { textContent: t('editor.bugs_show') }), box]);
    const wrapper = rowWrapper(key, t(field.label), details);
    return wrapper;
  }

  Termiva.editorWidgets = { forwards: forwardsRow, alglist: algorithmsRow, bugs: bugsRow };
  Termiva.sshOptions = { ALGORITHMS, BUG_FLAGS, parseRule, portOf };
})();
