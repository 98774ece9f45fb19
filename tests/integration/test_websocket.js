'use strict';
// MQTT over WebSocket end to end: MQTT.js (over ws:// and wss://) and a raw
// `ws` client against the real daemon, with Debian's mosquitto clients on
// the plain TCP side, with and without mqtt_standard. Frame details are
// left to the unit tests of the TCP server.
//   npm ci --prefix tests/integration/node
//   HALYX_BIN=build/halyx node tests/integration/test_websocket.js

const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const fs = require('node:fs');
const { createRequire } = require('node:module');
const net = require('node:net');
const path = require('node:path');
const { test } = require('node:test');
const { TIMEOUT, waitUntil, timeLimit, startDaemon } = require('./daemon');

const nodeRequire = createRequire(path.join(__dirname, 'node', 'package.json'));
const WebSocket = nodeRequire('ws');
const mqtt = nodeRequire('mqtt');

// Runs `fn` against a fresh daemon; a time-out of the whole test stops the
// daemon too, which ends the test's clients. `conf` holds further
// configuration keys; `env` goes to the harness (HALYX_TLS: '1' adds the TLS ports).
function daemonTest(name, fn, conf = {}, env = {}) {
  test(name, async () => {
    const d = await startDaemon({ ...env, HALYX_TEST_CONF: JSON.stringify(conf) });
    let failed = true;
    let clean;
    try {
      await Promise.race([fn(d), timeLimit(4 * TIMEOUT)]);
      failed = false;
    } finally {
      clean = await d.stop(failed);
    }
    assert.ok(clean, 'the daemon stopped cleanly');
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
}, {}, { HALYX_TLS: '1' });

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
  Object.assign(ws, { closed: false, received: Buffer.alloc(0) });
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

// A raw TCP client that sent `request` to the WebSocket port; returns it
// and the head of the answer once its blank line is in ('' when closed).
async function rawUpgrade(d, request) {
  const sock = net.connect(d.wsPort, '127.0.0.1');
  sock.received = Buffer.alloc(0);
  sock.on('data', (data) => { sock.received = Buffer.concat([sock.received, data]); });
  sock.on('error', () => {}); // followed by 'close'
  sock.write(request);
  await waitUntil(() => sock.received.includes('\r\n\r\n') || sock.closed, 'answer to the upgrade request');
  const end = sock.received.indexOf('\r\n\r\n');
  const head = end < 0 ? '' : sock.received.subarray(0, end + 2).toString();
  sock.received = sock.received.subarray(end + 4);
  return [sock, head];
}

// The RFC 6455 example key, with header names as a proxy may send them.
const lowerRequest = (upgrade, connection, protocol) => 'GET /mqtt HTTP/1.1\r\nhost: 127.0.0.1\r\n' +
  `upgrade: ${upgrade}\r\nconnection: ${connection}\r\nsec-websocket-key: dGhlIHNhbXBsZSBub25jZQ==\r\n` +
  `sec-websocket-version: 13\r\nsec-websocket-protocol: ${protocol}\r\n\r\n`;
const answerHead = (protocol) => 'HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n' +
  `Sec-WebSocket-Protocol: ${protocol}\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n`;

// Which requests are refused, and frames that close, are left to the unit tests.
daemonTest('raw WebSocket: header names in lower case, MQTT packets split over frames and fragments', async (d) => {
  const [lower, head] = await rawUpgrade(d, lowerRequest('websocket', 'Upgrade', 'mqttv3.1'));
  assert.equal(head, answerHead('mqttv3.1'), 'header names in lower case');
  lower.destroy();

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
  // Without mqtt_standard a pong carries no data.
  const pong = new Promise((resolve) => ws.once('pong', (data) => resolve(data.toString('hex'))));
  ws.send(publish.subarray(0, 10), { fin: false });
  ws.ping('between fragments');
  ws.send(publish.subarray(10), { fin: true });
  assert.equal(await pong, '', 'empty pong');
  await expectBytes(ws, publish, 'delivery of a PUBLISH sent as a fragmented message');
  ws.close();
});

daemonTest('mqtt_standard = 1: MQTT.js defaults, sub-protocol lists, pings, close and unmasked frames', async (d) => {
  // MQTT.js by default: sub-protocol mqtt, MQTT 3.1.1.
  const js = mqtt.connect(`ws://127.0.0.1:${d.wsPort}`, { clientId: 'std', reconnectPeriod: 0, connectTimeout: TIMEOUT });
  js.on('error', () => {}); // a failed connect also ends the wait below
  try {
    await waitUntil(() => js.connected || js.disconnected, 'MQTT.js CONNACK');
    assert.ok(js.connected, 'MQTT.js connected with its defaults');
    await js.subscribeAsync('std/t', { qos: 1 });
    const message = new Promise((resolve) => js.once('message', (topic, payload) => resolve(`${topic} ${payload}`)));
    await js.publishAsync('std/t', 'over mqtt', { qos: 1 });
    assert.equal(await message, 'std/t over mqtt');
  } finally {
    js.end(true);
  }

  for (const [offered, chosen] of [[['wamp', 'mqtt', 'mqttv3.1'], 'mqtt'], [['mqttv3.1', 'mqtt'], 'mqttv3.1']]) {
    const ws = rawWs(d, offered);
    await waitUntil(() => ws.readyState === WebSocket.OPEN || ws.closed, `upgrade offering ${offered}`);
    assert.equal(ws.protocol, chosen, `sub-protocol chosen from ${offered}`);
    const pong = new Promise((resolve) => ws.once('pong', (data) => resolve(`${data}`)));
    ws.ping('are you there');
    assert.equal(await pong, 'are you there', 'the pong echoes the ping');
    const closed = new Promise((resolve) => ws.once('close', resolve));
    ws.close(4000, 'bye');
    assert.equal(await closed, 4000, 'the close frame is answered with its status code');
  }

  // Names and values in any case; then an unmasked frame is refused.
  const [sock, head] = await rawUpgrade(d, lowerRequest('WebSocket', 'keep-alive, upgrade', 'mqtt'));
  assert.equal(head, answerHead('mqtt'), 'names and values in any case');
  sock.write(Buffer.concat([Buffer.from([0x82, 14]), packet(0x10, str('MQTT'), Buffer.from([4, 0x02, 0, 60, 0, 0]))]));
  await waitUntil(() => sock.closed, 'close after an unmasked frame');
  assert.equal(sock.received.toString('hex'), '', 'no CONNACK for an unmasked CONNECT');
}, { mqtt_standard: 1 });
