// How fast the page shows a local shell's output, and how quickly a keystroke comes back
// on screen: headless Chromium against a real termiva-host, as in the page tests.
//   node bench/web_page_bench.mjs      (TERMIVA_PROGRAM_DIR: the program folder to use)
// Prints: rendered MB/s for `cat` of a 50 MiB file, and the median keystroke echo in ms.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';

import { PageSession, missingPeer } from '../tests/web/support/page_harness.mjs';

const FILE_BYTES = Number(process.env.BENCH_MIB || 50) * 1024 * 1024;
const KEYSTROKES = 200;

function makeFile(file) {
  const line = (n) => `line ${String(n).padStart(8, '0')} ${'abcdefghijklmnopqrstuvwxyz0123456789'.repeat(2)} ${'-'.repeat(12)}\n`;
  const chunk = [];
  let size = 0;
  let n = 0;
  const fd = fs.openSync(file, 'w');
  while (size < FILE_BYTES) {
    const l = line(n++);
    chunk.push(l);
    size += l.length;
    if (chunk.length === 10000) {
      fs.writeSync(fd, chunk.join(''));
      chunk.length = 0;
    }
  }
  fs.writeSync(fd, chunk.join(''));
  fs.closeSync(fd);
  return { size, lines: n };
}

// Resolves in the page once a line reading `marker` has been parsed by the terminal.
function watchFor(s, tabId, marker) {
  return s.page.evaluate(
    ([id, text]) =>
      new Promise((resolve) => {
        const term = window.Termiva.app.state.terminals.get(id).term;
        const sub = term.onWriteParsed(() => {
          const b = term.buffer.active;
          for (let y = b.baseY + b.cursorY; y >= Math.max(0, b.baseY + b.cursorY - 3); y--) {
            const line = b.getLine(y);
            if (line && line.translateToString(true).trimEnd() === text) {
              sub.dispose();
              resolve(performance.now() - window.benchStarted);
              return;
            }
          }
        });
      }),
    [tabId, marker],
  );
}

