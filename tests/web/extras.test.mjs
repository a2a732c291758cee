// What terminal users reach for, in a real browser against a real termiva-host: SSH
// forwarding rules and algorithm lists from the editor against a real sshd, find in a
// long scrollback, zoom reaching the shell's size, logging a tab to a file, and the
// reachability dots from the program's own prober.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import net from 'node:net';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';

import { PageSession, missingPeer, peersRequired } from './support/page_harness.mjs';
import { Sshd, freePort, sshdMissing } from './support/sshd.mjs';

const missing = missingPeer();
if (missing && peersRequired()) throw new Error(`page tests need ${missing}`);
const skip = missing ? `skipped: ${missing}` : false;
const noSshd = sshdMissing();
if (noSshd && peersRequired()) throw new Error(`page tests need ${noSshd}`);
const skipSsh = skip || (noSshd ? `skipped: ${noSshd}` : false);

const SHELL = { id: 'b1b2c3d4e5f60718293a4b5c6d7e8f90', name: 'Shell', protocol: 'conpty', conpty_shell: 'sh' };

async function openByName(s, name) {
  const before = await s.activeTabId();
  await s.page.locator('.session', { hasText: name }).first().dblclick();
  await s.page.waitForFunction((prev) => ![null, prev].includes(window.Termiva.app.state.activeId), before, { timeout: 5000 });
  return s.activeTabId();
}

async function waitConnected(s, tabId, timeout = 15000) {
  await s.page.waitForSelector(`.tab[data-id="${tabId}"][data-state="connected"]`, { timeout });
}

async function typeLine(s, text) {
  await s.page.waitForFunction(() => !!(document.activeElement && document.activeElement.closest('.xterm')), null, { timeout: 5000 });
  await s.page.keyboard.type(text);
  await s.page.keyboard.press('Enter');
}

// The shell has answered a marker command: everything before it has been drawn.
async function settle(s, tabId, label) {
  await typeLine(s, `echo ${label}-do''ne`);
  await s.waitForScreen(tabId, new RegExp(`^${label}-done`, 'm'));
}

// An echo server: what a connection sends comes back.
function echoServer() {
  return new Promise((resolve) => {
    const server = net.createServer((c) => c.pipe(c));
    server.listen(0, '127.0.0.1', () => resolve(server));
  });
}

function roundTrip(port, text, timeoutMs = 5000) {
  return new Promise((resolve, reject) => {
    const socket = net.connect({ port, host: '127.0.0.1' });
    let got = '';
    const timer = setTimeout(() => {
      socket.destroy();
      reject(new Error(`no echo through port ${port}; got ${JSON.stringify(got)}`));
    }, timeoutMs);
    socket.on('connect', () => socket.write(text));
    socket.on('data', (d) => {
      got += d.toString();
      if (got.length >= text.length) {
        clearTimeout(timer);
        socket.destroy();
        resolve(got);
      }
    });
    socket.on('error', (err) => {
      clearTimeout(timer);
      reject(err);
    });
  });
}

// Fills the SSH fields of the open editor.
async function fillSsh(s, name, sshd) {
  await s.page.fill('#field-name', name);
  await s.page.selectOption('#field-protocol', 'ssh');
  await s.page.fill('#field-host', '127.0.0.1');
  await s.page.fill('#field-port', String(sshd.port));
  await s.page.fill('#field-username', Sshd.user());
  await s.page.fill('#field-private_key', sshd.clientKey);
}

