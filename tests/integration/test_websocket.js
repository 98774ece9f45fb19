'use strict';
// MQTT over WebSocket end to end: MQTT.js (over ws:// and wss://) and a raw
// `ws` client against the real daemon, with Debian's mosquitto clients on the plain TCP side. Frame
// details are left to the unit tests of the TCP server.
//   npm ci --prefix tests/integration/node
//   HALYX_BIN=build/halyx node tests/integration/test_websocket.js

const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const { once } = require('node:events');
const fs = require('node:fs');
const { createRequire } = require('node:module');
const path = require('node:path');
const readline = require('node:readline');
const { test } = require('node:test');

const nodeRequire = createRequire(path.join(__dirname, 'node', 'package.json'));
const WebSocket = nodeRequire('ws');
const mqtt = nodeRequire('mqtt');

const TIMEOUT = 20000; // generous bound in ms for any single awaited event

async function waitUntil(predicate, what) {
  for (const deadline = Date.now() + TIMEOUT; !(await predicate());) {
    if (Date.now() > deadline) throw new Error(`timed out after ${TIMEOUT} ms: ${what}`);
    await new Promise((resolve) => setTimeout(resolve, 20));
  }
}

// Runs `fn` against a fresh daemon that the Python harness runs: as the
// daemon's reaper it can tell whether SIGTERM ended it with exit status 0,
// and it shows the daemon's log after a failure. A time-out of the whole
// test stops the daemon too, which ends the test's clients. `env` goes to
// the harness (HALYX_TLS: '1' adds the TLS ports).
function daemonTest(name, fn, env = {}) {
  test(name, async () => {
    const harness = spawn('python3', [path.join(__dirname, 'halyx_harness.py')],
      { stdio: ['pipe', 'pipe', 'inherit'], env: { ...process.env, ...env } });
    const exited = new Promise((resolve) => harness.on('close', resolve));
    let failed = true;
    let status;
    try {
      const started = await Promise.race([once(readline.createInterface({ input: harness.stdout }), 'line'), exited]);
      assert.ok(Array.isArray(started), 'the harness started a daemon');
      await Promise.race([fn(JSON.parse(started[0])), new Promise((_, reject) => {
        setTimeout(() => reject(new Error('test timed out')), 4 * TIMEOUT).unref();
      })]);
      failed = false;
    } finally {
      harness.stdin.end(failed ? 'failed' : '');
      status = await exited;
    }
    assert.equal(status, 0, 'the daemon stopped cleanly');
  });
}

// mosquitto_pub or mosquitto_sub over TCP at QoS 1; `out` collects what it prints.
function mosquitto(d, tool, version, ...args) {
  const child = spawn('stdbuf', ['-oL', tool, '-h', '127.0.0.1', '-p', `${d.mqttPort}`, '-V', version, '-i', tool,
    '-q', '1', ...args]);
  const proc = { out: '' };
  child.stdout.on('data', (data) => { proc.out += data; });
  child.stderr.on('data', (data) => { proc.out += data; });
  proc.done = new Promise((resolve) => child.on('close', resolve));
  return proc;
}

daemonTest('MQTT.js over WebSocket exchanges messages with mosquitto clients over TCP', async (d) => {
  // MQTT.js asks for the sub-protocol mqttv3.1 with this protocol and level.
  const js = mqtt.connect(`ws://127.0.0.1:${d.wsPort}`, {
    protocolId: 'MQIsdp', protocolVersion: 3, clientId: 'mqttjs', reconnectPeriod: 0, connectTimeout: TIMEOUT,
  });
  js.on('error', () => {}); // a failed connect also ends the wait below
  try {
    await waitUntil(() => js.connected || js.disconnected, 'MQTT.js CONNACK');
    assert.ok(js.connected, 'MQTT.js connected');
    const granted = await js.subscribeAsync('tcp/to/ws', { qos: 1 });
    assert.deepEqual(granted.map((g) => g.qos), [1], 'granted QoS');
    for (const version of ['31', '311']) {
      const message = new Promise((resolve) => js.once('message', (topic, payload, pkt) => {
        resolve([topic, `${payload}`, pkt.qos]);
      }));
      const pub = mosquitto(d, 'mosquitto_pub', version, '-t', 'tcp/to/ws', '-m', `from tcp ${version}`);
      assert.deepEqual([await pub.done, pub.out], [0, ''], 'mosquitto_pub exit status and output');
      assert.deepEqual(await message, ['tcp/to/ws', `from tcp ${version}`, 1], 'TCP to WebSocket');

      const sub = mosquitto(d, 'mosquitto_sub', version, '-t', 'ws/to/tcp', '-C', '1',
        '-W', `${TIMEOUT / 1000}`, '-d', '-F', 'MSG %t %q %p');
      await waitUntil(() => sub.out.includes('received SUBACK'), `SUBACK at mosquitto_sub:\n${sub.out}`);
      await js.publishAsync('ws/to/tcp', `from ws ${version}`, { qos: 1 });
      assert.deepEqual([await sub.done, sub.out.split('\n').filter((l) => l.startsWith('MSG '))],
        [0, [`MSG ws/to/tcp 1 from ws ${version}`]], `WebSocket to TCP (mosquitto_sub output:\n${sub.out})`);
    }
  } finally {
    js.end(true);
  }
});

