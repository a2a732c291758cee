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

  const SUPDUP_CHARSETS = ['ascii', 'its', 'waits'];

  const SHELLS = ['cmd', 'bash', 'zsh', 'sh', 'fish', 'powershell', 'custom'];

  // Rates boards use, offered with the typed value still free (any rate the driver takes).
  const BAUD_RATES = [9600, 19200, 38400, 57600, 74880, 115200, 230400, 460800, 921600, 1500000, 2000000];

  // A serial session keeps its port in `host` and its speed in `port`: the fields of those
  // keys look different there.
  const SERIAL_FIELDS = {
    host: {
      type: 'combo',
      label: 'editor.serial_port',
      placeholder: 'editor.serial_port_placeholder',
      required: true,
      // Filled from the ports that exist now; by-id names first, as they survive re-plugging.
      source: 'list_serial_ports',
      choicesFrom: (ports) => ports.map((p) => [p.by_id || p.device, p.description + ' — ' + p.device]),
    },
    port: {
      type: 'combo',
      label: 'editor.baud',
      numeric: true,
      choices: () => BAUD_RATES.map((b) => [String(b), String(b)]),
    },
  };

  // SSH-1 logs in with a password only and has no keep-alive, compression choice,
  // agent or algorithm sets: its sessions show none of those fields.
  const isSsh1 = (values) => String(values.ssh_version ?? '2') === '1';
  const notSsh1 = (values) => !isSsh1(values);

  // Jump hosts as the starter reads them: OpenSSH's [user@]host[:port], comma-separated,
  // at most 8 of them in 1024 characters. A problem as {text, params}; null when usable.
  function jumpChainProblem(value) {
    const text = String(value ?? '').trim();
    if (text === '' || text === 'none') return null;
    if (String(value).length > 1024) return { text: 'editor.proxy_jump_long' };
    const hops = text.split(',').map((h) => h.trim());
    if (hops.length > 8) return { text: 'editor.proxy_jump_many' };
    const plain = (part, forbidden) => part !== '' && !/[\x00-\x20\x7f]/.test(part) && ![...part].some((c) => forbidden.includes(c));
    for (const hop of hops) {
      const at = hop.lastIndexOf('@');
      const user = at >= 0 ? hop.slice(0, at) : null;
      const rest = at >= 0 ? hop.slice(at + 1) : hop;
      const m = /^(?:\[([^\]]*)\]|([^:]*))(?::(.*))?$/.exec(rest);
      const host = m ? (m[1] !== undefined ? m[1] : m[2]) : '';
      const port = m ? m[3] : undefined;
      const portOk = port === undefined || (/^\d{1,5}$/.test(port) && Number(port) >= 1 && Number(port) <= 65535);
      if ((user !== null && !plain(user, ',')) || !m || !plain(host, '@,[]/') || !portOk) {
        return { text: 'editor.proxy_jump_bad', params: { hop: hop } };
      }
    }
    return null;
  }

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
    ssh_version: {
      type: 'select',
      label: 'editor.ssh_version',
      options: (t) => [['2', t('ssh_version.2')], ['1', t('ssh_version.1')]],
    },
    username: { type: 'text', label: 'editor.username', placeholder: 'editor.username_placeholder' },
    password: { type: 'password', label: 'editor.password', placeholder: 'editor.password_placeholder' },
    // The path is picked through the program's file dialog; typing it stays possible.
    private_key: {
      type: 'file',
      label: 'editor.private_key',
      placeholder: 'editor.private_key_placeholder',
      pick: 'pick_private_key',
      showIf: notSsh1,
    },
    terminal_type: { type: 'text', label: 'editor.terminal_type' },
    keepalive_sec: { type: 'number', label: 'editor.keepalive_sec', min: 0, max: 3600, showIf: notSsh1 },
    compression: { type: 'checkbox', label: 'editor.compression', showIf: notSsh1 },
    agent_forwarding: { type: 'checkbox', label: 'editor.agent_forwarding', showIf: notSsh1 },
    proxy_jump: {
      type: 'text',
      label: 'editor.proxy_jump',
      placeholder: 'editor.proxy_jump_placeholder',
      showIf: notSsh1,
      check: jumpChainProblem,
    },
    ssh_legacy_compat: { type: 'checkbox', label: 'editor.ssh_legacy_compat', showIf: notSsh1 },
    supdup_charset: {
      type: 'select',
      label: 'editor.supdup_charset',
      options: (t) => SUPDUP_CHARSETS.map((c) => [c, t('supdup_charset.' + c)]),
    },
    supdup_location: { type: 'text', label: 'editor.supdup_location', placeholder: 'editor.supdup_location_placeholder' },
    supdup_more: { type: 'checkbox', label: 'editor.supdup_more' },
    supdup_scroll: { type: 'checkbox', label: 'editor.supdup_scroll' },
    serial_bits: { type: 'select', label: 'editor.serial_bits', options: () => ['8', '7', '6', '5'].map((b) => [b, b]) },
    serial_parity: {
      type: 'select',
      label: 'editor.serial_parity',
      upper: true,
      options: (t) => ['N', 'E', 'O', 'M', 'S'].map((p) => [p, t('parity.' + p)]),
    },
    serial_stop: { type: 'select', label: 'editor.serial_stop', options: () => ['1', '1.5', '2'].map((b) => [b, b]) },
    serial_flow: {
      type: 'select',
      label: 'editor.serial_flow',
      upper: true,
      options: (t) => ['N', 'X', 'R', 'D'].map((f) => [f, t('flow.' + f)]),
    },
    term_speed: { type: 'text', label: 'editor.term_speed', placeholder: 'editor.term_speed_placeholder' },
    passive_telnet: { type: 'checkbox', label: 'editor.passive_telnet' },
    rfc_environ: { type: 'checkbox', label: 'editor.rfc_environ' },
    // A list of {key, value}; rows without a name are not sent.
    telnet_env: { type: 'keyvalue', label: 'editor.telnet_env', showIf: (values) => values.rfc_environ !== false },
    // The speed of a serial port on a Telnet server (RFC 2217).
    serial_baud: {
      type: 'combo',
      label: 'editor.baud',
      numeric: true,
      choices: () => BAUD_RATES.map((b) => [String(b), String(b)]),
    },
    // Not a session field: says why a remote port offers no board reset or flashing.
    remote_serial_note: { type: 'note', label: 'editor.remote_serial_note' },
    rlogin_local_user: { type: 'text', label: 'editor.rlogin_local_user', placeholder: 'editor.rlogin_local_user_placeholder' },
    // What Enter sends on a serial line, and whether what is typed is shown as well.
    serial_line_ending: {
      type: 'select',
      label: 'editor.serial_line_ending',
      options: (t) => ['cr', 'lf', 'crlf'].map((e) => [e, t('line_ending.' + e)]),
    },
    serial_local_echo: { type: 'checkbox', label: 'editor.serial_local_echo' },
    lfhascr: { type: 'checkbox', label: 'editor.lfhascr' },
    crhaslf: { type: 'checkbox', label: 'editor.crhaslf' },
    // The tab's caption follows the title the peer sets (OSC 0 and 2).
    title_from_terminal: { type: 'checkbox', label: 'editor.title_from_terminal' },
    ip_version: {
      type: 'select',
      label: 'editor.ip_version',
      options: (t) => [['auto', t('ip_version.auto')], ['ipv4', t('ip_version.ipv4')], ['ipv6', t('ip_version.ipv6')]],
    },
    // Widgets of ssh-options.js.
    port_forwards: { type: 'forwards', label: 'editor.port_forwards', showIf: notSsh1 },
    ssh_kex: { type: 'alglist', category: 'kex', label: 'editor.ssh_kex', showIf: notSsh1 },
    ssh_ciphers: { type: 'alglist', category: 'ciphers', label: 'editor.ssh_ciphers', showIf: notSsh1 },
    ssh_macs: { type: 'alglist', category: 'macs', label: 'editor.ssh_macs', showIf: notSsh1 },
    ssh_keys: { type: 'alglist', category: 'keys', label: 'editor.ssh_keys', showIf: notSsh1 },
    ssh_bugs: { type: 'bugs', label: 'editor.ssh_bugs' },
  };

  // Every protocol's terminal section ends with these.
  const COMMON_TERMINAL = ['title_from_terminal'];

  const PROTOCOLS = [
    {
      id: 'ssh',
      label: 'protocol.ssh',
      connection: ['ssh_version', 'host', 'port', 'username', 'password', 'private_key'],
      terminal: ['terminal_type', 'keepalive_sec', 'compression', 'agent_forwarding', 'ssh_legacy_compat', 'line_code_page', 'lfhascr', 'crhaslf'],
      advanced: ['ip_version', 'proxy_jump', 'port_forwards', 'ssh_kex', 'ssh_ciphers', 'ssh_macs', 'ssh_keys', 'ssh_bugs'],
      defaults: {
        ssh_version: '2', host: '', port: 22, username: '', password: '', private_key: '', terminal_type: 'xterm-256color',
        keepalive_sec: 30, compression: false, agent_forwarding: false, ssh_legacy_compat: false, line_code_page: 'utf-8',
      },
      summary: (s) => {
        if (!s.host) return '';
        const port = s.port && Number(s.port) !== 22 ? ':' + s.port : '';
        return (s.username ? s.username + '@' : '') + s.host + port;
      },
    },
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
      id: 'serial',
      label: 'protocol.serial',
      connection: ['host', 'port', 'serial_bits', 'serial_parity', 'serial_stop', 'serial_flow'],
      terminal: ['line_code_page', 'serial_line_ending', 'serial_local_echo', 'lfhascr', 'crhaslf'],
      fields: SERIAL_FIELDS,
      defaults: {
        host: '', port: 115200, serial_bits: '8', serial_parity: 'N', serial_stop: '1', serial_flow: 'N', line_code_page: 'utf-8',
        serial_line_ending: 'cr', serial_local_echo: false,
      },
      summary: (s) => (s.host ? s.host + ' @ ' + (s.port || 9600) : ''),
    },
    {
      id: 'raw',
      label: 'protocol.raw',
      connection: ['host', 'port', 'ip_version'],
      terminal: ['line_code_page', 'lfhascr', 'crhaslf'],
      defaults: { host: '', port: 23, line_code_page: 'utf-8' },
      summary: (s) => (s.host ? s.host + ':' + (s.port || 23) : ''),
    },
    {
      id: 'supdup',
      label: 'protocol.supdup',
      connection: ['host', 'port'],
      terminal: ['supdup_charset', 'supdup_location', 'supdup_more', 'supdup_scroll', 'lfhascr', 'crhaslf'],
      defaults: { host: '', port: 95, supdup_charset: 'ascii', supdup_location: 'Termiva', supdup_more: false, supdup_scroll: true },
      summary: (s) => (s.host ? s.host + ':' + (s.port || 95) : ''),
    },
    {
      id: 'telnet',
      label: 'protocol.telnet',
      connection: ['host', 'port', 'ip_version', 'username', 'passive_telnet'],
      terminal: ['terminal_type', 'term_speed', 'rfc_environ', 'telnet_env', 'line_code_page', 'lfhascr', 'crhaslf'],
      defaults: {
        host: '', port: 23, username: '', passive_telnet: false, terminal_type: 'xterm', term_speed: '38400,38400',
        rfc_environ: true, telnet_env: [], line_code_page: 'utf-8',
      },
      summary: (s) => (s.host ? (s.username ? s.username + '@' : '') + s.host + ':' + (s.port || 23) : ''),
    },
    {
      id: 'telnet-serial',
      label: 'protocol.telnet-serial',
      connection: ['host', 'port', 'ip_version', 'serial_baud', 'serial_bits', 'serial_parity', 'serial_stop', 'serial_flow', 'remote_serial_note'],
      terminal: ['terminal_type', 'term_speed', 'passive_telnet', 'line_code_page', 'lfhascr', 'crhaslf'],
      defaults: {
        host: '', port: 23, serial_baud: 9600, serial_bits: '8', serial_parity: 'N', serial_stop: '1', serial_flow: 'N',
        terminal_type: 'xterm', term_speed: '38400,38400', passive_telnet: false, line_code_page: 'utf-8',
      },
      summary: (s) => {
        if (!s.host) return '';
        const line = (s.serial_baud || 9600) + ' ' + (s.serial_bits || 8) + (s.serial_parity || 'N') + (s.serial_stop || 1);
        return s.host + ':' + (s.port || 23) + ' @ ' + line;
      },
    },
    {
      id: 'rlogin',
      label: 'protocol.rlogin',
      connection: ['host', 'port', 'ip_version', 'username', 'rlogin_local_user'],
      terminal: ['terminal_type', 'term_speed', 'line_code_page', 'lfhascr', 'crhaslf'],
      defaults: {
        host: '', port: 513, username: '', rlogin_local_user: '', terminal_type: 'xterm', term_speed: '38400,38400',
        line_code_page: 'utf-8',
      },
      summary: (s) => {
        if (!s.host) return '';
        const port = s.port && Number(s.port) !== 513 ? ':' + s.port : '';
        return (s.username ? s.username + '@' : '') + s.host + port;
      },
    },
  ];

  for (const p of PROTOCOLS) p.terminal = p.terminal.concat(COMMON_TERMINAL);

  function find(id) {
    return PROTOCOLS.find((p) => p.id === id) || null;
  }

  // The field of `key` as protocol `protocolId` shows it.
  function fieldOf(protocolId, key) {
    const p = find(protocolId);
    return (p && p.fields && p.fields[key]) || FIELDS[key];
  }

  Termiva.protocols = { PROTOCOLS, FIELDS, ENCODINGS, find, fieldOf };
})();
