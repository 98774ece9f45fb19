'use strict';
// MQTT over WebSocket end to end: MQTT.js and a raw `ws` client against the
// real daemon, with Debian's mosquitto clients on the plain TCP side.
//   npm ci --prefix tests/integration/node
//   HALYX_BIN=build-e2e/halyx node tests/integration/test_websocket.js [name filter]

const { spawn } = require('child_process');
const net = require('net');
const path = require('path');
const { createRequire } = require('module');
const { TIMEOUT, run, within } = require('./node/harness');

const nodeRequire = createRequire(path.join(__dirname, 'node', 'package.json'));
let WebSocket;
let mqtt;
try {
  WebSocket = nodeRequire('ws');
  mqtt = nodeRequire('mqtt');
} catch (e) {
  console.error(`Node packages missing (${e.message}); run: npm ci --prefix tests/integration/node`);
  process.exit(2);
}

// --- MQTT 3.1 packets -------------------------------------------------------

const NAMES = ['RESERVED0', 'CONNECT', 'CONNACK', 'PUBLISH', 'PUBACK', 'PUBREC', 'PUBREL', 'PUBCOMP',
  'SUBSCRIBE', 'SUBACK', 'UNSUBSCRIBE', 'UNSUBACK', 'PINGREQ', 'PINGRESP', 'DISCONNECT', 'RESERVED15'];

const u16 = (n) => Buffer.from([n >> 8, n & 0xff]);
const str = (s) => { const b = Buffer.from(s); return Buffer.concat([u16(b.length), b]); };

function packet(firstByte, body = Buffer.alloc(0)) {
  const len = [];
  let n = body.length;
  do {
    let byte = n % 128;
    n = Math.floor(n / 128);
    if (n) byte |= 0x80;
    len.push(byte);
  } while (n);
  return Buffer.concat([Buffer.from([firstByte, ...len]), body]);
}

// Length of the whole packet at the start of `buf`, or 0 while incomplete.
function wholePacket(buf) {
  let remLen = 0;
  let multiplier = 1;
  for (let i = 1; i < buf.length && i <= 4; i += 1) {
    remLen += (buf[i] & 0x7f) * multiplier;
    multiplier *= 128;
    if (!(buf[i] & 0x80)) return buf.length >= i + 1 + remLen ? i + 1 + remLen : 0;
  }
  return 0;
}

const mq = {
  connect(clientId, { will = null, keepalive = 60 } = {}) {
    let flags = 0x02;
    let payload = str(clientId);
    if (will) {
      flags |= 0x04;
      payload = Buffer.concat([payload, str(will.topic), str(will.message)]);
    }
    return packet(0x10, Buffer.concat([str('MQIsdp'), Buffer.from([3, flags]), u16(keepalive), payload]));
  },
  connack: (code = 0) => Buffer.from([0x20, 0x02, 0x00, code]),
  publish(topic, payload, qos = 0, mid = 0, retain = false) {
    const parts = [str(topic)];
    if (qos) parts.push(u16(mid));
    parts.push(Buffer.from(payload));
    return packet(0x30 | (qos << 1) | (retain ? 1 : 0), Buffer.concat(parts));
  },
  puback: (mid) => Buffer.concat([Buffer.from([0x40, 0x02]), u16(mid)]),
  subscribe: (mid, filters) => packet(0x82, Buffer.concat([u16(mid),
    ...filters.map(([f, qos]) => Buffer.concat([str(f), Buffer.from([qos])]))])),
  suback: (mid, codes) => packet(0x90, Buffer.concat([u16(mid), Buffer.from(codes)])),
  pingreq: () => Buffer.from([0xc0, 0x00]),
  pingresp: () => Buffer.from([0xd0, 0x00]),
};

function describe(pkt) {
  if (!pkt) return 'connection closed';
  const hex = pkt.subarray(0, 40).toString('hex').replace(/(..)(?!$)/g, '$1 ') + (pkt.length > 40 ? ' ...' : '');
  let text = NAMES[pkt[0] >> 4];
  if (pkt[0] >> 4 === 3 && wholePacket(pkt) === pkt.length) {
    let offset = 1;
    while (pkt[offset] & 0x80) offset += 1;
    offset += 1;
    const qos = (pkt[0] >> 1) & 3;
    const topicEnd = offset + 2 + pkt.readUInt16BE(offset);
    text += `(qos=${qos}, retain=${pkt[0] & 1}, topic=${pkt.subarray(offset + 2, topicEnd)}, ` +
      `payload of ${pkt.length - topicEnd - (qos ? 2 : 0)} bytes)`;
  }
  return `${text} [${hex}]`;
}

// --- raw WebSocket MQTT client ---------------------------------------------

