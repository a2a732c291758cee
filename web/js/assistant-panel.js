// The AI assistant panel: the set-up (provider, then what it needs: the `claude` program,
// a sign-in or key for Claude, a key and address for DeepSeek; or postpone),
// the conversation (answers rendered as Markdown; each code block can be typed into a tab
// after the user confirms), cancel, new conversation, and the provider settings.
(function () {
  'use strict';
  const Termiva = (window.Termiva = window.Termiva || {});
  const { t } = Termiva.i18n;
  const { call } = Termiva.bridge;

  Termiva.i18n.extend('en', {
    'ai.toggle': 'Assistant',
    'ai.toggle_title': 'AI assistant: questions about the tab in front',
    'ai.title': 'Assistant',
    'ai.close': 'Close the assistant',
    'ai.new': 'New conversation',
    'ai.settings': 'Settings',
    'ai.placeholder': 'Ask about the active tab… (Ctrl+Enter sends)',
    'ai.send': 'Send',
    'ai.cancel': 'Cancel',
    'ai.thinking': 'Thinking…',
    'ai.cancelled': 'Cancelled.',
    'ai.empty': 'Ask a question about the tab in front. The assistant sees that tab’s settings and its last lines, and the settings of the other open tabs.',
    'ai.you': 'You',
    'ai.assistant': 'Assistant',
    'ai.about_tab': 'about “{tab}”',
    'ai.type_into_tab': 'Type into tab',
    'ai.copy': 'Copy',
    'ai.confirm_title': 'Type this command?',
    'ai.confirm_text': 'It is typed into the tab “{tab}” and Enter is pressed.',
    'ai.confirm_ok': 'Type it',
    'ai.no_tab': 'Open a tab first: there is no tab to type into.',
    'ai.typed': 'Typed into “{tab}”.',
    'ai.type_failed': 'The tab did not take the command (is it connected?).',
    'ai.setup_title': 'Set up the AI assistant',
    'ai.setup_intro': 'Which provider should answer your questions?',
    'ai.setup_provider_claude': 'Claude (Anthropic)',
    'ai.setup_provider_deepseek': 'DeepSeek',
    'ai.setup_installed': 'Claude Code is installed.',
    'ai.setup_not_installed': 'Claude Code is not installed.',
    'ai.setup_ds_installed': 'DeepSeek answers through the Claude Code program, which is installed.',
    'ai.setup_ds_not_installed': 'DeepSeek answers through the Claude Code program, which is not installed yet.',
    'ai.setup_ds_has_key': 'A DeepSeek key is saved.',
    'ai.setup_ds_no_key': 'Enter your DeepSeek API key.',
    'ai.setup_logged_in': 'Signed in.',
    'ai.setup_not_logged_in': 'Not signed in: sign in with your Claude account, or enter an API key.',
    'ai.setup_install': 'Install Claude Code',
    'ai.setup_installing': 'Installing… this can take a few minutes.',
    'ai.setup_install_failed': 'The installation failed. You can install Claude Code yourself and retry.',
    'ai.setup_login': 'Sign in',
    'ai.setup_login_wait': 'Finish signing in in the “claude login” tab; this dialog notices when you are done.',
    'ai.setup_login_failed': 'The sign-in could not be started: {error}',
    'ai.setup_key': 'Or an Anthropic API key',
    'ai.setup_key_save': 'Save key',
    'ai.setup_later': 'Not now',
    'ai.unavailable_title': 'Assistant unavailable',
    'ai.unavailable_body': 'The AI setup was postponed for this run. Terminals work as usual.',
    'ai.unavailable_retry': 'Set up again',
    'ai.settings_title': 'Assistant settings',
    'ai.provider': 'Provider',
    'ai.provider_claude': 'Claude (Claude Code account)',
    'ai.provider_deepseek': 'DeepSeek',
    'ai.model': 'Model',
    'ai.model_custom': 'Other model…',
    'ai.model_custom_placeholder': 'Model identifier',
    'ai.effort': 'Extra reasoning effort',
    'ai.flags': 'This tab’s line ends',
    'ai.flag_on': '{label}: on, for this tab and its saved session.',
    'ai.flag_off': '{label}: off, for this tab and its saved session.',
    'ai.flag_failed': 'The line ends could not be switched.',
    'ai.ds_key': 'DeepSeek API key',
    'ai.ds_base': 'Base address',
    'ai.ds_model': 'DeepSeek model',
    'ai.ds_model_default': 'The provider’s default',
    'ai.ds_save': 'Save credentials',
    'ai.ds_saved': 'Saved to {path}',
    'ai.ds_fetch': 'Fetch models',
    'ai.ds_fetched': '{n} models from the provider.',
    'ai.ds_fallback': 'Using the common models ({error}).',
    'ai.status': 'Program',
    'ai.status_version': '{version}',
    'ai.status_missing': 'not found',
    'ai.done': 'Done',
  });
  Termiva.i18n.extend('zh-Hant', {
    'ai.toggle': 'AI 助理',
    'ai.toggle_title': 'AI 助理：詢問目前分頁的問題',
    'ai.title': 'AI 助理',
    'ai.close': '關閉助理',
    'ai.new': '新對話',
    'ai.settings': '設定',
    'ai.placeholder': '詢問目前分頁的問題…（Ctrl+Enter 送出）',
    'ai.send': '送出',
    'ai.cancel': '取消',
    'ai.thinking': '思考中…',
    'ai.cancelled': '已取消。',
    'ai.empty': '針對目前的分頁提問。助理會看到該分頁的設定與最近幾行輸出，以及其他已開啟分頁的設定。',
    'ai.you': '你',
    'ai.assistant': '助理',
    'ai.about_tab': '關於「{tab}」',
    'ai.type_into_tab': '輸入到分頁',
    'ai.copy': '複製',
    'ai.confirm_title': '要輸入這個指令嗎？',
    'ai.confirm_text': '將輸入到分頁「{tab}」並按下 Enter。',
    'ai.confirm_ok': '輸入',
    'ai.no_tab': '請先開啟分頁：目前沒有可輸入的分頁。',
    'ai.typed': '已輸入到「{tab}」。',
    'ai.type_failed': '分頁沒有接受指令（是否已連線？）。',
    'ai.setup_title': '設定 AI 助理',
    'ai.setup_intro': '要由哪個服務回答你的問題？',
    'ai.setup_provider_claude': 'Claude（Anthropic）',
    'ai.setup_provider_deepseek': 'DeepSeek',
    'ai.setup_installed': '已安裝 Claude Code。',
    'ai.setup_not_installed': '尚未安裝 Claude Code。',
    'ai.setup_ds_installed': 'DeepSeek 透過 Claude Code 程式回答，此程式已安裝。',
    'ai.setup_ds_not_installed': 'DeepSeek 透過 Claude Code 程式回答，此程式尚未安裝。',
    'ai.setup_ds_has_key': '已儲存 DeepSeek 金鑰。',
    'ai.setup_ds_no_key': '請輸入你的 DeepSeek API 金鑰。',
    'ai.setup_logged_in': '已登入。',
    'ai.setup_not_logged_in': '尚未登入：請用 Claude 帳號登入，或輸入 API 金鑰。',
    'ai.setup_install': '安裝 Claude Code',
    'ai.setup_installing': '安裝中…可能需要幾分鐘。',
    'ai.setup_install_failed': '安裝失敗。你可以自行安裝 Claude Code 後再試。',
    'ai.setup_login': '登入',
    'ai.setup_login_wait': '請在「claude login」分頁完成登入；完成後這個視窗會自動偵測。',
    'ai.setup_login_failed': '無法開始登入：{error}',
    'ai.setup_key': '或使用 Anthropic API 金鑰',
    'ai.setup_key_save': '儲存金鑰',
    'ai.setup_later': '稍後再說',
    'ai.unavailable_title': 'AI 助理無法使用',
    'ai.unavailable_body': '本次執行已延後 AI 設定。終端機功能不受影響。',
    'ai.unavailable_retry': '重新設定',
    'ai.settings_title': '助理設定',
    'ai.provider': '服務提供者',
    'ai.provider_claude': 'Claude（Claude Code 帳號）',
    'ai.provider_deepseek': 'DeepSeek',
    'ai.model': '模型',
    'ai.model_custom': '其他模型…',
    'ai.model_custom_placeholder': '模型識別碼',
    'ai.effort': '加強推理（effort）',
    'ai.flags': '此分頁的換行處理',
    'ai.flag_on': '{label}：已開啟（此分頁與其儲存的工作階段）。',
    'ai.flag_off': '{label}：已關閉（此分頁與其儲存的工作階段）。',
    'ai.flag_failed': '無法切換換行處理。',
    'ai.ds_key': 'DeepSeek API 金鑰',
    'ai.ds_base': '服務位址',
    'ai.ds_model': 'DeepSeek 模型',
    'ai.ds_model_default': '服務提供者的預設模型',
    'ai.ds_save': '儲存金鑰設定',
    'ai.ds_saved': '已儲存到 {path}',
    'ai.ds_fetch': '取得模型清單',
    'ai.ds_fetched': '從服務取得 {n} 個模型。',
    'ai.ds_fallback': '使用常用模型（{error}）。',
    'ai.status': '程式',
    'ai.status_version': '{version}',
    'ai.status_missing': '找不到',
    'ai.done': '完成',
  });

  const TERMINAL_LINES = 40; // recent lines of the target tab sent with a question
  const LOGIN_WAIT_LIMIT_MS = 10 * 60 * 1000;
  const FOCUS_WAIT_LIMIT_MS = 5000;

  function el(tag, attrs, children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(attrs || {})) {
      if (key === 'class') node.className = value;
      else if (key === 'text') node.textContent = value;
      else node.setAttribute(key, value);
    }
    for (const child of children || []) if (child) node.appendChild(child);
    return node;
  }
  // A control whose text follows the language (applyToDocument fills data-i18n ones).
  function label(tag, key, attrs) {
    const node = el(tag, Object.assign({ 'data-i18n': key }, attrs || {}));
    node.textContent = t(key);
    return node;
  }

  // Markdown with raw HTML turned off, then sanitised: the answer comes from outside.
  const markdown = window.markdownit ? window.markdownit({ html: false, linkify: true, breaks: false }) : null;
  function renderMarkdown(text) {
    const html = markdown ? markdown.render(String(text)) : null;
    if (html === null || !window.DOMPurify) {
      const pre = el('pre', { class: 'ai-plain' });
      pre.textContent = String(text);
      return pre.outerHTML;
    }
    return window.DOMPurify.sanitize(html, { USE_PROFILES: { html: true } });
  }

  class AssistantPanel {
    constructor(workspace, toggle) {
      this.toggle = toggle;
      this.busy = false;
      this.loginWait = null;
      this.models = null;
      this.build(workspace);
      toggle.addEventListener('click', () => (this.root.hidden ? this.open() : this.close()));
      // Texts made from answers keep their language; the panel's own lines follow a switch.
      Termiva.i18n.onChange(() => {
        if (!this.settings.hidden) this.openSettings();
        if (!this.setup.hidden && this.state) this.showSetup(this.state);
      });
    }

    build(workspace) {
      this.messages = el('div', { class: 'ai-messages', 'aria-live': 'polite' });
      this.empty = label('p', 'ai.empty', { class: 'ai-empty' });
      this.input = el('textarea', { class: 'ai-input', rows: '3', 'data-i18n-placeholder': 'ai.placeholder' });
      this.input.placeholder = t('ai.placeholder');
      this.sendButton = label('button', 'ai.send', { type: 'button', class: 'button button-primary button-small', 'data-ai': 'send' });
      this.cancelButton = label('button', 'ai.cancel', { type: 'button', class: 'button button-small xfer-cancel', 'data-ai': 'cancel' });
      this.cancelButton.hidden = true;
      this.waiting = label('span', 'ai.thinking', { class: 'ai-waiting', role: 'status' });
      this.waiting.hidden = true;

      this.conversation = el('div', { class: 'ai-conversation' }, [
        this.messages,
        el('div', { class: 'ai-compose' }, [
          this.input,
          el('div', { class: 'ai-compose-actions' }, [this.waiting, el('span', { class: 'xfer-spacer' }), this.cancelButton, this.sendButton]),
        ]),
      ]);
      this.messages.appendChild(this.empty);

      this.unavailable = el('div', { class: 'ai-unavailable', 'data-ai': 'unavailable' }, [
        label('h3', 'ai.unavailable_title'),
        label('p', 'ai.unavailable_body'),
        label('button', 'ai.unavailable_retry', { type: 'button', class: 'button button-small', 'data-ai': 'retry' }),
      ]);
      this.unavailable.hidden = true;

      this.settings = this.buildSettings();
      this.settings.hidden = true;
      this.flags = this.buildFlags();

      this.root = el('aside', { class: 'ai-panel', id: 'ai-panel', 'data-ai': 'panel' }, [
        el('div', { class: 'ai-head' }, [
          label('h2', 'ai.title', { class: 'ai-title' }),
          el('span', { class: 'xfer-spacer' }),
          label('button', 'ai.new', { type: 'button', class: 'button button-ghost button-small', 'data-ai': 'new' }),
          label('button', 'ai.settings', { type: 'button', class: 'button button-ghost button-small', 'data-ai': 'settings', 'aria-pressed': 'false' }),
          el('button', { type: 'button', class: 'icon-button', 'data-ai': 'close', 'data-i18n-title': 'ai.close', title: t('ai.close'), text: '×' }),
        ]),
        this.flags,
        this.settings,
        this.unavailable,
        this.conversation,
      ]);
      this.root.hidden = true;
      workspace.appendChild(this.root);

      this.setup = this.buildSetup();
      document.getElementById('app').appendChild(this.setup);
      this.confirm = this.buildConfirm();
      document.getElementById('app').appendChild(this.confirm);

      const q = (name) => this.root.querySelector('[data-ai="' + name + '"]');
      this.sendButton.addEventListener('click', () => this.send());
      this.cancelButton.addEventListener('click', () => this.cancel());
      q('new').addEventListener('click', () => this.newConversation());
      q('settings').addEventListener('click', () => this.toggleSettings());
      q('close').addEventListener('click', () => this.close());
      q('retry').addEventListener('click', () => this.retrySetup());
      this.input.addEventListener('keydown', (e) => {
        if (e.key === 'Enter' && (e.ctrlKey || e.metaKey)) {
          e.preventDefault();
          this.send();
        }
      });
    }

    // ---- opening: the setup state decides what the panel shows ----

    async open() {
      this.root.hidden = false;
      this.showFlags();
      this.toggle.setAttribute('aria-pressed', 'true');
      document.body.classList.add('ai-open');
      window.dispatchEvent(new Event('resize')); // terminals refit to the narrower room
      await this.refreshState();
    }

    close() {
      this.root.hidden = true;
      this.setup.hidden = true;
      this.toggle.setAttribute('aria-pressed', 'false');
      document.body.classList.remove('ai-open');
      window.dispatchEvent(new Event('resize'));
    }

    async refreshState() {
      let state;
      try {
        state = await call('claude_ai_state');
      } catch (err) {
        state = { ready: false, session_dismissed: true };
      }
      this.state = state;
      const ready = !!(state && state.ready);
      const dismissed = !!(state && state.session_dismissed);
      this.unavailable.hidden = ready || !dismissed;
      this.conversation.hidden = !ready && dismissed;
      if (!ready && !dismissed) this.showSetup(state);
      else this.setup.hidden = true;
      if (ready) this.input.focus();
      return state;
    }

    async retrySetup() {
      await call('reset_ai_setup');
      await this.refreshState();
    }

    // ---- the active tab's line-end switches (claude_toggle_session_flag) ----

    buildFlags() {
      const button = (flag) =>
        label('button', 'editor.' + flag, { type: 'button', class: 'button button-ghost button-small', 'data-ai-flag': flag, 'aria-pressed': 'false' });
      const box = el('section', { class: 'ai-flags', 'data-ai': 'flags' }, [
        el('div', { class: 'ai-row' }, [label('span', 'ai.flags', { class: 'tool-label' }), button('lfhascr'), button('crhaslf')]),
        el('p', { class: 'ai-note', 'data-ai': 'flag-status', role: 'status' }),
      ]);
      for (const b of box.querySelectorAll('[data-ai-flag]')) b.addEventListener('click', () => this.toggleFlag(b.dataset.aiFlag));
      const app = Termiva.app;
      if (app) {
        app.onRuntime(() => this.showFlags());
        app.onActiveTab(() => this.showFlags());
      }
      return box;
    }

    // The switches show the active tab's session; without a tab there is nothing to switch.
    showFlags() {
      const app = Termiva.app;
      const state = app && app.state;
      const tab = state && state.tabs.find((x) => x.id === state.activeId);
      const session = tab && (state.sessions || []).find((x) => JSON.stringify(x.id ?? null) === JSON.stringify(tab.session_id ?? null));
      for (const b of this.flags.querySelectorAll('[data-ai-flag]')) {
        b.disabled = !tab;
        b.setAttribute('aria-pressed', session && session[b.dataset.aiFlag] === true ? 'true' : 'false');
      }
    }

    async toggleFlag(flag) {
      const app = Termiva.app;
      const tabId = app && app.state.activeId;
      if (!tabId) return;
      const status = this.flags.querySelector('[data-ai="flag-status"]');
      const result = await call('claude_toggle_session_flag', tabId, flag).catch((err) => ({ ok: false, error: err.message }));
      if (!result || !result.ok) {
        status.textContent = (result && result.error) || t('ai.flag_failed');
        status.classList.add('ai-note-error');
        return;
      }
      // The program changed the tab and its saved session: the page's copy follows.
      if (Array.isArray(result.sessions)) app.state.sessions = result.sessions;
      status.classList.remove('ai-note-error');
      status.textContent = t(result.value ? 'ai.flag_on' : 'ai.flag_off', { label: t('editor.' + flag) });
      this.showFlags();
    }

    // ---- the setup dialog ----

    // Step one is the provider; step two shows only what that provider needs; the dialog
    // closes itself once the assistant is ready (step three is the conversation).
    buildSetup() {
      const choice = (value, key) =>
        el('label', { class: 'form-check' }, [el('input', { type: 'radio', name: 'ai-setup-provider', value }), label('span', key)]);
      const field = (key, control) => el('label', { class: 'ai-field' }, [label('span', key, { class: 'tool-label' }), control]);
      const box = el('div', { class: 'backdrop', 'data-ai': 'setup' }, [
        el('div', { class: 'dialog ai-setup', role: 'dialog' }, [
          label('h2', 'ai.setup_title', { class: 'dialog-title' }),
          el('div', { class: 'dialog-body' }, [
            label('p', 'ai.setup_intro', { class: 'dialog-text' }),
            el('div', { class: 'ai-setup-choice', role: 'radiogroup' }, [
              choice('claude', 'ai.setup_provider_claude'),
              choice('deepseek', 'ai.setup_provider_deepseek'),
            ]),
            el('div', { class: 'ai-setup-needs', 'data-ai-setup': 'needs', hidden: '' }, [
              el('ul', { class: 'ai-setup-status' }, [el('li', { 'data-ai-setup': 'installed' }), el('li', { 'data-ai-setup': 'login' })]),
              label('button', 'ai.setup_install', { type: 'button', class: 'button button-primary', 'data-ai-setup': 'install' }),
              el('div', { class: 'ai-setup-step', 'data-ai-setup': 'claude' }, [
                label('button', 'ai.setup_login', { type: 'button', class: 'button button-primary', 'data-ai-setup': 'login-button' }),
                label('label', 'ai.setup_key', { class: 'tool-label', for: 'ai-setup-key' }),
                el('div', { class: 'ai-row' }, [
                  el('input', { type: 'password', id: 'ai-setup-key', class: 'input', autocomplete: 'off' }),
                  label('button', 'ai.setup_key_save', { type: 'button', class: 'button button-small', 'data-ai-setup': 'key-save' }),
                ]),
              ]),
              el('div', { class: 'ai-setup-step', 'data-ai-setup': 'deepseek' }, [
                field('ai.ds_key', el('input', { type: 'password', class: 'input', 'data-ai-setup': 'ds-key', autocomplete: 'off' })),
                field('ai.ds_base', el('input', { class: 'input', 'data-ai-setup': 'ds-base' })),
                el('div', { class: 'ai-row' }, [label('button', 'ai.setup_key_save', { type: 'button', class: 'button button-small', 'data-ai-setup': 'ds-save' })]),
              ]),
              el('p', { class: 'ai-setup-note', 'data-ai-setup': 'note', role: 'status', hidden: '' }),
            ]),
          ]),
          el('div', { class: 'dialog-actions' }, [label('button', 'ai.setup_later', { type: 'button', class: 'button button-ghost', 'data-ai-setup': 'later' })]),
        ]),
      ]);
      box.hidden = true;
      const q = (name) => box.querySelector('[data-ai-setup="' + name + '"]');
      q('install').addEventListener('click', () => this.install());
      q('login-button').addEventListener('click', () => this.login());
      q('key-save').addEventListener('click', () => this.saveKey());
      q('ds-save').addEventListener('click', () => this.saveSetupDeepSeek());
      q('later').addEventListener('click', () => this.postpone());
      for (const input of box.querySelectorAll('input[name="ai-setup-provider"]')) {
        input.addEventListener('change', () => this.chooseSetupProvider(input.value));
      }
      this.$setup = q;
      return box;
    }

    // The choice is stored at once: the conversation runs with the provider picked here.
    async chooseSetupProvider(provider) {
      const q = this.$setup;
      this.setupProvider = provider;
      this.setNote('');
      if (this.state) this.showSetup(this.state);
      const result = await call('set_claude_provider', provider).catch(() => null);
      if (result && result.provider && result.provider !== provider) {
        this.setupProvider = result.provider;
        this.showSetup(this.state);
      }
      if (this.setupProvider !== 'deepseek') return;
      const creds = await call('claude_get_deepseek_credentials').catch(() => null);
      if (creds && !q('ds-key').value) q('ds-key').value = creds.api_key || '';
      if (creds && !q('ds-base').value) q('ds-base').value = creds.base_url || '';
      q('ds-key').focus();
    }

    setNote(text) {
      const note = this.$setup('note');
      note.textContent = text;
      note.hidden = !text;
    }

    showSetup(state) {
      const q = this.$setup;
      const installed = !!state.installed;
      // A DeepSeek set-up already on disk is the choice made before.
      if (!this.setupProvider && state.has_deepseek_settings) this.setupProvider = 'deepseek';
      const provider = this.setupProvider || null;
      for (const input of this.setup.querySelectorAll('input[name="ai-setup-provider"]')) input.checked = input.value === provider;
      q('needs').hidden = !provider;
      const deepseek = provider === 'deepseek';
      const mark = (node, ok, yes, no) => {
        node.textContent = t(ok ? yes : no);
        node.className = ok ? 'ai-ok' : 'ai-missing';
      };
      mark(q('installed'), installed, deepseek ? 'ai.setup_ds_installed' : 'ai.setup_installed', deepseek ? 'ai.setup_ds_not_installed' : 'ai.setup_not_installed');
      if (deepseek) mark(q('login'), state.has_deepseek_settings, 'ai.setup_ds_has_key', 'ai.setup_ds_no_key');
      else mark(q('login'), state.logged_in, 'ai.setup_logged_in', 'ai.setup_not_logged_in');
      // Until the program is there, installing it is the only next step.
      q('login').hidden = !installed;
      q('install').hidden = installed;
      q('claude').hidden = !installed || deepseek;
      q('deepseek').hidden = !installed || !deepseek;
      if (!this.installing && !this.loginWait) this.setNote('');
      this.setup.hidden = false;
    }

    async install() {
      const q = this.$setup;
      this.installing = true;
      q('install').disabled = true;
      this.setNote(t('ai.setup_installing'));
      let result = null;
      try {
        result = await call('install_claude_code');
      } catch (err) {
        result = { ok: false };
      }
      this.installing = false;
      q('install').disabled = false;
      this.setNote(result && result.ok ? '' : t('ai.setup_install_failed'));
      await this.refreshState();
    }

    async login() {
      let result;
      try {
        result = await call('start_claude_login');
      } catch (err) {
        result = { ok: false, error: err.message };
      }
      if (!result || !result.ok) {
        this.setNote(t('ai.setup_login_failed', { error: (result && result.error) || '' }));
        return;
      }
      this.setNote(t('ai.setup_login_wait'));
      this.focusTabSoon(result.tab_id);
      this.waitForLogin();
    }

    // Nothing says "logged in" by itself, but the moments it may have happened are events:
    // the login's tab changed (its program ended: the program tells the page), or the user
    // came back to the window from the browser where the login ran. Each asks once.
    waitForLogin() {
      this.stopLoginWait();
      const wait = {};
      const check = async () => {
        if (this.loginWait !== wait) return;
        if (this.setup.hidden) {
          this.stopLoginWait();
          return;
        }
        const state = await call('claude_ai_state').catch(() => null);
        if (state && state.ready && this.loginWait === wait) {
          this.stopLoginWait();
          await this.refreshState();
        }
      };
      const stopRuntime = Termiva.app ? Termiva.app.onRuntime(check) : () => {};
      window.addEventListener('focus', check);
      document.addEventListener('visibilitychange', check);
      wait.stop = () => {
        stopRuntime();
        window.removeEventListener('focus', check);
        document.removeEventListener('visibilitychange', check);
        clearTimeout(wait.limit);
      };
      // A login left unfinished stops being waited for.
      wait.limit = setTimeout(() => this.stopLoginWait(), LOGIN_WAIT_LIMIT_MS);
      this.loginWait = wait;
    }

    stopLoginWait() {
      if (this.loginWait) this.loginWait.stop();
      this.loginWait = null;
    }

    // The login's tab is the page's once the program's runtime change for it has been
    // applied: it is activated then, or at once when that already happened.
    focusTabSoon(tabId) {
      const app = Termiva.app;
      if (!tabId || !app) return;
      if (app.state.terminals.has(tabId)) {
        app.activate(tabId);
        return;
      }
      let limit = null;
      const stop = app.onRuntime((state) => {
        if (!state.terminals.has(tabId)) return;
        stop();
        clearTimeout(limit);
        app.activate(tabId);
      });
      // A tab that never comes (its start failed) is not waited for long.
      limit = setTimeout(stop, FOCUS_WAIT_LIMIT_MS);
    }

    async saveKey() {
      const input = this.setup.querySelector('#ai-setup-key');
      const result = await call('set_claude_api_key', input.value).catch((err) => ({ ok: false, error: err.message }));
      input.value = '';
      if (!result || !result.ok) {
        this.setNote((result && result.error) || '');
        return;
      }
      await this.refreshState();
    }

    async saveSetupDeepSeek() {
      const q = this.$setup;
      const result = await call('set_claude_deepseek_credentials', q('ds-key').value, q('ds-base').value, null).catch((err) => ({ ok: false, error: err.message }));
      if (!result || !result.ok) {
        this.setNote((result && result.error) || '');
        return;
      }
      await this.refreshState();
    }

    async postpone() {
      await call('dismiss_ai_setup').catch(() => null);
      this.setup.hidden = true;
      await this.refreshState();
    }

    // ---- the conversation ----

    targetTab() {
      const app = Termiva.app;
      if (!app || !app.state.activeId) return null;
      const tab = app.state.tabs.find((x) => x.id === app.state.activeId);
      return tab ? { id: tab.id, display: String(tab.display || '') } : null;
    }

    // The last lines the target tab's terminal shows, as text.
    recentLines(tabId) {
      const terminal = Termiva.app && Termiva.app.state.terminals.get(tabId);
      if (!terminal || !terminal.term) return '';
      const buffer = terminal.term.buffer.active;
      const end = buffer.baseY + buffer.cursorY + 1;
      const lines = [];
      for (let i = Math.max(0, end - TERMINAL_LINES); i < end; i++) {
        const line = buffer.getLine(i);
        if (line) lines.push(line.translateToString(true));
      }
      return lines.join('\n');
    }

    addMessage(kind, body, meta) {
      this.empty.hidden = true;
      const who = el('div', { class: 'ai-who', text: t(kind === 'user' ? 'ai.you' : 'ai.assistant') + (meta ? ' · ' + meta : '') });
      const content = el('div', { class: 'ai-body' });
      const message = el('div', { class: 'ai-message ai-' + kind }, [who, content]);
      if (kind === 'assistant') {
        content.innerHTML = renderMarkdown(body);
        this.decorateCode(content, message);
      } else {
        content.textContent = body;
      }
      this.messages.appendChild(message);
      this.messages.scrollTop = this.messages.scrollHeight;
      return message;
    }

    // Each code block of an answer gets "Type into tab" (asks first) and "Copy".
    decorateCode(content, message) {
      for (const pre of content.querySelectorAll('pre')) {
        const code = pre.querySelector('code') || pre;
        const command = code.textContent.replace(/\n+$/, '');
        if (!command.trim()) continue;
        const typeButton = label('button', 'ai.type_into_tab', { type: 'button', class: 'button button-small ai-type', 'data-ai': 'type' });
        typeButton.addEventListener('click', () => this.askToType(command, message.dataset.target || null));
        const copyButton = label('button', 'ai.copy', { type: 'button', class: 'button button-ghost button-small', 'data-ai': 'copy' });
        copyButton.addEventListener('click', () => {
          if (navigator.clipboard) navigator.clipboard.writeText(command).catch(() => null);
        });
        pre.insertAdjacentElement('afterend', el('div', { class: 'ai-code-actions' }, [typeButton, copyButton]));
      }
    }

    setBusy(busy) {
      this.busy = busy;
      this.sendButton.disabled = busy;
      this.cancelButton.hidden = !busy;
      this.waiting.hidden = !busy;
    }

    async send() {
      const text = this.input.value.trim();
      if (!text || this.busy) return;
      const target = this.targetTab();
      this.addMessage('user', text, target ? t('ai.about_tab', { tab: target.display }) : '');
      this.input.value = '';
      this.setBusy(true);
      const ticket = (this.ticket = (this.ticket || 0) + 1);
      let result;
      try {
        result = await call('claude_send', text, target ? this.recentLines(target.id) : '', target ? target.id : null, 180, this.asked === true, null);
      } catch (err) {
        result = { ok: false, error: err.message };
      }
      if (ticket !== this.ticket) return; // a newer question or a new conversation took over
      this.asked = true;
      this.setBusy(false);
      if (result && result.cancelled) {
        this.addNote(t('ai.cancelled'));
      } else if (result && result.ok) {
        const message = this.addMessage('assistant', result.reply || '');
        if (target) message.dataset.target = target.id;
      } else {
        this.addError((result && result.error) || t('ai.cancelled'));
      }
    }

    addNote(text) {
      this.messages.appendChild(el('p', { class: 'ai-note', text }));
      this.messages.scrollTop = this.messages.scrollHeight;
    }

    addError(text) {
      const box = el('div', { class: 'ai-message ai-error', role: 'alert' }, [el('div', { class: 'ai-body' })]);
      box.firstChild.textContent = text;
      this.messages.appendChild(box);
      this.messages.scrollTop = this.messages.scrollHeight;
    }

    async cancel() {
      if (!this.busy) return;
      this.ticket = (this.ticket || 0) + 1;
      this.setBusy(false);
      this.asked = false;
      this.addNote(t('ai.cancelled'));
      await call('claude_reset_session').catch(() => null);
    }

    async newConversation() {
      this.ticket = (this.ticket || 0) + 1;
      this.setBusy(false);
      this.asked = false;
      this.messages.replaceChildren(this.empty);
      this.empty.hidden = false;
      await call('claude_reset_session').catch(() => null);
      this.input.focus();
    }

    // ---- typing a command into a tab, after the user says so ----

    buildConfirm() {
      const box = el('div', { class: 'backdrop', 'data-ai': 'confirm' }, [
        el('div', { class: 'dialog dialog-small', role: 'alertdialog' }, [
          label('h2', 'ai.confirm_title', { class: 'dialog-title' }),
          el('pre', { class: 'ai-confirm-command', 'data-ai-confirm': 'command' }),
          el('p', { class: 'dialog-text', 'data-ai-confirm': 'text' }),
          el('div', { class: 'dialog-actions' }, [
            label('button', 'ai.cancel', { type: 'button', class: 'button button-ghost', 'data-ai-confirm': 'cancel' }),
            label('button', 'ai.confirm_ok', { type: 'button', class: 'button button-primary', 'data-ai-confirm': 'ok' }),
          ]),
        ]),
      ]);
      box.hidden = true;
      box.querySelector('[data-ai-confirm="cancel"]').addEventListener('click', () => (box.hidden = true));
      box.addEventListener('keydown', (e) => {
        if (e.key === 'Escape') box.hidden = true;
      });
      box.querySelector('[data-ai-confirm="ok"]').addEventListener('click', () => this.typeConfirmed());
      return box;
    }

    askToType(command, preferredTab) {
      const app = Termiva.app;
      let tab = null;
      if (app) {
        const open = (id) => app.state.tabs.find((x) => x.id === id);
        tab = (preferredTab && open(preferredTab)) || (app.state.activeId && open(app.state.activeId)) || null;
      }
      if (!tab) {
        this.addError(t('ai.no_tab'));
        return;
      }
      this.pending = { command, tabId: tab.id, display: String(tab.display || '') };
      this.confirm.querySelector('[data-ai-confirm="command"]').textContent = command;
      this.confirm.querySelector('[data-ai-confirm="text"]').textContent = t('ai.confirm_text', { tab: this.pending.display });
      this.confirm.hidden = false;
      this.confirm.querySelector('[data-ai-confirm="ok"]').focus();
    }

    async typeConfirmed() {
      const pending = this.pending;
      this.confirm.hidden = true;
      this.pending = null;
      if (!pending) return;
      const ok = await call('claude_inject', pending.tabId, pending.command, true).catch(() => false);
      if (ok) {
        this.addNote(t('ai.typed', { tab: pending.display }));
        if (Termiva.app) Termiva.app.activate(pending.tabId);
      } else {
        this.addError(t('ai.type_failed'));
      }
    }

    // ---- settings ----

    buildSettings() {
      const radio = (value, key) =>
        el('label', { class: 'form-check' }, [el('input', { type: 'radio', name: 'ai-provider', value }), label('span', key)]);
      const field = (key, control) => el('label', { class: 'ai-field' }, [label('span', key, { class: 'tool-label' }), control]);
      const box = el('section', { class: 'ai-settings', 'data-ai': 'settings-section' }, [
        label('h3', 'ai.settings_title', { class: 'ai-subtitle' }),
        el('p', { class: 'ai-status', 'data-ai-set': 'status' }),
        el('div', { class: 'ai-field' }, [label('span', 'ai.provider', { class: 'tool-label' }), radio('claude', 'ai.provider_claude'), radio('deepseek', 'ai.provider_deepseek')]),
        // Neither provider's fields show until the stored provider is known.
        el('div', { 'data-ai-set': 'claude', hidden: '' }, [
          field('ai.model', el('select', { class: 'select select-compact', 'data-ai-set': 'model' })),
          el('input', { class: 'input', 'data-ai-set': 'custom', 'data-i18n-placeholder': 'ai.model_custom_placeholder', placeholder: t('ai.model_custom_placeholder') }),
          el('label', { class: 'form-check' }, [el('input', { type: 'checkbox', 'data-ai-set': 'effort' }), label('span', 'ai.effort')]),
        ]),
        el('div', { 'data-ai-set': 'deepseek', hidden: '' }, [
          field('ai.ds_key', el('input', { type: 'password', class: 'input', 'data-ai-set': 'ds-key', autocomplete: 'off' })),
          field('ai.ds_base', el('input', { class: 'input', 'data-ai-set': 'ds-base' })),
          el('div', { class: 'ai-row' }, [
            label('button', 'ai.ds_save', { type: 'button', class: 'button button-small', 'data-ai-set': 'ds-save' }),
            label('button', 'ai.ds_fetch', { type: 'button', class: 'button button-ghost button-small', 'data-ai-set': 'ds-fetch' }),
          ]),
          field('ai.ds_model', el('select', { class: 'select select-compact', 'data-ai-set': 'ds-model' })),
          el('p', { class: 'ai-note', 'data-ai-set': 'ds-note', role: 'status' }),
        ]),
        label('button', 'ai.done', { type: 'button', class: 'button button-small', 'data-ai-set': 'done' }),
      ]);
      const q = (name) => box.querySelector('[data-ai-set="' + name + '"]');
      this.$set = q;
      for (const input of box.querySelectorAll('input[name="ai-provider"]')) {
        input.addEventListener('change', async () => {
          const result = await call('set_claude_provider', input.value).catch(() => null);
          // What the provider needs (its key) is in this section: the set-up dialog is asked
          // about again only once the section closes.
          this.showProvider(result ? result.provider : input.value);
        });
      }
      q('model').addEventListener('change', () => {
        const value = q('model').value;
        q('custom').hidden = value !== '';
        if (value) call('set_claude_model', value).catch(() => null);
        else q('custom').focus();
      });
      q('custom').addEventListener('change', () => call('set_claude_model', q('custom').value).catch(() => null));
      q('effort').addEventListener('change', () => call('set_claude_effort', q('effort').checked).catch(() => null));
      q('ds-save').addEventListener('click', () => this.saveDeepSeek());
      q('ds-fetch').addEventListener('click', () => this.fetchDeepSeekModels());
      q('ds-model').addEventListener('change', () => {
        q('ds-model').dataset.current = q('ds-model').value;
        if (this.dsModels) this.dsModels.current = q('ds-model').value;
        call('set_claude_deepseek_model', q('ds-model').value).catch(() => null);
      });
      q('done').addEventListener('click', () => this.closeSettings());
      return box;
    }

    showProvider(provider) {
      const q = this.$set;
      for (const input of this.settings.querySelectorAll('input[name="ai-provider"]')) input.checked = input.value === provider;
      q('claude').hidden = provider !== 'claude';
      q('deepseek').hidden = provider !== 'deepseek';
    }

    toggleSettings() {
      if (this.settings.hidden) this.openSettings();
      else this.closeSettings();
    }

    async openSettings() {
      const q = this.$set;
      this.settings.hidden = false;
      this.root.querySelector('[data-ai="settings"]').setAttribute('aria-pressed', 'true');
      const [models, creds, status] = await Promise.all([
        call('claude_get_models').catch(() => null),
        call('claude_get_deepseek_credentials').catch(() => null),
        call('claude_status').catch(() => null),
      ]);
      if (models) {
        const select = q('model');
        select.replaceChildren();
        for (const m of models.builtin || []) select.appendChild(el('option', { value: m.id, text: m.id + (m.kind === 'alias' ? ' (' + m.version + ')' : '') }));
        select.appendChild(label('option', 'ai.model_custom', { value: '' }));
        select.value = models.is_custom ? '' : models.current;
        q('custom').hidden = !models.is_custom;
        q('custom').value = models.is_custom ? models.current : '';
        q('effort').checked = !!models.effort_enabled;
        this.showProvider(models.provider);
      }
      if (creds) {
        q('ds-key').value = creds.api_key || '';
        q('ds-base').value = creds.base_url || '';
      }
      if (status) {
        q('status').textContent =
          t('ai.status') + ': ' + (status.version ? t('ai.status_version', { version: status.version }) : status.exe || t('ai.status_missing')) + (status.hint ? ' — ' + status.hint : '');
      }
      this.fillDeepSeekModels(this.dsModels || null);
      // With DeepSeek set up, its list (and the model chosen) come from the provider.
      if (models && models.provider === 'deepseek' && models.has_custom_settings && !this.dsModels) this.fetchDeepSeekModels();
    }

    closeSettings() {
      this.settings.hidden = true;
      this.root.querySelector('[data-ai="settings"]').setAttribute('aria-pressed', 'false');
      this.refreshState();
    }

    fillDeepSeekModels(list) {
      const q = this.$set;
      const select = q('ds-model');
      const current = list ? list.current : select.dataset.current || '';
      select.replaceChildren(label('option', 'ai.ds_model_default', { value: '' }));
      const names = list ? list.models : ['deepseek-chat', 'deepseek-reasoner'];
      for (const name of names) select.appendChild(el('option', { value: name, text: name }));
      if (current && !names.includes(current)) select.appendChild(el('option', { value: current, text: current }));
      select.value = current || '';
      select.dataset.current = current || '';
    }

    async saveDeepSeek() {
      const q = this.$set;
      const result = await call('set_claude_deepseek_credentials', q('ds-key').value, q('ds-base').value, null).catch((err) => ({ ok: false, error: err.message }));
      q('ds-note').textContent = result && result.ok ? t('ai.ds_saved', { path: result.path }) : (result && result.error) || '';
    }

    async fetchDeepSeekModels() {
      const q = this.$set;
      q('ds-fetch').disabled = true;
      const result = await call('claude_get_deepseek_models').catch((err) => ({ ok: false, error: err.message, models: [] }));
      q('ds-fetch').disabled = false;
      if (!result) return;
      this.dsModels = { models: result.models || [], current: result.current || '' };
      this.fillDeepSeekModels(this.dsModels);
      q('ds-note').textContent = result.ok ? t('ai.ds_fetched', { n: result.models.length }) : t('ai.ds_fallback', { error: result.error || '' });
    }
  }

  Termiva.AssistantPanel = AssistantPanel;
  const toggle = document.getElementById('ai-toggle');
  const workspace = document.querySelector('.workspace');
  if (toggle && workspace) Termiva.assistant = new AssistantPanel(workspace, toggle);
})();
