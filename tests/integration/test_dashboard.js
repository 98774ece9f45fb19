'use strict';
// The web dashboard (www/) end to end: Debian's chromium, driven by
// playwright-core, loads the page from halyx's own file server and talks MQTT
// over WebSocket to the same daemon, with an MQTT.js client over TCP on the
// other side. Screenshots go to tests/integration/artifacts/ (or $HALYX_ARTIFACTS).
//   scripts/setup-www && npm ci --prefix tests/integration/node
//   HALYX_BIN=build/halyx node tests/integration/test_dashboard.js

const assert = require('node:assert/strict');
const { once } = require('node:events');
const fs = require('node:fs');
const { createRequire } = require('node:module');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { test } = require('node:test');
const { TIMEOUT, waitUntil, timeLimit, startDaemon } = require('./daemon');

const nodeRequire = createRequire(path.join(__dirname, 'node', 'package.json'));
const mqtt = nodeRequire('mqtt');
const { chromium } = nodeRequire('playwright-core');

const WWW = path.join(__dirname, '..', '..', 'www');
const ARTIFACTS = process.env.HALYX_ARTIFACTS || path.join(__dirname, 'artifacts');
const REFUSED = 'The rules engine refused this file; the running rules are unchanged';

// Runs `fn(daemon, page, tcp)` against a fresh daemon serving www/, a fresh
// headless chromium and an MQTT.js client over TCP subscribed to "dash/#".
// With `users` ([name, password, publish flag]) the daemon requires a login,
// the TCP client logs in as the first, and `fn` gets the page before it is
// connected. With `tls` the daemon has TLS ports too and the page is loaded
// over https://, trusting the test's own authority. `conf`: further keys.
function dashboardTest(name, fn, users = [], tls = false, conf = {}) {
  test(name, async () => {
    assert.ok(fs.existsSync(path.join(WWW, 'lib', 'mqtt.min.js')), 'www/lib is there (run scripts/setup-www)');
    const d = await startDaemon({
      HALYX_HTTP_FILES: WWW, HALYX_USERS: JSON.stringify(users), HALYX_TLS: tls ? '1' : '', HALYX_PERSISTENCE: '1',
      HALYX_TEST_CONF: JSON.stringify(conf),
    });
    const profile = fs.mkdtempSync(path.join(os.tmpdir(), 'halyx-chromium-'));
    let failed = true;
    let browser;
    let tcp;
    let clean;
    try {
      browser = await chromium.launchPersistentContext(profile, {
        executablePath: '/usr/bin/chromium', viewport: { width: 1280, height: 800 }, timeout: TIMEOUT,
        ignoreHTTPSErrors: tls,
        args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
          '--disable-background-networking', '--disable-component-update', '--disable-sync',
          ...(tls ? ['--ignore-certificate-errors'] : [])],
      });
      browser.setDefaultTimeout(TIMEOUT);
      const page = browser.pages()[0] || await browser.newPage();
      const errors = [];
      page.on('pageerror', (err) => errors.push(err.message));
      const login = users.length ? { username: users[0][0], password: users[0][1] } : {};
      tcp = mqtt.connect(`mqtt://127.0.0.1:${d.mqttPort}`, { clientId: 'tcp-dash', reconnectPeriod: 0, ...login });
      tcp.received = [];
      tcp.on('message', (topic, payload) => tcp.received.push(`${topic} ${payload}`));
      await tcp.subscribeAsync('dash/#', { qos: 1 });
      // The harness's WebSocket port is not config.js's: the page asks the hub.
      // Over https:// the page takes wss:// and the hub's TLS WebSocket port.
      await page.goto(tls ? `https://127.0.0.1:${d.httpsPort}/` : `http://127.0.0.1:${d.httpPort}/`);
      if (!users.length) await page.locator('#state', { hasText: /^connected$/ }).waitFor();
      await page.locator('#broker', { hasText: tls ? `wss://127.0.0.1:${d.wssPort}` : `ws://127.0.0.1:${d.wsPort}` })
        .waitFor();
      await Promise.race([fn(d, page, tcp), timeLimit(10 * TIMEOUT)]);
      assert.deepEqual(errors, [], 'no script errors in the page');
      failed = false;
    } finally {
      if (failed && browser) await shot(browser.pages()[0], `failed-${name.replace(/\W+/g, '-')}.png`).catch(() => {});
      tcp?.end(true);
      await browser?.close();
      fs.rmSync(profile, { recursive: true, force: true });
      clean = await d.stop(failed);
    }
    assert.ok(clean, 'the daemon stopped cleanly');
  });
}

