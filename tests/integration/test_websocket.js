'use strict';
// MQTT over WebSocket end to end: MQTT.js and a raw `ws` client against the
// real daemon, with Debian's mosquitto clients on the plain TCP side. Frame
// details are left to the unit tests of the TCP thread.
//   npm ci --prefix tests/integration/node
//   HALYX_BIN=build/halyx node tests/integration/test_websocket.js [name filter]

const { spawn } = require('child_process');
const path = require('path');
const { createRequire } = require('module');
const { TIMEOUT, run, waitUntil, within } = require('./node/harness');

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

// MQTT 3.1 packets short enough for a one-byte Remaining Length.
const str = (s) => Buffer.concat([Buffer.from([0, Buffer.byteLength(s)]), Buffer.from(s)]);
const packet = (firstByte, ...parts) => {
  const body = Buffer.concat(parts);
  if (body.length > 127) throw new Error('packet too long for these tests');
  return Buffer.concat([Buffer.from([firstByte, body.length]), body]);
};
const CONNECT = (clientId) => packet(0x10, str('MQIsdp'), Buffer.from([3, 0x02, 0, 60]), str(clientId));
const CONNACK = Buffer.from([0x20, 0x02, 0x00, 0x00]);

// A raw WebSocket client collecting the bytes of the binary frames it
// receives. The ws library itself checks the 101 response: accept key and
// sub-protocol.
function rawWs(port, protocol) {
  const ws = new WebSocket(`ws://127.0.0.1:${port}`, protocol);
  Object.assign(ws, { upgraded: false, closed: false, received: Buffer.alloc(0) });
  ws.on('upgrade', () => { ws.upgraded = true; });
  ws.on('message', (data) => { ws.received = Buffer.concat([ws.received, data]); });
  ws.on('close', () => { ws.closed = true; });
  ws.on('error', () => {}); // followed by 'close'
  return ws;
}

async function opened(port) {
  const ws = rawWs(port, 'mqttv3.1');
  if (!(await waitUntil(() => ws.readyState === WebSocket.OPEN || ws.closed)) || ws.closed) {
    throw new Error('WebSocket with sub-protocol mqttv3.1 not opened');
  }
  return ws;
}

// Waits for as many bytes as `expected` has, or the close, and compares them.
async function expectBytes(ws, expected, what) {
  await waitUntil(() => ws.received.length >= expected.length || ws.closed);
  const actual = ws.received.subarray(0, expected.length);
  ws.received = ws.received.subarray(expected.length);
  if (!actual.equals(expected)) {
    throw new Error(`${what}:\n  expected [${expected.toString('hex')}]\n  received [${actual.toString('hex')}]` +
      `${ws.closed ? ', then the close' : ''}`);
  }
}

// mosquitto_pub or mosquitto_sub over TCP; `out` collects what it prints.
function mosquitto(tool, port, version, ...args) {
  const child = spawn('stdbuf', ['-oL', tool, '-h', '127.0.0.1', '-p', String(port), '-V', version, ...args]);
  const proc = { out: '' };
  child.stdout.on('data', (d) => { proc.out += d; });
  child.stderr.on('data', (d) => { proc.out += d; });
  proc.done = new Promise((resolve) => child.on('close', resolve));
  return proc;
}

function assertEqual(actual, expected, what) {
  if (JSON.stringify(actual) !== JSON.stringify(expected)) {
    throw new Error(`${what}: expected ${JSON.stringify(expected)}, got ${JSON.stringify(actual)}`);
  }
}

const tests = [];
const test = (name, fn) => tests.push([name, fn]);

