// The tab strip and a tab's life as a user meets them: many tabs beside the assistant
// panel, a serial tab's toolbar, closing a live tab, bringing an ended one back, links.
import assert from 'node:assert/strict';
import { after, before, describe, it } from 'node:test';

import { PageSession, missingPeer, peersRequired } from './support/page_harness.mjs';

const missing = missingPeer();
if (missing && peersRequired()) throw new Error(`page tests need ${missing}`);
const skip = missing ? `skipped: ${missing}` : false;

const shell = (n, name) => ({
  id: `c0ffee00000000000000000000000${String(n).padStart(3, '0')}`,
  name,
  protocol: 'conpty',
  conpty_shell: 'sh',
});

async function waitConnected(s, tabId) {
  await s.page.waitForSelector(`.tab[data-id="${tabId}"][data-state="connected"]`, { timeout: 10000 });
}

async function openByName(s, name) {
  const before = await s.activeTabId();
  await s.page.locator('.session', { hasText: name }).first().dblclick();
  await s.page.waitForFunction((old) => {
    const id = window.Termiva.app.state.activeId;
    return id !== null && id !== old;
  }, before, { timeout: 5000 });
  return s.activeTabId();
}

// Where every tab sits and how wide it is, with the strip's visible part.
function stripGeometry(s) {
  return s.page.evaluate(() => {
    const bar = document.getElementById('tab-bar').getBoundingClientRect();
    const tabs = [...document.querySelectorAll('#tab-bar .tab')].map((el) => {
      const r = el.getBoundingClientRect();
      return { id: el.dataset.id, left: r.left, right: r.right, width: r.width, active: el.classList.contains('tab-active') };
    });
    const tools = document.getElementById('tab-tools');
    const t = tools.hidden ? null : tools.getBoundingClientRect();
    return { bar: { left: bar.left, right: bar.right, top: bar.top, bottom: bar.bottom, width: bar.width }, tabs, tools: t && { left: t.left, top: t.top, bottom: t.bottom, right: t.right } };
  });
}

describe('ten tabs beside the assistant panel', { skip }, () => {
  let s;
  const names = [];
  before(async () => {
    const sessions = [];
    for (let i = 0; i < 9; i++) {
      names.push(`Build server number ${i} in the far rack`);
      sessions.push(shell(i, names[i]));
    }
    names.push('Bench board on a missing port');
    sessions.push({ id: 'c0ffee00000000000000000000000999', name: names[9], protocol: 'serial', host: '/dev/ttyTERMIVAGONE', port: 115200 });
    s = await PageSession.start({ width: 1280, height: 720, sessions });
  });
  after(async () => {
    if (s) await s.close();
  });

  it('keeps one tab width, the whole name in a tooltip and the active tab in view', async () => {
    const ids = [];
    for (const name of names) ids.push(await openByName(s, name));
    await s.page.click('#ai-toggle');
    await s.page.waitForSelector('#ai-panel:not([hidden])');
    await s.nextFrames();

    let width = null;
    // Every tab in turn, from the first: the strip must scroll back and forth.
    for (const id of ids) {
      await s.page.evaluate((tabId) => window.Termiva.app.activate(tabId), id);
      await s.nextFrames();
      const g = await stripGeometry(s);
      assert.equal(g.tabs.length, 10);
      const active = g.tabs.find((t) => t.active);
      assert.equal(active.id, id);
      assert.ok(active.left >= g.bar.left - 0.5 && active.right <= g.bar.right + 0.5, `tab ${id} in view: ${JSON.stringify(active)} in ${JSON.stringify(g.bar)}`);
      const widths = new Set(g.tabs.map((t) => Math.round(t.width)));
      assert.equal(widths.size, 1, `all tabs one width: ${[...widths]}`);
      if (width === null) width = [...widths][0];
      assert.equal([...widths][0], width, 'the width does not change with the active tab');
      // The strip is not squeezed by the tab's tools: room for at least three tabs.
      assert.ok(g.bar.width >= 3 * width, `strip ${g.bar.width}px wide for tabs of ${width}px`);
      if (g.tools) {
        const beside = g.tools.top < g.bar.bottom - 1;
        assert.ok(!beside || g.tools.left >= g.bar.right - 0.5, 'the tools do not cover the tabs');
      }
    }

    for (let i = 0; i < ids.length; i++) {
      const title = await s.page.getAttribute(`.tab[data-id="${ids[i]}"]`, 'title');
      assert.ok(title.startsWith(names[i] + ' — '), `tooltip ${title}`);
    }

    // The serial tab's tools (encoding, output, transfer, board buttons) all remain usable.
    const serialId = ids[9];
    await s.page.evaluate((tabId) => window.Termiva.app.activate(tabId), serialId);
    await s.nextFrames();
    for (const sel of ['#tab-encoding', '#tab-reading', '#tab-transfer', '#tab-esp-reset', '#tab-esp-boot', '#tab-esp-firmware']) {
      const box = await s.page.locator(sel).boundingBox();
      assert.ok(box && box.width > 0 && box.x >= 0 && box.x + box.width <= 1280 - (await s.page.locator('#ai-panel').boundingBox()).width + 1, `${sel} visible: ${JSON.stringify(box)}`);
    }
  });
});

