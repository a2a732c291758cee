// The assistant panel in a real browser against a real termiva-host, with a fake `claude`
// first on the host's PATH and a loopback HTTP server standing in for the model list.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import http from 'node:http';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';

import { PageSession, missingPeer, peersRequired } from './support/page_harness.mjs';

const missing = missingPeer();
if (missing && peersRequired()) throw new Error(`page tests need ${missing}`);
const skip = missing ? `skipped: ${missing}` : false;

const SHELL = { id: 'a1b2c3d4e5f60718293a4b5c6d7e8f90', name: 'Work shell', protocol: 'conpty', conpty_shell: 'sh' };

// Answers with answer.json of its folder, or hangs with a child of its own ("hang").
const FAKE = `#!/bin/sh
d="$FAKE_CLAUDE_DIR"
if [ "$1" = "--version" ]; then echo "9.8.7 (Claude Code)"; exit 0; fi
n=$(cat "$d/count" 2>/dev/null || echo 0); n=$((n+1)); echo $n > "$d/count"
cat > "$d/stdin.$n"
if [ "$(cat "$d/mode" 2>/dev/null)" = "hang" ]; then sleep 300 & echo $! > "$d/child.pid"; wait; fi
cat "$d/answer.json"
`;

function alive(pid) {
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(')') + 2, stat.lastIndexOf(')') + 3) !== 'Z';
  } catch {
    return false;
  }
}

async function until(pred, timeoutMs, what) {
  const deadline = Date.now() + timeoutMs;
  while (Date.now() < deadline) {
    if (await pred()) return;
    await new Promise((r) => setTimeout(r, 50));
  }
  throw new Error(`never happened: ${what}`);
}