daemonTest('MQTT.js over wss:// with the hub\'s authority, a large message and mosquitto over TCP', async (d) => {
  const js = mqtt.connect(`wss://localhost:${d.wssPort}`, {
    protocolId: 'MQIsdp', protocolVersion: 3, clientId: 'mqttjs-tls', reconnectPeriod: 0, connectTimeout: TIMEOUT,
    ca: fs.readFileSync(d.caFile), rejectUnauthorized: true,
  });
  js.on('error', () => {});
  try {
    await waitUntil(() => js.connected || js.disconnected, 'MQTT.js CONNACK over wss://');
    assert.ok(js.connected, 'MQTT.js connected over wss://');
    await js.subscribeAsync(['wss/large', 'tcp/to/wss'], { qos: 1 });
    // More than TLS records and socket buffers hold at once, in frames
    // within the WebSocket bound: written in parts as the client reads.
    const large = 'x'.repeat(60000);
    const messages = [];
    js.on('message', (topic, payload) => messages.push(`${topic} ${payload.length}`));
    await Promise.all(Array.from({ length: 32 }, () => js.publishAsync('wss/large', large, { qos: 1 })));
    const pub = mosquitto(d, 'mosquitto_pub', '311', '-t', 'tcp/to/wss', '-m', 'from tcp');
    assert.deepEqual([await pub.done, pub.out], [0, ''], 'mosquitto_pub exit status and output');
    await waitUntil(() => messages.length >= 33, 'all messages over wss://');
    assert.deepEqual(messages, [...Array(32).fill('wss/large 60000'), 'tcp/to/wss 8'], 'messages over wss://');
  } finally {
    js.end(true);
  }
}, { HALYX_TLS: '1' });

// MQTT 3.1 packets short enough for a one-byte Remaining Length.
const str = (s) => Buffer.concat([Buffer.from([0, Buffer.byteLength(s)]), Buffer.from(s)]);
const packet = (firstByte, ...parts) => {
  const body = Buffer.concat(parts);
  return Buffer.concat([Buffer.from([firstByte, body.length]), body]);
};

// A raw WebSocket client collecting the bytes of the binary frames it
// receives. The ws library itself checks the 101 response: accept key and
// sub-protocol.
function rawWs(d, protocol) {
  const ws = new WebSocket(`ws://127.0.0.1:${d.wsPort}`, protocol);
  Object.assign(ws, { upgraded: false, closed: false, received: Buffer.alloc(0) });
  ws.on('upgrade', () => { ws.upgraded = true; });
  ws.on('message', (data) => { ws.received = Buffer.concat([ws.received, data]); });
  ws.on('close', () => { ws.closed = true; });
  ws.on('error', () => {}); // followed by 'close'
  return ws;
}

// Waits for as many bytes as `expected` has, or the close, and compares them.
async function expectBytes(ws, expected, what) {
  await waitUntil(() => ws.received.length >= expected.length || ws.closed, what);
  const actual = ws.received.subarray(0, expected.length);
  ws.received = ws.received.subarray(expected.length);
  assert.equal(actual.toString('hex'), expected.toString('hex'), `${what}${ws.closed ? ', then the close' : ''}`);
}

daemonTest('raw WebSocket: sub-protocols, MQTT packets split over frames, text frame', async (d) => {
  const refused = rawWs(d, 'mqtt');
  await waitUntil(() => refused.closed, 'sub-protocol mqtt refused');
  assert.equal(refused.upgraded, false, 'sub-protocol mqtt refused without a 101 response');

  const ws = rawWs(d, 'mqttv3.1');
  await waitUntil(() => ws.readyState === WebSocket.OPEN || ws.closed, 'sub-protocol mqttv3.1 accepted');
  assert.equal(ws.protocol, 'mqttv3.1', 'negotiated sub-protocol');
  const connect = packet(0x10, str('MQIsdp'), Buffer.from([3, 0x02, 0, 60]), str('splitter'));
  ws.send(connect.subarray(0, 5));
  ws.send(connect.subarray(5));
  await expectBytes(ws, Buffer.from([0x20, 0x02, 0x00, 0x00]), 'CONNACK for a CONNECT in two frames');
  ws.send(packet(0x82, Buffer.from([0, 1]), str('s/t'), Buffer.from([0])));
  await expectBytes(ws, Buffer.from([0x90, 3, 0, 1, 0]), 'SUBACK');
  const publish = packet(0x30, str('s/t'), Buffer.from('x'.repeat(60)));
  ws.send(publish.subarray(0, 30));
  ws.send(publish.subarray(30));
  await expectBytes(ws, publish, 'delivery of a PUBLISH sent in two frames');

  ws.send('hello');
  await waitUntil(() => ws.closed, 'close after a text frame');
  assert.equal(ws.received.toString('hex'), '', 'closed without a reply to the text frame');
});