class WsClient {
  static async open(port, protocol = 'mqttv3.1') {
    const ws = new WebSocket(`ws://127.0.0.1:${port}`, protocol);
    const client = new WsClient(ws);
    await within(new Promise((resolve, reject) => {
      ws.once('open', resolve);
      ws.once('error', reject);
    }), 'WebSocket opening handshake');
    return client;
  }

  constructor(ws) {
    this.ws = ws;
    this.buf = Buffer.alloc(0);
    this.closed = false;
    this.waiters = [];
    ws.on('message', (data) => { this.buf = Buffer.concat([this.buf, data]); this.wake(); });
    ws.on('close', () => { this.closed = true; this.wake(); });
    ws.on('error', () => {}); // a reset after the daemon closes shows up as 'close'
  }

  wake() {
    const waiters = this.waiters;
    this.waiters = [];
    waiters.forEach((w) => w());
  }

  // Each buffer goes out as one binary frame.
  send(...frames) {
    for (const frame of frames) this.ws.send(frame);
  }

  // Next whole packet, or null once the connection is closed.
  async read(what = 'packet') {
    const deadline = Date.now() + TIMEOUT;
    for (;;) {
      const n = wholePacket(this.buf);
      if (n) {
        const pkt = this.buf.subarray(0, n);
        this.buf = this.buf.subarray(n);
        return pkt;
      }
      if (this.closed) return null;
      const left = deadline - Date.now();
      if (left <= 0) throw new Error(`nothing received within ${TIMEOUT} ms: ${what}`);
      await new Promise((resolve) => { this.waiters.push(resolve); setTimeout(resolve, left); });
    }
  }

  async expect(expected, what) {
    const actual = await this.read(what);
    if (!actual || !actual.equals(expected)) {
      throw new Error(`${what}:\n  expected ${describe(expected)}\n  received ${describe(actual)}`);
    }
  }

  async expectClosed(what) {
    const actual = await this.read(what);
    if (actual) throw new Error(`${what}: expected the connection closed without a reply, received ${describe(actual)}`);
  }

  close() {
    this.ws.terminate();
  }
}

async function connected(daemon, clientId, options) {
  const client = await WsClient.open(daemon.wsPort);
  client.send(mq.connect(clientId, options));
  await client.expect(mq.connack(0), `CONNACK for ${clientId}`);
  return client;
}

// A new WebSocket client can still subscribe and receive its own publication.
async function stillServed(daemon) {
  const client = await connected(daemon, 'ok');
  client.send(mq.subscribe(1, [['ok/t', 0]]));
  await client.expect(mq.suback(1, [0]), 'SUBACK of a later client');
  client.send(mq.publish('ok/t', 'fine'));
  await client.expect(mq.publish('ok/t', 'fine'), 'delivery to a later client');
  client.close();
}

// Raw HTTP upgrade request; resolves to everything the daemon sent before
// closing, or after its reply to an accepted request.
function upgrade(port, headers) {
  return within(new Promise((resolve, reject) => {
    const sock = net.connect(port, '127.0.0.1');
    let received = '';
    sock.on('connect', () => sock.write(`GET / HTTP/1.1\r\nHost: 127.0.0.1:${port}\r\n${headers.join('\r\n')}\r\n\r\n`));
    sock.on('data', (d) => {
      received += d.toString('latin1');
      if (received.includes('\r\n\r\n')) { sock.destroy(); resolve({ closed: false, received }); }
    });
    sock.on('close', () => resolve({ closed: true, received }));
    sock.on('error', reject);
  }), 'upgrade response or close');
}

const UPGRADE = ['Upgrade: websocket', 'Connection: Upgrade', 'Sec-WebSocket-Version: 13',
  'Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==', 'Sec-WebSocket-Protocol: mqttv3.1'];
const replaceHeader = (name, line) => UPGRADE.filter((h) => !h.startsWith(`${name}:`)).concat(line ? [line] : []);

// --- mosquitto clients over TCP ---------------------------------------------