describe('closing, ending and reconnecting a tab', { skip }, () => {
  let s;
  before(async () => {
    s = await PageSession.start({ sessions: [shell(1, 'Shell one'), shell(2, 'Shell two')] });
  });
  after(async () => {
    if (s) await s.close();
  });

  it('asks before a connected tab closes, and Cancel keeps it', async () => {
    const tab = await openByName(s, 'Shell one');
    await waitConnected(s, tab);
    await s.page.click(`.tab[data-id="${tab}"] .tab-close`);
    await s.page.waitForSelector('#confirm-backdrop:not([hidden])');
    assert.match(await s.page.textContent('#confirm-text'), /Shell one/);
    assert.equal(await s.page.textContent('#confirm-ok'), 'Close tab');
    await s.page.click('#confirm-cancel');
    assert.equal(await s.page.isHidden('#confirm-backdrop'), true);
    assert.deepEqual((await s.host.call('get_runtime_state')).tabs.map((t) => t.id), [tab]);
  });

  it('reconnects an ended tab in its place with Enter, keeping what it showed', async () => {
    const first = await s.activeTabId();
    const second = await openByName(s, 'Shell two');
    await waitConnected(s, second);
    await s.page.evaluate((id) => window.Termiva.app.activate(id), first);
    await s.page.waitForFunction(() => !!(document.activeElement && document.activeElement.closest('.xterm')));
    await s.page.keyboard.type('echo before-$((5*5)); exit');
    await s.page.keyboard.press('Enter');
    await s.page.waitForSelector(`.tab[data-id="${first}"][data-state="ended"]`, { timeout: 10000 });
    await s.waitForScreen(first, /Press Enter or R to connect again\./);

    await s.page.keyboard.press('Enter');
    const again = await s.page.waitForFunction(
      (old) => {
        const ids = [...document.querySelectorAll('#tab-bar .tab')].map((el) => el.dataset.id);
        return ids.length === 2 && ids[0] !== old && ids[1] ? ids[0] : null;
      },
      first,
      { timeout: 5000 },
    );
    const fresh = await again.jsonValue();
    const runtime = await s.host.call('get_runtime_state');
    assert.deepEqual(runtime.tabs.map((t) => t.id), [fresh, second], 'the new connection takes the old tab\'s place');
    assert.equal(runtime.tabs[0].session_id, shell(1).id);
    await waitConnected(s, fresh);
    // The old screen is still there, and the new shell answers under it.
    await s.waitForScreen(fresh, /^before-25$/m);
    await s.page.keyboard.type('echo after-$((6*6))');
    await s.page.keyboard.press('Enter');
    await s.waitForScreen(fresh, /^after-36$/m);
    assert.deepEqual(s.pageErrors, []);
  });

  it('offers Reconnect in the tab menu only for an ended tab', async () => {
    const tab = await s.activeTabId();
    await s.page.click(`.tab[data-id="${tab}"]`, { button: 'right' });
    await s.page.waitForSelector('.ctx-menu:not([hidden])');
    assert.equal(await s.page.isDisabled('.ctx-item[data-name="reconnect"]'), true);
    await s.page.keyboard.press('Escape');

    await s.page.locator(`.terminal-pane[data-tab-id="${tab}"]`).click();
    await s.page.keyboard.type('exit');
    await s.page.keyboard.press('Enter');
    await s.page.waitForSelector(`.tab[data-id="${tab}"][data-state="ended"]`, { timeout: 10000 });
    await s.page.click(`.tab[data-id="${tab}"]`, { button: 'right' });
    await s.page.click('.ctx-item[data-name="reconnect"]:not([disabled])');
    const fresh = await (
      await s.page.waitForFunction((old) => {
        const el = document.querySelector('#tab-bar .tab');
        return el && el.dataset.id !== old && el.dataset.state === 'connected' ? el.dataset.id : null;
      }, tab, { timeout: 10000 })
    ).jsonValue();
    assert.equal((await s.host.call('get_runtime_state')).tabs[0].id, fresh);
  });

  it('closes an ended tab without asking, and a live one at once when the setting says so', async () => {
    // An ended tab: nothing to lose.
    const ended = await s.activeTabId();
    await s.page.locator(`.terminal-pane[data-tab-id="${ended}"]`).click();
    await s.page.keyboard.type('exit');
    await s.page.keyboard.press('Enter');
    await s.page.waitForSelector(`.tab[data-id="${ended}"][data-state="ended"]`, { timeout: 10000 });
    await s.page.click(`.tab[data-id="${ended}"] .tab-close`);
    await s.page.waitForSelector(`.tab[data-id="${ended}"]`, { state: 'detached', timeout: 5000 });
    assert.equal(await s.page.isHidden('#confirm-backdrop'), true);

    await s.page.click('#open-settings');
    assert.equal(await s.page.isChecked('#settings-confirm-close'), true);
    await s.page.uncheck('#settings-confirm-close');
    await s.page.click('#settings-done');
    await s.page.waitForFunction(async () => {
      const settings = await window.Termiva.bridge.call('get_page_settings');
      return settings.confirm_close === false;
    }, null, { timeout: 5000 });
    const live = await s.activeTabId();
    await s.page.click(`.tab[data-id="${live}"] .tab-close`);
    await s.page.waitForSelector(`.tab[data-id="${live}"]`, { state: 'detached', timeout: 5000 });
    assert.equal(await s.page.isHidden('#confirm-backdrop'), true);
  });

  it('opens each new tab with the transfer bar closed', async () => {
    const one = await openByName(s, 'Shell one');
    await waitConnected(s, one);
    await s.page.click('#tab-transfer');
    await s.page.waitForSelector('#xfer-panel:not([hidden])');
    const two = await openByName(s, 'Shell two');
    await waitConnected(s, two);
    assert.equal(await s.page.isHidden('#xfer-panel'), true);
    assert.equal(await s.page.getAttribute('#tab-transfer', 'aria-pressed'), 'false');
    await s.page.evaluate((id) => window.Termiva.app.activate(id), one);
    await s.page.waitForSelector('#xfer-panel:not([hidden])');
  });
  it('shows the codec the tab uses after its session changed it', async () => {
    const tab = await s.activeTabId();
    assert.equal(await s.page.inputValue('#tab-encoding'), 'utf-8');
    const session = (await s.host.call('get_initial_state')).sessions.find((x) => x.name === 'Shell one');
    await s.page.evaluate((rec) => window.Termiva.app.extras.api.saveSession(rec), Object.assign({}, session, { line_code_page: 'BIG5' }));
    await s.page.waitForFunction(() => document.getElementById('tab-encoding').value === 'big5', null, { timeout: 5000 });
    // And what the drop-down says is what the program decodes with.
    await s.page.locator(`.terminal-pane[data-tab-id="${tab}"]`).click();
    await s.page.keyboard.type("printf '\\244\\244\\244\\345\\n'");
    await s.page.keyboard.press('Enter');
    await s.waitForScreen(tab, /^中文$/m);
  });
});

