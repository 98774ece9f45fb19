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

async function waitUntil(predicate, timeout = TIMEOUT) {
  const deadline = Date.now() + timeout;
  let value;
  while (!(value = await predicate()) && Date.now() < deadline) await new Promise((r) => setTimeout(r, 20));
  return value;
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
    const s = udp ? dgram.createSocket('udp4') : net.createServer();
    const bound = () => { const { port } = s.address(); s.close(() => resolve(port)); };
    s.on('error', reject);
    if (udp) s.bind(0, '127.0.0.1', bound); else s.listen(0, '127.0.0.1', bound);
  });
}

const accepts = (port) => new Promise((resolve) => {
  const s = net.connect(port, '127.0.0.1');
  s.on('connect', () => { s.destroy(); resolve(true); });
  s.on('error', () => resolve(false));
});

class Daemon {
  async start() {
    this.dir = fs.mkdtempSync(path.join(os.tmpdir(), 'halyx-test-'));
    this.logPath = path.join(this.dir, 'halyx.log');
    const conf = path.join(this.dir, 'halyx.conf');
    [this.mqttPort, this.wsPort] = [await freePort(), await freePort()];
    fs.writeFileSync(conf, `mqtt_iface = lo\nmqtt_port = ${this.mqttPort}\nmqtt_ws_port = ${this.wsPort}\n` +
      `mqttsn_iface = lo\nmqttsn_port = ${await freePort(true)}\nhttp_port = ${await freePort()}\n` +
      `http_files_path = ${this.dir}\n`);
    const env = { ...process.env, HALYX_CONF: conf, HALYX_LOG_FILE: this.logPath };
    env.HALYX_RULES = path.join(this.dir, 'halyx.rules');
    const launch = spawnSync(HALYX_BIN, [], { env, encoding: 'utf8', timeout: TIMEOUT });
    const m = /process id of child process (\d+)/.exec(launch.stdout || '');
    if (!m) throw new Error(`no child pid in output: ${JSON.stringify([launch.stdout, launch.stderr])}`);
    this.pid = Number(m[1]);
    const ready = await waitUntil(async () => {
      if (!this.running()) throw new Error(`daemon ended during start-up\n${this.log()}`);
      return (await accepts(this.mqttPort)) && (await accepts(this.wsPort));
    });
    if (!ready) throw new Error(`daemon did not open its ports\n${this.log()}`);
  }

  // False once the process has ended (a zombie that nobody reaps counts as ended).
  running() {
    try {
      const stat = fs.readFileSync(`/proc/${this.pid}/stat`, 'utf8');
      return stat.slice(stat.lastIndexOf(')') + 2)[0] !== 'Z';
    } catch {
      return false;
    }
  }

  // Sends SIGTERM; resolves to an error text, or null after a clean stop.
  async stop() {
    if (!this.running()) return 'daemon was not running at the end of the test';
    process.kill(this.pid, 'SIGTERM');
    if (!(await waitUntil(() => !this.running()))) return 'daemon did not stop after SIGTERM';
    const last = this.log().split('\n').pop();
    return last === 'notice exit' ? null : `last log line is ${JSON.stringify(last)}, not "notice exit"`;
  }

  kill() {
    if (this.pid && this.running()) process.kill(this.pid, 'SIGKILL');
  }

  log() {
    try {
      return fs.readFileSync(this.logPath, 'utf8').trimEnd();
    } catch {
      return '';
    }
  }
}

// A plain test runner: each test gets a fresh daemon; a failure prints the
// daemon's log. Ends with "N passed, N failed" and a matching exit code.
async function run(tests) {
  let passed = 0;
  let failed = 0;
  for (const [name, fn] of tests.filter(([n]) => n.includes(process.argv[2] || ''))) {
    const daemon = new Daemon();
    let error = null;
    try {
      await daemon.start();
      await within(fn(daemon), `test "${name}"`, 4 * TIMEOUT);
    } catch (e) {
      error = e;
    }
    const stopError = daemon.pid ? await daemon.stop() : null;
    error = error || (stopError && new Error(stopError));
    daemon.kill();
    if (error) {
      failed += 1;
      console.log(`not ok - ${name}\n  ${(error.stack || String(error)).split('\n').join('\n  ')}`);
      console.log(`--- daemon log (${daemon.logPath}) ---\n${daemon.log()}\n---`);
    } else {
      passed += 1;
      console.log(`ok - ${name}`);
      fs.rmSync(daemon.dir, { recursive: true, force: true });
    }
  }
  console.log(`${passed} passed, ${failed} failed`);
  process.exit(failed || passed === 0 ? 1 : 0);
}

module.exports = { TIMEOUT, run, waitUntil, within };