async function main() {
  const missing = missingPeer();
  if (missing) {
    console.log(`web_page_bench: skipped (${missing})`);
    return;
  }
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'termiva-bench-'));
  const file = path.join(dir, 'big.txt');
  const { size: bytes, lines } = makeFile(file);
  const s = await PageSession.start({
    width: 1280,
    height: 720,
    sessions: [{ id: '0123456789abcdef0123456789abcdef', name: 'bench', protocol: 'conpty', conpty_shell: 'sh' }],
  });
  try {
    await s.page.locator('.session').dblclick();
    await s.page.waitForSelector('.tab[data-state="connected"]', { timeout: 10000 });
    const tabId = await s.activeTabId();
    await s.page.waitForTimeout(500);

    // Throughput: from Enter to the marker line after the file being parsed and drawn.
    await s.page.evaluate((id) => {
      // Count what reaches the widget: the program keeps at most 2,000,000 characters
      // per tab, so a producer faster than the page loses its oldest output.
      const term = window.Termiva.app.state.terminals.get(id).term;
      const write = term.write.bind(term);
      window.benchDelivered = 0;
      // Time spent waiting for drain_terminal answers, as opposed to parsing them.
      const relay = window.termivaTestBridge;
      window.benchPulls = { count: 0, ms: 0, chars: 0 };
      window.termivaTestBridge = async (text) => {
        const t0 = performance.now();
        const reply = await relay(text);
        if (text.includes('"drain_terminal"')) {
          window.benchPulls.count += 1;
          window.benchPulls.ms += performance.now() - t0;
          window.benchPulls.chars += reply.length;
        }
        return reply;
      };
      term.write = (data, cb) => {
        window.benchDelivered += typeof data === 'string' ? data.length : data.byteLength;
        return write(data, cb);
      };
    }, tabId);
    const done = watchFor(s, tabId, 'END-42');
    await s.page.keyboard.type(`cat ${file}; echo END-$((40+2))`);
    await s.page.evaluate(() => (window.benchStarted = performance.now()));
    await s.page.keyboard.press('Enter');
    const ms = await done;
    const delivered = await s.page.evaluate(() => window.benchDelivered);
    const pulls = await s.page.evaluate(() => window.benchPulls);
    // Output the page could not take in time is dropped by the program's per-tab cap, oldest
    // first. What the user can still see, the screen and the scrollback, must be the file's
    // last lines, complete and in order.
    const shown = await s.page.evaluate((id) => {
      const b = window.Termiva.app.state.terminals.get(id).term.buffer.active;
      const numbers = [];
      for (let y = 0; y < b.length; y++) {
        const m = /^line (\d{8}) /.exec(b.getLine(y).translateToString(true));
        if (m) numbers.push(Number(m[1]));
      }
      return numbers;
    }, tabId);
    const intact = shown.length > 1000 && shown[shown.length - 1] === lines - 1 &&
      shown.every((n, i) => i === 0 || n === shown[i - 1] + 1);
    console.log(
      `scrollback and screen: ${shown.length} file lines, ` +
        (intact ? 'the file\'s last lines, complete and in order' : 'NOT the file\'s last lines in order'),
    );
    if (!intact) process.exitCode = 1;
    const mib = (n) => n / 1048576;
    console.log(
      `cat ${mib(bytes).toFixed(1)} MiB: last byte on screen after ${(ms / 1000).toFixed(2)} s ` +
        `(${(mib(bytes) / (ms / 1000)).toFixed(1)} MiB/s of the file); ` +
        `xterm.js parsed ${mib(delivered).toFixed(1)} MiB of it (the rest was dropped by the per-tab ` +
        `cap or skipped by jump scroll: it would have scrolled out of the scrollback)`,
    );

    console.log(
      `${pulls.count} pulls carried ${mib(pulls.chars).toFixed(1)} MiB of answers and took ` +
        `${(pulls.ms / 1000).toFixed(2)} s of waiting in all`,
    );

    // Echo: one keystroke at a time through the page's own input path.
    await s.page.keyboard.type('clear');
    await s.page.keyboard.press('Enter');
    await s.page.waitForTimeout(500);
    const samples = await s.page.evaluate(
      async ([id, count]) => {
        const tab = window.Termiva.app.state.terminals.get(id);
        const term = tab.term;
        const out = [];
        const letters = 'abcdefghijklmnopqrstuvwxyz';
        let typed = '';
        for (let i = 0; i < count; i++) {
          if (typed.length >= 60) {
            tab.sendInput('\x15'); // Ctrl+U: start the line afresh
            typed = '';
            await new Promise((r) => setTimeout(r, 50));
          }
          const ch = letters[i % letters.length];
          typed += ch;
          const seen = new Promise((resolve, reject) => {
            const timer = setTimeout(() => {
              sub.dispose();
              const b = term.buffer.active;
              reject(new Error('no echo for ' + JSON.stringify(typed) + ', line: ' + JSON.stringify(b.getLine(b.baseY + b.cursorY).translateToString(true))));
            }, 3000);
            const sub = term.onWriteParsed(() => {
              const b = term.buffer.active;
              const line = b.getLine(b.baseY + b.cursorY).translateToString(true).trimEnd();
              if (line.endsWith(typed)) {
                clearTimeout(timer);
                sub.dispose();
                resolve();
              }
            });
          });
          const t0 = performance.now();
          tab.sendInput(ch);
          await seen;
          out.push(performance.now() - t0);
          await new Promise((r) => setTimeout(r, 5));
        }
        return out;
      },
      [tabId, KEYSTROKES],
    );
    samples.sort((a, b) => a - b);
    const median = samples[Math.floor(samples.length / 2)];
    const p90 = samples[Math.floor(samples.length * 0.9)];
    console.log(`keystroke echo over ${samples.length} keys: median ${median.toFixed(1)} ms, p90 ${p90.toFixed(1)} ms`);
  } finally {
    await s.close();
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
