// The page's own texts in both interface languages, and the lookup that fills
// "{name}" placeholders. The program's messages (status lines) arrive translated.
(function () {
  'use strict';
  const Termiva = (window.Termiva = window.Termiva || {});

  const TEXTS = {
    en: {
      'lang.label': 'Language',
      'sessions.title': 'Sessions',
      'sessions.new': 'New session',
      'sessions.new_short': 'New',
      'sessions.empty_title': 'No sessions yet',
      'sessions.empty_body': 'Create a session to open a local shell, an SSH login or another network connection.',
      'sessions.hint': 'Double-click a session to open it.',
      'sessions.open': 'Open',
      'sessions.edit': 'Edit',
      'sessions.delete': 'Delete',
      'sessions.delete_confirm': 'Delete the session “{name}”? Open tabs stay open.',
      'sessions.untitled': 'Untitled',
      'status.online': 'Reachable',
      'status.offline': 'Unreachable',
      'tabs.empty_title': 'No open tabs',
      'tabs.empty_body': 'Double-click a session on the left to open it in a tab.',
      'tab.close': 'Close tab (Ctrl+W)',
      'tab.encoding': 'Encoding',
      'tab.reading_on': 'Output on',
      'tab.reading_off': 'Output paused',
      'tab.reading_title': 'Show or discard what the connection sends',
      'tab.state_connecting': 'Connecting',
      'tab.state_connected': 'Connected',
      'tab.state_ended': 'Disconnected',
      'editor.title_new': 'New session',
      'editor.title_edit': 'Edit session',
      'editor.section_general': 'General',
      'editor.section_connection': 'Connection',
      'editor.section_terminal': 'Terminal',
      'editor.name': 'Name',
      'editor.name_placeholder': 'Shown in the list and on the tab',
      'editor.protocol': 'Protocol',
      'editor.host': 'Host',
      'editor.host_placeholder': 'Name or address',
      'editor.port': 'Port',
      'editor.encoding': 'Character encoding',
      'editor.shell': 'Shell',
      'editor.custom_command': 'Command',
      'editor.custom_command_placeholder': 'Run through /bin/sh -c',
      'editor.cwd': 'Working folder',
      'editor.cwd_placeholder': 'Default: your home folder',
      'editor.lfhascr': 'Implicit CR after LF',
      'editor.crhaslf': 'Implicit LF after CR',
      'editor.save': 'Save',
      'editor.cancel': 'Cancel',
      'editor.required': '{field} is required.',
      'editor.bad_port': 'The port is a number from 1 to 65535.',
      'editor.unknown_protocol': '{protocol} (not available in this version)',
      'editor.username': 'User name',
      'editor.username_placeholder': 'Login name on the server',
      'editor.password': 'Password',
      'editor.password_placeholder': 'Optional when a key is used',
      'editor.private_key': 'Private key',
      'editor.private_key_placeholder': 'Path to a key file (optional)',
      'editor.browse': 'Browse…',
      'editor.terminal_type': 'Terminal type',
      'editor.keepalive_sec': 'Keepalive interval (seconds, 0 = off)',
      'editor.compression': 'Compression',
      'editor.agent_forwarding': 'Agent forwarding',
      'editor.ssh_legacy_compat': 'Allow older algorithms (legacy servers)',
      'editor.supdup_charset': 'Character set',
      'editor.supdup_location': 'Location',
      'editor.supdup_location_placeholder': 'Sent to the server as where you are',
      'editor.supdup_more': 'Pause at the end of each screen (--MORE--)',
      'editor.supdup_scroll': 'Scroll instead of wrapping to the top',
      'editor.bad_number': '{field}: a whole number from {min} to {max}.',
      'supdup_charset.ascii': 'ASCII',
      'supdup_charset.its': 'ITS',
      'supdup_charset.waits': 'WAITS',
      'protocol.ssh': 'SSH',
      'protocol.supdup': 'SUPDUP',
      'protocol.conpty': 'Local shell',
      'protocol.raw': 'Raw TCP',
      'shell.default': 'Login shell',
      'shell.bash': 'bash',
      'shell.zsh': 'zsh',
      'shell.sh': 'sh',
      'shell.fish': 'fish',
      'shell.powershell': 'PowerShell',
      'shell.custom': 'Custom command',
      'toast.bridge_failed': 'The program did not answer: {error}',
      'toast.copied': 'Copied',
      'toast.paste_failed': 'Nothing to paste',
    },
    'zh-Hant': {
      'lang.label': '語言',
      'sessions.title': '工作階段',
      'sessions.new': '新增工作階段',
      'sessions.new_short': '新增',
      'sessions.empty_title': '尚無工作階段',
      'sessions.empty_body': '建立工作階段以開啟本機 Shell、SSH 登入或其他網路連線。',
      'sessions.hint': '按兩下工作階段即可開啟。',
      'sessions.open': '開啟',
      'sessions.edit': '編輯',
      'sessions.delete': '刪除',
      'sessions.delete_confirm': '要刪除工作階段「{name}」嗎？已開啟的分頁會保留。',
      'sessions.untitled': '未命名',
      'status.online': '可連線',
      'status.offline': '無法連線',
      'tabs.empty_title': '沒有開啟的分頁',
      'tabs.empty_body': '在左側按兩下工作階段，即可在分頁中開啟。',
      'tab.close': '關閉分頁（Ctrl+W）',
      'tab.encoding': '編碼',
      'tab.reading_on': '顯示輸出',
      'tab.reading_off': '輸出已暫停',
      'tab.reading_title': '顯示或捨棄連線送來的內容',
      'tab.state_connecting': '連線中',
      'tab.state_connected': '已連線',
      'tab.state_ended': '已中斷',
      'editor.title_new': '新增工作階段',
      'editor.title_edit': '編輯工作階段',
      'editor.section_general': '一般',
      'editor.section_connection': '連線',
      'editor.section_terminal': '終端機',
      'editor.name': '名稱',
      'editor.name_placeholder': '顯示於清單與分頁',
      'editor.protocol': '協定',
      'editor.host': '主機',
      'editor.host_placeholder': '名稱或位址',
      'editor.port': '連接埠',
      'editor.encoding': '字元編碼',
      'editor.shell': 'Shell',
      'editor.custom_command': '指令',
      'editor.custom_command_placeholder': '以 /bin/sh -c 執行',
      'editor.cwd': '工作資料夾',
      'editor.cwd_placeholder': '預設：使用者主資料夾',
      'editor.lfhascr': 'LF 後隱含 CR',
      'editor.crhaslf': 'CR 後隱含 LF',
      'editor.save': '儲存',
      'editor.cancel': '取消',
      'editor.required': '請填寫「{field}」。',
      'editor.bad_port': '連接埠須為 1 到 65535 的數字。',
      'editor.unknown_protocol': '{protocol}（此版本不支援）',
      'editor.username': '使用者名稱',
      'editor.username_placeholder': '伺服器上的登入名稱',
      'editor.password': '密碼',
      'editor.password_placeholder': '使用金鑰時可留空',
      'editor.private_key': '私密金鑰',
      'editor.private_key_placeholder': '金鑰檔案路徑（選填）',
      'editor.browse': '瀏覽…',
      'editor.terminal_type': '終端機類型',
      'editor.keepalive_sec': '保持連線間隔（秒，0 為關閉）',
      'editor.compression': '壓縮',
      'editor.agent_forwarding': '代理程式轉送',
      'editor.ssh_legacy_compat': '允許較舊的演算法（舊型伺服器）',
      'editor.supdup_charset': '字元集',
      'editor.supdup_location': '所在位置',
      'editor.supdup_location_placeholder': '告知伺服器您所在的位置',
      'editor.supdup_more': '每滿一頁暫停（--MORE--）',
      'editor.supdup_scroll': '捲動而非回到頂端換行',
      'editor.bad_number': '「{field}」須為 {min} 到 {max} 的整數。',
      'supdup_charset.ascii': 'ASCII',
      'supdup_charset.its': 'ITS',
      'supdup_charset.waits': 'WAITS',
      'protocol.ssh': 'SSH',
      'protocol.supdup': 'SUPDUP',
      'protocol.conpty': '本機 Shell',
      'protocol.raw': 'Raw TCP',
      'shell.default': '登入 Shell',
      'shell.bash': 'bash',
      'shell.zsh': 'zsh',
      'shell.sh': 'sh',
      'shell.fish': 'fish',
      'shell.powershell': 'PowerShell',
      'shell.custom': '自訂指令',
      'toast.bridge_failed': '程式沒有回應：{error}',
      'toast.copied': '已複製',
      'toast.paste_failed': '沒有可貼上的內容',
    },
  };

  const SUPPORTED = ['en', 'zh-Hant'];
  let current = 'en';
  const listeners = [];

  function t(key, values) {
    const table = TEXTS[current] || TEXTS.en;
    let text = key in table ? table[key] : key in TEXTS.en ? TEXTS.en[key] : key;
    if (values) {
      text = text.replace(/\{(\w+)\}/g, (whole, name) => (name in values ? String(values[name]) : whole));
    }
    return text;
  }

  // Texts written into the static markup: data-i18n (content), data-i18n-title (tooltip).
  function applyToDocument(root) {
    root.querySelectorAll('[data-i18n]').forEach((el) => {
      el.textContent = t(el.dataset.i18n);
    });
    root.querySelectorAll('[data-i18n-title]').forEach((el) => {
      el.title = t(el.dataset.i18nTitle);
    });
    root.querySelectorAll('[data-i18n-placeholder]').forEach((el) => {
      el.placeholder = t(el.dataset.i18nPlaceholder);
    });
  }

  function setLanguage(lang) {
    current = SUPPORTED.includes(lang) ? lang : 'en';
    document.documentElement.lang = current;
    applyToDocument(document);
    listeners.forEach((fn) => fn(current));
  }

  Termiva.i18n = {
    t,
    setLanguage,
    language: () => current,
    supported: SUPPORTED,
    onChange: (fn) => listeners.push(fn),
    applyToDocument,
  };
})();
