// The page, its script and its style sheet, built in: nothing to install, nothing fetched
// from elsewhere.
#include <array>

#include "web_app.h"

namespace zephrane::web {

namespace {

constexpr std::string_view kIndexHtml = R"ZPH(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>ZEPHRANE.QX</title>
<link rel="icon" href="data:,">
<link rel="stylesheet" href="/app.css">
<script src="/app.js" defer></script>
</head>
<body>
<header>
  <h1>ZEPHRANE.QX</h1>
  <span id="connection" class="state bad" role="status" aria-live="polite">disconnected</span>
  <button id="logout" type="button" hidden>Log out</button>
</header>

<section id="login-panel" class="card" hidden>
  <h2>Log in</h2>
  <form id="login-form" autocomplete="on">
    <label>User <input id="user" name="username" autocomplete="username" required></label>
    <label>Secret <input id="secret" name="password" type="password" autocomplete="current-password" required></label>
    <button id="login-button" type="submit">Log in</button>
    <p id="login-message" class="message" role="alert"></p>
  </form>
</section>

<main id="app" hidden>
  <section class="card meters">
    <h2>Levels</h2>
    <div class="meter-row"><span class="label">In peak</span><div class="bar"><div id="in-peak-bar"></div><i id="in-peak-hold" class="hold"></i></div><output id="in-peak">–</output></div>
    <div class="meter-row"><span class="label">In RMS</span><div class="bar"><div id="in-rms-bar" class="rms"></div></div><output id="in-rms">–</output></div>
    <div class="meter-row"><span class="label">Out peak</span><div class="bar"><div id="out-peak-bar"></div><i id="out-peak-hold" class="hold"></i></div><output id="out-peak">–</output></div>
    <div class="meter-row"><span class="label">Out RMS</span><div class="bar"><div id="out-rms-bar" class="rms"></div></div><output id="out-rms">–</output></div>
    <div class="meter-row"><span class="label small">dBFS</span><div class="scale" aria-hidden="true"><span>-60</span><span>-48</span><span>-36</span><span>-24</span><span>-12</span><span>0</span></div>
      <button id="clip-light" class="clip" type="button" title="Full scale reached; click to reset">CLIP</button></div>
    <canvas id="history" width="600" height="120" aria-label="Peak levels of the last 60 seconds"></canvas>
    <p class="small">Last 60 s: <span class="key out">out peak</span> <span class="key in">in peak</span> · Load <output id="load">–</output></p>
  </section>

  <section class="card controls">
    <h2>Controls</h2>
    <div class="control" data-group="in" data-key="gain">
      <label for="in-gain">Input gain</label>
      <input id="in-gain" type="range" min="-80" max="24" step="0.5">
      <input id="in-gain-number" type="number" min="-80" max="24" step="0.5" aria-label="Input gain in dB">
      <span class="unit">dB</span><span class="in-force" id="in-gain-force"></span>
    </div>
    <div class="control" data-group="out" data-key="gain">
      <label for="out-gain">Output gain</label>
      <input id="out-gain" type="range" min="-80" max="24" step="0.5">
      <input id="out-gain-number" type="number" min="-80" max="24" step="0.5" aria-label="Output gain in dB">
      <span class="unit">dB</span><span class="in-force" id="out-gain-force"></span>
    </div>
    <div class="control" data-group="limiter" data-key="ceiling">
      <label for="limiter-ceiling">Limiter ceiling</label>
      <input id="limiter-ceiling" type="range" min="-30" max="0" step="0.1">
      <input id="limiter-ceiling-number" type="number" min="-30" max="0" step="0.1" aria-label="Limiter ceiling in dBFS">
      <span class="unit">dBFS</span><span class="in-force" id="limiter-ceiling-force"></span>
    </div>
    <div class="control" data-group="limiter" data-key="release">
      <label for="limiter-release">Limiter release</label>
      <input id="limiter-release" type="range" min="1" max="5000" step="1">
      <input id="limiter-release-number" type="number" min="1" max="5000" step="1" aria-label="Limiter release in ms">
      <span class="unit">ms</span><span class="in-force" id="limiter-release-force"></span>
    </div>
    <p id="control-message" class="message" role="alert"></p>
  </section>

