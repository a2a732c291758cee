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
  static async start({ width = 1280, height = 720, sessions = null, settings = null } = {}) {
    const self = new PageSession();
    self.tmp = fs.mkdtempSync(path.join(os.tmpdir(), 'termiva-page-'));
    self.dataDir = path.join(self.tmp, 'data');
    fs.mkdirSync(self.dataDir);
    if (sessions) fs.writeFileSync(path.join(self.dataDir, 'sessions.json'), JSON.stringify({ sessions }));
    if (settings) fs.writeFileSync(path.join(self.dataDir, 'settings.json'), JSON.stringify(settings));

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
    self.host = new HostRelay(hostPath, self.dataDir);
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

    self.bridgeCalls = []; // {op, at}: every call the page made, in order
    await self.page.exposeBinding('termivaTestBridge', async (_source, text) => {
      let request;
      try {
        request = JSON.parse(text);
      } catch {
        return JSON.stringify({ error: 'malformed page call' });
      }
      self.bridgeCalls.push({ op: request.op, at: Date.now() });
      const answer = await self.host.send(request.op, request.args || []);
      return JSON.stringify('error' in answer ? { error: answer.error } : { result: answer.result });
    });

    let chain = Promise.resolve();
    self.host.onCall((name, args) => {
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

  async close() {
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

  async screenshot(name) {
    fs.mkdirSync(ARTIFACT_DIR, { recursive: true });
    const file = path.join(ARTIFACT_DIR, name);
    await this.page.screenshot({ path: file });
    return file;
  }
}
