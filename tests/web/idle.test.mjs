// An idle tab costs nothing: once its output has been shown the page makes no calls into
// the program until something happens.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';

import { PageSession, missingPeer, peersRequired } from './support/page_harness.mjs';

const missing = missingPeer();
if (missing && peersRequired()) throw new Error(`page tests need ${missing}`);
const skip = missing ? `skipped: ${missing}` : false;

const SHELL = { id: '0f1e2d3c4b5a69788796a5b4c3d2e1f0', name: 'Quiet shell', protocol: 'conpty', conpty_shell: 'sh' };

describe('an idle tab', { skip }, () => {
  let s;
  before(async () => {
    s = await PageSession.start({ sessions: [SHELL] });
  });
  after(async () => {
    if (s) await s.close();
  });

  it('makes no bridge calls for 2 s after its last output, and wakes for the next', async () => {
    await s.page.locator('.session', { hasText: 'Quiet shell' }).dblclick();
    await s.page.waitForFunction(() => window.Termiva.app.state.activeId !== null, null, { timeout: 5000 });
    const tabId = await s.activeTabId();
    await s.page.waitForSelector(`.tab[data-id="${tabId}"][data-state="connected"]`, { timeout: 10000 });
    await s.page.waitForFunction(() => !!(document.activeElement && document.activeElement.closest('.xterm')));
    await s.page.keyboard.type('echo quiet-$((6*7)); echo "end-$((7*7))"');
    await s.page.keyboard.press('Enter');
    await s.waitForScreen(tabId, /^end-49$/m);
    // The prompt that follows is output too: give it a moment to arrive and be pulled.
    await s.page.waitForTimeout(500);

    const from = Date.now();
    await s.page.waitForTimeout(2000);
    const during = s.bridgeCalls.filter((c) => c.at >= from).map((c) => c.op);
    assert.deepEqual(during, [], `calls while idle: ${during.join(', ')}`);

    // Still alive: the next output arrives without any polling having happened.
    await s.page.keyboard.type('echo awake-$((8*8))');
    await s.page.keyboard.press('Enter');
    await s.waitForScreen(tabId, /^awake-64$/m);
    assert.ok(s.bridgeCalls.some((c) => c.at >= from && c.op === 'drain_terminal'));
  });
});

// `claude login` stands in for the real one: it asks for the code the browser shows, then
// leaves the credentials file behind and ends, as the real login does.
const FAKE_CLAUDE = `#!/bin/sh
if [ "$1" = "--version" ]; then echo "9.8.7 (Claude Code)"; exit 0; fi
if [ "$1" = "login" ]; then
  printf 'Paste the code: '; read code
  mkdir -p "$HOME/.claude" && echo '{}' > "$HOME/.claude/.credentials.json"
  echo "Signed in with $code"; exit 0
fi
exit 1
`;

describe('the assistant waiting for a login', { skip }, () => {
  let s;
  let fake;
  const saved = { PATH: process.env.PATH, HOME: process.env.HOME };
  before(async () => {
    fake = fs.mkdtempSync(path.join(os.tmpdir(), 'termiva-fake-login-'));
    fs.mkdirSync(path.join(fake, 'bin'));
    fs.mkdirSync(path.join(fake, 'home'));
    fs.writeFileSync(path.join(fake, 'bin', 'claude'), FAKE_CLAUDE, { mode: 0o755 });
    process.env.PATH = `${path.join(fake, 'bin')}:${process.env.PATH}`;
    process.env.HOME = path.join(fake, 'home');
    s = await PageSession.start({ width: 1400, height: 800, sessions: [SHELL] });
  });
  after(async () => {
    if (s) await s.close();
    process.env.PATH = saved.PATH;
    process.env.HOME = saved.HOME;
    if (fake) fs.rmSync(fake, { recursive: true, force: true });
  });

  it('shows the login tab, asks nothing while the login runs, and sees its end', async () => {
    await s.page.click('#ai-toggle');
    await s.page.waitForSelector('[data-ai="setup"]:not([hidden])');
    await s.page.check('input[name="ai-setup-provider"][value="claude"]');
    await s.page.click('[data-ai-setup="login-button"]');
    // The login's tab comes with the program's next runtime change and is activated then.
    await s.page.waitForFunction(
      () => {
        const app = window.Termiva.app;
        const tab = app.state.tabs.find((t) => t.id === app.state.activeId);
        return !!tab && JSON.stringify(tab).includes('claude login');
      },
      null,
      { timeout: 10000 },
    );
    const tabId = await s.activeTabId();
    await s.waitForScreen(tabId, /Paste the code:/);

    const from = Date.now();
    await s.page.waitForTimeout(2500);
    const asked = s.bridgeCalls.filter((c) => c.at >= from && c.op === 'claude_ai_state');
    assert.equal(asked.length, 0, 'the page asked for the assistant state while nothing happened');

    // Activating the tab gave its terminal the keyboard (the setup dialog stays over it).
    await s.page.waitForFunction(() => !!(document.activeElement && document.activeElement.closest('.xterm')));
    await s.page.keyboard.type('abc-123');
    await s.page.keyboard.press('Enter');
    await s.waitForScreen(tabId, /Signed in with abc-123/);
    // The login's end (its tab's program ended) is the moment to look again: ready.
    await s.page.waitForSelector('[data-ai="setup"]', { state: 'hidden', timeout: 10000 });
    assert.ok(fs.existsSync(path.join(fake, 'home', '.claude', '.credentials.json')));
    assert.ok(s.bridgeCalls.some((c) => c.at >= from && c.op === 'claude_ai_state'));
  });
});
