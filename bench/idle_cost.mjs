// What ten idle local-shell tabs cost: headless Chromium against a real termiva-host, as
// in the page tests. CPU seconds of the program and of the browser's processes over 30 s
// of idleness, their memory (proportional set size) with the ten tabs open, and the
// median keystroke echo in one of them.
//   node bench/idle_cost.mjs     (TERMIVA_PROGRAM_DIR: the program folder to use;
//                                 BENCH_IDLE_S: seconds of idleness, default 30)
import fs from 'node:fs';
import path from 'node:path';

import { PageSession, missingPeer } from '../tests/web/support/page_harness.mjs';

const TABS = 10;
const IDLE_S = Number(process.env.BENCH_IDLE_S || 30);
const TICKS = 100; // clock ticks per second on Linux

function stat(pid) {
  try {
    const text = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    const fields = text.slice(text.lastIndexOf(')') + 2).split(' ');
    return { ppid: Number(fields[1]), cpu: Number(fields[11]) + Number(fields[12]) };
  } catch {
    return null;
  }
}

// Every process below `root`, `root` included.
function tree(root) {
  const children = new Map();
  for (const name of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    const st = stat(Number(name));
    if (!st) continue;
    if (!children.has(st.ppid)) children.set(st.ppid, []);
    children.get(st.ppid).push(Number(name));
  }
  const out = [];
  const todo = [root];
  while (todo.length) {
    const pid = todo.pop();
    out.push(pid);
    todo.push(...(children.get(pid) || []));
  }
  return out;
}

function cpuTicks(pids) {
  return pids.reduce((sum, pid) => sum + ((stat(pid) || { cpu: 0 }).cpu), 0);
}

function pssKiB(pids) {
  let sum = 0;
  for (const pid of pids) {
    try {
      const m = /^Pss:\s+(\d+) kB/m.exec(fs.readFileSync(`/proc/${pid}/smaps_rollup`, 'utf8'));
      if (m) sum += Number(m[1]);
    } catch {
      // The process ended meanwhile: it holds nothing any more.
    }
  }
  return sum;
}

// The browser: the process whose command line names this session's profile folder.
function browserPid(profileDir) {
  for (const name of fs.readdirSync('/proc')) {
    if (!/^\d+$/.test(name)) continue;
    try {
      const cmd = fs.readFileSync(`/proc/${name}/cmdline`, 'utf8');
      if (cmd.includes(profileDir) && !cmd.includes('--type=')) return Number(name);
    } catch {
      // gone
    }
  }
  return null;
}

async function echoMedian(s, tabId, count) {
  const samples = await s.page.evaluate(
    async ([id, n]) => {
      const tab = window.Termiva.app.state.terminals.get(id);
      const term = tab.term;
      const out = [];
      let typed = '';
      for (let i = 0; i < n; i++) {
        const ch = 'abcdefghij'[i % 10];
        typed += ch;
        const seen = new Promise((resolve) => {
          const sub = term.onWriteParsed(() => {
            const b = term.buffer.active;
            if (b.getLine(b.baseY + b.cursorY).translateToString(true).trimEnd().endsWith(typed)) {
              sub.dispose();
              resolve();
            }
          });
        });
        const t0 = performance.now();
        tab.sendInput(ch);
        await seen;
        out.push(performance.now() - t0);
        await new Promise((r) => setTimeout(r, 20));
      }
      tab.sendInput('\x15');
      return out;
    },
    [tabId, count],
  );
  samples.sort((a, b) => a - b);
  return samples[Math.floor(samples.length / 2)];
}

async function main() {
  const missing = missingPeer();
  if (missing) {
    console.log(`idle_cost: skipped (${missing})`);
    return;
  }
  const sessions = [...Array(TABS).keys()].map((i) => ({
    id: `idle${String(i).padStart(28, '0')}`,
    name: `shell ${i}`,
    protocol: 'conpty',
    conpty_shell: 'sh',
  }));
  const s = await PageSession.start({ width: 1280, height: 720, sessions });
  try {
    for (let i = 0; i < TABS; i++) {
      await s.page.locator('.session', { hasText: `shell ${i}` }).first().dblclick();
      await s.page.waitForFunction((n) => window.Termiva.app.state.tabs.length === n, i + 1, { timeout: 10000 });
    }
    await s.page.waitForFunction(
      (n) => document.querySelectorAll('.tab[data-state="connected"]').length === n,
      TABS,
      { timeout: 20000 },
    );
    const tabId = await s.activeTabId();
    // Prompts drawn, and past the 10 s after which the cursor stops blinking.
    await s.page.waitForTimeout(11000);

    const host = s.host.child.pid;
    const browser = browserPid(path.join(s.tmp, 'profile'));
    const hostPids = tree(host);
    const browserPids = browser ? tree(browser) : [];
    const calls0 = s.bridgeCalls.length;
    const host0 = cpuTicks(hostPids);
    const browser0 = cpuTicks(browserPids);
    await new Promise((r) => setTimeout(r, IDLE_S * 1000));
    const hostCpu = (cpuTicks(hostPids) - host0) / TICKS;
    const browserCpu = (cpuTicks(browserPids) - browser0) / TICKS;
    const calls = s.bridgeCalls.length - calls0;
    const pct = (sec) => ((100 * sec) / IDLE_S).toFixed(2);
    console.log(
      `${TABS} idle local-shell tabs for ${IDLE_S} s: program ${hostCpu.toFixed(2)} s CPU (${pct(hostCpu)} % of a core, ` +
        `its shells included), browser ${browserCpu.toFixed(2)} s (${pct(browserCpu)} %), ` +
        `together ${pct(hostCpu + browserCpu)} % of a core; ${calls} page calls`,
    );
    const hostPss = pssKiB(tree(host));
    const browserPss = pssKiB(browser ? tree(browser) : []);
    console.log(
      `memory (PSS) with ${TABS} tabs: program and shells ${(hostPss / 1024).toFixed(0)} MiB, ` +
        `browser ${(browserPss / 1024).toFixed(0)} MiB, together ${((hostPss + browserPss) / 1024).toFixed(0)} MiB`,
    );
    console.log(`keystroke echo in tab ${tabId}: median ${(await echoMedian(s, tabId, 60)).toFixed(1)} ms`);
  } finally {
    await s.close();
  }
}

main().catch((err) => {
  console.error(err);
  process.exit(1);
});
