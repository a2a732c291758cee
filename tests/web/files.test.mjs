// The file panel of an SSH-2 tab in a real browser against a real termiva-host and a real
// sshd: browsing by breadcrumb and double-click, sorting, new folder, rename and remove
// (a folder with files only after a second question), checked on the disk the server sees.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';

import { PageSession, missingPeer, peersRequired } from './support/page_harness.mjs';
import { Sshd, sshdMissing } from './support/sshd.mjs';

const missing = missingPeer() || sshdMissing();
if (missing && peersRequired()) throw new Error(`page tests need ${missing}`);
const skip = missing ? `skipped: ${missing}` : false;

const SHELL = { id: 'c1b2c3d4e5f60718293a4b5c6d7e8f90', name: 'Local', protocol: 'conpty', conpty_shell: 'sh' };

const rowNames = (s) => s.page.locator('#files-panel tbody tr').evaluateAll((rows) => rows.map((r) => r.dataset.name));

describe('the file panel of an SSH-2 tab', { skip }, () => {
  let s;
  let sshd;
  let remote; // the folder the test browses to, on this machine as the server sees it
  before(async () => {
    sshd = await Sshd.start(['Subsystem sftp internal-sftp']);
    remote = fs.mkdtempSync(path.join(os.tmpdir(), 'termiva-files-'));
    fs.writeFileSync(path.join(remote, 'a.bin'), Buffer.alloc(100));
    fs.writeFileSync(path.join(remote, 'b.txt'), Buffer.alloc(5000));
    fs.mkdirSync(path.join(remote, 'Ω資料', 'inner'), { recursive: true });
    fs.writeFileSync(path.join(remote, 'Ω資料', 'inner', 'deep.txt'), 'x');
    const ssh = { id: 'd1b2c3d4e5f60718293a4b5c6d7e8f90', name: 'Server', protocol: 'ssh', host: '127.0.0.1', port: sshd.port, username: Sshd.user(), private_key: sshd.clientKey };
    s = await PageSession.start({ width: 1400, height: 800, sessions: [SHELL, ssh] });
  });
  after(async () => {
    if (s) await s.close();
    if (sshd) sshd.stop();
    if (remote) fs.rmSync(remote, { recursive: true, force: true });
  });

  it('browses, sorts, makes, renames and removes on the server', async () => {
    await s.page.locator('.session', { hasText: 'Local' }).dblclick();
    await s.page.waitForFunction(() => window.Termiva.app.state.activeId !== null);
    assert.equal(await s.page.isHidden('#tab-files'), true, 'a local shell has no file panel');

    const shellId = await s.activeTabId();
    await s.page.locator('.session', { hasText: 'Server' }).dblclick();
    await s.page.waitForFunction((prev) => window.Termiva.app.state.activeId !== prev, shellId, { timeout: 5000 });
    const tabId = await s.activeTabId();
    await s.page.waitForSelector(`.tab[data-id="${tabId}"][data-state="connected"]`, { timeout: 15000 });
    await s.page.click('#tab-files');
    // It opens at the home folder, named by the breadcrumb's last part.
    const home = path.basename(os.homedir());
    await s.page.waitForSelector(`#files-panel .files-crumb:last-child:text-is("${home}")`, { timeout: 10000 });

    // Breadcrumb to the root, then double-clicks down to the test's folder.
    await s.page.click('#files-panel .files-crumb[data-path="/"]');
    for (const part of remote.split('/').filter(Boolean)) {
      await s.page.locator(`#files-panel tr[data-name="${part}"]`).dblclick();
      await s.page.waitForSelector(`#files-panel .files-crumb:last-child:text-is("${part}")`);
    }
    await s.page.waitForSelector('#files-panel tr[data-name="b.txt"]');
    assert.deepEqual(await rowNames(s), ['Ω資料', 'a.bin', 'b.txt'], 'folders first, then by name');
    await s.page.click('#files-panel th[data-files-sort="size"]');
    assert.deepEqual(await rowNames(s), ['Ω資料', 'b.txt', 'a.bin'], 'largest first');
    await s.page.click('#files-panel th[data-files-sort="name"]');

    await s.page.click('[data-files="mkdir"]');
    await s.page.fill('[data-files="name"]', 'new folder');
    await s.page.press('[data-files="name"]', 'Enter');
    await s.page.waitForSelector('#files-panel tr[data-name="new folder"]');
    assert.equal(fs.statSync(path.join(remote, 'new folder')).isDirectory(), true);

    await s.page.click('#files-panel tr[data-name="a.bin"]');
    await s.page.click('[data-files="rename"]');
    await s.page.fill('[data-files="name"]', 'renamed.bin');
    await s.page.click('[data-files="name-ok"]');
    await s.page.waitForSelector('#files-panel tr[data-name="renamed.bin"]');
    assert.deepEqual(fs.readdirSync(remote).sort(), ['b.txt', 'new folder', 'renamed.bin', 'Ω資料'].sort());

    await s.page.click('#files-panel tr[data-name="renamed.bin"]');
    await s.page.click('[data-files="remove"]');
    await s.page.click('#confirm-ok');
    await s.page.waitForSelector('#files-panel tr[data-name="renamed.bin"]', { state: 'detached' });
    assert.equal(fs.existsSync(path.join(remote, 'renamed.bin')), false);

    // A folder that holds files: nothing goes until the second question is answered.
    await s.page.click('#files-panel tr[data-name="Ω資料"]');
    await s.page.click('[data-files="remove"]');
    await s.page.click('#confirm-ok');
    await s.page.waitForSelector('#confirm-backdrop:not([hidden])');
    assert.match(await s.page.textContent('#confirm-text'), /not empty/);
    assert.equal(fs.existsSync(path.join(remote, 'Ω資料', 'inner', 'deep.txt')), true);
    await s.screenshot('files-panel.png');
    await s.page.click('#confirm-ok');
    await s.page.waitForSelector('#files-panel tr[data-name="Ω資料"]', { state: 'detached' });
    assert.equal(fs.existsSync(path.join(remote, 'Ω資料')), false);

    // Dropped files go up only when they fall on the panel.
    const local = path.join(s.tmp, 'dropped.txt');
    fs.writeFileSync(local, 'dropped');
    const uploads = () => s.bridgeCalls.filter((c) => c.op === 'sftp_upload');
    const terminal = await s.page.locator('#terminals').boundingBox();
    assert.equal(await s.page.evaluate(([p, x, y]) => window.termivaFilesDropped([p], x, y), [local, terminal.x + 50, terminal.y + 50]), false);
    const panel = await s.page.locator('#files-panel .files-list').boundingBox();
    assert.equal(await s.page.evaluate(([p, x, y]) => window.termivaFilesDropped([p], x, y), [local, panel.x + 40, panel.y + 40]), true);
    await s.page.waitForFunction(() => document.querySelector('[data-files="status"]').textContent !== '');
    assert.deepEqual(uploads().map((c) => c.args), [[tabId, [local], remote]]);

    // The other language.
    await s.page.click('.lang-option[data-lang="zh-Hant"]');
    await s.page.waitForSelector('[data-files="mkdir"]:text-is("新增資料夾")');
    await s.screenshot('files-panel-zh-Hant.png');
    await s.page.click('.lang-option[data-lang="en"]');
    assert.deepEqual(s.pageErrors, []);
  });
});
