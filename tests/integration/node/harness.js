'use strict';
// Runs the real halyx binary for the Node end-to-end tests, the way the
// Python harness (halyx_harness.py) does: a temporary directory with its own
// configuration, log file and free ports per daemon. The test process is not
// the detached daemon's parent, so a clean stop is judged by the process
// being gone and "notice exit" being the last log line.

const { spawnSync } = require('child_process');
const dgram = require('dgram');
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');

const HALYX_BIN = process.env.HALYX_BIN || path.join(__dirname, '..', '..', '..', 'build', 'halyx');
const TIMEOUT = 20000; // generous bound in ms for any single awaited event

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function waitUntil(predicate, timeout = TIMEOUT, interval = 20) {
  const deadline = Date.now() + timeout;
  for (;;) {
    const value = await predicate();
    if (value || Date.now() >= deadline) return value;
    await sleep(interval);
  }
}

// Rejects with `what` when `promise` has not settled within `timeout` ms.
function within(promise, what, timeout = TIMEOUT) {
  let timer;
  const expiry = new Promise((_, reject) => {
    timer = setTimeout(() => reject(new Error(`timed out after ${timeout} ms: ${what}`)), timeout);
  });
  return Promise.race([promise, expiry]).finally(() => clearTimeout(timer));
}

function freePort(udp = false) {
  return new Promise((resolve, reject) => {
    if (udp) {
      const s = dgram.createSocket('udp4');
      s.on('error', reject);
      s.bind(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => resolve(port)); });
    } else {
      const s = net.createServer();
      s.on('error', reject);
      s.listen(0, '127.0.0.1', () => { const { port } = s.address(); s.close(() => resolve(port)); });
    }
  });
}

function accepts(port) {
  return new Promise((resolve) => {
    const s = net.connect(port, '127.0.0.1');
    s.on('connect', () => { s.destroy(); resolve(true); });
    s.on('error', () => resolve(false));
  });
}

class Daemon {
  async start(extraConf = '') {
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'halyx-test-'));
    this.confPath = path.join(this.dir, 'halyx.conf');
    this.logPath = path.join(this.dir, 'halyx.log');
    this.mqttPort = await freePort();
    this.wsPort = await freePort();
    const mqttsnPort = await freePort(true);
    const httpPort = await freePort();
    fs.writeFileSync(this.confPath,
      `mqtt_iface = lo\nmqtt_port = ${this.mqttPort}\nmqtt_ws_port = ${this.wsPort}\n` +
      `mqttsn_iface = lo\nmqttsn_port = ${mqttsnPort}\nhttp_port = ${httpPort}\n` +
      `http_files_path = ${this.dir}\n${extraConf}`);
    const launch = spawnSync(HALYX_BIN, [], {
      env: { ...process.env, HALYX_CONF: this.confPath, HALYX_RULES: path.join(this.dir, 'halyx.rules'),
             HALYX_LOG_FILE: this.logPath },
      encoding: 'utf8', timeout: TIMEOUT,
    });
    const m = /process id of child process (\d+)/.exec(launch.stdout || '');
    if (!m) throw new Error(`no child pid in output: ${JSON.stringify(launch.stdout)} ${JSON.stringify(launch.stderr)} ${launch.error || ''}`);
    this.pid = Number(m[1]);
    const ready = await waitUntil(async () => {
      if (!this.running()) throw new Error(`daemon ended during start-up\n${this.log()}`);
      return (await accepts(this.mqttPort)) && (await accepts(this.wsPort));
    });
    if (!ready) throw new Error(`daemon did not open its ports\n${this.log()}`);
    return this;
  }

  // False once the process has ended (a zombie that nobody reaps counts as ended).
  running() {
    if (!this.pid) return false;
    try {
      process.kill(this.pid, 0);
    } catch {
      return false;
    }
    try {
      const stat = fs.readFileSync(`/proc/${this.pid}/stat`, 'utf8');
      return stat.slice(stat.lastIndexOf(')') + 2)[0] !== 'Z';
    } catch {
      return false;
    }
  }

  // Sends SIGTERM; resolves to an error text, or null after a clean stop.
  async stop() {
    if (!this.running()) return `daemon was not running at the end of the test`;
    process.kill(this.pid, 'SIGTERM');
    if (!(await waitUntil(() => !this.running()))) {
      process.kill(this.pid, 'SIGKILL');
      return 'daemon did not stop after SIGTERM';
    }
    const lines = this.logLines();
    if (lines[lines.length - 1] !== 'notice exit') return `last log line is ${JSON.stringify(lines[lines.length - 1])}, not "notice exit"`;
    return null;
  }

  kill() {
    if (this.running()) process.kill(this.pid, 'SIGKILL');
  }

  logLines() {
    try {
      return fs.readFileSync(this.logPath, 'utf8').split('\n').filter((l) => l !== '');
    } catch {
      return [];
    }
  }

  log() {
    return this.logLines().join('\n');
  }
}

// A plain test runner: each test gets a fresh daemon; a failure prints the
// daemon's log. Ends with "N passed, N failed" and a matching exit code.
async function run(tests) {
  let passed = 0;
  let failed = 0;
  const only = process.argv[2];
  for (const [name, fn] of tests) {
    if (only && !name.includes(only)) continue;
    const daemon = new Daemon();
    let error = null;
    try {
      await daemon.start();
      await within(fn(daemon), `test "${name}"`, 4 * TIMEOUT);
    } catch (e) {
      error = e;
    }
    const stopError = daemon.pid ? await daemon.stop() : null;
    if (!error && stopError) error = new Error(stopError);
    daemon.kill();
    if (error) {
      failed += 1;
      console.log(`not ok - ${name}\n  ${(error.stack || String(error)).split('\n').join('\n  ')}`);
      console.log(`--- daemon log (${daemon.logPath}) ---\n${daemon.log()}\n---`);
    } else {
      passed += 1;
      console.log(`ok - ${name}`);
    }
  }
  console.log(`${passed} passed, ${failed} failed`);
  process.exit(failed || passed === 0 ? 1 : 0);
}

module.exports = { Daemon, TIMEOUT, run, sleep, waitUntil, within };