// A screenshot of a page or of one element of it.
function shot(what, name, options) {
  fs.mkdirSync(ARTIFACTS, { recursive: true });
  return what.screenshot({ path: path.join(ARTIFACTS, name), ...options });
}

// The text of the topic table's value cell for `topic`, once it equals `value`.
function tableValue(page, topic, value) {
  return page.waitForFunction(([t, v]) => {
    const cell = document.querySelector(`#topics tr[data-topic="${CSS.escape(t)}"] td.value`);
    return cell && cell.textContent === v;
  }, [topic, value]).catch((err) => { throw new Error(`"${value}" for ${topic} in the table: ${err.message}`); });
}

// A port nothing listens on.
async function closedPort() {
  const server = net.createServer().listen(0, '127.0.0.1');
  await once(server, 'listening');
  const { port } = server.address();
  server.close();
  return port;
}

const tcpReceived = (tcp, line) => waitUntil(() => tcp.received.includes(line), `"${line}" at the TCP client`);

dashboardTest('the topic table and the publish form with a TCP client on the other side', async (d, page, tcp) => {
  await page.locator('#rules-save:enabled').waitFor();
  await tcp.publishAsync('dash/temperature', '20.5', { qos: 1, retain: true });
  await tableValue(page, 'dash/temperature', '20.5');
  // The bridge's upstream never answers: the publication waits for it.
  await page.locator('#bridge', { hasText: /^upstream disconnected, 1 queued$/ }).waitFor();
  await page.fill('#filter', 'temp');
  await page.locator('#topic-count', { hasText: /^1 of \d+$/ }).waitFor();
  await page.fill('#filter', '');

  await page.fill('#pub-topic', 'dash/from-page');
  await page.fill('#pub-value', 'hello from the browser');
  await page.click('#publish button[type=submit]');
  await tcpReceived(tcp, 'dash/from-page hello from the browser');
  await page.locator('#pub-status', { hasText: /^Published/ }).waitFor();
  await tableValue(page, 'dash/from-page', 'hello from the browser');

  // After a reconnect the table keeps what the hub still has (retained
  // values) and forgets the rest. The page's WebSocket goes through a relay
  // here that the test can cut.
  let relay = null;
  await page.routeWebSocket(/.*/, (ws) => { ws.connectToServer(); relay = ws; });
  await page.reload();
  // "connected" comes with the CONNACK; the retained value, once subscribed.
  await tableValue(page, 'dash/temperature', '20.5');
  await tcp.publishAsync('dash/passing', 'once', { qos: 1 });
  await tableValue(page, 'dash/passing', 'once');
  relay.close();
  await page.locator('#topics tr[data-topic="dash/passing"]').waitFor({ state: 'detached' });
  await page.locator('#state', { hasText: /^connected$/ }).waitFor();
  await tableValue(page, 'dash/temperature', '20.5');
  await page.unrouteAll();

  // #ws=PORT overrides what the hub says; without a connection there is no Save.
  await page.goto(`http://127.0.0.1:${d.httpPort}/index.html#ws=${await closedPort()}`);
  await page.locator('#state', { hasText: /^(reconnecting|offline)$/ }).waitFor();
  assert.ok(await page.isDisabled('#rules-save'), 'Save is disabled while not connected');
}, [], false, { bridge_address: '127.0.0.1', bridge_port: 1, bridge_out: 'dash/#' });

const RULES = JSON.stringify({
  version: '1.00',
  nodes: [
    { type: 'variable-init', variable: 'setpoint', value: '20', retain: 1 },
    { type: 'trigger-topic', topic: 'dash/in', nextid: 1 },
    { type: 'action-value', id: 1, topic: 'dash/out', value: 'rule ran', nextid: 0, retain: 1 },
  ],
}, null, 2);

