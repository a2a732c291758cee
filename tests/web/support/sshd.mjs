// A real OpenSSH server for page tests: its own folder, config, host and client keys, on a
// free loopback port; stopped by the test (and by the test process's end).
import { spawn, spawnSync } from 'node:child_process';
import fs from 'node:fs';
import net from 'node:net';
import os from 'node:os';
import path from 'node:path';

export const SSHD = process.env.TERMIVA_SSHD || '/usr/sbin/sshd';
export const SSH_KEYGEN = process.env.TERMIVA_SSH_KEYGEN || '/usr/bin/ssh-keygen';

export function sshdMissing() {
  if (!fs.existsSync(SSHD)) return `sshd not installed at ${SSHD}`;
  if (!fs.existsSync(SSH_KEYGEN)) return `ssh-keygen not installed at ${SSH_KEYGEN}`;
  return null;
}

// A port nothing listens on right now.
export function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.on('error', reject);
    server.listen(0, '127.0.0.1', () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

function accepts(port) {
  return new Promise((resolve) => {
    const socket = net.connect({ port, host: '127.0.0.1' });
    socket.once('connect', () => {
      socket.destroy();
      resolve(true);
    });
    socket.once('error', () => resolve(false));
  });
}

export class Sshd {
  // `extraConfig`: lines appended to sshd_config.
  static async start(extraConfig = []) {
    const self = new Sshd();
    self.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'termiva-web-sshd-'));
    fs.mkdirSync('/run/sshd', { recursive: true });
    for (const name of ['host_ed25519', 'client_ed25519']) {
      const r = spawnSync(SSH_KEYGEN, ['-q', '-t', 'ed25519', '-N', '', '-C', 'termiva-test', '-f', path.join(self.dir, name)]);
      if (r.status !== 0) throw new Error(`ssh-keygen failed: ${r.stderr}`);
    }
    fs.copyFileSync(path.join(self.dir, 'client_ed25519.pub'), path.join(self.dir, 'authorized_keys'));
    self.port = await freePort();
    const config = [
      `Port ${self.port}`,
      'ListenAddress 127.0.0.1',
      `HostKey ${path.join(self.dir, 'host_ed25519')}`,
      `PidFile ${path.join(self.dir, 'sshd.pid')}`,
      `AuthorizedKeysFile ${path.join(self.dir, 'authorized_keys')}`,
      'StrictModes no',
      'UsePAM no',
      'PermitRootLogin yes',
      'PasswordAuthentication no',
      'KbdInteractiveAuthentication no',
      'PubkeyAuthentication yes',
      'AllowTcpForwarding yes',
      'PrintMotd no',
      'PrintLastLog no',
      'UseDNS no',
      'LogLevel VERBOSE',
      ...extraConfig,
    ];
    fs.writeFileSync(path.join(self.dir, 'sshd_config'), config.join('\n') + '\n');
    self.log = '';
    self.child = spawn(SSHD, ['-D', '-e', '-f', path.join(self.dir, 'sshd_config')], { stdio: ['ignore', 'pipe', 'pipe'] });
    const keep = (chunk) => (self.log = (self.log + chunk.toString()).slice(-20000));
    self.child.stdout.on('data', keep);
    self.child.stderr.on('data', keep);
    const deadline = Date.now() + 10000;
    while (Date.now() < deadline) {
      if (self.child.exitCode !== null) throw new Error(`sshd exited: ${self.log}`);
      if (await accepts(self.port)) return self;
      await new Promise((r) => setTimeout(r, 30));
    }
    self.stop();
    throw new Error(`sshd did not listen in time: ${self.log}`);
  }

  get clientKey() {
    return path.join(this.dir, 'client_ed25519');
  }

  static user() {
    return os.userInfo().username;
  }

  stop() {
    if (this.child && this.child.exitCode === null) this.child.kill('SIGTERM');
    fs.rmSync(this.dir, { recursive: true, force: true });
  }
}
