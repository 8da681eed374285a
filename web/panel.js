// The instrument panel: frames arrive from the gateway over /ws as JSON and are drawn as they
// come; autopilot settings go back the same way. Only a connection opened with the gateway's
// control token (the page's address as zelm serve prints it, ...?token=...) may fly; without it
// the page watches, with its autopilot controls disabled.
'use strict';

const STALE_MS = 1500;
const svgNs = 'http://www.w3.org/2000/svg';
const $ = (id) => document.getElementById(id);

const state = {
  socket: null,
  retryMs: 500,
  upstreamConnected: false,
  lastFrame: null,
  lastFrameAt: 0,
  frameTimes: [],
  nextId: 1,
  token: null,     // the control token this page connects with, or null
  control: null,   // whether the gateway lets this connection fly; null before its hello
};
window.velkaroPanel = state;

function first(v) { return Array.isArray(v) ? v[0] : v; }
function fixed(v, digits) { return Number.isFinite(v) ? v.toFixed(digits) : '–'; }
function on(v) { return Number(first(v)) !== 0; }

function el(name, attrs, text) {
  const node = document.createElementNS(svgNs, name);
  for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, v);
  if (text !== undefined) node.textContent = text;
  return node;
}

// --- connection ------------------------------------------------------------------------------
const TOKEN_KEY = 'velkaro.controlToken';

// The control token from the page's address, kept for this tab (a reload or a reconnection keeps
// it) and taken out of the address bar, where it would stay on screen and in screenshots. A page
// opened without one uses the one this tab already has, if any.
function takeToken() {
  const params = new URLSearchParams(location.search);
  let token = null;
  if (params.has('token')) {
    token = params.get('token') || null;
    try {
      if (token) sessionStorage.setItem(TOKEN_KEY, token);
    } catch { /* storage turned off: the token lasts as long as the page */ }
    params.delete('token');
    const query = params.toString();
    history.replaceState(history.state, '', `${location.pathname}${query ? `?${query}` : ''}${location.hash}`);
  }
  if (!token) {
    try { token = sessionStorage.getItem(TOKEN_KEY); } catch { token = null; }
  }
  return token;
}
state.token = takeToken();

function connect() {
  const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
  const query = state.token ? `?token=${encodeURIComponent(state.token)}` : '';
  const socket = new WebSocket(`${scheme}//${location.host}/ws${query}`);
  state.socket = socket;
  socket.onopen = () => { state.retryMs = 500; };
  socket.onmessage = (event) => receive(JSON.parse(event.data));
  socket.onclose = () => {
    state.socket = null;
    state.upstreamConnected = false;
    showLink();
    setTimeout(connect, state.retryMs);
    state.retryMs = Math.min(state.retryMs * 2, 5000);
  };
}

function receive(message) {
  switch (message.type) {
    case 'hello':
      state.upstreamConnected = message.upstream.connected;
      // (A gateway that does not say lets every connection fly.)
      showControl(message.control !== false);
      break;
    case 'upstream':
      state.upstreamConnected = message.connected;
      break;
    case 'frame':
      state.upstreamConnected = true;
      state.lastFrame = message.fields;
      state.lastFrameAt = performance.now();
      state.frameTimes.push(state.lastFrameAt);
      draw(message.fields);
      break;
    case 'mcp_result':
      showResult(message.ok ? 'sent' : message.error, !message.ok);
      break;
    case 'error':
      showResult(message.error, true);
      break;
  }
  showLink();
}

function showLink() {
  const link = $('link');
  let cls, text;
  const age = state.lastFrame ? performance.now() - state.lastFrameAt : Infinity;
  if (!state.socket || state.socket.readyState !== WebSocket.OPEN) {
    cls = 'connecting'; text = 'gateway unreachable: reconnecting…';
  } else if (!state.upstreamConnected) {
    cls = 'lost'; text = 'simulator connection lost';
  } else if (age > STALE_MS) {
    cls = 'stale'; text = 'stale: no new frames';
  } else {
    cls = 'live'; text = 'live';
  }
  link.className = `link ${cls}`;
  link.textContent = text;
  document.body.className = cls;
}

setInterval(() => {
  const now = performance.now();
  state.frameTimes = state.frameTimes.filter((t) => now - t < 1000);
  $('rate').textContent = `${state.frameTimes.length} frames/s`;
  $('age').textContent = state.lastFrame ? `age ${((now - state.lastFrameAt) / 1000).toFixed(1)} s` : 'age –';
  showLink();
}, 250);

