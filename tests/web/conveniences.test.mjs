// The PuTTY import dialog and the about panel, in the page against a real termiva-host
// whose home holds sessions saved the way PuTTY saves them.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';

import { ARTIFACT_DIR, PROGRAM_DIR, PageSession, missingPeer, peersRequired } from './support/page_harness.mjs';

const missing = missingPeer();
if (missing && peersRequired()) throw new Error(`page tests need ${missing}`);
const skip = missing ? `skipped: ${missing}` : false;

const OWN = { id: '5a5a5a5a5a5a4a5a9a5a5a5a5a5a5a5a', name: 'Already here', protocol: 'raw', host: 'h', port: 7 };

describe('PuTTY import and the about panel', { skip }, () => {
  let s;
  let home;
  const savedHome = process.env.HOME;
  before(async () => {
    // The host reads ~/.putty/sessions of the home it inherits.
    home = fs.mkdtempSync(path.join(os.tmpdir(), 'termiva-home-'));
    const sessions = path.join(home, '.putty', 'sessions');
    fs.mkdirSync(sessions, { recursive: true });
    fs.writeFileSync(path.join(sessions, 'core%20router'), 'HostName=192.0.2.1\nProtocol=ssh\nPortNumber=2200\nUserName=ops\n');
    fs.writeFileSync(path.join(sessions, 'Lab%20console'), 'HostName=\nProtocol=serial\nSerialLine=/dev/ttyUSB0\nSerialSpeed=115200\n');
    fs.writeFileSync(path.join(sessions, '%E6%A9%9F%E6%88%BF'), 'HostName=10.0.0.9\nProtocol=telnet\nPortNumber=23\n');
    process.env.HOME = home;
    s = await PageSession.start({ sessions: [OWN], height: 760 });
  });
  after(async () => {
    process.env.HOME = savedHome;
    if (s) await s.close();
    if (home) fs.rmSync(home, { recursive: true, force: true });
  });

  it('lists PuTTY sessions ticked, imports the chosen ones and shows them in the list', async () => {
    await s.page.click('#import-putty');
    await s.page.waitForFunction(() => document.querySelectorAll('.import-row').length === 3);
    const names = await s.page.$$eval('.import-name', (els) => els.map((e) => e.textContent));
    assert.deepEqual(names, ['機房', 'Lab console', 'core router']);
    const details = await s.page.$$eval('.import-detail', (els) => els.map((e) => e.textContent));
    assert.deepEqual(details, ['telnet · 10.0.0.9:23', 'serial · /dev/ttyUSB0', 'ssh · ops@192.0.2.1:2200']);
    assert.equal(await s.page.$$eval('.import-row input:checked', (els) => els.length), 3);
    fs.mkdirSync(ARTIFACT_DIR, { recursive: true });
    await s.page.screenshot({ path: path.join(ARTIFACT_DIR, 'import-dialog.png') });

    await s.page.click('.import-tools button:nth-child(2)'); // none
    const submit = s.page.locator('#import-backdrop .button-primary');
    assert.equal(await submit.isDisabled(), true);
    await s.page.click('.import-tools button:nth-child(1)'); // all
    await s.page.locator('.import-label', { hasText: 'Lab console' }).locator('input').uncheck();
    assert.equal(await submit.textContent(), 'Import (2)');
    await submit.click();

    await s.page.waitForFunction(() => document.querySelectorAll('#session-list .session').length === 3);
    assert.equal(await s.page.isHidden('#import-backdrop'), true);
    const listed = await s.page.$$eval('#session-list .session', (els) => els.map((e) => e.textContent));
    assert.ok(listed[0].includes('Already here'));
    assert.ok(listed.some((t) => t.includes('core router')) && listed.some((t) => t.includes('機房')));
    const onDisk = JSON.parse(fs.readFileSync(path.join(s.dataDir, 'sessions.json'), 'utf8'));
    const stored = Array.isArray(onDisk) ? onDisk : onDisk.sessions;
    const router = stored.find((x) => x.name === 'core router');
    assert.equal(router.port, 2200);
    assert.equal(router.username, 'ops');
    assert.equal(stored.find((x) => x.name === '機房').protocol, 'telnet');
  });

  it('shows the logo, the version, the shortcuts and each notice on demand', async () => {
    await s.page.evaluate(() => {
      window.Termiva.shortcuts = [{ keys: 'Ctrl+W', label_key: 'tab.close' }];
    });
    await s.page.click('#about-open');
    await s.page.waitForSelector('.about-notice');
    const logo = await s.page.getAttribute('.about-logo', 'src');
    assert.match(logo, /^data:image\/png;base64,iVBORw0KGgo/);
    assert.match(await s.page.textContent('.about-version'), /^Version \d+\.\d+\.\d+$/);
    assert.equal(await s.page.textContent('.about-keys'), 'Ctrl+W');

    const folders = fs.readdirSync(PROGRAM_DIR).filter((n) => n.endsWith('.dist-info')).sort();
    const shown = await s.page.$$eval('.about-notice', (els) => els.map((e) => e.dataset.key));
    assert.equal(shown.length, folders.length);
    assert.deepEqual(shown, folders.map((n) => n.slice(0, -'.dist-info'.length)));

    const notice = (name) => {
      const folder = folders.find((n) => n.startsWith(name + '-') && /^\d/.test(n.slice(name.length + 1)));
      assert.ok(folder, `no notice folder for ${name}`);
      return s.page.locator(`.about-notice[data-key="${folder.slice(0, -'.dist-info'.length)}"]`);
    };
    const xterm = notice('xterm');
    await xterm.locator('summary').click();
    await xterm.locator('.about-notice-body').filter({ hasText: /\S/ }).waitFor({ timeout: 5000 });
    assert.match(await xterm.locator('.about-notice-body').textContent(), /Permission is hereby granted/);
    // A text's address opens through the program, never in the page itself.
    const libssh = notice('libssh');
    await libssh.locator('summary').click();
    await libssh.locator('.about-link').first().waitFor({ timeout: 5000 });
    const link = libssh.locator('.about-link').first();
    const before = s.bridgeCalls.length;
    await link.click();
    const deadline = Date.now() + 5000;
    while (!s.bridgeCalls.slice(before).some((c) => c.op === 'open_url') && Date.now() < deadline) {
      await new Promise((r) => setTimeout(r, 50));
    }
    assert.ok(s.bridgeCalls.slice(before).some((c) => c.op === 'open_url'), 'no open_url call');
    assert.match(s.page.url(), /index\.html$/);
    await s.page.screenshot({ path: path.join(ARTIFACT_DIR, 'about-panel.png') });
    // A notice's file name comes with a label in the interface's language.
    assert.match(await xterm.locator('.about-notice-file').textContent(), /^License file: LICENSE/);
    await s.page.evaluate(() => window.Termiva.i18n.setLanguage('zh-Hant'));
    await s.page.waitForFunction(() => /^授權檔案：/.test(document.querySelector('.about-notice-file').textContent));
    await s.page.evaluate(() => window.Termiva.i18n.setLanguage('en'));
    await s.page.evaluate(() => window.Termiva.app.about.closeButton.focus());
    await s.page.keyboard.press('Escape');
    assert.equal(await s.page.isHidden('#about-backdrop'), true);
  });
});