describe('the assistant panel', { skip }, () => {
  let s;
  let fake;
  let server;
  let seenAuth = null;
  const saved = { PATH: process.env.PATH, HOME: process.env.HOME };

  before(async () => {
    fake = fs.mkdtempSync(path.join(os.tmpdir(), 'termiva-fake-claude-'));
    fs.mkdirSync(path.join(fake, 'bin'));
    fs.mkdirSync(path.join(fake, 'home'));
    fs.writeFileSync(path.join(fake, 'bin', 'claude'), FAKE, { mode: 0o755 });
    process.env.PATH = `${path.join(fake, 'bin')}:${process.env.PATH}`;
    process.env.HOME = path.join(fake, 'home');
    process.env.FAKE_CLAUDE_DIR = fake;
    server = http.createServer((req, res) => {
      seenAuth = `${req.method} ${req.url} ${req.headers.authorization}`;
      res.writeHead(200, { 'Content-Type': 'application/json' });
      res.end(JSON.stringify({ data: [{ id: 'ds-alpha' }, { id: 'ds-beta' }] }));
    });
    await new Promise((r) => server.listen(0, '127.0.0.1', r));
    s = await PageSession.start({ width: 1400, height: 800, sessions: [SHELL] });
  });
  after(async () => {
    if (s) await s.close();
    if (server) server.close();
    process.env.PATH = saved.PATH;
    process.env.HOME = saved.HOME;
    fs.rmSync(fake, { recursive: true, force: true });
  });

  it('offers the setup first: a provider, then what it needs; it can be postponed and is ready once a key is saved', async () => {
    await s.page.click('#ai-toggle');
    await s.page.waitForSelector('[data-ai="setup"]:not([hidden])');
    // Before the choice nothing speaks of one provider's program or sign-in.
    assert.equal(await s.page.isHidden('[data-ai-setup="needs"]'), true);
    assert.doesNotMatch(await s.page.locator('[data-ai="setup"]').innerText(), /Claude Code|sign in/i);
    await s.page.check('input[name="ai-setup-provider"][value="claude"]');
    assert.match(await s.page.locator('[data-ai-setup="installed"]').textContent(), /is installed/);
    assert.match(await s.page.locator('[data-ai-setup="login"]').textContent(), /Not signed in/);
    // The key field follows the sign-in button without an empty stretch between them.
    const signIn = await s.page.locator('[data-ai-setup="login-button"]').boundingBox();
    const keyLabel = await s.page.locator('label[for="ai-setup-key"]').boundingBox();
    assert.ok(keyLabel.y - (signIn.y + signIn.height) < 16, `gap of ${keyLabel.y - (signIn.y + signIn.height)} px`);
    await until(async () => (await s.host.call('claude_get_models')).provider === 'claude', 5000, 'provider stored');
    await s.screenshot('assistant-setup.png');

    // DeepSeek: its key (focused) and base address come next instead, and the choice is stored.
    await s.page.check('input[name="ai-setup-provider"][value="deepseek"]');
    await s.page.waitForSelector('[data-ai-setup="ds-key"]:focus');
    assert.equal(await s.page.isHidden('#ai-setup-key'), true);
    assert.match(await s.page.inputValue('[data-ai-setup="ds-base"]'), /^https:\/\//);
    await until(async () => (await s.host.call('claude_get_models')).provider === 'deepseek', 5000, 'provider stored');
    await s.screenshot('assistant-setup-deepseek.png');
    await s.page.check('input[name="ai-setup-provider"][value="claude"]');
    await until(async () => (await s.host.call('claude_get_models')).provider === 'claude', 5000, 'provider stored');

    await s.page.click('[data-ai-setup="later"]');
    await s.page.waitForSelector('[data-ai="unavailable"]:not([hidden])');
    assert.equal((await s.host.call('claude_ai_state')).session_dismissed, true);
    await s.page.click('[data-ai="retry"]');
    await s.page.waitForSelector('[data-ai="setup"]:not([hidden])');

    await s.page.fill('#ai-setup-key', 'sk-test-key');
    await s.page.click('[data-ai-setup="key-save"]');
    await s.page.waitForSelector('[data-ai="setup"]', { state: 'hidden' });
    await s.page.waitForSelector('.ai-conversation:not([hidden])');
    const settings = JSON.parse(fs.readFileSync(path.join(fake, 'home', '.claude', 'settings.json'), 'utf8'));
    assert.equal(settings.primaryApiKey, 'sk-test-key');
    assert.equal(fs.statSync(path.join(fake, 'home', '.claude', 'settings.json')).mode & 0o777, 0o600);
  });

  it('answers a question about the active tab in Markdown and types a command only after asking', async () => {
    await s.page.locator('.session', { hasText: 'Work shell' }).dblclick();
    await s.page.waitForFunction(() => window.Termiva.app.state.activeId !== null);
    const tabId = await s.activeTabId();
    await s.page.waitForSelector(`.tab[data-id="${tabId}"][data-state="connected"]`, { timeout: 10000 });
    fs.writeFileSync(
      path.join(fake, 'answer.json'),
      JSON.stringify({
        is_error: false,
        session_id: 'sess-1',
        result: 'Run **this**:\n\n```sh\necho typed-$((6*7))\n```\n\n<img src=x onerror="window.pwned=1">',
      }),
    );
    await s.page.fill('.ai-input', 'What should I run?');
    await s.page.click('[data-ai="send"]');
    await s.page.waitForSelector('.ai-assistant pre code');
    assert.equal(await s.page.locator('.ai-assistant pre code').textContent(), 'echo typed-$((6*7))\n');
    assert.equal(await s.page.locator('.ai-assistant strong').textContent(), 'this');
    assert.equal(await s.page.locator('.ai-assistant img').count(), 0, 'raw HTML stays text');
    const asked = fs.readFileSync(path.join(fake, 'stdin.1'), 'utf8');
    assert.match(asked, /^What should I run\?\n\n----- 當前 target 分頁設定（conpty · Work shell） -----\nprotocol: conpty\n/);

    await s.page.click('[data-ai="type"]');
    await s.page.waitForSelector('[data-ai="confirm"]:not([hidden])');
    assert.match(await s.page.locator('[data-ai-confirm="text"]').textContent(), /“Work shell”/);
    await s.screenshot('assistant-confirm.png');
    await s.page.click('[data-ai-confirm="cancel"]');
    await s.page.waitForSelector('[data-ai="confirm"]', { state: 'hidden' });
    await new Promise((r) => setTimeout(r, 300));
    assert.doesNotMatch(await s.screenText(tabId), /typed-42/, 'nothing is typed without the yes');

    await s.page.click('[data-ai="type"]');
    await s.page.click('[data-ai-confirm="ok"]');
    await s.waitForScreen(tabId, /^typed-42\s*$/m);
    await s.screenshot('assistant-answer.png');
    assert.equal(await s.page.evaluate(() => window.pwned), undefined);
  });

  it('switches the active tab’s line ends, saying so in the panel and in the tab', async () => {
    const tabId = await s.activeTabId();
    const button = '[data-ai-flag="lfhascr"]';
    const storedFlag = async () => (await s.host.call('get_initial_state')).sessions.find((x) => x.id === SHELL.id).lfhascr;
    assert.equal(await s.page.getAttribute(button, 'aria-pressed'), 'false');
    await s.page.click(button);
    await s.page.waitForSelector(`${button}[aria-pressed="true"]`, { timeout: 5000 });
    assert.equal(await s.page.textContent('[data-ai="flag-status"]'), 'Implicit CR after LF: on, for this tab and its saved session.');
    assert.equal(await storedFlag(), true);
    await s.waitForScreen(tabId, /Enabled "Implicit CR after LF \(lfhascr\)"/);
    await s.page.click(button);
    await s.page.waitForSelector(`${button}[aria-pressed="false"]`, { timeout: 5000 });
    assert.equal(await storedFlag(), false);
  });

  it('cancels a question that hangs, ending the program and its child', async () => {
    fs.writeFileSync(path.join(fake, 'mode'), 'hang');
    await s.page.fill('.ai-input', 'This will hang');
    await s.page.click('[data-ai="send"]');
    await s.page.waitForSelector('[data-ai="cancel"]:not([hidden])');
    await until(() => fs.existsSync(path.join(fake, 'child.pid')), 10000, 'the fake started its child');
    const child = Number(fs.readFileSync(path.join(fake, 'child.pid'), 'utf8'));
    await s.page.click('[data-ai="cancel"]');
    await s.page.waitForSelector('[data-ai="cancel"]', { state: 'hidden' });
    assert.ok(await s.page.locator('.ai-note', { hasText: 'Cancelled.' }).count());
    await until(() => !alive(child), 5000, 'the child ended');
    fs.writeFileSync(path.join(fake, 'mode'), 'ok');

    await s.page.click('[data-ai="new"]');
    assert.equal(await s.page.locator('.ai-message').count(), 0);
  });

  it('keeps provider, model and DeepSeek settings, with the model list from the provider', async () => {
    await s.page.click('[data-ai="settings"]');
    await s.page.waitForSelector('[data-ai="settings-section"]:not([hidden])');
    // The section fills itself from three calls: the six models and "other", and the status.
    await s.page.waitForFunction(() => document.querySelectorAll('[data-ai-set="model"] option').length === 7);
    await s.page.waitForSelector('[data-ai-set="status"]:has-text("9.8.7")');
    await s.page.selectOption('[data-ai-set="model"]', 'claude-haiku-4-5');
    await s.page.uncheck('[data-ai-set="effort"]');
    await s.page.check('input[name="ai-provider"][value="deepseek"]');
    await s.page.waitForSelector('[data-ai-set="deepseek"]:not([hidden])');
    await s.page.fill('[data-ai-set="ds-key"]', 'ds-secret');
    await s.page.fill('[data-ai-set="ds-base"]', `http://127.0.0.1:${server.address().port}/anthropic`);
    await s.page.click('[data-ai-set="ds-save"]');
    await s.page.waitForSelector('[data-ai-set="ds-note"]:has-text("deepseek-settings.json")');
    await s.page.click('[data-ai-set="ds-fetch"]');
    await s.page.waitForSelector('[data-ai-set="ds-model"] option[value="ds-beta"]', { state: 'attached' });
    assert.equal(seenAuth, 'GET /models Bearer ds-secret');
    await s.page.selectOption('[data-ai-set="ds-model"]', 'ds-beta');
    await s.screenshot('assistant-settings.png');

    await until(async () => (await s.host.call('claude_get_models')).provider === 'deepseek', 5000, 'provider stored');
    const models = await s.host.call('claude_get_models');
    assert.equal(models.current, 'claude-haiku-4-5');
    assert.equal(models.effort_enabled, false);
    await until(async () => (await s.host.call('claude_get_deepseek_models')).current === 'ds-beta', 5000, 'model stored');

    // Both languages: the panel follows the switch.
    await s.page.click('.lang-option[data-lang="zh-Hant"]');
    await s.page.waitForSelector('[data-ai="new"]:has-text("新對話")');
    await s.screenshot('assistant-zh-Hant.png');
    await s.page.click('.lang-option[data-lang="en"]');
    await s.page.waitForSelector('[data-ai="new"]:has-text("New conversation")');
  });
});