describe('SSH forwarding rules from the editor', { skip: skipSsh }, () => {
  let s;
  let sshd;
  let echo;
  before(async () => {
    sshd = await Sshd.start();
    echo = await echoServer();
    s = await PageSession.start();
  });
  after(async () => {
    if (s) await s.close();
    if (sshd) sshd.stop();
    if (echo) echo.close();
  });

  it('refuses a rule the connection could not read, then saves rules in the stored shape', async () => {
    const listen = await freePort();
    await s.page.click('#new-session');
    await fillSsh(s, 'Forwarder', sshd);
    await s.page.click('#field-port_forwards .fwd-add');
    const row = s.page.locator('#field-port_forwards .fwd-rule').last();
    await row.locator('.fwd-listen').fill('80x');
    await row.locator('.fwd-host').fill('127.0.0.1');
    await row.locator('.fwd-port').fill(String(echo.address().port));
    await s.page.click('#editor-save');
    await s.page.waitForSelector('#editor-error:not([hidden])');
    assert.match(await s.page.textContent('#editor-error'), /1 to 65535/);
    assert.equal((await s.host.call('get_initial_state')).sessions.length, 0);

    await row.locator('.fwd-listen').fill(String(listen));
    // A remote rule too: the server listens, this machine is the destination.
    await s.page.click('#field-port_forwards .fwd-add');
    const remote = s.page.locator('#field-port_forwards .fwd-rule').last();
    await remote.locator('.fwd-type').selectOption('R');
    const remotePort = await freePort();
    await remote.locator('.fwd-listen').fill(String(remotePort));
    await remote.locator('.fwd-host').fill('localhost');
    await remote.locator('.fwd-port').fill(String(echo.address().port));
    await s.page.click('#editor-save');
    await s.page.waitForSelector('#editor-backdrop', { state: 'hidden' });

    const stored = (await s.host.call('get_initial_state')).sessions[0];
    assert.deepEqual(stored.port_forwards, [
      { type: 'L', spec: `${listen}:127.0.0.1:${echo.address().port}` },
      { type: 'R', spec: `${remotePort}:localhost:${echo.address().port}` },
    ]);

    const tab = await openByName(s, 'Forwarder');
    await waitConnected(s, tab);
    // Both rules carry a connection: local port -> sshd -> echo, and server port -> us -> echo.
    assert.equal(await roundTrip(listen, 'through the local rule'), 'through the local rule');
    assert.equal(await roundTrip(remotePort, 'through the remote rule'), 'through the remote rule');
  });

  it('keeps a rule it cannot show and other fields untouched when saved again', async () => {
    const before = (await s.host.call('get_initial_state')).sessions[0];
    const odd = Object.assign({}, before, {
      port_forwards: before.port_forwards.concat([{ type: 'X', spec: '1080' }]),
      some_future_field: { kept: true },
    });
    // Saved the way the page saves (its list follows), as an import would leave it.
    await s.page.evaluate((rec) => window.Termiva.app.extras.api.saveSession(rec), odd);
    await s.page.locator('.session', { hasText: 'Forwarder' }).locator('[data-action="edit"]').click();
    await s.page.waitForSelector('#editor-backdrop:not([hidden])');
    assert.equal(await s.page.locator('#field-port_forwards .fwd-kept').count(), 1);
    await s.page.click('#editor-save');
    await s.page.waitForSelector('#editor-backdrop', { state: 'hidden' });
    const after = (await s.host.call('get_initial_state')).sessions[0];
    assert.deepEqual(after.port_forwards, odd.port_forwards);
    assert.deepEqual(after.some_future_field, { kept: true });
  });

  it('duplicates with the local ports left for the user, and a taken port fails in red', async () => {
    const original = (await s.host.call('get_initial_state')).sessions.find((x) => x.name === 'Forwarder');
    const takenPort = original.port_forwards[0].spec.split(':')[0];
    await s.page.locator('.session', { hasText: 'Forwarder' }).click({ button: 'right' });
    await s.page.click('.ctx-item[data-name="duplicate"]');
    await s.page.waitForSelector('#editor-backdrop:not([hidden])');
    assert.equal(await s.page.textContent('#editor-title'), 'New session');
    assert.equal(await s.page.inputValue('#field-name'), 'Forwarder (copy)');
    assert.match(await s.page.textContent('#editor-error'), /local ports of its own/);
    const rows = s.page.locator('#field-port_forwards .fwd-rule');
    assert.equal(await rows.nth(0).locator('.fwd-listen').inputValue(), '', 'the L rule waits for a port');
    assert.notEqual(await rows.nth(1).locator('.fwd-listen').inputValue(), '', 'the R rule keeps its server port');
    assert.equal((await s.host.call('get_initial_state')).sessions.length, 1, 'nothing saved yet');

    // Escape on a form with changes asks; Cancel goes back to the form as it was.
    await s.page.keyboard.press('Escape');
    await s.page.waitForSelector('#confirm-backdrop:not([hidden])');
    assert.equal(await s.page.textContent('#confirm-ok'), 'Discard');
    await s.page.click('#confirm-cancel');
    assert.equal(await s.page.isVisible('#editor-backdrop'), true);

    const fresh = await freePort();
    await rows.nth(0).locator('.fwd-listen').fill(String(fresh));
    await s.page.click('#editor-save');
    await s.page.waitForSelector('#editor-backdrop', { state: 'hidden' });
    const sessions = (await s.host.call('get_initial_state')).sessions;
    assert.equal(sessions.length, 2);
    assert.equal(sessions[0].port_forwards[0].spec, original.port_forwards[0].spec, 'the original keeps its rule');
    assert.equal(sessions[1].port_forwards[0].spec.split(':')[0], String(fresh));

    // A copy saved with the original's port (as an older page made them) fails that rule
    // while the original listens, and says so as a failure.
    const clash = Object.assign({}, original, { name: 'Clash' });
    delete clash.id;
    clash.port_forwards = [original.port_forwards[0]];
    await s.page.evaluate((rec) => window.Termiva.app.extras.api.saveSession(rec), clash);
    const tab = await openByName(s, 'Clash');
    const text = await s.waitForScreen(tab, new RegExp(`Failed to set forwarding rule L${takenPort}:`));
    assert.ok(text);
    const colour = await s.page.evaluate((id) => {
      const buffer = window.Termiva.app.state.terminals.get(id).term.buffer.active;
      for (let y = 0; y < buffer.length; y++) {
        const line = buffer.getLine(y);
        if (line.translateToString(true).startsWith('Failed to set forwarding rule')) return line.getCell(0).getFgColor();
      }
      return null;
    }, tab);
    assert.equal(colour, 9, 'written in bright red');
  });

  it('checks a dynamic rule and the jump hosts before saving, and connects through them', async () => {
    const socks = await freePort();
    await s.page.click('#new-session');
    await fillSsh(s, 'Socks', sshd);
    await s.page.click('#field-port_forwards .fwd-add');
    const row = s.page.locator('#field-port_forwards .fwd-rule').last();
    await row.locator('.fwd-type').selectOption('D');
    assert.equal(await row.locator('.fwd-host').isDisabled(), true, 'a dynamic rule has no destination');
    await row.locator('.fwd-listen').fill('127.0.0.1:x');
    await s.page.click('#editor-save');
    await s.page.waitForSelector('#editor-error:not([hidden])');
    assert.match(await s.page.textContent('#editor-error'), /\[address:\]port/);
    await row.locator('.fwd-listen').fill(`127.0.0.1:${socks}`);
    await s.page.fill('#field-proxy_jump', 'ops@bastion:2200, fe80::1');
    await s.page.click('#editor-save');
    await s.page.waitForFunction(() => /“fe80::1”/.test(document.querySelector('#editor-error').textContent));
    await s.page.fill('#field-proxy_jump', `localhost:${sshd.port}`);
    await s.page.click('#editor-save');
    await s.page.waitForSelector('#editor-backdrop', { state: 'hidden' });
    const stored = (await s.host.call('get_initial_state')).sessions.find((x) => x.name === 'Socks');
    assert.deepEqual(stored.port_forwards, [{ type: 'D', spec: `127.0.0.1:${socks}` }]);
    assert.equal(stored.proxy_jump, `localhost:${sshd.port}`);

    const tab = await openByName(s, 'Socks');
    await waitConnected(s, tab);
    assert.ok(await s.waitForScreen(tab, new RegExp(`localhost:${sshd.port}.*SHA256:`)), 'the jump host key was recorded and shown');
  });
});

