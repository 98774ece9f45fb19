'use strict';
// The halyx dashboard: one MQTT over WebSocket connection to the hub that
// lists every topic, plots numeric ones, publishes, and edits the rules file.
(function () {
  const RULES_TOPIC = '$SYS/rulesengine/rules';
  const VERSION_TOPIC = '$SYS/rulesengine/version';
  const VARIABLES = '$SYS/rulesengine/variables/';
  const ERROR_TOPIC = '$SYS/rulesengine/error';
  const BRIDGE = '$SYS/bridge/';
  const REFUSED = 'The rules engine refused this file; the running rules are unchanged';
  const HISTORY = 500; // live points kept per numeric topic
  const SHOWN = 80; // characters of a value the table shows

  const $ = (id) => document.getElementById(id);
  const decoder = new TextDecoder();
  const numeric = (text) => /^\s*[-+]?(\d+\.?\d*|\.\d+)([eE][-+]?\d+)?\s*$/.test(text);
  // topic -> {value, retained, changed, seen, history: [times in s, values]}
  const topics = new Map();
  let plot = null; // the uPlot chart of plotTopic
  let plotTopic = null;
  let plotStored = [[], []]; // the hub's history of plotTopic: [times in s, values]
  const RANGES = { hour: 3600, day: 86400, week: 604800 }; // the plot's time ranges in s
  let hubRules = null; // the rules topic's last value
  let acceptedRules = ''; // the last file the engine ran, which Revert brings back
  let saving = false; // a new rules file was sent; the engine's answer is due
  let client = null;
  let connectedAt = 0; // when this connection began: older topics are the hub's no longer
  let rulesSeen = false; // the rules topic had a value on this connection
  let rulesLoaded = false; // the hub's values, the rules file among them, are in

  function setState(state, detail) {
    $('state').textContent = state;
    $('state').className = 'state ' + state;
    $('state').title = detail || '';
    saveEnable();
  }
  // Saving needs the connection and the hub's current file, so that what
  // is saved was written against it.
  function saveEnable() {
    $('rules-save').disabled = !(client && client.connected && rulesLoaded);
  }
  saveEnable();

  // A page loaded over https may only open wss:// connections, which the
  // hub serves on its TLS WebSocket port.
  const secure = location.protocol === 'https:';

  // The broker's port: #ws=PORT at the end of the address (halyx's file
  // server would take a ?ws=PORT query for part of the file name; other
  // servers may serve the page with one), else what the hub says in
  // halyx.json, else config.js.
  async function brokerPort() {
    const given = (/[?&#]ws=(\d+)/.exec(location.search + location.hash) || [])[1];
    if (given) return given;
    try {
      const reply = await fetch('halyx.json', { cache: 'no-store' });
      const hub = reply.ok && (await reply.json());
      const port = hub && (secure ? hub.mqtt_ws_tls_port : hub.mqtt_ws_port);
      if (Number.isInteger(port) && port > 0) return port;
    } catch (err) {
      // An older hub or another server: config.js says.
    }
    return secure ? halyxConfig.wssPort : halyxConfig.wsPort;
  }

  // The user name and password the hub accepted or is about to be asked
  // with, kept for this browser tab only (sessionStorage is gone once it
  // closes) and forgotten when the hub refuses them.
  const LOGIN_KEY = 'halyx-login';
  function loginSaved() {
    try {
      return JSON.parse(sessionStorage.getItem(LOGIN_KEY)) || null;
    } catch (err) {
      return null;
    }
  }
  function loginKeep(login) {
    if (login) sessionStorage.setItem(LOGIN_KEY, JSON.stringify(login));
    else sessionStorage.removeItem(LOGIN_KEY);
  }

  // The hub refuses a CONNECT for its credentials with return code 4 (bad
  // user name or password) or 5 (not authorised); MQTT.js reports either as
  // an error with that code and does not try again.
  const refusedLogin = (err) => err && (err.code === 4 || err.code === 5);
  function loginAsk(text) {
    const form = $('login');
    form.hidden = false;
    $('login-password').value = '';
    status('login-status', text, 'error');
    setState('login', text);
    ($('login-user').value ? $('login-password') : $('login-user')).focus();
  }
  $('login').addEventListener('submit', (event) => {
    event.preventDefault();
    const login = { username: $('login-user').value, password: $('login-password').value };
    loginKeep(login);
    status('login-status', 'Logging in…');
    connect(login);
  });

  // On every connect the hub sends its retained values right after the
  // SUBACK of "#"; a second subscription's SUBACK follows them. Then the
  // table forgets what the hub did not send again (gone, or no longer
  // retained, as after a restart of the hub).
  function subscribed() {
    const stale = [...topics].filter(([, t]) => t.seen < connectedAt).map(([name]) => name);
    stale.forEach((name) => topics.delete(name));
    if (stale.includes(plotTopic)) plotClose();
    if (stale.includes(ERROR_TOPIC)) errorReceived('');
    if (!rulesSeen) rulesReceived('');
    rulesLoaded = true;
    saveEnable();
    scheduleRender();
  }

  let brokerUrl = null;
  brokerPort().then((port) => {
    brokerUrl = (secure ? 'wss://' : 'ws://') + (location.hostname || 'localhost') + ':' + port;
    $('broker').textContent = brokerUrl;
    connect(loginSaved());
  });

  // One connection at a time: a login replaces the refused one.
  function connect(login) {
    if (client) client.end(true);
    // MQTT 3.1 over the WebSocket sub-protocol mqttv3.1, which is what halyx
    // speaks; client ids may have at most 23 characters.
    client = mqtt.connect(brokerUrl, {
      protocolId: 'MQIsdp',
      protocolVersion: 3,
      clientId: 'dash-' + Math.random().toString(36).slice(2, 12),
      keepalive: 30,
      reconnectPeriod: 2000,
      connectTimeout: 10000,
      resubscribe: false, // subscribed again on every connect below
      ...(login || {}),
    });
    const own = client;
    own.on('connect', () => {
      $('login').hidden = true;
      $('login-password').value = '';
      connectedAt = Date.now();
      rulesSeen = false;
      saving = false;
      rulesLoaded = false;
      setState('connected');
      // "$SYS/#" too: with mqtt_standard = 1, "#" leaves out the hub's "$"
      // topics (rules engine version, error, variables).
      client.subscribe(['#', '$SYS/#'], { qos: 0 });
      client.subscribe(RULES_TOPIC, { qos: 0 }, (err) => { if (!err) subscribed(); });
    });
    own.on('reconnect', () => setState('reconnecting'));
    own.on('offline', () => { if (own === client && $('login').hidden) setState('offline'); });
    own.on('close', saveEnable);
    own.on('error', (err) => {
      if (own !== client) return;
      if (!refusedLogin(err)) {
        $('state').title = err.message;
        return;
      }
      loginKeep(null);
      if (!login) loginAsk('The hub asks for a user name and password');
      else if (err.code === 4) loginAsk('Wrong user name or password');
      else loginAsk('The hub does not let this user connect');
    });
    own.on('message', message);
  }

  function message(topic, payload, packet) {
    const value = decoder.decode(payload);
    const now = Date.now();
    const t = topics.get(topic) || { value: null, history: [[], []] };
    topics.set(topic, t);
    if (t.value !== value) t.changed = now;
    Object.assign(t, { value, retained: packet.retain, seen: now });
    if (numeric(value)) {
      t.history[0].push(now / 1000);
      t.history[1].push(Number(value));
      if (t.history[0].length > HISTORY) t.history.forEach((a) => a.shift());
    }
    if (topic === RULES_TOPIC) {
      rulesSeen = true;
      rulesReceived(value);
    }
    if (topic === ERROR_TOPIC) errorReceived(value);
    if (topic === VERSION_TOPIC) $('version').textContent = 'rules engine ' + value;
    if (topic.startsWith(BRIDGE)) bridgeShow();
    scheduleRender();
  }

  // The bridge's line: its state and what it holds for the upstream.
  function bridgeShow() {
    const state = topics.get(BRIDGE + 'state');
    const queued = topics.get(BRIDGE + 'queued');
    if (!state) return;
    $('bridge').hidden = false;
    $('bridge').textContent = 'upstream ' + state.value + (queued ? ', ' + queued.value + ' queued' : '');
  }

  // Rendering is batched: a busy hub may send hundreds of values a second.
  let renderTimer = null;
  function scheduleRender() {
    if (!renderTimer) renderTimer = setTimeout(render, 100);
  }

  function clock(ms) {
    const d = new Date(ms);
    return d.toDateString() === new Date().toDateString() ? d.toLocaleTimeString() : d.toLocaleString();
  }

  // Brings a table to one row per name, in this order, touching only what
  // changed: a row rebuilt under the pointer would lose the user's click.
  // `cells(name)` gives each cell's [text, class, title].
  function sync(table, names, cells) {
    const rows = table.rowsByName || (table.rowsByName = new Map());
    for (const name of names) {
      if (!rows.has(name)) rows.set(name, document.createElement('tr'));
      const tr = rows.get(name);
      tr.dataset.topic = name;
      cells(name).forEach(([text, className = '', title = ''], i) => {
        const td = tr.cells[i] || tr.insertCell();
        if (td.textContent !== text) td.replaceChildren(...slashBreaks(text));
        td.className = className;
        td.title = title;
      });
    }
    const body = table.tBodies[0];
    if (body.rows.length !== names.length || names.some((name, i) => body.rows[i].dataset.topic !== name)) {
      body.replaceChildren(...names.map((name) => rows.get(name)));
    }
    return rows;
  }

  // Long topics wrap after a slash rather than anywhere.
  const slashBreaks = (text) =>
    text.split(/(?<=\/)/).flatMap((part, i) => (i ? [document.createElement('wbr'), part] : [part]));

  function shorten(value) {
    if (value === '') return '(empty)';
    return value.length > SHOWN ? value.slice(0, SHOWN) + '…' : value;
  }

  function render() {
    renderTimer = null;
    const filter = $('filter').value.trim().toLowerCase();
    const names = [...topics.keys()].sort();
    const shown = names.filter((name) => name.toLowerCase().includes(filter));
    const rows = sync($('topics'), shown, (name) => {
      const t = topics.get(name);
      return [
        [name, 'topic'],
        [shorten(t.value), 'value', t.value],
        [t.retained ? 'yes' : '', 'retained'],
        [clock(t.changed), 'time', 'last message ' + clock(t.seen)],
      ];
    });
    for (const name of shown) {
      rows.get(name).classList.toggle('numeric', numeric(topics.get(name).value));
      rows.get(name).classList.toggle('selected', name === plotTopic);
    }
    $('topic-count').textContent = filter ? `${shown.length} of ${names.length}` : `${names.length}`;

    sync($('variables'), names.filter((name) => name.startsWith(VARIABLES)),
      (name) => [[name.slice(VARIABLES.length), 'topic'], [shorten(topics.get(name).value), 'value']]);

    if (plot) plot.setData(plotData());
  }
  $('filter').addEventListener('input', render);

  // The plot follows one numeric topic, chosen by clicking its row.
  const plotSize = () => ({ width: Math.max($('plot').clientWidth, 200), height: 220 });
  function plotClose() {
    if (plot) plot.destroy();
    plot = null;
    plotTopic = null;
    plotStored = [[], []];
    $('plot-topic').textContent = 'no topic chosen';
  }
  $('topics').addEventListener('click', (event) => {
    const tr = event.target.closest('tr[data-topic]');
    if (!tr || !tr.classList.contains('numeric')) return;
    plotClose();
    plotTopic = tr.dataset.topic;
    $('plot-topic').textContent = plotTopic;
    plot = new uPlot({
      ...plotSize(),
      series: [{}, { label: 'value', stroke: '#1f6feb', width: 2, points: { size: 5 } }],
      scales: { x: { time: true } },
    }, plotData(), $('plot'));
    render();
    historyLoad();
  });
  $('plot-range').addEventListener('change', () => plot && historyLoad());

  // What the hub kept of the plotted topic (GET api/history), then the
  // values that came in since, within the chosen time range.
  function plotData() {
    const live = topics.get(plotTopic).history;
    const from = Date.now() / 1000 - RANGES[$('plot-range').value];
    const last = plotStored[0].length ? plotStored[0][plotStored[0].length - 1] : -Infinity;
    const data = [[], []];
    const add = (time, value) => {
      if (time >= from) data[0].push(time), data[1].push(value);
    };
    plotStored[0].forEach((time, i) => add(time, plotStored[1][i]));
    live[0].forEach((time, i) => time > last && add(time, live[1][i]));
    $('plot').dataset.points = data[0].length;
    return data;
  }
  async function historyLoad() {
    const topic = plotTopic;
    const since = Math.floor(Date.now() / 1000) - RANGES[$('plot-range').value];
    let stored = [[], []];
    try {
      const reply = await fetch(`api/history?topic=${encodeURIComponent(topic)}&since=${since}`, { cache: 'no-store' });
      if (reply.ok) {
        const { points } = await reply.json();
        stored = [points.map((p) => p[0] / 1000), points.map((p) => p[1])];
      }
    } catch (err) {
      // A hub that keeps no history: the live values alone.
    }
    if (topic !== plotTopic) return;
    plotStored = stored;
    if (plot) plot.setData(plotData());
  }
  window.addEventListener('resize', () => plot && plot.setSize(plotSize()));

  function status(id, text, kind) {
    $(id).textContent = text;
    $(id).className = 'status ' + (kind || '');
  }

  $('variables').addEventListener('click', (event) => {
    const tr = event.target.closest('tr[data-topic]');
    if (!tr) return;
    $('pub-topic').value = tr.dataset.topic;
    $('pub-value').value = topics.get(tr.dataset.topic).value;
    $('pub-value').focus();
  });

  $('publish').addEventListener('submit', (event) => {
    event.preventDefault();
    const topic = $('pub-topic').value;
    // halyx closes the connection of a client that publishes to a wildcard.
    if (/[+#]/.test(topic)) return status('pub-status', 'A topic to publish to cannot hold + or #', 'error');
    if (!client) return status('pub-status', 'Not connected yet', 'error');
    status('pub-status', client.connected ? 'Publishing…' : 'Waiting for the connection…');
    client.publish(topic, $('pub-value').value, { qos: 1, retain: $('pub-retain').checked }, (err) => {
      if (err) status('pub-status', 'Not published: ' + err.message, 'error');
      else status('pub-status', 'Published ' + new Date().toLocaleTimeString(), 'ok');
    });
  });

  // The engine's reason for refusing the last file, retained; empty once
  // it accepts one.
  function errorReceived(text) {
    $('rules-error').textContent = text ? 'Refused: ' + text : '';
    $('rules-error').hidden = !text;
    // A refused file changes nothing else: the reason is the answer.
    if (saving && text) {
      saving = false;
      status('rules-status', REFUSED, 'error');
    }
  }

  // The rules engine answers an accepted file on its topic with the file it
  // now runs; the topic is empty only when the file on disk was refused at
  // start-up.
  function rulesReceived(text) {
    const area = $('rules');
    const edited = area.value !== (hubRules ?? '');
    if (text) acceptedRules = text;
    if (saving) {
      saving = false;
      hubRules = text;
      area.value = text;
      return status('rules-status', 'Saved: the rules engine runs this file', 'ok');
    }
    if (text === hubRules) return;
    hubRules = text;
    if (edited) return status('rules-status', 'The rules file on the hub changed; Revert shows it', 'warn');
    area.value = text;
    status('rules-status', text ? '' : 'The hub runs no rules (the rules topic is empty)', text ? '' : 'warn');
  }

  $('rules-save').addEventListener('click', () => {
    if ($('rules-save').disabled) return;
    saving = true;
    status('rules-status', 'Saving…');
    client.publish(RULES_TOPIC, $('rules').value, { qos: 1 }, (err) => {
      if (err) {
        saving = false;
        status('rules-status', 'Not saved: ' + err.message, 'error');
      } else if (saving) {
        status('rules-status', 'Sent; waiting for the rules engine…');
      }
    });
  });

  // Back to the file the engine last accepted, which after a refusal is
  // not the (empty) one it runs now.
  $('rules-revert').addEventListener('click', () => {
    $('rules').value = acceptedRules;
    if (hubRules || !acceptedRules) status('rules-status', '');
    else status('rules-status', 'The last file the engine accepted; the hub runs no rules until you save it', 'warn');
  });
})();