describe('links in the output', { skip }, () => {
  let s;
  before(async () => {
    s = await PageSession.start({ sessions: [shell(3, 'Linky')] });
  });
  after(async () => {
    if (s) await s.close();
  });

  // The middle of the cell at (col, row) of the tab's terminal, in page pixels.
  function cellPoint(tabId, col, row) {
    return s.page.evaluate(
      ([id, c, r]) => {
        const t = window.Termiva.app.state.terminals.get(id).term;
        const screen = document.querySelector(`.terminal-pane[data-tab-id="${id}"] .xterm-screen`).getBoundingClientRect();
        return { x: screen.left + ((c + 0.5) * screen.width) / t.cols, y: screen.top + ((r + 0.5) * screen.height) / t.rows };
      },
      [tabId, col, row],
    );
  }

  it('opens on Ctrl+click only, and says so when no browser could be started', async () => {
    const tab = await openByName(s, 'Linky');
    await waitConnected(s, tab);
    await s.page.waitForFunction(() => !!(document.activeElement && document.activeElement.closest('.xterm')));
    await s.page.keyboard.type("clear; printf 'https://example.invalid/docs\\n'");
    await s.page.keyboard.press('Enter');
    await s.waitForScreen(tab, /^https:\/\/example\.invalid\/docs$/m);
    const row = await s.page.evaluate((id) => {
      const buffer = window.Termiva.app.state.terminals.get(id).term.buffer.active;
      for (let y = 0; y < buffer.length; y++) {
        if (buffer.getLine(y).translateToString(true) === 'https://example.invalid/docs') return y - buffer.viewportY;
      }
      return -1;
    }, tab);
    assert.ok(row >= 0);
    const at = await cellPoint(tab, 8, row);

    const opened = () => s.bridgeCalls.filter((c) => c.op === 'open_url').length;
    await s.page.mouse.move(at.x - 20, at.y);
    await s.page.mouse.move(at.x, at.y, { steps: 4 });
    await s.page.waitForFunction(() => !!document.querySelector('.xterm-cursor-pointer'), null, { timeout: 5000 });
    await s.page.mouse.click(at.x, at.y);
    await s.page.waitForSelector('#toast:not([hidden])', { timeout: 5000 });
    assert.match(await s.page.textContent('#toast'), /Ctrl\+click/);
    assert.equal(opened(), 0, 'a plain click does not open the link');

    await s.page.keyboard.down('Control');
    await s.page.mouse.click(at.x, at.y);
    await s.page.keyboard.up('Control');
    // The test host has no desktop to start a browser in: the page says so.
    await s.page.waitForFunction(() => /could not be started/.test(document.getElementById('toast').textContent), null, { timeout: 5000 });
    assert.equal(opened(), 1);
    assert.ok(await s.page.locator('#toast.toast-error').count());
  });
});