describe('SSH algorithm lists from the editor', { skip: skipSsh }, () => {
  let s;
  let sshd;
  before(async () => {
    // A server of an old device: only what modern defaults no longer offer.
    sshd = await Sshd.start(['Ciphers aes128-cbc', 'KexAlgorithms diffie-hellman-group14-sha1']);
    s = await PageSession.start();
  });
  after(async () => {
    if (s) await s.close();
    if (sshd) sshd.stop();
  });

  // Custom order on; only `names` ticked, in that order at the top.
  async function chooseOnly(field, names) {
    const box = s.page.locator(`#field-${field}`);
    await box.locator('.alg-custom').check();
    for (const check of await box.locator('.alg-on').all()) await check.uncheck();
    for (const name of names.slice().reverse()) {
      const item = box.locator(`.alg-item[data-name="${name}"]`);
      await item.locator('.alg-on').check();
      // Up to the top, one step at a time as a user would.
      while ((await box.locator('.alg-item').first().getAttribute('data-name')) !== name) await item.locator('.alg-up').click();
    }
  }

  it('connects to the old server only once the lists are saved and reach the connection', async () => {
    await s.page.click('#new-session');
    await fillSsh(s, 'Old device', sshd);
    await s.page.click('#editor-save');
    await s.page.waitForSelector('#editor-backdrop', { state: 'hidden' });
    let tab = await openByName(s, 'Old device');
    await s.waitForScreen(tab, /Connection failed/);
    await s.page.click(`.tab[data-id="${tab}"] .tab-close`);
    await s.page.waitForFunction((id) => !window.Termiva.app.state.terminals.has(id), tab);

    await s.page.locator('.session', { hasText: 'Old device' }).locator('[data-action="edit"]').click();
    await s.page.waitForSelector('#editor-backdrop:not([hidden])');
    await chooseOnly('ssh_kex', ['diffie-hellman-group14-sha1', 'curve25519-sha256']);
    await chooseOnly('ssh_ciphers', ['aes128-cbc']);
    // An own order starts as the order offered, every entry ticked.
    await s.page.locator('#field-ssh_macs .alg-custom').check();
    const macs = s.page.locator('#field-ssh_macs .alg-on');
    assert.ok((await macs.count()) > 2);
    assert.equal(await s.page.locator('#field-ssh_macs .alg-on:checked').count(), await macs.count());
    // A list with nothing ticked is refused; the error goes once that is undone.
    for (const check of await macs.all()) await check.uncheck();
    await s.page.click('#editor-save');
    await s.page.waitForSelector('#editor-error:not([hidden])');
    await s.page.locator('#field-ssh_macs .alg-custom').uncheck();
    assert.equal(await s.page.isHidden('#editor-error'), true);
    await s.page.click('.bug-details summary');
    await s.page.locator('#field-bug-rekey2').selectOption('on');
    await s.page.click('#editor-save');
    await s.page.waitForSelector('#editor-backdrop', { state: 'hidden' });

    const stored = (await s.host.call('get_initial_state')).sessions[0];
    assert.deepEqual(stored.ssh_kex, ['diffie-hellman-group14-sha1', 'curve25519-sha256']);
    assert.deepEqual(stored.ssh_ciphers, ['aes128-cbc']);
    assert.equal(stored.ssh_macs, undefined);
    assert.deepEqual(stored.ssh_bugs, { rekey2: 'on' });

    tab = await openByName(s, 'Old device');
    await waitConnected(s, tab);
    await typeLine(s, "echo old''-device-ok");
    await s.waitForScreen(tab, /^old-device-ok/m);
  });
});