// --- autopilot -------------------------------------------------------------------------------
// Whether this page may fly: without the token the autopilot controls stay in view, disabled, with
// a word on how to get them.
function showControl(control) {
  state.control = control;
  $('ap-controls').disabled = !control;
  $('view-only').hidden = control;
  $('mode').hidden = control;
  if (!control) {
    $('view-only-why').textContent = state.token
      ? 'the control token this page has was not accepted (zelm serve makes a new one each time it starts).'
      : 'this page may watch the aircraft but not fly it.';
  }
}

function send(mcp) {
  if (!state.socket || state.socket.readyState !== WebSocket.OPEN) {
    showResult('not connected to the gateway', true);
    return;
  }
  state.socket.send(JSON.stringify({ mcp, id: state.nextId++ }));
  showResult('sending…', false);
}
state.send = send;

function showResult(text, isError) {
  const r = $('ap-result');
  r.textContent = text;
  r.className = isError ? 'result error' : 'result';
}

for (const button of document.querySelectorAll('[data-switch]')) {
  button.addEventListener('click', () => {
    const current = state.lastFrame ? on(state.lastFrame[button.dataset.field]) : false;
    send({ [button.dataset.switch]: !current });
  });
}

$('ap-form').addEventListener('submit', (event) => {
  event.preventDefault();
  const mcp = {};
  for (const input of event.target.querySelectorAll('input')) {
    const text = input.value.trim();
    if (text === '') continue;
    const value = Number(text);
    if (!Number.isFinite(value)) {
      showResult(`${input.name.toUpperCase()}: not a number`, true);
      return;
    }
    mcp[input.name] = value;
  }
  if (Object.keys(mcp).length === 0) {
    showResult('enter a value first', true);
    return;
  }
  send(mcp);
  for (const input of event.target.querySelectorAll('input')) input.value = '';
});

// --- drawing ---------------------------------------------------------------------------------
const PITCH_PX = 4;   // per degree
const SPEED_PX = 3;   // per knot
const ALT_PX = 0.2;   // per foot
const HDG_PX = 4;     // per degree

(function buildStatic() {
  const ladder = $('ladder');
  for (let p = -30; p <= 30; p += 5) {
    if (p === 0) continue;
    const y = 140 - p * PITCH_PX;
    const half = p % 10 === 0 ? 30 : 15;
    ladder.appendChild(el('line', { x1: 200 - half, y1: y, x2: 200 + half, y2: y }));
    if (p % 10 === 0) {
      ladder.appendChild(el('text', { x: 200 - half - 4, y: y + 4, stroke: 'none' }, String(Math.abs(p))));
    }
  }
  const scale = $('bank-scale');
  for (const a of [-60, -45, -30, -20, -10, 0, 10, 20, 30, 45, 60]) {
    const r = 96, len = a % 30 === 0 ? 10 : 6, rad = (a - 90) * Math.PI / 180;
    scale.appendChild(el('line', {
      x1: 200 + r * Math.cos(rad), y1: 140 + r * Math.sin(rad),
      x2: 200 + (r - len) * Math.cos(rad), y2: 140 + (r - len) * Math.sin(rad),
    }));
  }
})();

function tape(group, value, step, labelEvery, pxPer, x, anchorRight, format) {
  group.replaceChildren();
  const span = 110 / pxPer;
  const startTick = Math.ceil((value - span) / step) * step;
  for (let v = startTick; v <= value + span; v += step) {
    const y = 140 - (v - value) * pxPer;
    const labelled = Math.round(v) % labelEvery === 0;
    const tickX2 = anchorRight ? x + (labelled ? 10 : 5) : x - (labelled ? 10 : 5);
    group.appendChild(el('line', { x1: x, y1: y, x2: tickX2, y2: y, stroke: '#fff' }));
    if (labelled) {
      group.appendChild(el('text', { x: anchorRight ? x - 4 : x + 4, y: y + 4 }, format(v)));
    }
  }
}

function drawHeadingScale(heading) {
  const g = $('heading-scale');
  g.replaceChildren();
  const start = Math.ceil((heading - 30) / 5) * 5;
  for (let h = start; h <= heading + 30; h += 5) {
    const x = 200 + (h - heading) * HDG_PX;
    const norm = ((h % 360) + 360) % 360;
    const major = norm % 10 === 0;
    g.appendChild(el('line', { x1: x, y1: 290, x2: x, y2: major ? 300 : 295, stroke: '#fff' }));
    if (major) g.appendChild(el('text', { x, y: 312 }, String(norm / 10).padStart(2, '0')));
  }
}

function bcdCom(v) {
  return Number.isFinite(v) && v > 0 ? (100 + Math.round(v * 10000) / 100).toFixed(2) : '–';
}