describe('tooltips', { skip }, () => {
  let s;
  before(async () => {
    s = await PageSession.start({ width: 700, height: 500 });
  });
  after(async () => {
    if (s) await s.close();
  });

  it('stay inside the window and leave when the dialog they led to opens', async () => {
    const expected = await s.page.getAttribute('#ai-toggle', 'title');
    assert.ok(expected && expected.length > 10, `a long tooltip to show: ${expected}`);
    const box = await s.page.locator('#ai-toggle').boundingBox();
    await s.page.mouse.move(box.x + box.width - 2, box.y + box.height / 2);
    await s.page.waitForSelector('#page-tooltip:not([hidden])', { timeout: 5000 });
    const tip = await s.page.evaluate(() => {
      const el = document.getElementById('page-tooltip');
      const r = el.getBoundingClientRect();
      return { left: r.left, right: r.right, top: r.top, bottom: r.bottom, text: el.textContent, w: window.innerWidth, h: window.innerHeight, cut: el.scrollWidth > el.clientWidth };
    });
    assert.equal(tip.text, expected);
    assert.ok(tip.left >= 0 && tip.right <= tip.w && tip.top >= 0 && tip.bottom <= tip.h, JSON.stringify(tip));
    assert.equal(tip.cut, false);
    // The web view's own tooltip has nothing to show meanwhile.
    assert.equal(await s.page.getAttribute('#ai-toggle', 'title'), null);

    await s.page.hover('#about-open');
    await s.page.waitForFunction(() => document.getElementById('ai-toggle').getAttribute('title') !== null, null, { timeout: 5000 });
    await s.page.waitForSelector('#page-tooltip:not([hidden])', { timeout: 5000 });
    await s.page.click('#about-open');
    await s.page.waitForFunction(() => window.Termiva.app.about.isOpen(), null, { timeout: 5000 });
    assert.equal(await s.page.isHidden('#page-tooltip'), true);
    await s.page.waitForTimeout(700); // longer than the tooltip's delay: it must not come back
    assert.equal(await s.page.isHidden('#page-tooltip'), true);
  });
});