describe('find, zoom and the menus in a local shell', { skip }, () => {
  let s;
  let tab;
  before(async () => {
    s = await PageSession.start({ sessions: [SHELL] });
    tab = await openByName(s, 'Shell');
    await waitConnected(s, tab);
  });
  after(async () => {
    if (s) await s.close();
  });

  const count = () => s.page.evaluate(() => {
    const c = document.querySelector('.find-count');
    return { count: Number(c.dataset.count), index: Number(c.dataset.index), text: c.textContent };
  });

  it('finds and counts matches in a scrollback of 10,000 lines', async () => {
    await typeLine(s, "seq -f 'row %g mark''er' 1 10000");
    await s.waitForDrawn(tab, /row 10000 marker/, 20000);
    await settle(s, tab, 'seq');
    await s.page.keyboard.press('Control+Shift+F');
    await s.page.waitForSelector('.find-bar:not([hidden])');
    await s.page.keyboard.type('marker');
    await s.page.waitForFunction(() => document.querySelector('.find-count').dataset.count === '10000', null, { timeout: 20000 });
    assert.equal(await s.page.evaluate((id) => window.Termiva.app.state.terminals.get(id).term.getSelection(), tab), 'marker');
    assert.ok((await s.page.locator('.xterm-decoration-container .xterm-decoration').count()) > 0, 'matches are highlighted');
    const first = await count();
    await s.page.keyboard.press('Enter');
    await s.page.waitForFunction((i) => Number(document.querySelector('.find-count').dataset.index) !== i, first.index);
    const second = await count();
    await s.page.keyboard.press('Shift+Enter');
    await s.page.waitForFunction((i) => Number(document.querySelector('.find-count').dataset.index) !== i, second.index);
    assert.equal((await count()).index, first.index);

    // Case: the upper-case word is not there.
    await s.page.fill('.find-input', 'MARKER');
    await s.page.click('.find-toggle[data-key="find.case"]');
    await s.page.waitForFunction(() => document.querySelector('.find-count').dataset.count === '0');
    assert.match((await count()).text, /No matches/);
    await s.page.click('.find-toggle[data-key="find.case"]');
    // Regular expression: rows 9900, 9910 … 9990.
    await s.page.click('.find-toggle[data-key="find.regex"]');
    await s.page.fill('.find-input', 'row 99\\d0 marker');
    await s.page.waitForFunction(() => document.querySelector('.find-count').dataset.count === '10');
    await s.page.keyboard.press('Escape');
    await s.page.waitForSelector('.find-bar', { state: 'hidden' });
    await s.page.waitForFunction(() => document.querySelectorAll('.xterm-decoration-container .xterm-decoration').length === 0);
  });

  it('zooms the window with Ctrl+= / Ctrl+- / Ctrl+0 and the shell gets the new size', async () => {
    await typeLine(s, 'clear');
    const base = await s.terminalSize(tab);
    const baseFont = await s.page.evaluate((id) => window.Termiva.app.state.terminals.get(id).term.options.fontSize, tab);
    const since = s.answered.length;
    await s.page.keyboard.press('Control+Equal');
    await s.page.keyboard.press('Control+Equal');
    await s.page.keyboard.press('Control+Equal');
    await s.page.waitForFunction(([id, f]) => window.Termiva.app.state.terminals.get(id).term.options.fontSize === f + 3, [tab, baseFont]);
    await s.waitForFitted(tab);
    const zoomed = await s.terminalSize(tab);
    assert.ok(zoomed.cols < base.cols && zoomed.rows <= base.rows, JSON.stringify({ base, zoomed }));
    await typeLine(s, 'stty size');
    await s.waitForScreen(tab, new RegExp(`^${zoomed.rows} ${zoomed.cols}$`, 'm'));
    // Remembered in the settings file under our key.
    await s.waitForAnswered('set_page_settings', since, 5000);
    const settings = JSON.parse(fs.readFileSync(path.join(s.dataDir, 'settings.json'), 'utf8'));
    assert.equal(settings.term_zoom, 3);

    await s.page.keyboard.press('Control+Minus');
    await s.page.waitForFunction(([id, f]) => window.Termiva.app.state.terminals.get(id).term.options.fontSize === f + 2, [tab, baseFont]);
    await s.page.keyboard.press('Control+0');
    await s.page.waitForFunction(([id, f]) => window.Termiva.app.state.terminals.get(id).term.options.fontSize === f, [tab, baseFont]);
    await s.waitForFitted(tab);
    assert.deepEqual(await s.terminalSize(tab), base);
    await typeLine(s, 'clear; stty size');
    await s.waitForScreen(tab, new RegExp(`^${base.rows} ${base.cols}$`, 'm'));
  });

  it('sets the font in the settings panel and keeps it for the next start', async () => {
    await s.page.click('#open-settings');
    await s.page.waitForSelector('#settings-backdrop:not([hidden])');
    await s.page.fill('#settings-font-size', '18');
    await s.page.check('#settings-copy-on-select');
    const since = s.answered.length;
    await s.page.click('#settings-done');
    await s.page.waitForFunction((id) => window.Termiva.app.state.terminals.get(id).term.options.fontSize === 18, tab);
    await s.waitForAnswered('set_page_settings', since, 5000);
    const settings = await s.host.call('get_page_settings');
    assert.equal(settings.term_font_size, 18);
    assert.equal(settings.copy_on_select, true);
    // Keys the page may not write are refused.
    const answer = await s.host.call('set_page_settings', { language: 'zh-Hant', term_font_size: 500 });
    assert.equal(answer.settings.term_font_size, 18);
    assert.equal((await s.host.call('get_initial_state')).language, 'en');
  });

  it('offers copy, paste, select all, clear and find on a right click', async () => {
    await typeLine(s, 'clear; echo menu-te""st');
    await s.waitForDrawn(tab, /^menu-test/m);
    await s.page.click(`.terminal-pane[data-tab-id="${tab}"] .xterm-screen`, { button: 'right' });
    await s.page.waitForSelector('.ctx-menu:not([hidden])');
    const names = await s.page.locator('.ctx-menu .ctx-item').evaluateAll((items) => items.map((i) => i.dataset.name));
    assert.deepEqual(names, ['copy', 'paste', 'select_all', 'clear', 'find']);
    assert.equal(await s.page.locator('.ctx-item[data-name="copy"]').isDisabled(), true);
    await s.page.click('.ctx-item[data-name="select_all"]');
    assert.match(await s.page.evaluate((id) => window.Termiva.app.state.terminals.get(id).term.getSelection(), tab), /menu-test/);
    await s.page.click(`.terminal-pane[data-tab-id="${tab}"] .xterm-screen`, { button: 'right' });
    await s.page.click('.ctx-item[data-name="clear"]');
    await s.page.waitForFunction((id) => window.Termiva.app.state.terminals.get(id).term.buffer.active.length === window.Termiva.app.state.terminals.get(id).term.rows, tab);
  });

  it('duplicates a session, and filters the list once it is long', async () => {
    await s.page.locator('.session', { hasText: 'Shell' }).first().click({ button: 'right' });
    const items = await s.page.locator('.ctx-menu .ctx-item').evaluateAll((all) => all.map((i) => i.dataset.name));
    assert.deepEqual(items, ['open', 'edit', 'duplicate', 'delete']);
    await s.page.click('.ctx-item[data-name="duplicate"]');
    await s.page.waitForFunction(() => document.querySelectorAll('.session').length === 2);
    const stored = (await s.host.call('get_initial_state')).sessions;
    assert.equal(stored[1].name, 'Shell (copy)');
    assert.notEqual(stored[1].id, stored[0].id);
    assert.equal(stored[1].conpty_shell, 'sh');
    assert.equal(await s.page.locator('#session-filter').isHidden(), true, 'no filter over two sessions');
    for (const name of ['alpha router', 'beta switch', 'gamma board']) {
      await s.page.evaluate((n) => window.Termiva.app.extras.api.saveSession({ name: n, protocol: 'raw', host: n.split(' ')[1], port: 23 }), name);
    }
    await s.page.waitForSelector('#session-filter:not([hidden])');
    await s.page.fill('#session-filter', 'copy');
    await s.page.waitForFunction(() => document.querySelectorAll('.session').length === 1);
    assert.equal(await s.page.locator('.session-name').textContent(), 'Shell (copy)');
    // Words match anywhere (name, protocol, host), in any case.
    await s.page.fill('#session-filter', 'RAW sw');
    await s.page.waitForFunction(() => document.querySelectorAll('.session').length === 1);
    assert.equal(await s.page.locator('.session-name').textContent(), 'beta switch');
    await s.page.fill('#session-filter', '');
    await s.page.waitForFunction(() => document.querySelectorAll('.session').length === 5);
  });

  it('lists the keyboard shortcuts for the About panel', async () => {
    const shortcuts = await s.page.evaluate(() => window.Termiva.shortcuts.map((x) => [x.keys, x.label]));
    assert.ok(shortcuts.some(([keys, label]) => keys === 'Ctrl+Shift+F' && /Find/.test(label)));
    assert.ok(shortcuts.every(([, label]) => label && !/^shortcut\./.test(label)));
  });

  it('reports no page errors', () => {
    assert.deepEqual(s.pageErrors, []);
  });
});