dashboardTest('rules editor, plot, phone layout and a refused rules file', async (d, page, tcp) => {
  await page.fill('#rules', RULES);
  await page.click('#rules-save');
  await page.locator('#rules-status', { hasText: 'Saved: the rules engine runs this file' }).waitFor();
  assert.equal(await page.inputValue('#rules'), RULES, 'the file the engine republished');
  await page.locator('#variables td', { hasText: /^setpoint$/ }).waitFor();

  await tcp.publishAsync('dash/in', 'go', { qos: 1 });
  await tcpReceived(tcp, 'dash/out rule ran');
  await tableValue(page, 'dash/out', 'rule ran');
  for (const value of ['18.5', '19', '19.5', '20.5', '21']) {
    await tcp.publishAsync('dash/temperature', value, { qos: 1, retain: true });
    await tableValue(page, 'dash/temperature', value);
  }
  await page.click('#topics tr[data-topic="dash/temperature"]');
  await page.locator('#plot canvas').waitFor();
  assert.equal(await page.textContent('#plot-topic'), 'dash/temperature', 'plotted topic');
  // A new page plots what the hub kept, then the live values.
  const kept = () => page.evaluate(() => fetch('api/history?topic=dash%2Ftemperature&since=0').then((r) => r.json()));
  await waitUntil(async () => (await kept()).points.length === 5, 'five points kept');
  await page.reload();
  await tableValue(page, 'dash/temperature', '21');
  await page.selectOption('#plot-range', 'hour');
  await page.click('#topics tr[data-topic="dash/temperature"]');
  await page.waitForFunction(() => Number(document.querySelector('#plot').dataset.points) >= 6);
  await tcp.publishAsync('dash/temperature', '22', { qos: 1, retain: true });
  await page.waitForFunction(() => Number(document.querySelector('#plot').dataset.points) >= 7);
  await page.$eval('#rules', (area) => { area.scrollTop = 0; });
  await shot(page, 'dashboard-desktop.png');

  await page.setViewportSize({ width: 390, height: 844 });
  // No sideways scrolling on a phone, once the plot has followed the resize,
  // and the Retained column still there.
  await page.waitForFunction(() => document.documentElement.scrollWidth <= 390);
  await page.locator('#topics tr[data-topic="dash/temperature"] td.retained', { hasText: 'yes' }).waitFor();
  await shot(page, 'dashboard-phone.png', { fullPage: true });
  await page.setViewportSize({ width: 1280, height: 800 });

  await page.fill('#rules', '{"version": "9.99", "nodes": []}');
  await page.click('#rules-save');
  await page.locator('#rules-status', { hasText: REFUSED }).waitFor();
  // The engine's reason, retained until a file is accepted.
  await page.locator('#rules-error', { hasText: 'Refused: version "9.99" is not at most' }).waitFor();
  await shot(page.locator('#rules-panel'), 'dashboard-refused.png');
  await page.click('#rules-revert');
  assert.equal(await page.inputValue('#rules'), RULES, 'Revert brings back the last accepted file');
  // Saved again, accepted: the reason goes.
  await page.click('#rules-save');
  await page.locator('#rules-status', { hasText: 'Saved' }).waitFor();
  await page.locator('#rules-error').waitFor({ state: 'hidden' });
});

dashboardTest('a hub over https that requires a login: the form, a wrong password, the right one', async (d, page, tcp) => {
  const login = page.locator('#login');
  await page.locator('#login-status', { hasText: 'The hub asks for a user name and password' }).waitFor();
  assert.equal(await page.textContent('#state'), 'login');
  await page.fill('#login-user', 'dash');
  await page.fill('#login-password', 'wrong');
  await page.click('#login button[type=submit]');
  await page.locator('#login-status', { hasText: 'Wrong user name or password' }).waitFor();
  assert.ok(await login.isVisible(), 'the form stays for another try');
  await shot(login, 'dashboard-login-refused.png');

  await page.fill('#login-password', 'secret');
  await page.click('#login button[type=submit]');
  await page.locator('#state', { hasText: /^connected$/ }).waitFor();
  await login.waitFor({ state: 'hidden' });
  await tcp.publishAsync('dash/temperature', '21.5', { qos: 1, retain: true });
  await tableValue(page, 'dash/temperature', '21.5');
  // The login lasts as long as the tab: a reload connects without the form.
  await page.reload();
  await page.locator('#state', { hasText: /^connected$/ }).waitFor();
  assert.ok(await login.isHidden(), 'no form after a reload');
  await tableValue(page, 'dash/temperature', '21.5');
}, [['dash', 'secret', 1]], true);
