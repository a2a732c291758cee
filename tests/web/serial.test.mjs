// A serial session as a user makes and uses it: the editor's serial fields and port
// suggestions, then a tab on a socat pty pair standing in for the cable, with the board's
// reset buttons on its toolbar.
import assert from 'node:assert/strict';
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { after, before, describe, it } from 'node:test';

import { PageSession, missingPeer, peersRequired } from './support/page_harness.mjs';

const socat = spawnSync('sh', ['-c', 'command -v socat']).stdout.toString().trim();
const missing = missingPeer() || (socat ? null : 'socat not installed');
if (missing && peersRequired()) throw new Error(`serial page tests need ${missing}`);
const skip = missing ? `skipped: ${missing}` : false;

async function until(check, what, timeoutMs = 5000) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const value = await check();
    if (value) return value;
    if (Date.now() > deadline) throw new Error(`timed out waiting for ${what}`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

describe('a serial session', { skip }, () => {
  let s;
  let cable;
  let dir;
  let board;
  before(async () => {
    dir = fs.mkdtempSync(path.join(os.tmpdir(), 'termiva-serial-page-'));
    const a = path.join(dir, 'ttyBoard');
    const b = path.join(dir, 'ttyTest');
    cable = spawn(socat, [`pty,raw,echo=0,link=${a}`, `pty,raw,echo=0,link=${b}`], { stdio: 'ignore' });
    await until(() => fs.existsSync(a) && fs.existsSync(b), 'the socat links');
    board = fs.openSync(b, fs.constants.O_RDWR | fs.constants.O_NOCTTY | fs.constants.O_NONBLOCK);
    s = await PageSession.start({ width: 1280, height: 720 });
  });
  after(async () => {
    if (s) await s.close();
    if (board !== undefined) fs.closeSync(board);
    if (cable) cable.kill('SIGKILL');
    fs.rmSync(dir, { recursive: true, force: true });
  });

  it('is made in the editor with its own fields and the ports the program finds', async () => {
    await s.page.click('#new-session');
    await s.page.selectOption('#field-protocol', 'serial');
    for (const key of ['host', 'port', 'serial_bits', 'serial_parity', 'serial_stop', 'serial_flow']) {
      assert.ok(await s.page.locator(`#field-${key}`).count(), `field ${key} shown`);
    }
    assert.equal(await s.page.inputValue('#field-port'), '115200');
    assert.equal(await s.page.inputValue('#field-serial_parity'), 'N');
    // The port suggestions are exactly the program's port list.
    const ports = await s.host.call('list_serial_ports');
    const suggested = await until(
      async () => {
        const values = await s.page.$$eval('#field-host-choices option', (o) => o.map((x) => x.value));
        return values.length === ports.length ? values : null;
      },
      'the port suggestions',
    );
    assert.deepEqual(suggested, ports.map((p) => p.by_id || p.device));
    const rates = await s.page.$$eval('#field-port-choices option', (o) => o.map((x) => x.value));
    assert.ok(rates.includes('921600') && rates.includes('74880'));

    await s.page.click('#editor-save');
    assert.equal(await s.page.locator('#editor-error').textContent(), 'Serial port is required.');
    await s.page.fill('#field-name', 'Devkit');
    await s.page.fill('#field-host', path.join(dir, 'ttyBoard'));
    await s.page.fill('#field-port', 'fast');
    await s.page.click('#editor-save');
    assert.equal(await s.page.locator('#editor-error').textContent(), 'The speed is a whole number of baud, such as 115200.');
    await s.page.fill('#field-port', '921600');
    await s.page.selectOption('#field-serial_parity', 'E');
    await s.page.selectOption('#field-serial_flow', 'R');
    assert.equal(await s.page.inputValue('#field-serial_line_ending'), 'cr');
    await s.page.selectOption('#field-serial_line_ending', 'crlf');
    await s.page.check('#field-serial_local_echo');
    await s.page.click('#editor-save');
    await s.page.waitForSelector('#editor-backdrop', { state: 'hidden' });
    const [saved] = (await s.host.call('get_initial_state')).sessions;
    assert.equal(saved.protocol, 'serial');
    assert.equal(saved.host, path.join(dir, 'ttyBoard'));
    assert.equal(saved.port, 921600);
    assert.equal(saved.serial_parity, 'E');
    assert.equal(saved.serial_flow, 'R');
    assert.equal(saved.serial_bits, '8');
    assert.equal(saved.serial_line_ending, 'crlf');
    assert.equal(saved.serial_local_echo, true);
    assert.equal(
      await s.page.locator('.session-meta').textContent(),
      `Serial port · ${path.join(dir, 'ttyBoard')} @ 921600`,
    );
  });

  it('opens on the port, shows the board, sends keys as set and offers the reset buttons', async () => {
    await s.page.locator('.session', { hasText: 'Devkit' }).dblclick();
    const tab = await until(() => s.activeTabId(), 'the tab');
    await s.page.waitForSelector(`.tab[data-id="${tab}"][data-state="connected"]`, { timeout: 10000 });
    await s.waitForScreen(tab, /--- Connected to .*ttyBoard @ 921600 ---/);
    assert.equal(await s.page.locator('#tab-esp').isHidden(), false);

    fs.writeSync(board, 'I (27) boot: ESP-IDF v5.2\r\n');
    await s.waitForScreen(tab, /I \(27\) boot: ESP-IDF v5\.2/);

    await s.page.locator('.xterm').first().click();
    // Enter sends the session's line ending, and what is typed shows (the board echoes
    // nothing).
    await s.page.keyboard.type('ping');
    await s.page.keyboard.press('Enter');
    let got = '';
    await until(() => {
      const buf = Buffer.alloc(64);
      try {
        const n = fs.readSync(board, buf, 0, 64, null);
        if (n > 0) got += buf.subarray(0, n).toString();
      } catch (err) {
        if (err.code !== 'EAGAIN') throw err;
      }
      return got.length >= 6;
    }, 'the keys on the cable');
    assert.equal(got, 'ping\r\n');
    await s.waitForScreen(tab, /ESP-IDF v5\.2\nping$/m);

    // A pseudo-terminal has no modem lines: each button's failure is said in the tab, in
    // red, naming the missing lines; nothing was sent to the board.
    const before = (await s.screenText(tab)).match(/could not be switched/g)?.length ?? 0;
    await s.page.click('#tab-esp-reset');
    // (A long line wraps: the check spans rows.)
    await s.waitForScreen(tab, /─── The board's lines could not be switched: [^─]*DTR\s*\/RTS/);
    await s.page.click('#tab-esp-boot');
    await until(
      async () => ((await s.screenText(tab)).match(/could not be switched/g)?.length ?? 0) === before + 2,
      'a second failure line for the download-mode button',
    );
    const red = await s.page.evaluate((id) => {
      const buffer = window.Termiva.app.state.terminals.get(id).term.buffer.active;
      for (let y = buffer.length - 1; y >= 0; y--) {
        const line = buffer.getLine(y);
        if (line.translateToString(true).includes('could not be switched')) return line.getCell(0).getFgColor();
      }
      return null;
    }, tab);
    assert.equal(red, 9, 'the failure is written in bright red');
  });
});

const simTty = process.env.TERMIVA_ESP_SIM_TTY || path.join(path.dirname(new URL(import.meta.url).pathname), '../../build/tests/esp_sim_tty');
const simMissing = fs.existsSync(simTty) ? null : `the simulated board ${simTty} is not built`;

describe('the firmware dialog', { skip: skip || (simMissing ? `skipped: ${simMissing}` : false) }, () => {
  let s;
  let cable;
  let sim;
  let dir;
  const images = {};
  before(async () => {
    dir = fs.mkdtempSync(path.join(os.tmpdir(), 'termiva-fw-page-'));
    const a = path.join(dir, 'ttyHost');
    const b = path.join(dir, 'ttyBoard');
    cable = spawn(socat, [`pty,raw,echo=0,link=${a}`, `pty,raw,echo=0,link=${b}`], { stdio: 'ignore' });
    await until(() => fs.existsSync(a) && fs.existsSync(b), 'the socat links');
    // The board also watches the host side's speed, so a flash at another speed must really
    // switch the tab's port.
    sim = spawn(simTty, [b, 'esp32s3', path.join(dir, 'flash.bin'), a], { stdio: ['ignore', 'pipe', 'inherit'] });
    await new Promise((resolve, reject) => {
      sim.stdout.on('data', (d) => String(d).includes('ready') && resolve());
      sim.on('exit', (code) => reject(new Error(`esp_sim_tty ended with ${code}`)));
    });
    for (const [name, size] of [['bootloader.bin', 9000], ['app.bin', 70000]]) {
      const bytes = Buffer.alloc(size);
      for (let i = 0; i < size; i++) bytes[i] = (i * 7 + size) & 0xff;
      fs.writeFileSync(path.join(dir, name), bytes);
      images[name] = bytes;
    }
    s = await PageSession.start({
      width: 1280,
      height: 800,
      sessions: [{ id: 'f1e2d3c4b5a69788796a5b4c3d2e1f00', name: 'Board', protocol: 'serial', host: a, port: 115200 }],
    });
  });
  after(async () => {
    if (s) await s.close();
    if (sim && sim.exitCode === null) sim.kill('SIGKILL');
    if (cable) cable.kill('SIGKILL');
    fs.rmSync(dir, { recursive: true, force: true });
  });

  it('fills its table from a build folder', async () => {
    await s.page.locator('.session', { hasText: 'Board' }).dblclick();
    const tab = await until(() => s.activeTabId(), 'the tab');
    await s.page.waitForSelector(`.tab[data-id="${tab}"][data-state="connected"]`, { timeout: 10000 });
    await s.page.click('#tab-esp-firmware');
    await s.page.waitForSelector('#fw-backdrop:not([hidden])');
    const build = path.join(dir, 'build');
    fs.mkdirSync(path.join(build, 'bootloader'), { recursive: true });
    fs.writeFileSync(path.join(build, 'bootloader', 'bootloader.bin'), Buffer.alloc(2048));
    fs.writeFileSync(path.join(build, 'hello.bin'), Buffer.alloc(4096));
    fs.writeFileSync(
      path.join(build, 'flasher_args.json'),
      JSON.stringify({ flash_files: { '0x10000': 'hello.bin', '0x0': 'bootloader/bootloader.bin' } }),
    );
    await s.page.evaluate((d) => window.Termiva.app.firmware.loadBuildDir(d), build);
    assert.deepEqual(
      await s.page.$$eval('[data-fw="files"] tr', (rows) => rows.map((r) => [r.dataset.fwFile, r.querySelector('input').value])),
      [['bootloader.bin', '0x0'], ['hello.bin', '0x10000']],
    );
    // A folder without the build's lists says so.
    await s.page.evaluate((d) => window.Termiva.app.firmware.loadBuildDir(d), dir);
    assert.match(await s.page.locator('[data-fw="result"]').textContent(), /no flasher_args\.json or flash_args/);
    await s.page.evaluate(() => {
      const fw = window.Termiva.app.firmware;
      fw.state().files = [];
      fw.state().result = null;
      fw.render();
    });
  });

  it('writes two images at their offsets and shows the job to its end', async () => {
    const tab = await s.activeTabId();
    const chips = await s.page.$$eval('[data-fw="chip"] option', (o) => o.map((x) => x.value));
    assert.equal(chips[0], 'auto');
    assert.ok(chips.includes('esp32s3'));
    assert.equal(await s.page.inputValue('[data-fw="iface"]'), 'auto');

    // No file chooser in the headless host: the files go in as a chosen list would.
    await s.page.evaluate(async (paths) => {
      const fw = window.Termiva.app.firmware;
      for (const p of paths) await fw.addFile(fw.state(), p);
      fw.render();
    }, [path.join(dir, 'bootloader.bin'), path.join(dir, 'app.bin')]);
    const boot = s.page.locator('tr[data-fw-file="bootloader.bin"]');
    const app = s.page.locator('tr[data-fw-file="app.bin"]');
    assert.equal(await boot.locator('input').inputValue(), '0x0');
    assert.equal(await boot.locator('td').nth(2).textContent(), '8.8 KiB');
    // An empty or unreadable offset is named, marked and given the keyboard; nothing starts.
    const dialogHeight = async () => (await s.page.locator('#fw-backdrop .dialog').boundingBox()).height;
    const height = await dialogHeight();
    await app.locator('input').fill('');
    await s.page.click('[data-fw="start"]');
    await s.page.waitForSelector('[data-fw="result"]:not([hidden])');
    assert.match(await s.page.textContent('[data-fw="result"]'), /^app\.bin has no flash offset\. Its name suggests 0x[0-9A-F]+\.$/);
    assert.equal(await app.locator('input.input-invalid').count(), 1);
    assert.equal(await app.locator('input').evaluate((i) => i === document.activeElement), true);
    assert.ok(await app.locator('input').getAttribute('placeholder'), 'the offset field shows a suggestion');
    await app.locator('input').fill('zz');
    await s.page.click('[data-fw="start"]');
    await s.page.waitForFunction(() => /“zz”, is not a number/.test(document.querySelector('[data-fw="result"]').textContent));
    assert.equal(s.bridgeCalls.filter((c) => c.op === 'esp_flash_start').length, 0);
    await app.locator('input').fill('0x10000');
    assert.equal(await app.locator('input.input-invalid').count(), 0);
    await s.page.selectOption('[data-fw="chip"]', 'esp32s3');
    await s.page.selectOption('[data-fw="iface"]', 'uart');
    assert.equal(await s.page.inputValue('[data-fw="baud"]'), '460800');
    assert.equal(await s.page.isChecked('[data-fw="verify"]'), true);
    await s.page.selectOption('[data-fw="baud"]', '921600');
    await s.page.click('[data-fw="start"]');

    // The transfer panel shows the same job while it runs: the tab's slot is taken.
    await until(
      () => s.page.evaluate((id) => {
        const st = window.Termiva.app.transfer.stateOf(id);
        return st.flashing && st.active;
      }, tab),
      'the transfer panel seeing the flash',
      30000,
    );
    assert.ok(await s.page.locator('#tab-transfer.tool-busy').count(), 'the transfer toggle shows a job running');

    const result = await until(async () => {
      const box = s.page.locator('[data-fw="result"]');
      return (await box.isVisible()) ? box.textContent() : null;
    }, 'the end of the job', 90000);
    assert.equal(result, 'Done: Done');
    assert.equal(await boot.locator('.fw-progress').textContent(), 'Written');
    assert.equal(await app.locator('.fw-progress').textContent(), 'Written');
    assert.ok((await s.page.locator('[data-fw="log"] div').count()) > 0, 'log lines shown');
    // The dialog kept its size through the job, and no log line runs past its edge.
    assert.equal(await dialogHeight(), height);
    const log = await s.page.locator('[data-fw="log"]').evaluate((l) => ({ scroll: l.scrollWidth, client: l.clientWidth }));
    assert.ok(log.scroll <= log.client, JSON.stringify(log));
    // What the job remembered in the session was not announced in the terminal.
    assert.doesNotMatch(await s.screenText(tab), /Connection settings/);
    assert.deepEqual(await s.host.call('esp_get_session_prefs', tab), {
      esp_interface: 'uart',
      esp_chip: 'esp32s3',
      esp_flash_baud: 921600,
      esp_verify: true,
      esp_flash_size: 0,
    });
    assert.ok(
      (await s.page.$$eval('[data-fw="log"] div', (d) => d.map((x) => x.textContent))).some((t) => t.startsWith('app.bin verified')),
      'the read-back is reported',
    );
    // The panel, opened once the dialog is closed, ends with the flash's end too.
    await s.page.evaluate(() => window.Termiva.app.firmware.close());
    await s.page.click('#tab-transfer');
    await s.page.waitForSelector('#xfer-panel:not([hidden])');
    assert.equal(await s.page.locator('[data-xfer="status"]').textContent(), 'Firmware flashed');
    assert.equal(await s.page.locator('[data-xfer="status"]').getAttribute('data-state'), 'done');
    await s.screenshot('transfer-panel-flash.png');

    const ended = new Promise((resolve) => sim.on('exit', resolve));
    sim.kill('SIGTERM');
    await ended;
    const flash = fs.readFileSync(path.join(dir, 'flash.bin'));
    assert.ok(flash.subarray(0, 9000).equals(images['bootloader.bin']), 'bootloader at 0x0');
    assert.ok(flash.subarray(0x10000, 0x10000 + 70000).equals(images['app.bin']), 'application at 0x10000');
  });
});