describe('the tab title from the peer', { skip }, () => {
  let s;
  after(async () => {
    if (s) await s.close();
  });

  it('follows OSC 0/2 only when the session asks for it', async () => {
    s = await PageSession.start({
      sessions: [SHELL, Object.assign({}, SHELL, { id: 'c1b2c3d4e5f60718293a4b5c6d7e8f90', name: 'Titled', title_from_terminal: true })],
    });
    const plain = await openByName(s, 'Shell');
    await waitConnected(s, plain);
    await typeLine(s, "printf '\\033]0;peer-title\\007'; echo t1-do''ne");
    await s.waitForScreen(plain, /^t1-done/m);
    assert.equal(await s.page.locator(`.tab[data-id="${plain}"] .tab-caption`).textContent(), 'Shell');
    const titled = await openByName(s, 'Titled');
    await waitConnected(s, titled);
    await typeLine(s, "printf '\\033]2;peer-title\\007'");
    await s.page.waitForFunction((id) => document.querySelector(`.tab[data-id="${id}"] .tab-caption`).textContent === 'peer-title', titled);
  });
});

// A hyperlink the peer prints (OSC 8) used to open through xterm.js's own confirm() and
// window.open, past the program's address check.
describe('links the peer prints with OSC 8', { skip }, () => {
  let s;
  after(async () => {
    if (s) await s.close();
  });

  it('open only through open_url, never with a prompt or a window of the page', async () => {
    s = await PageSession.start({ sessions: [SHELL] });
    const tab = await openByName(s, 'Shell');
    await waitConnected(s, tab);
    let dialogs = 0;
    s.page.on('dialog', async (d) => {
      dialogs += 1;
      await d.dismiss();
    });
    const target = 'javascript:alert(8)';
    await typeLine(s, `printf '\\033]8;;${target}\\033\\\\osc-eight\\033]8;;\\033\\\\\\n'; echo o8-do''ne`);
    await s.waitForScreen(tab, /^osc-eight$/m);
    await s.waitForScreen(tab, /^o8-done/m);
    const row = s.page.locator(`.terminal-pane[data-tab-id="${tab}"] .xterm-rows > div`, { hasText: /^osc-eight\s*$/ }).last();
    const box = await row.boundingBox();
    assert.ok(box, 'the link is not on screen');
    const before = s.bridgeCalls.length;
    await s.page.mouse.move(box.x + 5, box.y + box.height / 2);
    await s.page.mouse.move(box.x + 10, box.y + box.height / 2);
    // A plain click selects text unless the settings hand it to links: Ctrl+click opens.
    await s.page.keyboard.down('Control');
    await s.page.mouse.click(box.x + 10, box.y + box.height / 2);
    await s.page.keyboard.up('Control');
    const opened = () => s.bridgeCalls.slice(before).find((c) => c.op === 'open_url');
    const deadline = Date.now() + 5000;
    while (!opened() && Date.now() < deadline) await new Promise((r) => setTimeout(r, 50));
    assert.ok(opened(), 'the click never reached open_url');
    assert.deepEqual(opened().args, [target]);
    assert.equal(dialogs, 0);
    assert.match(s.page.url(), /index\.html$/);
  });
});