function rows(dl, items) {
  dl.replaceChildren();
  for (const [name, value] of items) {
    const dt = document.createElement('dt');
    dt.textContent = name;
    const dd = document.createElement('dd');
    dd.textContent = value;
    dl.append(dt, dd);
  }
}

function draw(f) {
  const pitch = first(f.attitudePitch) ?? f.pitch;
  const bank = first(f.attitudeBank) ?? f.bank;
  $('horizon').setAttribute('transform', `rotate(${-bank} 200 140) translate(0 ${pitch * PITCH_PX})`);
  $('bank-pointer').setAttribute('transform', `rotate(${-bank} 200 140)`);

  const ias = first(f.indicatedAirspeed);
  const alt = first(f.indicatedAltitude);
  const hdg = first(f.magneticHeading);
  $('ias').textContent = fixed(ias, 0);
  $('alt').textContent = fixed(alt, 0);
  $('hdg').textContent = Number.isFinite(hdg) ? String(Math.round(hdg) % 360).padStart(3, '0') : '---';
  tape($('speed-tape'), ias, 10, 20, SPEED_PX, 72, true, (v) => (v >= 0 ? String(v) : ''));
  tape($('alt-tape'), alt, 100, 500, ALT_PX, 328, false, (v) => String(v));
  drawHeadingScale(hdg);
  const vs = first(f.instrumentVerticalSpeed);
  $('vs').textContent = `V/S ${vs >= 0 ? '+' : ''}${fixed(vs, 0)}`;
  $('gs').textContent = `GS ${fixed(f.groundSpeed, 0)}`;
  $('ap-spd-bug').textContent = fixed(f.apAirspeed, 0);
  $('ap-alt-bug').textContent = fixed(f.apAltitude, 0);
  $('ap-hdg-bug').textContent = `HDG ${String(Math.round(f.apHeading) % 360).padStart(3, '0')}`;

  for (const button of document.querySelectorAll('[data-switch]')) {
    button.classList.toggle('on', on(f[button.dataset.field]));
  }
  for (const span of document.querySelectorAll('[data-ref]')) {
    span.textContent = fixed(f[span.dataset.ref], 0);
  }

  const engineRows = [
    ['N1 %', f.engineN1, 1], ['N2 %', f.engineN2, 1],
    ['EGT °C', f.exhaustGasTemperature, 0], ['FF klb/h', f.fuelFlow, 2],
    ['Oil °C', f.oilTemperature, 0], ['Oil psi', f.oilPressure, 0],
  ];
  const body = $('engines').tBodies[0];
  body.replaceChildren();
  for (const [name, values, digits] of engineRows) {
    const tr = document.createElement('tr');
    const th = document.createElement('td');
    th.textContent = name;
    tr.appendChild(th);
    for (const v of values) {
      const td = document.createElement('td');
      td.textContent = fixed(v, digits);
      tr.appendChild(td);
    }
    body.appendChild(tr);
  }

  rows($('radios'), [
    ['COM 1 / 2', `${bcdCom(f.comFrequency[0])} / ${bcdCom(f.comFrequency[1])}`],
    ['NAV 1', `${fixed(f.navFrequency[0], 2)} ${f.navIdent[0] || ''}  DME ${fixed(f.dmeDistance[0], 1)} nm`],
    ['NAV 2', `${fixed(f.navFrequency[1], 2)} ${f.navIdent[1] || ''}  DME ${fixed(f.dmeDistance[1], 1)} nm`],
    ['ADF 1 / 2', `${fixed(f.adfFrequency[0], 1)} / ${fixed(f.adfFrequency[1], 1)} kHz`],
  ]);
  const gear = [f.gearLeftDown, f.gearCenterDown, f.gearRightDown].every((g) => g >= 1) ? 'down'
    : [f.gearLeftDown, f.gearCenterDown, f.gearRightDown].every((g) => g <= 0) ? 'up' : 'in transit';
  let fuelGal = 0;
  for (let i = 0; i < f.fuelLevel.length; i++) fuelGal += (f.fuelLevel[i] / 100) * f.fuelCapacity[i];
  rows($('systems'), [
    ['Gear', gear],
    ['Flaps', `${fixed(f.flapAngle, 0)}° (detent ${fixed(f.flapDetentAngle, 0)}°)`],
    ['Spoilers', `${fixed(f.spoilerDeflection * 100, 0)} %`],
    ['Altimeter', `${fixed(first(f.altimeterSetting), 0)} mbar`],
    ['Fuel', `${fixed(fuelGal, 0)} gal`],
    ['Position', `${fixed(f.latitude, 4)}, ${fixed(f.longitude, 4)}`],
    ['Wind', `${fixed(f.windDirection, 0)}° / ${fixed(f.windSpeed, 0)} kt`],
  ]);
}

connect();