test('MQTT.js over WebSocket exchanges messages with mosquitto clients over TCP', async (d) => {
  // MQTT.js asks for the sub-protocol mqttv3.1 with this protocol and level.
  const js = mqtt.connect(`ws://127.0.0.1:${d.wsPort}`, {
    protocolId: 'MQIsdp', protocolVersion: 3, clientId: 'mqttjs', reconnectPeriod: 0, connectTimeout: TIMEOUT,
  });
  js.on('error', () => {});
  const tcp = (tool, version, ...args) => mosquitto(tool, d.mqttPort, version, '-q', '1', ...args);
  try {
    await within(new Promise((resolve, reject) => { js.once('connect', resolve); js.once('error', reject); }),
      'MQTT.js CONNACK');
    const granted = await within(js.subscribeAsync('tcp/to/ws', { qos: 1 }), 'MQTT.js SUBACK');
    assertEqual(granted.map((g) => g.qos), [1], 'granted QoS');
    for (const version of ['31', '311']) {
      const message = within(new Promise((resolve) => js.once('message',
        (topic, payload, pkt) => resolve([topic, `${payload}`, pkt.qos]))), 'message at MQTT.js');
      const pub = tcp('mosquitto_pub', version, '-i', 'tcppub', '-t', 'tcp/to/ws', '-m', `from tcp ${version}`);
      assertEqual([await within(pub.done, 'mosquitto_pub'), pub.out], [0, ''], 'mosquitto_pub exit status and output');
      assertEqual(await message, ['tcp/to/ws', `from tcp ${version}`, 1], 'TCP to WebSocket');

      const sub = tcp('mosquitto_sub', version, '-i', 'tcpsub', '-t', 'ws/to/tcp', '-C', '1',
        '-W', String(TIMEOUT / 1000), '-d', '-F', 'MSG %t %q %p');
      if (!(await waitUntil(() => sub.out.includes('received SUBACK')))) {
        throw new Error(`mosquitto_sub got no SUBACK:\n${sub.out}`);
      }
      await within(js.publishAsync('ws/to/tcp', `from ws ${version}`, { qos: 1 }), 'PUBACK at MQTT.js');
      assertEqual([await within(sub.done, 'mosquitto_sub'), sub.out.split('\n').filter((l) => l.startsWith('MSG '))],
        [0, [`MSG ws/to/tcp 1 from ws ${version}`]], `WebSocket to TCP (mosquitto_sub output:\n${sub.out})`);
    }
  } finally {
    js.end(true);
  }
});

test('sub-protocol mqttv3.1 is accepted with a 101 response, mqtt is refused without one', async (d) => {
  const accepted = await opened(d.wsPort);
  assertEqual(accepted.protocol, 'mqttv3.1', 'negotiated sub-protocol');
  accepted.terminate();
  const refused = rawWs(d.wsPort, 'mqtt');
  await waitUntil(() => refused.closed);
  assertEqual([refused.closed, refused.upgraded], [true, false], 'closed, and without a 101 response');
});

test('an MQTT packet split over two binary frames is read whole', async (d) => {
  const ws = await opened(d.wsPort);
  const connect = CONNECT('splitter');
  ws.send(connect.subarray(0, 5));
  ws.send(connect.subarray(5));
  await expectBytes(ws, CONNACK, 'CONNACK for a CONNECT in two frames');
  const publish = packet(0x30, str('s/t'), Buffer.from('x'.repeat(60)));
  ws.send(packet(0x82, Buffer.from([0, 1]), str('s/t'), Buffer.from([0])));
  await expectBytes(ws, Buffer.from([0x90, 3, 0, 1, 0]), 'SUBACK');
  ws.send(publish.subarray(0, 30));
  ws.send(publish.subarray(30));
  await expectBytes(ws, publish, 'delivery of a PUBLISH sent in two frames');
  ws.terminate();
});

test('a text frame closes the connection', async (d) => {
  const ws = await opened(d.wsPort);
  ws.send(CONNECT('texter'));
  await expectBytes(ws, CONNACK, 'CONNACK');
  ws.send('hello');
  await waitUntil(() => ws.closed);
  assertEqual([ws.closed, ws.received.toString('hex')], [true, ''], 'closed without a reply');
});

run(tests);