// The log is what the page was given from the moment logging started to the moment it
// stopped: one stretch of the drained text, with at most a prompt's worth of the same line
// on either side (the shell's prompt may arrive just before the start or after the stop).
function assertLogged(logged, drainedSince) {
  const at = drainedSince.indexOf(logged);
  assert.ok(logged.length > 0 && at >= 0, `the log is not a stretch of what the page was given (${logged.length} bytes logged)`);
  assert.doesNotMatch(drainedSince.slice(0, at), /\n/, 'lines missing at the start of the log');
  assert.doesNotMatch(drainedSince.slice(at + logged.length), /\n/, 'lines missing at the end of the log');
}

// The log file without its time stamps, checking that each line has one.
function unstamped(text) {
  const stamp = /^\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}\] /;
  let out = '';
  for (const line of text.split(/(?<=\n)/)) {
    assert.match(line, stamp, `a line without its time stamp: ${JSON.stringify(line.slice(0, 80))}`);
    out += line.replace(stamp, '');
  }
  return out;
}

describe('logging a tab to a file', { skip }, () => {
  let s;
  let tab;
  before(async () => {
    s = await PageSession.start({ sessions: [SHELL] });
    tab = await openByName(s, 'Shell');
    await waitConnected(s, tab);
    await settle(s, tab, 'ready');
  });
  after(async () => {
    if (s) await s.close();
  });

  async function startLog(timestamps, file) {
    await s.page.click(`.tab[data-id="${tab}"]`, { button: 'right' });
    await s.page.click('.ctx-item[data-name="log_start"]');
    await s.page.waitForSelector('#log-backdrop:not([hidden])');
    await s.page.fill('#log-path', file || '');
    if (timestamps) await s.page.check('#log-timestamps');
    else await s.page.uncheck('#log-timestamps');
    await s.page.click('#log-start');
    await s.page.waitForSelector(`.tab[data-id="${tab}"] .tab-log-mark`);
    return (await s.host.call('tab_log_status', tab)).path;
  }

  async function stopLog() {
    await s.page.click(`.tab[data-id="${tab}"]`, { button: 'right' });
    await s.page.click('.ctx-item[data-name="log_stop"]');
    await s.page.waitForSelector(`.tab[data-id="${tab}"] .tab-log-mark`, { state: 'detached' });
    assert.equal((await s.host.call('tab_log_status', tab)).logging, false);
  }

  it('writes exactly what the page was given, also while the page is hidden', async () => {
    const from = (s.drained.get(tab) || '').length;
    const file = await startLog(false);
    assert.equal(path.dirname(file), path.join(s.dataDir, 'logs'));
    await typeLine(s, "printf 'caf\\303\\251 \\344\\270\\255\\346\\226\\207\\r\\n'; seq 1 500");
    await s.waitForScreen(tab, /^500$/m);
    // The page hidden and pulling nothing: the program writes every line all the same (the
    // file is complete before the page has seen any of it).
    await s.page.evaluate(() => {
      Object.defineProperty(document, 'hidden', { configurable: true, get: () => true });
      document.dispatchEvent(new Event('visibilitychange'));
    });
    s.holdDrains();
    await s.host.call('send_input', tab, "seq 1 30000; echo hidden-e''nd\n");
    const deadline = Date.now() + 20000;
    while (!/hidden-end/.test(fs.readFileSync(file, 'utf8'))) {
      assert.ok(Date.now() < deadline, 'the program did not log while the page was away');
      await new Promise((r) => setTimeout(r, 50));
    }
    s.releaseDrains();
    await s.page.evaluate(() => {
      delete document.hidden;
      document.dispatchEvent(new Event('visibilitychange'));
    });
    await s.waitForScreen(tab, /^hidden-end/m, 20000);
    await settle(s, tab, 'log1');
    await stopLog();
    const logged = fs.readFileSync(file, 'utf8');
    assertLogged(logged, (s.drained.get(tab) || '').slice(from));
    assert.match(logged, /café 中文/);
    assert.match(logged, /\n30000\r\n/);
  });

  it('stamps each line with the time when asked, to a chosen file', async () => {
    const chosen = path.join(s.tmp, 'chosen', 'tab.log');
    const from = (s.drained.get(tab) || '').length;
    const file = await startLog(true, chosen);
    assert.equal(file, chosen);
    await typeLine(s, 'seq 1 200');
    await s.waitForScreen(tab, /^200$/m);
    await settle(s, tab, 'log2');
    await stopLog();
    assertLogged(unstamped(fs.readFileSync(chosen, 'utf8')), (s.drained.get(tab) || '').slice(from));
  });

  it('reports no page errors', () => {
    assert.deepEqual(s.pageErrors, []);
  });
});