  <section class="card presets">
    <h2>Presets</h2>
    <p>On air: <strong id="onair">–</strong> <span id="onair-since" class="small"></span></p>
    <div class="row">
      <select id="preset-list" aria-label="Presets"></select>
      <button id="preset-load" type="button">Load</button>
    </div>
    <div class="row">
      <input id="preset-name" placeholder="Preset name" aria-label="Preset name" maxlength="100">
      <button id="preset-save" type="button">Save</button>
    </div>
    <p id="preset-message" class="message" role="alert"></p>
  </section>

  <section class="card info">
    <h2>Metadata</h2>
    <table id="meta"><tbody></tbody></table>
    <p class="small">Engine <span id="version">–</span> · <span id="rate">–</span> Hz · chunk <span id="chunk">–</span></p>
  </section>
</main>
</body>
</html>
)ZPH";

constexpr std::string_view kAppCss =
    R"ZPH(:root { color-scheme: dark; --bg: #15181c; --card: #1f242a; --text: #e6e8eb; --muted: #9aa3ad;
  --ok: #3fb950; --bad: #f85149; --accent: #58a6ff; --warn: #d29922; }
* { box-sizing: border-box; }
[hidden] { display: none !important; }
body { margin: 0; font: 16px/1.4 system-ui, sans-serif; background: var(--bg); color: var(--text); }
header { display: flex; align-items: center; gap: 1rem; padding: .75rem 1rem; background: var(--card); }
h1 { font-size: 1.2rem; margin: 0; flex: 1; letter-spacing: .05em; }
h2 { font-size: 1rem; margin: 0 0 .75rem; color: var(--muted); text-transform: uppercase; letter-spacing: .08em; }
main { display: grid; grid-template-columns: repeat(auto-fit, minmax(320px, 1fr)); gap: 1rem; padding: 1rem; }
.card { background: var(--card); border-radius: 8px; padding: 1rem; }
#login-panel { max-width: 24rem; margin: 2rem auto; }
#login-form label { display: block; margin-bottom: .75rem; }
#login-form input { display: block; width: 100%; margin-top: .25rem; }
input, select, button { font: inherit; color: var(--text); background: #0d1117; border: 1px solid #30363d;
  border-radius: 6px; padding: .4rem .6rem; }
button { background: #21262d; cursor: pointer; white-space: nowrap; }
button:hover { border-color: var(--accent); }
.state { padding: .2rem .6rem; border-radius: 999px; font-size: .85rem; font-weight: 600; }
.state.ok { background: rgba(63,185,80,.2); color: var(--ok); }
.state.bad { background: rgba(248,81,73,.2); color: var(--bad); }
.meter-row { white-space: nowrap; display: grid; grid-template-columns: 5.5rem 1fr 4.5rem; align-items: center; gap: .5rem; margin-bottom: .5rem; }
.bar { height: 14px; background: #0d1117; border-radius: 4px; overflow: hidden; }
.bar > div { height: 100%; width: 0; background: linear-gradient(90deg, var(--ok) 70%, var(--warn) 88%, var(--bad)); transition: width .08s linear; }
.bar > div.rms { background: var(--accent); }
.bar { position: relative; }
.bar > .hold { position: absolute; top: 0; bottom: 0; width: 2px; margin-left: -1px; left: 0; background: var(--text); display: none; }
.scale { position: relative; height: 1rem; font-size: .7rem; color: var(--muted); }
.scale > span { position: absolute; transform: translateX(-50%); }
.scale > span:nth-child(1) { left: 0; transform: none; } .scale > span:nth-child(2) { left: 20%; }
.scale > span:nth-child(3) { left: 40%; } .scale > span:nth-child(4) { left: 60%; }
.scale > span:nth-child(5) { left: 80%; } .scale > span:nth-child(6) { left: 100%; transform: translateX(-100%); }
.clip { padding: .1rem .3rem; font-size: .75rem; color: var(--muted); }
.clip.lit { background: var(--bad); color: #fff; border-color: var(--bad); }
#history { width: 100%; height: 120px; background: #0d1117; border-radius: 4px; display: block; margin-top: .25rem; }
.key.out { color: var(--ok); } .key.in { color: var(--accent); }
output { font-variant-numeric: tabular-nums; text-align: right; }
.control { display: grid; grid-template-columns: 1fr 5.5rem 3rem; gap: .25rem .5rem; align-items: center; margin-bottom: 1rem; }
.control label { grid-column: 1 / -1; }
.control input[type=range] { width: 100%; padding: 0; }
.control .in-force { grid-column: 1 / -1; font-size: .8rem; color: var(--muted); }
.unit, .small { color: var(--muted); font-size: .85rem; }
.row { display: flex; gap: .5rem; margin-bottom: .5rem; }
.row > select, .row > input { flex: 1; min-width: 0; }
.message { color: var(--bad); min-height: 1.2em; margin: .25rem 0 0; }
table { border-collapse: collapse; width: 100%; }
td { padding: .2rem .4rem; border-bottom: 1px solid #30363d; word-break: break-all; }
td:first-child { color: var(--muted); width: 40%; }
body.offline main .card:not(.info) { opacity: .55; }
@media (max-width: 480px) { main { padding: .5rem; gap: .5rem; } .meter-row { grid-template-columns: 5rem 1fr 3.5rem; } }
)ZPH";

constexpr std::string_view kAppJs = R"ZPH('use strict';
// The page talks to the processing instance with the same JSON commands as its control
// port (POST /api/control) and listens to /api/events for meters, settings and the
// connection state.
const $ = (id) => document.getElementById(id);
const CONTROLS = [['in', 'gain', 'in-gain'], ['out', 'gain', 'out-gain'],
                  ['limiter', 'ceiling', 'limiter-ceiling'], ['limiter', 'release', 'limiter-release']];
let events = null;
let streamLost = 0;
let loginEnabled = false;
const editing = new Map();  // control id -> time of the last user input

function setConnected(on) {
  const el = $('connection');
  el.textContent = on ? 'connected' : 'disconnected';
  el.className = 'state ' + (on ? 'ok' : 'bad');
  document.body.classList.toggle('offline', !on);
  if (!on) showMeters({});  // old levels would look live
}

function showLogin(message) {
  if (events) { events.close(); events = null; }
  $('app').hidden = true;
  $('login-panel').hidden = false;
  $('logout').hidden = true;
  $('login-message').textContent = message || '';
  $('user').focus();
}

async function post(path, body) {
  return fetch(path, { method: 'POST', headers: { 'Content-Type': 'application/json' },
                       body: JSON.stringify(body), credentials: 'same-origin', cache: 'no-store' });
}

// One command; the reply object, or null when the instance is unreachable.
async function control(command) {
  let res;
  try { res = await post('/api/control', command); } catch (e) { setConnected(false); return null; }
  if (res.status === 401) { showLogin('Session ended, please log in again.'); return null; }
  if (res.status === 503) { setConnected(false); return null; }
  let reply = null;
  try { reply = await res.json(); } catch (e) { return null; }
  setConnected(true);
  return reply;
}

function fmt(v, digits) {
  return typeof v === 'number' && isFinite(v) ? v.toFixed(digits) : '–';
}

// The meters' scale: -60 dBFS at the left end, full scale at the right.
const FLOOR_DB = -60;
const HOLD_MS = 2000;
const HISTORY_MS = 60000;
const peakHold = new Map();  // meter name -> { db, at }
const history = [];          // { at, in, out } peak levels, oldest first

function scaled(db) {
  return typeof db === 'number' && isFinite(db) ? Math.max(0, Math.min(1, (db - FLOOR_DB) / -FLOOR_DB)) : 0;
}

function showLevel(name, db) {
  $(name + '-bar').style.width = scaled(db) * 100 + '%';
  $(name).textContent = fmt(db, 1);
}

// The highest peak stays marked for 2 s, then follows the level again.
function showPeakHold(name, db, now) {
  const marker = $(name + '-hold');
  const held = peakHold.get(name);
  const level = typeof db === 'number' && isFinite(db) ? db : -Infinity;
  if (!held || level >= held.db || now - held.at > HOLD_MS) peakHold.set(name, { db: level, at: now });
  const shown = peakHold.get(name).db;
  marker.style.display = isFinite(shown) ? 'block' : 'none';
  marker.style.left = scaled(shown) * 100 + '%';
  marker.dataset.db = isFinite(shown) ? shown.toFixed(1) : '';
}

function drawHistory(now) {
  const canvas = $('history');
  const g = canvas.getContext('2d');
  const w = canvas.width;
  const h = canvas.height;
  g.clearRect(0, 0, w, h);
  g.strokeStyle = '#30363d';
  g.lineWidth = 1;
  for (let db = -48; db < 0; db += 12) {
    const y = Math.round(h - scaled(db) * h) + 0.5;
    g.beginPath(); g.moveTo(0, y); g.lineTo(w, y); g.stroke();
  }
  const style = getComputedStyle(document.documentElement);
  for (const [side, color] of [['in', style.getPropertyValue('--accent')], ['out', style.getPropertyValue('--ok')]]) {
    g.strokeStyle = color.trim() || '#888';
    g.lineWidth = 1.5;
    g.beginPath();
    let drawing = false;
    for (const point of history) {
      const x = w - (now - point.at) / HISTORY_MS * w;
      const y = h - scaled(point[side]) * h;
      if (drawing) g.lineTo(x, y); else g.moveTo(x, y);
      drawing = true;
    }
    g.stroke();
  }
}

function showMeters(m) {
  if (!m || typeof m !== 'object') return;
  const now = Date.now();
  for (const side of ['in', 'out']) {
    const s = m[side] || {};
    showLevel(side + '-peak', s.peak);
    showLevel(side + '-rms', s.rms);
    showPeakHold(side + '-peak', s.peak, now);
    // Full scale lights the clip light until it is clicked.
    if (typeof s.peak === 'number' && s.peak >= 0) $('clip-light').classList.add('lit');
  }
  if (m.in || m.out) {
    history.push({ at: now, in: (m.in || {}).peak, out: (m.out || {}).peak });
    while (history.length && now - history[0].at > HISTORY_MS) history.shift();
  }
  drawHistory(now);
  $('load').textContent = typeof m.load === 'number' ? fmt(m.load, m.load < 1 ? 2 : 1) + ' %' : '–';
}

function showControl(id, value, force) {
  if (typeof value !== 'number') return;
  // A value being typed stays until it is sent: the settings refresh must not replace
  // it (the browser then sends no change for what the user typed).
  const typing = document.activeElement === $(id + '-number');
  const busy = typing || Date.now() - (editing.get(id) || 0) < 1500;
  if (!busy || force) {
    $(id).value = value;
    $(id + '-number').value = value;
  }
  $(id + '-force').textContent = 'in force: ' + value;
}

function showOnair(p) {
  if (!p || typeof p !== 'object' || !('onair' in p)) return;
  $('onair').textContent = p.onair == null ? 'none' : p.onair;
  $('onair-since').textContent = p.since ? 'since ' + p.since : '';
}

// Any reply or tree: shows whatever parts it has.
function showSettings(tree, force) {
  if (!tree || typeof tree !== 'object') return;
  for (const [group, key, id] of CONTROLS) {
    if (tree[group] && typeof tree[group] === 'object') showControl(id, tree[group][key], force);
  }
  if (tree.meter) showMeters(tree.meter);
  if (tree.preset) {
    showOnair(tree.preset);
    if (Array.isArray(tree.preset.list)) showPresetList(tree.preset.list);
  }
  if (tree.meta && typeof tree.meta === 'object') {
    const body = $('meta').tBodies[0];
    body.textContent = '';
    for (const [k, v] of Object.entries(tree.meta)) {
      const row = body.insertRow();
      row.insertCell().textContent = k;
      row.insertCell().textContent = typeof v === 'string' ? v : JSON.stringify(v);
    }
  }
  if (tree.info && typeof tree.info === 'object') {
    $('version').textContent = tree.info.version ?? '–';
    $('rate').textContent = tree.info.rate ?? '–';
    $('chunk').textContent = tree.info.chunk ?? '–';
  }
}

function showPresetList(names) {
  const list = $('preset-list');
  const chosen = list.value;
  list.textContent = '';
  for (const name of names) list.add(new Option(name, name, false, name === chosen));
}

// Sends a value; the slider follows what the engine reports as in force.
const pending = new Map();
async function sendSetting(group, key, id, value) {
  if (!isFinite(value)) return;
  if (pending.get(id)) { pending.set(id, { group, key, value }); return; }
  pending.set(id, { group, key, value });
  while (pending.get(id)) {
    const job = pending.get(id);
    pending.set(id, null);
    const reply = await control({ set: { [job.group]: { [job.key]: job.value } } });
    if (reply && reply.error) {
      // Refused (out of range): show why, and put the control back to the value in force.
      $('control-message').textContent = reply.error;
      showSettings(await control({ get: { [job.group]: null } }), true);
    } else if (reply) { $('control-message').textContent = ''; showSettings(reply, false); }
  }
  pending.delete(id);
}

function wireControls() {
  for (const [group, key, id] of CONTROLS) {
    const slider = $(id), number = $(id + '-number');
    slider.addEventListener('input', () => {
      editing.set(id, Date.now());
      number.value = slider.value;
      sendSetting(group, key, id, Number(slider.value));
    });
    number.addEventListener('change', () => {
      editing.set(id, Date.now());
      slider.value = number.value;
      sendSetting(group, key, id, Number(number.value));
    });
  }
}

async function refreshPresets() {
  const reply = await control({ preset: { list: null } });
  if (reply && reply.preset) showSettings(reply, true);
}

function wirePresets() {
  $('preset-save').addEventListener('click', async () => {
    const name = $('preset-name').value.trim();
    if (!name) { $('preset-message').textContent = 'Give the preset a name.'; return; }
    const reply = await control({ preset: { save: name } });
    $('preset-message').textContent = reply && reply.error ? reply.error : '';
    if (reply && !reply.error) { $('preset-name').value = ''; await refreshPresets(); $('preset-list').value = name; }
  });
  $('preset-load').addEventListener('click', async () => {
    const name = $('preset-list').value;
    if (!name) return;
    const reply = await control({ preset: { load: name } });
    $('preset-message').textContent = reply && reply.error ? reply.error : '';
    if (reply && !reply.error) showSettings(reply, true);
  });
}

function listen() {
  if (events) events.close();
  events = new EventSource('/api/events');
  events.addEventListener('status', (e) => {
    clearTimeout(streamLost);
    try { setConnected(JSON.parse(e.data).connected === true); } catch (err) { /* ignore */ }
  });
  events.addEventListener('meter', (e) => {
    try { showMeters(JSON.parse(e.data)); } catch (err) { /* ignore */ }
  });
  events.addEventListener('settings', (e) => {
    try { showSettings(JSON.parse(e.data), false); } catch (err) { /* ignore */ }
  });
  events.onerror = async () => {
    // A new processing instance replaces the web server in a moment; only a stream that
    // stays away means the instance is gone.
    clearTimeout(streamLost);
    streamLost = setTimeout(() => setConnected(false), 1500);
    // The browser retries by itself; a stream refused for want of a session does not.
    if (events && events.readyState === EventSource.CLOSED) {
      const session = await checkSession();
      if (session && session.authenticated) setTimeout(listen, 1000);
    }
  };
}

async function checkSession() {
  try {
    const res = await fetch('/api/session', { credentials: 'same-origin', cache: 'no-store' });
    const session = await res.json();
    loginEnabled = session.login === true;
    if (!session.authenticated) showLogin('');
    return session;
  } catch (e) {
    return null;
  }
}

async function enter() {
  $('login-panel').hidden = true;
  $('app').hidden = false;
  $('logout').hidden = !loginEnabled;
  listen();
  showSettings(await control({ get: null }), true);
  await refreshPresets();
}

async function start() {
  wireControls();
  wirePresets();
  $('clip-light').addEventListener('click', () => $('clip-light').classList.remove('lit'));
  $('login-form').addEventListener('submit', async (e) => {
    e.preventDefault();
    let res;
    try { res = await post('/api/login', { user: $('user').value, secret: $('secret').value }); }
    catch (err) { $('login-message').textContent = 'The server cannot be reached.'; return; }
    if (res.ok) { $('secret').value = ''; await enter(); return; }
    $('login-message').textContent = res.status === 429 ? 'Too many attempts, wait a moment.'
                                                        : 'Wrong user or secret.';
  });
  $('logout').addEventListener('click', async () => { await post('/api/logout', {}); showLogin(''); });
  let session = await checkSession();
  while (!session) {  // the web server itself is not up yet
    setConnected(false);
    await new Promise((r) => setTimeout(r, 1000));
    session = await checkSession();
  }
  if (session.authenticated) await enter();
}

start();
)ZPH";

constexpr std::array<StaticFile, 4> kFiles{{
    {"/", "text/html; charset=utf-8", kIndexHtml},
    {"/index.html", "text/html; charset=utf-8", kIndexHtml},
    {"/app.css", "text/css; charset=utf-8", kAppCss},
    {"/app.js", "text/javascript; charset=utf-8", kAppJs},
}};

}  // namespace

const StaticFile* findStaticFile(std::string_view path) {
    for (const StaticFile& file : kFiles) {
        if (file.path == path) {
            return &file;
        }
    }
    return nullptr;
}

}  // namespace zephrane::web