function runProcess(cmd, args, { untilLine = null } = {}) {
  const child = spawn(cmd, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  let out = '';
  let lineSeen = null;
  const seen = untilLine ? new Promise((resolve) => { lineSeen = resolve; }) : null;
  const onData = (d) => {
    out += d;
    if (lineSeen && out.includes(untilLine)) lineSeen();
  };
  child.stdout.on('data', onData);
  child.stderr.on('data', onData);
  const done = new Promise((resolve) => child.on('close', (code) => {
    if (lineSeen) lineSeen(); // the line never came: the caller looks at the output
    resolve({ code, out });
  }));
  return { child, seen: seen && seen.then(() => out), done };
}

function mosquittoSub(port, version, topic) {
  const proc = runProcess('stdbuf', ['-oL', 'mosquitto_sub', '-h', '127.0.0.1', '-p', String(port), '-V', version,
    '-i', `tcpsub${version}`, '-q', '1', '-t', topic, '-C', '1', '-W', String(TIMEOUT / 1000), '-d',
    '-F', 'MSG %t %q %p'], { untilLine: 'received SUBACK' });
  return proc;
}

async function mosquittoPub(port, version, topic, message) {
  const { code, out } = await within(runProcess('mosquitto_pub', ['-h', '127.0.0.1', '-p', String(port),
    '-V', version, '-i', `tcppub${version}`, '-q', '1', '-t', topic, '-m', message]).done, 'mosquitto_pub');
  if (code !== 0) throw new Error(`mosquitto_pub exited ${code}: ${out}`);
}

function assertEqual(actual, expected, what) {
  if (JSON.stringify(actual) !== JSON.stringify(expected)) {
    throw new Error(`${what}: expected ${JSON.stringify(expected)}, got ${JSON.stringify(actual)}`);
  }
}

// --- tests -------------------------------------------------------------------

const tests = [];
const test = (name, fn) => tests.push([name, fn]);

test('MQTT.js over WebSocket exchanges messages with mosquitto clients over TCP', async (d) => {
  const js = mqtt.connect(`ws://127.0.0.1:${d.wsPort}`, {
    protocolId: 'MQIsdp', protocolVersion: 3, clientId: 'mqttjs', reconnectPeriod: 0, connectTimeout: TIMEOUT,
  });
  js.on('error', () => {});
  try {
    await within(new Promise((resolve, reject) => { js.once('connect', resolve); js.once('error', reject); }), 'MQTT.js CONNACK');
    const granted = await within(js.subscribeAsync('tcp/to/ws', { qos: 1 }), 'MQTT.js SUBACK');
    assertEqual(granted.map((g) => g.qos), [1], 'granted QoS');
    for (const version of ['31', '311']) {
      const message = within(new Promise((resolve) => js.once('message', (topic, payload, pkt) => resolve([topic, payload.toString(), pkt.qos]))), 'message at MQTT.js');
      await mosquittoPub(d.mqttPort, version, 'tcp/to/ws', `from tcp ${version}`);
      assertEqual(await message, ['tcp/to/ws', `from tcp ${version}`, 1], 'TCP to WebSocket');

      const sub = mosquittoSub(d.mqttPort, version, 'ws/to/tcp');
      const early = await within(sub.seen, 'SUBACK at mosquitto_sub');
      if (!early.includes('received SUBACK')) throw new Error(`mosquitto_sub got no SUBACK:\n${early}`);
      await within(js.publishAsync('ws/to/tcp', `from ws ${version}`, { qos: 1 }), 'PUBACK at MQTT.js');
      const { code, out } = await within(sub.done, 'mosquitto_sub ends');
      assertEqual([code, out.split('\n').filter((l) => l.startsWith('MSG '))], [0, [`MSG ws/to/tcp 1 from ws ${version}`]],
        `WebSocket to TCP (mosquitto_sub output:\n${out})`);
    }
  } finally {
    js.end(true);
  }
});

test('upgrade with sub-protocol mqttv3.1 is answered 101 with the accept key', async (d) => {
  const { closed, received } = await upgrade(d.wsPort, UPGRADE);
  if (closed || !received.startsWith('HTTP/1.1 101 ')) throw new Error(`no 101 response: ${JSON.stringify(received)}`);
  // The accept value for the key of RFC 6455's own example.
  if (!/\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK\+xOo=\r\n/i.test(received)) throw new Error(`wrong accept key: ${received}`);
  if (!/\r\nSec-WebSocket-Protocol: mqttv3\.1\r\n/i.test(received)) throw new Error(`sub-protocol not confirmed: ${received}`);
  // A random key, checked by the ws library itself.
  const client = await WsClient.open(d.wsPort);
  assertEqual(client.ws.protocol, 'mqttv3.1', 'negotiated sub-protocol');
  client.close();
});

test('unacceptable upgrade requests are closed without 101', async (d) => {
  const cases = {
    'sub-protocol mqtt': replaceHeader('Sec-WebSocket-Protocol', 'Sec-WebSocket-Protocol: mqtt'),
    'sub-protocol list': replaceHeader('Sec-WebSocket-Protocol', 'Sec-WebSocket-Protocol: mqttv3.1, mqtt'),
    'no sub-protocol': replaceHeader('Sec-WebSocket-Protocol', null),
    'version 8': replaceHeader('Sec-WebSocket-Version', 'Sec-WebSocket-Version: 8'),
    'no key': replaceHeader('Sec-WebSocket-Key', null),
  };
  for (const [what, headers] of Object.entries(cases)) {
    const { closed, received } = await upgrade(d.wsPort, headers);
    if (!closed || received.startsWith('HTTP/1.1 101')) throw new Error(`${what}: expected a close without 101, got ${JSON.stringify(received)}`);
  }
  await stillServed(d);
});

test('ping is answered with an empty pong', async (d) => {
  const client = await connected(d, 'pinger');
  const pong = within(new Promise((resolve) => client.ws.once('pong', resolve)), 'pong');
  client.ws.ping();
  assertEqual((await pong).length, 0, 'pong payload length');
  client.send(mq.pingreq());
  await client.expect(mq.pingresp(), 'MQTT still served after the ping');
  client.close();
});

test('MQTT packets split over two binary frames are delivered whole', async (d) => {
  const client = await WsClient.open(d.wsPort);
  const split = (buf, at) => [buf.subarray(0, at), buf.subarray(at)];
  client.send(...split(mq.connect('splitter'), 5));
  await client.expect(mq.connack(0), 'CONNACK for a split CONNECT');
  client.send(...split(mq.subscribe(1, [['s/t', 0]]), 1));
  await client.expect(mq.suback(1, [0]), 'SUBACK for a split SUBSCRIBE');
  client.send(...split(mq.publish('s/t', 'x'.repeat(300)), 150));
  await client.expect(mq.publish('s/t', 'x'.repeat(300)), 'delivery of a split PUBLISH');
  client.close();
});

test('several MQTT packets in one binary frame are answered in order', async (d) => {
  const client = await WsClient.open(d.wsPort);
  client.send(Buffer.concat([mq.connect('joined'), mq.subscribe(3, [['j/t', 0]]), mq.pingreq()]));
  await client.expect(mq.connack(0), 'CONNACK');
  await client.expect(mq.suback(3, [0]), 'SUBACK');
  await client.expect(mq.pingresp(), 'PINGRESP');
  client.close();
});

test('a text frame closes the connection', async (d) => {
  const client = await connected(d, 'texter');
  client.ws.send('hello');
  await client.expectClosed('after a text frame');
  await stillServed(d);
});

test('DISCONNECT closes the WebSocket connection', async (d) => {
  const client = await connected(d, 'leaver');
  client.send(Buffer.from([0xe0, 0x00]));
  await client.expectClosed('after DISCONNECT');
});

test('a remaining length over four bytes closes the connection', async (d) => {
  const client = await connected(d, 'badlen');
  client.send(Buffer.from([0x30, 0xff, 0xff, 0xff, 0xff, 0x01, 0x00, 0x00]));
  await client.expectClosed('after a five-byte remaining length');
  await stillServed(d);
});

test('a frame announcing more than 65536 bytes closes the connection', async (d) => {
  const client = await connected(d, 'huge');
  client.send(Buffer.alloc(65537));
  await client.expectClosed('after a 65537-byte frame');
  await stillServed(d);
});

test('a PUBLISH filling a 65536-byte frame is delivered', async (d) => {
  const client = await connected(d, 'big');
  client.send(mq.subscribe(1, [['big/t', 0]]));
  await client.expect(mq.suback(1, [0]), 'SUBACK');
  const pub = mq.publish('big/t', Buffer.alloc(65525, 0x61));
  assertEqual(pub.length, 65536, 'packet size');
  client.send(pub);
  await client.expect(pub, 'delivery of a 65536-byte packet');
  client.close();
});

test('a PUBLISH payload over 65535 bytes in two frames closes the connection without reply', async (d) => {
  const watcher = await connected(d, 'watcher');
  watcher.send(mq.subscribe(1, [['big/t', 0]]));
  await watcher.expect(mq.suback(1, [0]), 'SUBACK');
  const client = await connected(d, 'bigger');
  const pub = mq.publish('big/t', Buffer.alloc(65536, 0x62), 1, 2);
  client.send(pub.subarray(0, 40000), pub.subarray(40000));
  await client.expectClosed('after a 65536-byte payload');
  watcher.send(mq.pingreq());
  await watcher.expect(mq.pingresp(), 'nothing delivered before PINGRESP');
  watcher.close();
  await stillServed(d);
});

test('the will of a WebSocket client is published when its connection drops', async (d) => {
  const watcher = await connected(d, 'watcher');
  watcher.send(mq.subscribe(1, [['will/ws', 0]]));
  await watcher.expect(mq.suback(1, [0]), 'SUBACK');
  const client = await connected(d, 'dying', { will: { topic: 'will/ws', message: 'bye' } });
  client.close();
  await watcher.expect(mq.publish('will/ws', 'bye'), 'will');
  watcher.close();
});

run(tests);
