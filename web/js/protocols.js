// What the session editor offers: one entry per protocol this build can connect with,
// and the fields each one shows. A protocol that arrives later adds its entry (and any
// new fields) here; the editor, the list and the tab bar read only this table.
(function () {
  'use strict';
  const Termiva = (window.Termiva = window.Termiva || {});

  // Codec names as users know them; the program maps them to its converters.
  const ENCODINGS = [
    'utf-8', 'big5', 'cp950', 'gbk', 'gb18030', 'shift_jis', 'euc-jp', 'euc-kr',
    'latin-1', 'cp1252', 'koi8-r', 'ascii',
  ];

  const SHELLS = ['cmd', 'bash', 'zsh', 'sh', 'fish', 'powershell', 'custom'];

  // Field definitions: `key` is the session field, `type` the control, `label` a page text.
  const FIELDS = {
    host: { type: 'text', label: 'editor.host', placeholder: 'editor.host_placeholder', required: true },
    port: { type: 'port', label: 'editor.port' },
    line_code_page: { type: 'select', label: 'editor.encoding', options: () => ENCODINGS.map((e) => [e, e]) },
    conpty_shell: {
      type: 'select',
      label: 'editor.shell',
      options: (t) => SHELLS.map((s) => [s, t(s === 'cmd' ? 'shell.default' : 'shell.' + s)]),
    },
    conpty_custom_command: {
      type: 'text',
      label: 'editor.custom_command',
      placeholder: 'editor.custom_command_placeholder',
      required: true,
      showIf: (values) => values.conpty_shell === 'custom',
    },
    conpty_cwd: { type: 'text', label: 'editor.cwd', placeholder: 'editor.cwd_placeholder' },
    lfhascr: { type: 'checkbox', label: 'editor.lfhascr' },
    crhaslf: { type: 'checkbox', label: 'editor.crhaslf' },
  };

  const PROTOCOLS = [
    {
      id: 'conpty',
      label: 'protocol.conpty',
      connection: ['conpty_shell', 'conpty_custom_command', 'conpty_cwd'],
      terminal: ['lfhascr', 'crhaslf'],
      defaults: { conpty_shell: 'bash', conpty_custom_command: '', conpty_cwd: '' },
      // The shell a session runs: `host` wins when set (older records keep it there).
      summary: (s, t) => {
        const shell = String(s.host || s.conpty_shell || 'cmd').toLowerCase();
        if (shell === 'custom') return s.conpty_custom_command || t('shell.custom');
        return shell === 'cmd' ? t('shell.default') : shell;
      },
    },
    {
      id: 'raw',
      label: 'protocol.raw',
      connection: ['host', 'port'],
      terminal: ['line_code_page', 'lfhascr', 'crhaslf'],
      defaults: { host: '', port: 23, line_code_page: 'utf-8' },
      summary: (s) => (s.host ? s.host + ':' + (s.port || 23) : ''),
    },
  ];

  function find(id) {
    return PROTOCOLS.find((p) => p.id === id) || null;
  }

  Termiva.protocols = { PROTOCOLS, FIELDS, ENCODINGS, find };
})();
