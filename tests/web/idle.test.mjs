// An idle tab costs nothing: once its output has been shown the page makes no calls into
// the program until something happens.
import assert from 'node:assert/strict';
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
