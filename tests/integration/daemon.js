'use strict';
// What the Node tests share: waiting for an event, and a daemon run by the
// Python harness, which as the daemon's reaper can tell whether SIGTERM ended
// it with exit status 0, and shows the daemon's log after a failure.

const { spawn } = require('node:child_process');
const { once } = require('node:events');
const path = require('node:path');
const readline = require('node:readline');

const TIMEOUT = 20000; // generous bound in ms for any single awaited event

async function waitUntil(predicate, what) {
  for (const deadline = Date.now() + TIMEOUT; !(await predicate());) {
    if (Date.now() > deadline) throw new Error(`timed out after ${TIMEOUT} ms: ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

// Fails after `ms`, for a race with a whole test.
const timeLimit = (ms) => new Promise((_, reject) => {
  setTimeout(() => reject(new Error('test timed out')), ms).unref();
});

// A daemon started with `env` for the harness: its ports (as the harness
// prints them) and stop(failed), which resolves to whether it stopped cleanly.
async function startDaemon(env) {
  const harness = spawn('python3', [path.join(__dirname, 'halyx_harness.py')], {
    stdio: ['pipe', 'pipe', 'inherit'], env: { ...process.env, ...env },
  });
  const exited = new Promise((resolve) => harness.on('close', resolve));
  const started = await Promise.race([once(readline.createInterface({ input: harness.stdout }), 'line'), exited]);
  if (!Array.isArray(started)) throw new Error('the harness started no daemon');
  const stop = async (failed) => { harness.stdin.end(failed ? 'failed' : ''); return (await exited) === 0; };
  return { ...JSON.parse(started[0]), stop };
}

module.exports = { TIMEOUT, waitUntil, timeLimit, startDaemon };