describe('reachability dots from the program', { skip }, () => {
  let s;
  let listening;
  after(async () => {
    if (s) await s.close();
    if (listening) listening.close();
  });

  it('lights online and offline within one round, and after a save', async () => {
    // SSH sessions: the loopback answers an ICMP echo where the system allows one and its
    // listening port a TCP connect where it does not; a name that does not resolve answers
    // neither. (Other protocols are never connected to: without ICMP they stay unknown.)
    listening = net.createServer((c) => c.destroy());
    await new Promise((r) => listening.listen(0, '127.0.0.1', r));
    const sessions = [
      { id: 'd0000000000000000000000000000001', name: 'Up', protocol: 'ssh', host: '127.0.0.1', port: listening.address().port },
      { id: 'd0000000000000000000000000000002', name: 'Down', protocol: 'ssh', host: 'no-such-host.invalid', port: 22 },
      { id: 'd0000000000000000000000000000003', name: 'Board here', protocol: 'serial', host: '/dev/null', port: 115200 },
      { id: 'd0000000000000000000000000000004', name: 'Board gone', protocol: 'serial', host: '/dev/ttyTERMIVAGONE', port: 115200 },
      SHELL,
    ];
    s = await PageSession.start({ sessions, reachability: true });
    const status = (name) => s.page.locator('.session', { hasText: name }).first().getAttribute('data-status');
    await s.page.waitForFunction(() => document.querySelectorAll('.session[data-status="online"]').length === 2, null, { timeout: 8000 });
    await s.page.waitForFunction(() => document.querySelectorAll('.session[data-status="offline"]').length === 2, null, { timeout: 8000 });
    assert.equal(await status('Up'), 'online');
    assert.equal(await status('Down'), 'offline');
    assert.equal(await status('Board here'), 'online');
    assert.equal(await status('Board gone'), 'offline');
    assert.equal(await status('Shell'), 'unknown');

    // The unreachable session now names a host that answers, and is saved: the next round
    // follows.
    const down = (await s.host.call('get_initial_state')).sessions.find((x) => x.name === 'Down');
    await s.page.evaluate((rec) => window.Termiva.bridge.call('save_session', rec),
      Object.assign({}, down, { host: '127.0.0.1', port: listening.address().port }));
    await s.page.waitForFunction(() => document.querySelectorAll('.session[data-status="online"]').length === 3, null, { timeout: 8000 });
    await s.screenshot('reachability-dots.png');
  });
});
