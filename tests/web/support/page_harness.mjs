// The page in headless Chromium, wired to a real termiva-host: the page's bridge module
// finds the binding `termivaTestBridge` and its calls travel to the host; the host's
// calls into the page are replayed with page.evaluate, in order.
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';
import { fileURLToPath } from 'node:url';

import { HostRelay } from './host_relay.mjs';

const here = path.dirname(fileURLToPath(import.meta.url));
export const SOURCE_DIR = path.resolve(here, '../../..');
const require = createRequire(path.join(SOURCE_DIR, 'web', 'package.json'));

export const CHROMIUM = process.env.TERMIVA_CHROMIUM || '/usr/bin/chromium';
export const PROGRAM_DIR = process.env.TERMIVA_PROGRAM_DIR || path.join(SOURCE_DIR, 'build', 'termiva');
export const ARTIFACT_DIR = process.env.TERMIVA_ARTIFACT_DIR || path.join(SOURCE_DIR, 'build', 'web-artifacts');

const CHROMIUM_ARGS = [
  '--no-sandbox',
  '--disable-gpu',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
  '--no-first-run',
  '--disable-quic',
];

// Why the page tests cannot run here, or null. Missing peers fail under CI.
export function missingPeer() {
  if (!fs.existsSync(CHROMIUM)) return `chromium not installed at ${CHROMIUM}`;
  try {
    require.resolve('playwright-core');
  } catch {
    return 'playwright-core not installed (npm ci in web/)';
  }
  return null;
}

export function peersRequired() {
  return process.env.TERMIVA_REQUIRE_PEERS === '1';
}

