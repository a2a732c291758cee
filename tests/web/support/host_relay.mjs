// A running termiva-host: requests go in as JSON lines, answers are matched by id, and
// the host's calls into the page are handed to a listener in the order they came.
import { spawn } from 'node:child_process';
import { createInterface } from 'node:readline';

export class HostRelay {
  // `args`: further command-line options of the host.
  constructor(hostPath, dataDir, args = []) {
    this.nextId = 1;
    this.pending = new Map();
    this.callListener = null;
    this.earlyCalls = [];
    this.stderr = '';
    this.child = spawn(hostPath, ['--data-dir', dataDir, ...args], { stdio: ['pipe', 'pipe', 'pipe'] });
    this.exited = new Promise((resolve) => this.child.on('exit', (code, signal) => resolve({ code, signal })));
    this.child.stderr.on('data', (chunk) => {
      this.stderr = (this.stderr + chunk.toString()).slice(-20000);
    });
    this.child.on('exit', () => {
      for (const { reject } of this.pending.values()) reject(new Error('termiva-host ended'));
      this.pending.clear();
    });
    createInterface({ input: this.child.stdout }).on('line', (line) => this.onLine(line));
  }

  onLine(line) {
    let message;
    try {
      message = JSON.parse(line);
    } catch {
      this.protocolErrors = (this.protocolErrors || 0) + 1;
      return;
    }
    if (message && typeof message.call === 'string') {
      if (this.callListener) this.callListener(message.call, message.args || []);
      else this.earlyCalls.push([message.call, message.args || []]);
      return;
    }
    const waiter = this.pending.get(message.id);
    if (!waiter) return;
    this.pending.delete(message.id);
    waiter.resolve(message);
  }

  onCall(listener) {
    this.callListener = listener;
    for (const [name, args] of this.earlyCalls.splice(0)) listener(name, args);
  }

  // The raw answer line: {"id", "result"} or {"id", "error"}.
  send(op, args, timeoutMs = 15000) {
    const id = this.nextId++;
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.pending.delete(id);
        reject(new Error(`termiva-host did not answer ${op} within ${timeoutMs} ms`));
      }, timeoutMs);
      this.pending.set(id, {
        resolve: (m) => {
          clearTimeout(timer);
          resolve(m);
        },
        reject: (e) => {
          clearTimeout(timer);
          reject(e);
        },
      });
      this.child.stdin.write(JSON.stringify({ id, op, args }) + '\n');
    });
  }

  async call(op, ...args) {
    const answer = await this.send(op, args);
    if ('error' in answer) throw new Error(`${op}: ${answer.error}`);
    return answer.result;
  }

  async quit(timeoutMs = 5000) {
    if (this.child.exitCode !== null) return;
    try {
      this.child.stdin.write(JSON.stringify({ id: 0, op: '$quit' }) + '\n');
      this.child.stdin.end();
    } catch {
      // already gone
    }
    const timer = setTimeout(() => this.child.kill('SIGKILL'), timeoutMs);
    await this.exited;
    clearTimeout(timer);
  }
}