describe('terminal settings', { skip }, () => {
  let s;
  before(async () => {
    // A font list written by hand stays a choice of its own.
    s = await PageSession.start({ sessions: [shell(4, 'Looks')], settings: { term_font_family: 'Hack, monospace' } });
  });
  after(async () => {
    if (s) await s.close();
  });

  it('zooms with Ctrl+Shift+= and applies the font, cursor, scrollback and bell from the panel', async () => {
    const tab = await openByName(s, 'Looks');
    await waitConnected(s, tab);
    const option = (name) => s.page.evaluate(([id, n]) => window.Termiva.app.state.terminals.get(id).term.options[n], [tab, name]);
    const size = await option('fontSize');
    await s.page.waitForFunction(() => !!(document.activeElement && document.activeElement.closest('.xterm')), null, { timeout: 5000 });
    await s.page.keyboard.press('Control+Shift+Equal');
    await s.page.waitForFunction(([id, before]) => window.Termiva.app.state.terminals.get(id).term.options.fontSize === before + 1, [tab, size], { timeout: 5000 });

    await s.page.click('#open-settings');
    // The font is picked among the installed monospace fonts the program lists.
    const fonts = await s.host.call('list_monospace_fonts');
    assert.ok(fonts.length > 0, 'fontconfig lists no monospace font');
    await s.page.waitForFunction((n) => document.querySelectorAll('#settings-font-family option').length === n + 2, fonts.length, { timeout: 5000 });
    assert.deepEqual(
      await s.page.$$eval('#settings-font-family option', (o) => o.map((x) => [x.value, x.textContent])).then((o) => [o[1], o.at(-1)]),
      [[`'${fonts[0]}', monospace`, fonts[0]], ['Hack, monospace', 'As stored: Hack, monospace']],
    );
    assert.equal(await s.page.inputValue('#settings-font-family'), 'Hack, monospace');
    await s.page.selectOption('#settings-font-family', `'${fonts[0]}', monospace`);
    assert.equal(await option('fontFamily'), `'${fonts[0]}', monospace`);
    await s.page.selectOption('#settings-cursor-style', 'bar');
    await s.page.uncheck('#settings-cursor-blink');
    await s.page.fill('#settings-scrollback', '500');
    await s.page.selectOption('#settings-bell', 'visual');
    const since = s.answered.length;
    await s.page.click('#settings-done');
    assert.equal(await option('cursorStyle'), 'bar');
    assert.equal(await option('cursorBlink'), false);
    assert.equal(await option('scrollback'), 500);
    // Written at once: the panel's changes do not wait (the zoom step goes with them).
    await s.waitForAnswered('set_page_settings', since);
    const stored = await s.host.call('get_page_settings');
    assert.deepEqual(
      [stored.term_cursor_style, stored.term_cursor_blink, stored.term_scrollback, stored.bell, stored.term_zoom, stored.term_font_family],
      ['bar', false, 500, 'visual', 1, `'${fonts[0]}', monospace`],
    );

    // Typing keeps the cursor still now, and a bell from the shell flashes the pane.
    await s.page.locator(`.terminal-pane[data-tab-id="${tab}"]`).click();
    await s.page.keyboard.type("printf 'ring\\a\\n'");
    await s.page.keyboard.press('Enter');
    await s.waitForScreen(tab, /^ring$/m);
    await s.page.waitForFunction((id) => window.Termiva.app.state.terminals.get(id).bells >= 1, tab, { timeout: 5000 });
    assert.equal(await option('cursorBlink'), false);

    // A page started again over the same settings starts with them.
    await s.page.reload();
    await s.page.waitForSelector('body[data-ready="true"]', { timeout: 10000 });
    await s.page.waitForFunction(() => window.Termiva.app.state.terminals.size === 1, null, { timeout: 5000 });
    const again = await s.activeTabId();
    const optionAgain = (name) => s.page.evaluate(([id, n]) => window.Termiva.app.state.terminals.get(id).term.options[n], [again, name]);
    assert.equal(await optionAgain('cursorStyle'), 'bar');
    assert.equal(await optionAgain('scrollback'), 500);
    assert.equal(await optionAgain('fontSize'), size + 1);
  });
});