export class PageSession {
  // `files`: raw contents of data-folder files ({'sessions.json': '...'}), written as given.
  // `reachability`: the host probes the saved sessions (off unless a test is about it, so
  // the dots and the page calls are the test's own).
  static async start({ width = 1280, height = 720, sessions = null, settings = null, files = null, reachability = false } = {}) {
    const self = new PageSession();
    self.hostArgs = reachability ? [] : ['--no-reachability'];
    self.tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'termiva-page-'));
    self.dataDir = path.join(self.tmp, 'data');
    fs.mkdirSync(self.dataDir);
    if (sessions) fs.writeFileSync(path.join(self.dataDir, 'sessions.json'), JSON.stringify({ sessions }));
    if (settings) fs.writeFileSync(path.join(self.dataDir, 'settings.json'), JSON.stringify(settings));
    for (const [name, content] of Object.entries(files || {})) fs.writeFileSync(path.join(self.dataDir, name), content);

    const hostPath = path.join(PROGRAM_DIR, 'termiva-host');
    if (!fs.existsSync(hostPath)) throw new Error(`termiva-host not built: ${hostPath}`);
    const page = path.join(PROGRAM_DIR, 'html', 'index.html');
    if (!fs.existsSync(page)) throw new Error(`page not built: ${page}`);

    try {
      await self.open(hostPath, page, width, height);
    } catch (err) {
      await self.close();
      throw err;
    }
    return self;
  }

  async open(hostPath, pageFile, width, height) {
    const self = this;
    self.host = new HostRelay(hostPath, self.dataDir, self.hostArgs);
    const { chromium } = require('playwright-core');
    // A fresh profile per run: nothing carries over between tests.
    self.context = await chromium.launchPersistentContext(path.join(self.tmp, 'profile'), {
      executablePath: CHROMIUM,
      args: CHROMIUM_ARGS,
      viewport: { width, height },
      timeout: 30000,
    });
    self.page = self.context.pages()[0] || (await self.context.newPage());
    self.pageErrors = [];
    self.page.on('pageerror', (err) => self.pageErrors.push(String(err)));
    if (process.env.TERMIVA_PAGE_CONSOLE === '1') self.page.on('console', (m) => console.log('[page]', m.text()));

    self.bridgeCalls = []; // {op, args, at}: every call the page made, in order
    // Every page call the host answered, in order, and how many are still under way
    // (the steady output pulls aside): what a test waits on instead of a pause.
    self.answered = [];
    self.inFlight = 0;
    self.drained = new Map(); // tab id -> every text of output the page was given, joined
    self.drainGate = null; // while set, the page's pulls wait (a page that is not pulling)
    const background = new Set(['drain_terminal']);
    await self.page.exposeBinding('termivaTestBridge', async (_source, text) => {
      let request;
      try {
        request = JSON.parse(text);
      } catch {
        return JSON.stringify({ error: 'malformed page call' });
      }
      self.bridgeCalls.push({ op: request.op, args: request.args, at: Date.now() });
      if (request.op === 'drain_terminal' && self.drainGate) await self.drainGate.promise;
      const counted = !background.has(request.op);
      if (counted) self.inFlight++;
      try {
        const answer = await self.host.send(request.op, request.args || []);
        if (request.op === 'drain_terminal' && typeof answer.result === 'string' && answer.result) {
          const tab = (request.args || [])[0];
          self.drained.set(tab, (self.drained.get(tab) || '') + answer.result);
        }
        return JSON.stringify('error' in answer ? { error: answer.error } : { result: answer.result });
      } finally {
        if (counted) self.inFlight--;
        self.answered.push(request.op);
      }
    });

    let chain = Promise.resolve();
    self.host.onCall((name, args) => {
      // Output that came with the program's notice instead of being pulled.
      if (name === 'terminalOutput' && typeof args[1] === 'string' && args[1]) {
        self.drained.set(args[0], (self.drained.get(args[0]) || '') + args[1]);
      }
      chain = chain
        .then(() =>
          self.page.evaluate(
            ([fn, fnArgs]) => {
              if (typeof window[fn] === 'function') window[fn](...fnArgs);
            },
            [name, args],
          ),
        )
        .catch(() => {});
    });

    await self.page.goto('file://' + pageFile);
    await self.page.waitForSelector('body[data-ready="true"]', { timeout: 10000 });
  }

  // The page stops getting output (as when it is hidden or busy) until releaseDrains().
  holdDrains() {
    if (this.drainGate) return;
    let open;
    const promise = new Promise((resolve) => (open = resolve));
    this.drainGate = { promise, open };
  }

  releaseDrains() {
    const gate = this.drainGate;
    this.drainGate = null;
    if (gate) gate.open();
  }

  async close() {
    this.releaseDrains();
    try {
      if (this.context) await this.context.close();
    } finally {
      if (this.host) await this.host.quit();
      fs.rmSync(this.tmp, { recursive: true, force: true });
    }
  }

  // ---- what the user sees ----

  activeTabId() {
    return this.page.evaluate(() => window.Termiva.app.state.activeId);
  }

  // The text the terminal shows (its rendered rows), trailing blanks trimmed.
  screenText(tabId) {
    return this.page.evaluate((id) => {
      const terminal = window.Termiva.app.state.terminals.get(id);
      if (!terminal) return null;
      const buffer = terminal.term.buffer.active;
      const lines = [];
      for (let y = 0; y < buffer.length; y++) lines.push(buffer.getLine(y).translateToString(true));
      return lines.join('\n');
    }, tabId);
  }

  terminalSize(tabId) {
    return this.page.evaluate((id) => {
      const t = window.Termiva.app.state.terminals.get(id).term;
      return { rows: t.rows, cols: t.cols };
    }, tabId);
  }

  async waitForScreen(tabId, pattern, timeoutMs = 10000) {
    const deadline = Date.now() + timeoutMs;
    let text = '';
    while (Date.now() < deadline) {
      text = (await this.screenText(tabId)) || '';
      if (pattern.test(text)) return text;
      await new Promise((r) => setTimeout(r, 50));
    }
    throw new Error(`terminal never showed ${pattern}; it shows:\n${text}`);
  }

  // The text xterm.js's renderer has put into the page (its DOM rows), which lags the
  // buffer by up to a frame.
  drawnText(tabId) {
    return this.page.evaluate((id) => {
      const rows = document.querySelector(`.terminal-pane[data-tab-id="${id}"] .xterm-rows`);
      return rows ? rows.innerText : null;
    }, tabId);
  }

  // Waits until the buffer holds `pattern` and the renderer has drawn it as well.
  async waitForDrawn(tabId, pattern, timeoutMs = 10000) {
    const deadline = Date.now() + timeoutMs;
    await this.waitForScreen(tabId, pattern, timeoutMs);
    let text = '';
    while (Date.now() < deadline) {
      text = (await this.drawnText(tabId)) || '';
      if (pattern.test(text)) return text;
      await this.nextFrames();
    }
    throw new Error(`the terminal holds ${pattern} but never drew it; drawn:\n${text}`);
  }

  // Two animation frames: whatever was scheduled for the next frame has been drawn.
  nextFrames() {
    return this.page.evaluate(() => new Promise((r) => requestAnimationFrame(() => requestAnimationFrame(r))));
  }

  // The terminal fills its pane (a resize has been followed by fit) and that frame is drawn.
  async waitForFitted(tabId, timeoutMs = 5000) {
    await this.page.waitForFunction(
      (id) => {
        const t = window.Termiva.app.state.terminals.get(id);
        const dims = t && t.fitAddon.proposeDimensions();
        return !!dims && dims.cols === t.term.cols && dims.rows === t.term.rows;
      },
      tabId,
      { timeout: timeoutMs },
    );
    await this.nextFrames();
  }

  // No CSS transition or animation is running (a bar's last step, a fade).
  async waitForStill(timeoutMs = 5000) {
    await this.page.waitForFunction(
      () => document.getAnimations().every((a) => a.playState !== 'running' || a.effect?.getTiming().iterations === Infinity),
      null,
      { timeout: timeoutMs },
    );
    await this.nextFrames();
  }

  // Waits until the host has answered `op` (counted from `since`, an index into
  // `answered`) and no other page call is under way.
  async waitForAnswered(op, since, timeoutMs = 5000) {
    const deadline = Date.now() + timeoutMs;
    while (Date.now() < deadline) {
      if (this.answered.slice(since).includes(op) && this.inFlight === 0) return;
      await new Promise((r) => setTimeout(r, 20));
    }
    throw new Error(`the host never answered ${op} (answered since: ${this.answered.slice(since).join(', ')})`);
  }

  async screenshot(name) {
    fs.mkdirSync(ARTIFACT_DIR, { recursive: true });
    const file = path.join(ARTIFACT_DIR, name);
    await this.page.screenshot({ path: file });
    return file;
  }
}
