// The instrument panel: frames arrive from the gateway over /ws as JSON and are drawn as they
// come; autopilot settings go back the same way. Only a connection opened with the gateway's
// control token (the page's address as zelm serve prints it, ...?token=...) may fly; without it
// the page watches, with its autopilot controls disabled.
//
// The same page is every instrument: at / it shows them all, at /pfd, /nd, /map, /engines, /mcp or
// /history only
// that one, filling the window. While frames do not arrive (stale), or the gateway or the
// simulator is lost, every instrument drops its values and shows failure flags; they come back
// with the next frame.
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
  link: 'connecting',
  instrument: null, // the one instrument shown alone, or null for the combined page
};
window.velkaroPanel = state;

function first(v) { return Array.isArray(v) ? v[0] : v; }
function at(v, i) { return Array.isArray(v) ? v[i] : v; }
function fixed(v, digits) { return Number.isFinite(v) ? v.toFixed(digits) : '–'; }
function on(v) { return Number(first(v)) !== 0; }
function clamp(v, lo, hi) { return Math.min(hi, Math.max(lo, v)); }
function wrap360(v) { return ((v % 360) + 360) % 360; }
function wrap180(v) { return wrap360(v + 180) - 180; }
function heading3(v) { return Number.isFinite(v) ? String(Math.round(wrap360(v)) % 360).padStart(3, '0') : '---'; }

function el(name, attrs, text) {
  const node = document.createElementNS(svgNs, name);
  for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, v);
  if (text !== undefined) node.textContent = text;
  return node;
}
// Text and attribute writes only when they change: most values hold still between frames, and a
// write the browser need not lay out again costs nothing.
function setText(node, text) { if (node.textContent !== text) node.textContent = text; }
function setAttr(node, name, value) {
  const text = String(value);
  if (node.getAttribute(name) !== text) node.setAttribute(name, text);
}
// ('inherit', not 'visible': a part shown inside an instrument whose values are hidden, while it
// is failed, stays hidden with them.)
function show(node, visible) { setAttr(node, 'visibility', visible ? 'inherit' : 'hidden'); }

// --- which instrument ------------------------------------------------------------------------
const INSTRUMENTS = { pfd: 'PFD', nd: 'ND', map: 'Map', engines: 'Engines', mcp: 'Autopilot', history: 'History' };
(function chooseInstrument() {
  const name = location.pathname.replace(/\/+$/, '').split('/').pop();
  if (!Object.hasOwn(INSTRUMENTS, name)) return;
  state.instrument = name;
  document.body.classList.add('solo');
  document.querySelector(`[data-instrument="${name}"]`).classList.add('chosen');
  document.title = `Velkaro ${INSTRUMENTS[name]}`;
})();

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

// Frames are drawn once per display refresh, the latest one: at a simulator rate above the
// screen's, or while the tab is hidden, the frames between are only kept, never queued.
let drawPending = false;
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
      if (!drawPending) {
        drawPending = true;
        requestAnimationFrame(() => {
          drawPending = false;
          draw(state.lastFrame);
        });
      }
      break;
    case 'mcp_result':
      settled(message);
      break;
    case 'error':
      showResult(message.error, true);
      break;
  }
  showLink();
}

const FLAG_WHY = { connecting: 'NO GATEWAY', lost: 'SIM LOST', stale: 'NO DATA', live: '' };
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
  if (cls === state.link && link.textContent === text) return;
  state.link = cls;
  link.className = `link ${cls}`;
  link.textContent = text;
  for (const name of ['live', 'stale', 'lost', 'connecting']) document.body.classList.toggle(name, name === cls);
  for (const why of document.querySelectorAll('.flag-why')) setText(why, FLAG_WHY[cls]);
  mcp.refresh();
}

setInterval(() => {
  const now = performance.now();
  state.frameTimes = state.frameTimes.filter((t) => now - t < 1000);
  $('rate').textContent = `${state.frameTimes.length} frames/s`;
  $('age').textContent = state.lastFrame ? `age ${((now - state.lastFrameAt) / 1000).toFixed(1)} s` : 'age –';
  showLink();
}, 250);

// --- autopilot commands ----------------------------------------------------------------------
// Whether this page may fly: without the token the autopilot controls stay in view, disabled, with
// a word on how to get them.
function showControl(control) {
  state.control = control;
  $('view-only').hidden = control;
  $('mode').hidden = control;
  show($('mcp-view-only'), !control);
  if (!control) {
    $('view-only-why').textContent = state.token
      ? 'the control token this page has was not accepted (zelm serve makes a new one each time it starts).'
      : 'this page may watch the aircraft but not fly it.';
  }
  mcp.refresh();
}

// Commands sent and not yet answered, by id, with the control that sent each (its refusal is shown
// beside it). The gateway answers every command, so this stays small; a gateway lost takes them all.
const sentBy = new Map();
function send(mcpSettings, control = null) {
  if (!state.socket || state.socket.readyState !== WebSocket.OPEN) {
    showResult('not connected to the gateway', true);
    return;
  }
  const id = state.nextId++;
  state.socket.send(JSON.stringify({ mcp: mcpSettings, id }));
  if (sentBy.size > 256) sentBy.clear();
  sentBy.set(id, control);
  showResult('sending…', false);
}
state.send = send;

function settled(message) {
  const control = sentBy.get(message.id) ?? null;
  sentBy.delete(message.id);
  if (control) control.refused(message.ok ? '' : message.error);
  const prefix = control && !message.ok ? `${control.label}: ` : '';
  showResult(message.ok ? 'sent' : prefix + message.error, !message.ok);
}

function showResult(text, isError) {
  const r = $('ap-result');
  r.textContent = text;
  r.setAttribute('class', isError ? 'result error' : 'result');
}

// --- the autopilot panel ---------------------------------------------------------------------
// Knobs set the selected values (the references: the bug moves, no mode changes); the buttons
// engage and disengage the modes. A knob turned sends its value at once and then at most every
// SEND_INTERVAL_MS while it turns, the last value always; until the frames carry the value sent,
// the knob shows it (in its own colour) instead of the frame's.
const SEND_INTERVAL_MS = 150;
const HOLD_SHOWN_MS = 3000;
const KNOBS = [
  { label: 'SPD', setting: 'spd_ref', field: 'apAirspeed', x: 100, step: 1, big: 10, min: 0, max: 999, unit: 'KT',
    format: (v) => String(Math.round(v)) },
  { label: 'HDG', setting: 'hdg_bug', field: 'apHeading', x: 270, step: 1, big: 10, min: 0, max: 359, wrap: true, unit: '°',
    format: heading3 },
  { label: 'ALT', setting: 'alt_ref', field: 'apAltitude', x: 450, step: 100, big: 1000, min: -2000, max: 60000, unit: 'FT',
    format: (v) => String(Math.round(v)) },
  { label: 'V/S', setting: 'vs_ref', field: 'apVerticalSpeed', x: 620, step: 100, big: 1000, min: -10000, max: 10000, unit: 'FPM',
    format: (v) => `${v > 0 ? '+' : ''}${Math.round(v)}` },
];
const BUTTONS = [
  { label: 'A/THR', setting: 'at', lit: (f) => on(f.autothrottleArmed) },
  { label: 'SPD', setting: 'speed_hold', lit: (f) => on(f.apAirspeedHold) },
  { label: 'HDG', setting: 'hdg_hold', lit: (f) => on(f.apHeadingHold) },
  { label: 'LOC', setting: 'loc_hold', lit: (f) => on(f.apNavHold) },
  { label: 'APP', setting: 'app_hold', lit: (f) => on(f.apGlideSlopeHold) },
  { label: 'ALT', setting: 'alt_hold', lit: (f) => on(f.apAltitudeHold) },
  { label: 'FD', setting: 'fd', lit: (f) => on(f.flightDirectorActive) },
  { label: 'AP', setting: 'ap', lit: (f) => on(f.apMaster) },
];

const mcp = {
  knobs: [],
  buttons: [],
  // Whether a turn or a press may send now: a page that may fly, with a live simulator.
  usable() { return state.control === true && state.link === 'live'; },
  refresh() {
    const usable = this.usable();
    $('mcp').classList.toggle('disabled', !usable);
    for (const c of [...this.knobs, ...this.buttons]) c.node.setAttribute('aria-disabled', String(!usable));
  },
};

function buildKnob(spec) {
  const cy = 140;
  const g = el('g', { class: 'knob', tabindex: '0', role: 'slider', 'aria-label': `${spec.label} selector`,
    'aria-valuemin': spec.min, 'aria-valuemax': spec.max, 'data-knob': spec.label.toLowerCase().replace('/', '') });
  const windowG = el('g', {});
  windowG.append(
    el('rect', { x: spec.x - 70, y: 34, width: 140, height: 48, rx: 4, fill: '#000', stroke: '#555' }),
    el('text', { x: spec.x - 63, y: 49, 'font-size': 12, fill: '#9aa0a6' }, spec.label),
    el('text', { x: spec.x + 63, y: 49, 'font-size': 11, fill: '#9aa0a6', 'text-anchor': 'end' }, spec.unit));
  const value = el('text', { x: spec.x + 63, y: 76, 'font-size': 26, fill: '#ffb000', 'text-anchor': 'end', class: 'live knob-value' }, '');
  windowG.append(value);
  const ring = el('circle', { cx: spec.x, cy, r: 42, fill: '#15181b', stroke: '#666', 'stroke-width': 2, class: 'knob-ring' });
  const grip = el('g', {});
  for (let i = 0; i < 24; i++) {
    const a = (i * 15) * Math.PI / 180;
    grip.append(el('line', { x1: spec.x + 34 * Math.cos(a), y1: cy + 34 * Math.sin(a), x2: spec.x + 40 * Math.cos(a), y2: cy + 40 * Math.sin(a), stroke: '#444', 'stroke-width': 2 }));
  }
  grip.append(el('line', { x1: spec.x, y1: cy - 12, x2: spec.x, y2: cy - 32, stroke: '#ddd', 'stroke-width': 4, 'stroke-linecap': 'round' }));
  const refusal = el('text', { x: spec.x, y: 200, 'font-size': 12, 'text-anchor': 'middle', class: 'refusal' }, '');
  g.append(windowG, ring, grip, refusal);
  $('mcp-knobs').append(g);

  const knob = {
    ...spec, node: g, valueText: value, grip, refusalText: refusal,
    pending: null, pendingAt: 0, lastSentAt: -Infinity, sendTimer: null, angle: 0,
    selected() {
      const f = state.lastFrame;
      if (this.pending !== null) return this.pending;
      return f ? f[this.field] : NaN;
    },
    refused(error) { setText(this.refusalText, error ? 'REFUSED' : ''); setAttr(this.refusalText, 'aria-label', error); },
  };
  knob.turn = (steps) => {
    if (!mcp.usable() || steps === 0) return;
    let v = knob.selected();
    if (!Number.isFinite(v)) return;
    v = Math.round(v / knob.step) * knob.step + steps * knob.step;
    v = knob.wrap ? wrap360(v) : clamp(v, knob.min, knob.max);
    knob.pending = v;
    knob.pendingAt = performance.now();
    knob.angle += steps * 12;
    knob.grip.setAttribute('transform', `rotate(${knob.angle} ${knob.x} ${cy})`);
    knob.show(state.lastFrame);
    knob.schedule();
  };
  knob.schedule = () => {
    if (knob.sendTimer !== null) return;
    const wait = Math.max(0, knob.lastSentAt + SEND_INTERVAL_MS - performance.now());
    knob.sendTimer = setTimeout(() => {
      knob.sendTimer = null;
      knob.lastSentAt = performance.now();
      send({ [knob.setting]: knob.pending }, knob);
    }, wait);
  };
  knob.show = (f) => {
    // The value sent stays shown until the frames carry it, or for HOLD_SHOWN_MS.
    if (knob.pending !== null && f && (Math.abs(wrap180Maybe(knob, f[knob.field] - knob.pending)) < 0.5 ||
        performance.now() - knob.pendingAt > HOLD_SHOWN_MS) && knob.sendTimer === null) {
      knob.pending = null;
    }
    const v = knob.selected();
    setText(knob.valueText, Number.isFinite(v) ? knob.format(v) : '---');
    setAttr(knob.valueText, 'fill', knob.pending !== null ? '#4dd0ff' : '#ffb000');
    if (Number.isFinite(v)) setAttr(g, 'aria-valuenow', Math.round(v));
  };

  // Drag up or right to increase, one step per DRAG_PX; the mouse wheel a step a notch (with
  // Shift, the big step); the arrow keys a step, Page Up and Down the big step.
  const DRAG_PX = 6;
  let drag = null;
  g.addEventListener('pointerdown', (e) => {
    g.focus();
    g.setPointerCapture(e.pointerId);
    drag = { x: e.clientX, y: e.clientY, done: 0 };
  });
  g.addEventListener('pointermove', (e) => {
    if (!drag) return;
    const travel = (e.clientX - drag.x) - (e.clientY - drag.y);
    const steps = Math.trunc(travel / DRAG_PX) - drag.done;
    if (steps !== 0) {
      drag.done += steps;
      knob.turn(steps);
    }
  });
  const endDrag = () => { drag = null; };
  g.addEventListener('pointerup', endDrag);
  g.addEventListener('pointercancel', endDrag);
  g.addEventListener('wheel', (e) => {
    e.preventDefault();
    const notch = e.deltaY < 0 ? 1 : e.deltaY > 0 ? -1 : 0;
    knob.turn(e.shiftKey ? notch * knob.big / knob.step : notch);
  }, { passive: false });
  g.addEventListener('keydown', (e) => {
    const keys = { ArrowUp: 1, ArrowRight: 1, ArrowDown: -1, ArrowLeft: -1,
      PageUp: knob.big / knob.step, PageDown: -knob.big / knob.step };
    if (!(e.key in keys)) return;
    e.preventDefault();
    knob.turn(keys[e.key]);
  });
  return knob;
}
function wrap180Maybe(knob, d) { return knob.wrap ? wrap180(d) : d; }

function buildButton(spec, i) {
  const x = 18 + i * 87, y = 212, w = 78, h = 50;
  const g = el('g', { class: 'mcp-button', tabindex: '0', role: 'button', 'aria-pressed': 'false',
    'data-switch': spec.setting, 'aria-label': spec.label });
  g.append(
    el('rect', { x, y, width: w, height: h, rx: 5, fill: '#1e2226', stroke: '#555', 'stroke-width': 1.5 }),
    el('rect', { x: x + 14, y: y + 6, width: w - 28, height: 6, rx: 2, class: 'lamp' }),
    el('text', { x: x + w / 2, y: y + 38, 'font-size': 17, 'font-weight': 'bold', fill: '#e8e8e8', 'text-anchor': 'middle' }, spec.label));
  $('mcp-buttons').append(g);
  const button = {
    ...spec, node: g,
    refused(error) { if (error) setAttr(g, 'aria-description', error); },
  };
  const press = () => {
    if (!mcp.usable()) return;
    const current = state.lastFrame ? spec.lit(state.lastFrame) : false;
    send({ [spec.setting]: !current }, button);
  };
  g.addEventListener('click', press);
  g.addEventListener('keydown', (e) => {
    if (e.key === 'Enter' || e.key === ' ') { e.preventDefault(); press(); }
  });
  return button;
}

mcp.knobs = KNOBS.map(buildKnob);
mcp.buttons = BUTTONS.map(buildButton);
mcp.refresh();
state.mcp = mcp;

function drawMcp(f) {
  for (const knob of mcp.knobs) knob.show(f);
  for (const b of mcp.buttons) {
    const lit = b.lit(f);
    b.node.classList.toggle('on', lit);
    setAttr(b.node, 'aria-pressed', lit);
  }
}

// --- primary flight display ------------------------------------------------------------------
const PFD = { cx: 300, cy: 210 };
const PITCH_PX = 6;     // per degree
const SPEED_PX = 3.2;   // per knot
const ALT_PX = 0.3;     // per foot
const HDG_PX = 5;       // per degree
const DEV_PX = 60;      // per unit of deviation (full scale, two dots)

(function buildPfdStatic() {
  const ladder = $('ladder');
  for (let p = -40; p <= 40; p += 2.5) {
    if (p === 0) continue;
    const y = PFD.cy - p * PITCH_PX;
    const half = p % 10 === 0 ? 40 : p % 5 === 0 ? 22 : 10;
    ladder.append(el('line', { x1: PFD.cx - half, y1: y, x2: PFD.cx + half, y2: y }));
    if (p % 10 === 0) {
      ladder.append(el('text', { x: PFD.cx - half - 6, y: y + 4, stroke: 'none', 'text-anchor': 'end' }, String(Math.abs(p))));
      ladder.append(el('text', { x: PFD.cx + half + 6, y: y + 4, stroke: 'none' }, String(Math.abs(p))));
    }
  }
  const scale = $('bank-scale');
  for (const a of [-60, -45, -30, -20, -10, 10, 20, 30, 45, 60]) {
    const r = 128, len = a % 30 === 0 ? 14 : 8, rad = (a - 90) * Math.PI / 180;
    scale.append(el('line', {
      x1: PFD.cx + r * Math.cos(rad), y1: PFD.cy + r * Math.sin(rad),
      x2: PFD.cx + (r + len) * Math.cos(rad), y2: PFD.cy + (r + len) * Math.sin(rad),
    }));
  }
  scale.append(el('polygon', { points: `${PFD.cx},${PFD.cy - 128} ${PFD.cx - 7},${PFD.cy - 140} ${PFD.cx + 7},${PFD.cy - 140}`, fill: '#fff', stroke: 'none' }));
  // The vertical-speed scale: 1000 ft/min in its inner part, 6000 at its ends.
  const ticks = $('vs-ticks');
  for (const v of [-6000, -2000, -1000, -500, 0, 500, 1000, 2000, 6000]) {
    const y = vsY(v);
    ticks.append(el('line', { x1: 548, y1: y, x2: Math.abs(v) === 500 ? 554 : 558, y2: y }));
    if (v !== 0 && Math.abs(v) !== 500) ticks.append(el('text', { x: 560, y: y + 4, stroke: 'none' }, String(Math.abs(v) / 1000)));
  }
})();

function vsY(v) {
  const a = Math.abs(v);
  const px = a <= 1000 ? a * 0.06 : a <= 2000 ? 60 + (a - 1000) * 0.04 : 100 + (Math.min(a, 6000) - 2000) * 0.0075;
  return PFD.cy - Math.sign(v) * px;
}

// A moving scale: ticks are laid out around a centre value and the group slides; it is laid out
// again only when the value has moved half its window away, so a frame costs one transform.
function movingScale(group, spec) {
  let builtAt = null;
  return (value) => {
    if (!Number.isFinite(value)) return;
    if (builtAt === null || Math.abs(value - builtAt) > spec.window / 2) {
      builtAt = Math.round(value / spec.labelEvery) * spec.labelEvery;
      group.replaceChildren();
      const from = Math.floor((builtAt - spec.window) / spec.step) * spec.step;
      for (let v = from; v <= builtAt + spec.window; v += spec.step) spec.tick(group, v, v - builtAt);
    }
    group.setAttribute('transform', spec.shift(value - builtAt));
  };
}

const speedScale = movingScale($('speed-tape'), {
  window: 120, step: 10, labelEvery: 20,
  tick(g, v, d) {
    if (v < 0) return;
    const y = PFD.cy - d * SPEED_PX;
    g.append(el('line', { x1: 154, y1: y, x2: 142, y2: y, 'stroke-width': 2 }));
    if (v % 20 === 0) g.append(el('text', { x: 136, y: y + 6, stroke: 'none' }, String(v)));
  },
  shift: (d) => `translate(0 ${d * SPEED_PX})`,
});
const altScale = movingScale($('alt-tape'), {
  window: 1200, step: 100, labelEvery: 500,
  tick(g, v, d) {
    const y = PFD.cy - d * ALT_PX;
    const major = v % 500 === 0;
    g.append(el('line', { x1: 446, y1: y, x2: major ? 462 : 454, y2: y, 'stroke-width': 2 }));
    if (major) g.append(el('text', { x: 468, y: y + 5, stroke: 'none' }, String(v)));
  },
  shift: (d) => `translate(0 ${d * ALT_PX})`,
});
const headingScale = movingScale($('heading-scale'), {
  window: 60, step: 5, labelEvery: 10,
  tick(g, v, d) {
    const x = PFD.cx + d * HDG_PX;
    const norm = wrap360(v);
    const major = norm % 10 === 0;
    g.append(el('line', { x1: x, y1: 424, x2: x, y2: major ? 438 : 431, 'stroke-width': 2 }));
    if (major && norm % 30 === 0) g.append(el('text', { x, y: 456, stroke: 'none', 'font-size': 16 }, String(norm / 10)));
    else if (major) g.append(el('text', { x, y: 454, stroke: 'none', 'font-size': 12 }, String(norm / 10)));
  },
  shift: (d) => `translate(${-d * HDG_PX} 0)`,
});

// The speed trend: where the speed will be in 10 s at the present acceleration, smoothed over
// about half a second.
const trend = { ias: NaN, at: 0, rate: 0 };
function speedTrend(ias) {
  const now = performance.now();
  if (Number.isFinite(trend.ias) && now > trend.at) {
    const dt = (now - trend.at) / 1000;
    const k = Math.min(1, dt / 0.5);
    trend.rate += ((ias - trend.ias) / dt - trend.rate) * k;
  }
  trend.ias = ias;
  trend.at = now;
  return trend.rate * 10;
}

function modes(f) {
  const loc = on(at(f.navLocalizer, 0));
  const gs = on(at(f.navGlideSlope, 0));
  const speed = on(f.apMachHold) ? 'MACH' : on(f.apAirspeedHold) ? 'SPD' : '';
  const speedArmed = on(f.autothrottleArmed) ? 'A/THR' : '';
  let lateral = '', lateralArmed = '';
  if (on(f.apNavHold)) {
    if (loc) lateral = 'LOC'; else lateralArmed = 'LOC';
    if (on(f.apHeadingHold) && !loc) lateral = 'HDG';
  } else if (on(f.apHeadingHold)) {
    lateral = 'HDG';
  }
  let vertical = '', verticalArmed = '';
  if (on(f.apGlideSlopeHold) && gs) {
    vertical = 'G/S';
  } else {
    if (on(f.apGlideSlopeHold)) verticalArmed = 'G/S';
    const alt = first(f.indicatedAltitude);
    if (on(f.apAltitudeHold)) vertical = Math.abs(alt - f.apAltitude) < 100 ? 'ALT' : 'ALT*';
    else if (on(f.apVerticalHold)) vertical = 'V/S';
  }
  return { speed, speedArmed, lateral, lateralArmed, vertical, verticalArmed };
}

function drawPfd(f) {
  const pitch = first(f.attitudePitch) ?? f.pitch;
  const bank = first(f.attitudeBank) ?? f.bank;
  $('horizon').setAttribute('transform', `rotate(${-bank} ${PFD.cx} ${PFD.cy}) translate(0 ${pitch * PITCH_PX})`);
  $('bank-pointer').setAttribute('transform', `rotate(${-bank} ${PFD.cx} ${PFD.cy})`);
  $('slip').setAttribute('x', 290 + clamp(f.turnBall, -3, 3) * 10);

  const fd = on(f.flightDirectorActive);
  show($('fd-bars'), fd);
  if (fd) {
    const dPitch = clamp((first(f.flightDirectorPitch) - pitch) * PITCH_PX, -90, 90);
    const dBank = clamp((first(f.flightDirectorBank) - bank) * 3, -90, 90);
    $('fd-pitch').setAttribute('transform', `translate(0 ${-dPitch})`);
    $('fd-roll').setAttribute('transform', `translate(${dBank} 0)`);
  }

  const ias = first(f.indicatedAirspeed);
  setText($('ias'), fixed(ias, 0));
  speedScale(ias);
  const selSpeed = f.apAirspeed;
  setText($('spd-sel'), on(f.apMachHold) ? `M.${fixed(f.apMach * 100, 0)}` : fixed(selSpeed, 0));
  $('speed-bug').setAttribute('transform', `translate(0 ${clamp(PFD.cy - (selSpeed - ias) * SPEED_PX, 62, 358)})`);
  const ahead = clamp(speedTrend(ias) * SPEED_PX, -140, 140);
  setAttr($('speed-trend'), 'y2', PFD.cy - ahead);
  show($('speed-trend'), Math.abs(ahead) > 3);
  const mach = first(f.airDataMach) ?? f.mach;
  setText($('mach'), mach >= 0.3 ? `M ${mach.toFixed(3).slice(1)}` : '');

  const alt = first(f.indicatedAltitude);
  setText($('alt'), fixed(alt, 0));
  altScale(alt);
  setText($('alt-sel'), fixed(f.apAltitude, 0));
  $('alt-bug').setAttribute('transform', `translate(0 ${clamp(PFD.cy - (f.apAltitude - alt) * ALT_PX, 72, 348)})`);
  setText($('baro'), `${fixed(first(f.altimeterSetting), 0)} hPa`);

  const vs = first(f.instrumentVerticalSpeed);
  setAttr($('vs-pointer'), 'y2', vsY(clamp(vs, -6000, 6000)));
  setText($('vs-value'), Math.abs(vs) >= 400 ? String(Math.round(vs / 50) * 50) : '');
  setAttr($('vs-value'), 'y', vs >= 0 ? 72 : 356);

  const hdg = first(f.magneticHeading);
  setText($('hdg'), heading3(hdg));
  headingScale(hdg);
  $('hdg-bug').setAttribute('transform', `translate(${PFD.cx + clamp(wrap180(f.apHeading - hdg), -30, 30) * HDG_PX} 0)`);
  setText($('hdg-sel'), `HDG ${heading3(f.apHeading)}°`);
  setText($('gs'), `GS ${fixed(f.groundSpeed, 0)} KT`);

  // NAV1: the localizer deviation while a localizer is received, the glide slope while one is.
  const loc = on(at(f.navLocalizer, 0));
  const gs = on(at(f.navGlideSlope, 0));
  show($('loc-scale'), loc);
  show($('gs-scale'), gs);
  if (loc) $('loc-diamond').setAttribute('transform', `translate(${clamp(at(f.courseDeviation, 0), -1.1, 1.1) * DEV_PX} 0)`);
  if (gs) $('gs-diamond').setAttribute('transform', `translate(0 ${-clamp(at(f.glideSlopeDeviation, 0), -1.1, 1.1) * DEV_PX})`);
  const ident = at(f.navIdent, 0) || '';
  const signal = on(at(f.navSignal, 0));
  const dme = at(f.dmeDistance, 0);
  setText($('nav1-info'), signal ? `${ident}${dmeValid(f, 0) ? ` ${dme.toFixed(1)} NM` : ''}` : '');

  const marker = on(f.outerMarker) ? ['OM', '#4dd0ff'] : on(f.middleMarker) ? ['MM', '#ffb000'] : on(f.innerMarker) ? ['IM', '#fff'] : null;
  show($('marker-box'), marker !== null);
  setText($('marker'), marker ? marker[0] : '');
  if (marker) setAttr($('marker-box'), 'fill', marker[1]);

  const ra = first(f.radioHeight);
  setText($('radio-alt'), Number.isFinite(ra) && ra < 2500 ? `RA ${Math.round(ra)}` : '');

  const m = modes(f);
  setText($('fma-speed'), m.speed);
  setText($('fma-speed-armed'), m.speedArmed);
  setText($('fma-lateral'), m.lateral);
  setText($('fma-lateral-armed'), m.lateralArmed);
  setText($('fma-vertical'), m.vertical);
  setText($('fma-vertical-armed'), m.verticalArmed);
  setText($('fma-ap'), on(f.apMaster) ? 'AP' : '');
  setText($('fma-fd'), fd ? 'FD' : '');
}

// A DME reading means something only with a station received; a receiver without a signal reads 0.
function dmeValid(f, i) {
  return on(at(f.navSignal, i)) && Number.isFinite(at(f.dmeDistance, i)) && at(f.dmeDistance, i) > 0;
}

// --- navigation display ----------------------------------------------------------------------
const ND = { cx: 240, cy: 240, r: 170 };
(function buildNdStatic() {
  const card = $('nd-card');
  card.append(el('circle', { cx: ND.cx, cy: ND.cy, r: ND.r, fill: 'none', 'stroke-width': 2 }));
  for (let h = 0; h < 360; h += 5) {
    const len = h % 10 === 0 ? 14 : 7;
    const a = (h - 90) * Math.PI / 180;
    card.append(el('line', { x1: ND.cx + ND.r * Math.cos(a), y1: ND.cy + ND.r * Math.sin(a),
      x2: ND.cx + (ND.r - len) * Math.cos(a), y2: ND.cy + (ND.r - len) * Math.sin(a), 'stroke-width': 2 }));
    if (h % 30 === 0) {
      const label = { 0: 'N', 90: 'E', 180: 'S', 270: 'W' }[h] ?? String(h / 10);
      card.append(el('text', { x: ND.cx, y: ND.cy - ND.r + 34, stroke: 'none', transform: `rotate(${h} ${ND.cx} ${ND.cy})`,
        'font-size': h % 90 === 0 ? 20 : 16 }, label));
    }
  }
})();

function drawNd(f) {
  const hdg = first(f.magneticHeading);
  setText($('nd-hdg'), heading3(hdg));
  $('nd-card').setAttribute('transform', `rotate(${-hdg} ${ND.cx} ${ND.cy})`);
  $('nd-hdg-bug').setAttribute('transform', `rotate(${f.apHeading - hdg} ${ND.cx} ${ND.cy})`);
  setText($('nd-gs'), fixed(f.groundSpeed, 0));
  setText($('nd-tas'), fixed(f.trueAirspeed, 0));
  // Wind: an arrow the way it blows, against the true heading (the arrow points down for a wind
  // from straight ahead), and where it comes from in figures.
  const windTo = f.windDirection - f.trueHeading;
  setText($('nd-wind-text'), `${heading3(f.windDirection)}°/${fixed(f.windSpeed, 0)}`);
  $('nd-wind-arrow').setAttribute('transform', `translate(110 64) rotate(${windTo})`);
  show($('nd-wind-arrow'), f.windSpeed >= 1);

  for (const [i, id] of [[0, 'nd-nav1'], [1, 'nd-nav2']]) {
    const received = on(at(f.navSignal, i));
    show($(id), received);
    if (received) $(id).setAttribute('transform', `rotate(${at(f.navRelativeBearing, i)} ${ND.cx} ${ND.cy})`);
    setText($(`${id}-id`), received ? (at(f.navIdent, i) || '') : '');
    setText($(`${id}-dme`), dmeValid(f, i) ? `DME ${at(f.dmeDistance, i).toFixed(1)} NM` : '');
  }
  const adf = on(at(f.adfAvailable, 0));
  show($('nd-adf'), adf);
  if (adf) $('nd-adf').setAttribute('transform', `rotate(${at(f.adfRelativeBearing, 0)} ${ND.cx} ${ND.cy})`);
  setText($('nd-adf-id'), adf ? `${fixed(at(f.adfFrequency, 0), 0)} kHz` : '');

  const nav1 = on(at(f.navSignal, 0));
  show($('nd-course'), nav1);
  if (nav1) {
    $('nd-cdi').setAttribute('transform', `translate(${clamp(at(f.courseDeviation, 0), -1.1, 1.1) * DEV_PX} 0)`);
    const loc = on(at(f.navLocalizer, 0));
    setText($('nd-cdi-label'), loc ? 'LOC' : on(at(f.navTo, 0)) ? 'VOR TO' : on(at(f.navFrom, 0)) ? 'VOR FROM' : 'VOR');
  }
}

// --- moving map ------------------------------------------------------------------------------
// Leaflet, with the aircraft, its track over the last TRACK_MS and a grid of latitude and
// longitude under the tiles, so that without tiles (none reachable, or ?tiles=none) the map still
// shows where the aircraft is and has been. The tile source is the address's ?tiles=URL (a
// Leaflet URL template, or "none"), kept for the next visits in this browser; by default
// OpenStreetMap's public tiles, the only requests the panel makes beyond the gateway.
const DEFAULT_TILES = 'https://tile.openstreetmap.org/{z}/{x}/{y}.png';
const TILES_KEY = 'velkaro.mapTiles';
const TRACK_MS = 10 * 60 * 1000;
const TRACK_EVERY_MS = 1000;   // one track point a second: at most 600 points
const FOLLOW_EVERY_MS = 200;   // the map follows the aircraft five times a second
const HOLD_AFTER_DRAG_MS = 15000;

function tileSource() {
  const asked = new URLSearchParams(location.search).get('tiles');
  if (asked !== null) {
    try { localStorage.setItem(TILES_KEY, asked); } catch { /* storage turned off: this visit only */ }
    return asked;
  }
  try { return localStorage.getItem(TILES_KEY) ?? DEFAULT_TILES; } catch { return DEFAULT_TILES; }
}

// The spacing of grid lines for a tile `span` degrees wide: two to four lines a tile.
const GRID_STEPS = [30, 10, 5, 2, 1, 0.5, 0.25, 0.1, 0.05, 0.02, 0.01, 0.005, 0.002, 0.001];
function gridStep(span) { return GRID_STEPS.find((step) => step <= span / 2) ?? GRID_STEPS[GRID_STEPS.length - 1]; }

const mapView = { map: null, aircraft: null, track: null, points: [], lastPointAt: -Infinity, lastFollowAt: -Infinity, heldUntil: 0 };
(function buildMap() {
  // (A page showing another instrument alone has no map, and asks for no tiles.)
  if (typeof L === 'undefined' || (state.instrument && state.instrument !== 'map')) return;
  const map = L.map('map', { center: [0, 0], zoom: 10, zoomSnap: 0.5, worldCopyJump: true });
  map.attributionControl.setPrefix('Leaflet');
  const Grid = L.GridLayer.extend({
    createTile(coords) {
      const size = this.getTileSize();
      const canvas = document.createElement('canvas');
      canvas.width = size.x;
      canvas.height = size.y;
      const ctx = canvas.getContext('2d');
      ctx.fillStyle = '#0d1a26';
      ctx.fillRect(0, 0, size.x, size.y);
      const origin = coords.scaleBy(size);
      const nw = map.unproject(origin, coords.z);
      const se = map.unproject(origin.add(size), coords.z);
      const step = gridStep(se.lng - nw.lng);
      const digits = step >= 1 ? 0 : step >= 0.1 ? 1 : step >= 0.01 ? 2 : 3;
      ctx.strokeStyle = '#2c4a66';
      ctx.fillStyle = '#6f8fae';
      ctx.font = '11px monospace';
      ctx.lineWidth = 1;
      for (let lng = Math.ceil(nw.lng / step) * step; lng <= se.lng; lng += step) {
        const x = map.project([nw.lat, lng], coords.z).x - origin.x;
        ctx.beginPath(); ctx.moveTo(x, 0); ctx.lineTo(x, size.y); ctx.stroke();
        ctx.fillText(`${lng.toFixed(digits)}°`, x + 3, 12);
      }
      for (let lat = Math.ceil(se.lat / step) * step; lat <= nw.lat; lat += step) {
        const y = map.project([lat, nw.lng], coords.z).y - origin.y;
        ctx.beginPath(); ctx.moveTo(0, y); ctx.lineTo(size.x, y); ctx.stroke();
        ctx.fillText(`${lat.toFixed(digits)}°`, 3, y - 3);
      }
      return canvas;
    },
  });
  new Grid({ zIndex: 0 }).addTo(map);
  const tiles = tileSource();
  if (tiles && tiles !== 'none') {
    L.tileLayer(tiles, {
      zIndex: 1, maxZoom: 19,
      attribution: tiles === DEFAULT_TILES ? '© OpenStreetMap contributors' : '',
    }).addTo(map);
  }
  mapView.track = L.polyline([], { color: '#ff3df5', weight: 3, className: 'live', interactive: false }).addTo(map);
  mapView.aircraft = L.marker([0, 0], {
    interactive: false, keyboard: false,
    icon: L.divIcon({
      className: 'aircraft-icon live', iconSize: [36, 36], iconAnchor: [18, 18],
      html: '<svg viewBox="-18 -18 36 36" width="36" height="36"><path d="M0 -16 L3 -5 L15 2 L15 5 L3 2 L2 11 L6 14 L6 16 L0 14 L-6 16 L-6 14 L-2 11 L-3 2 L-15 5 L-15 2 L-3 -5 Z" fill="#ffd000" stroke="#000" stroke-width="1.5"/></svg>',
    }),
  });
  // A pilot who drags the map looks somewhere else for a while; then it follows the aircraft again.
  map.on('dragstart', () => { mapView.heldUntil = performance.now() + HOLD_AFTER_DRAG_MS; });
  mapView.map = map;
})();

function drawMap(f) {
  const view = mapView;
  if (!view.map || !Number.isFinite(f.latitude) || !Number.isFinite(f.longitude)) return;
  const now = performance.now();
  const here = [f.latitude, f.longitude];
  view.aircraft.setLatLng(here);
  if (!view.map.hasLayer(view.aircraft)) {
    view.aircraft.addTo(view.map);
    view.map.setView(here, view.map.getZoom(), { animate: false });
  }
  const icon = view.aircraft.getElement()?.firstElementChild;
  if (icon) icon.style.transform = `rotate(${f.trueHeading}deg)`;
  if (now - view.lastPointAt >= TRACK_EVERY_MS) {
    view.lastPointAt = now;
    view.points.push({ at: now, latlng: here });
    while (view.points.length && now - view.points[0].at > TRACK_MS) view.points.shift();
    view.track.setLatLngs(view.points.map((p) => p.latlng));
  }
  if (now - view.lastFollowAt >= FOLLOW_EVERY_MS && now > view.heldUntil) {
    view.lastFollowAt = now;
    view.map.panTo(here, { animate: false });
  }
}

// --- flight history ----------------------------------------------------------------------------
// Altitude, speed and vertical speed over the last HISTORY_MS, one sample a second (at most 600,
// kept in the page), drawn by uPlot. A second without live frames is a gap, never a value held.
const HISTORY_MS = 10 * 60 * 1000;
const HISTORY_EVERY_MS = 1000;
const HISTORY_SERIES = [
  { label: 'Altitude', unit: 'ft', digits: 0, stroke: '#3f3', take: (f) => first(f.indicatedAltitude) },
  { label: 'Speed', unit: 'kt', digits: 0, stroke: '#4dd0ff', take: (f) => first(f.indicatedAirspeed) },
  { label: 'Vertical speed', unit: 'ft/min', digits: 0, stroke: '#ffb000', take: (f) => first(f.instrumentVerticalSpeed) },
];
const flightHistory = { times: [], columns: HISTORY_SERIES.map(() => []), charts: [] };
state.history = flightHistory;

(function buildHistory() {
  if (typeof uPlot === 'undefined' || (state.instrument && state.instrument !== 'history')) return;
  const box = $('history');
  // Three charts one above the other, each with its legend (about LEGEND_PX) below it.
  const LEGEND_PX = 30;
  const size = () => ({ width: Math.max(200, box.clientWidth), height: Math.max(60, Math.floor(box.clientHeight / 3) - LEGEND_PX) });
  const axis = { stroke: '#9aa0a6', grid: { stroke: '#2a3038' }, ticks: { stroke: '#2a3038' }, font: '12px DejaVu Sans Mono, monospace' };
  flightHistory.charts = HISTORY_SERIES.map((series, i) => new uPlot({
    ...size(),
    // (Always the whole window, the newest sample at the right.)
    scales: { x: { time: true, range: (u, min, max) => {
      const end = Number.isFinite(max) ? max : Date.now() / 1000;
      return [end - HISTORY_MS / 1000, end];
    } } },
    legend: { live: true },
    cursor: { drag: { x: false, y: false } },
    series: [
      { value: (u, v) => (v == null ? '–' : new Date(v * 1000).toLocaleTimeString([], { hour12: false })) },
      { label: series.label, stroke: series.stroke, width: 2, spanGaps: false,
        value: (u, v) => (v == null ? '–' : `${v.toFixed(series.digits)} ${series.unit}`) },
    ],
    // (Times under the last chart only; the others keep the minute lines.)
    axes: [{ ...axis, incrs: [60, 120, 300, 600], size: i === HISTORY_SERIES.length - 1 ? 40 : 4,
      values: (u, ticks) => ticks.map((t) => (i === HISTORY_SERIES.length - 1
        ? new Date(t * 1000).toLocaleTimeString([], { hour: '2-digit', minute: '2-digit', hour12: false }) : '')) },
    { ...axis, size: 70, label: series.unit, labelSize: 18 }],
  }, [[], []], box));
  new ResizeObserver(() => { for (const chart of flightHistory.charts) chart.setSize(size()); }).observe(box);
  setInterval(sampleHistory, HISTORY_EVERY_MS);
})();

function sampleHistory() {
  const now = Date.now() / 1000;
  const f = state.link === 'live' ? state.lastFrame : null;
  flightHistory.times.push(now);
  HISTORY_SERIES.forEach((series, i) => {
    const v = f ? series.take(f) : null;
    flightHistory.columns[i].push(Number.isFinite(v) ? v : null);
  });
  while (flightHistory.times.length && now - flightHistory.times[0] > HISTORY_MS / 1000) {
    flightHistory.times.shift();
    for (const column of flightHistory.columns) column.shift();
  }
  // The legends read the latest sample, or the one under the pointer while it is over a chart.
  flightHistory.charts.forEach((chart, i) => {
    chart.setData([flightHistory.times, flightHistory.columns[i]]);
    if (!(chart.cursor.left >= 0)) chart.setLegend({ idx: flightHistory.times.length - 1 });
  });
}

// --- engines ---------------------------------------------------------------------------------
// Arc gauges per engine for the engines the aircraft has (those whose readings are not all zero).
// Turbines show N1, piston engines (no N1, but RPM) their RPM.
const GAUGES = {
  n1: { label: 'N1 %', min: 0, max: 110, red: 104, digits: 1 },
  rpm: { label: 'RPM', min: 0, max: 3000, red: 2700, digits: 0 },
  egt: { label: 'EGT °C', min: 0, max: 1000, red: 950, digits: 0 },
  ff: { label: 'FF klb/h', min: 0, max: 12, red: null, digits: 2 },
  ffLb: { label: 'FF lb/h', min: 0, max: 200, red: null, digits: 0 },
};
const engines = { count: 0, piston: null, gauges: [] };

function arcPoint(cx, cy, r, t) {
  const a = (150 + 240 * clamp(t, 0, 1)) * Math.PI / 180;
  return [cx + r * Math.cos(a), cy + r * Math.sin(a)];
}
function arcPath(cx, cy, r, t0, t1) {
  const [x0, y0] = arcPoint(cx, cy, r, t0);
  const [x1, y1] = arcPoint(cx, cy, r, t1);
  return `M${x0} ${y0} A${r} ${r} 0 ${(t1 - t0) * 240 > 180 ? 1 : 0} 1 ${x1} ${y1}`;
}

function engineCount(f) {
  let n = 0;
  for (let e = 0; e < 4; e++) {
    const readings = [f.engineN1, f.engineN2, f.engineRpm, f.fuelFlow, f.oilPressure, f.exhaustGasTemperature];
    if (readings.some((r) => Array.isArray(r) && r[e] !== 0)) n = e + 1;
  }
  return Math.max(1, n);
}

function buildEngines(count, piston) {
  const root = $('eng-gauges');
  root.replaceChildren();
  engines.gauges = [];
  const col = 640 / count;
  const r = Math.min(52, col / 2 - 16);
  const kinds = [piston ? 'rpm' : 'n1', 'egt', piston ? 'ffLb' : 'ff'];
  for (let e = 0; e < count; e++) {
    const cx = col * e + col / 2;
    root.append(el('text', { x: cx, y: 22, 'font-size': 16, fill: '#9aa0a6', 'text-anchor': 'middle' }, `ENG ${e + 1}`));
    const gauges = {};
    kinds.forEach((kind, k) => {
      const spec = GAUGES[kind];
      const cy = 84 + k * 112;
      root.append(el('path', { d: arcPath(cx, cy, r, 0, 1), stroke: '#ddd', 'stroke-width': 3, fill: 'none' }));
      if (spec.red !== null) {
        const t = (spec.red - spec.min) / (spec.max - spec.min);
        root.append(el('path', { d: arcPath(cx, cy, r, t, 1), stroke: '#ff3b30', 'stroke-width': 5, fill: 'none' }));
      }
      const fill = el('path', { d: '', stroke: '#2f7d32', 'stroke-width': 10, fill: 'none', class: 'live', opacity: 0.8 });
      const needle = el('line', { x1: cx, y1: cy, x2: cx, y2: cy, stroke: '#fff', 'stroke-width': 3, class: 'live' });
      // The readout sits in the gap at the foot of the arc, where the needle never goes.
      const value = el('text', { x: cx, y: cy + r * 0.5 + 6, 'font-size': 20, fill: '#3f3', 'text-anchor': 'middle', class: 'live' }, '');
      root.append(fill, needle, value,
        el('text', { x: cx, y: cy + r * 0.5 + 22, 'font-size': 12, fill: '#9aa0a6', 'text-anchor': 'middle' }, spec.label));
      gauges[kind] = { spec, cx, cy, r, fill, needle, value };
    });
    gauges.n2 = el('text', { x: cx, y: 374, 'font-size': 13, fill: '#fff', 'text-anchor': 'middle', class: 'live' }, '');
    gauges.oil = el('text', { x: cx, y: 392, 'font-size': 13, fill: '#fff', 'text-anchor': 'middle', class: 'live' }, '');
    root.append(gauges.n2, gauges.oil);
    engines.gauges.push(gauges);
  }
  engines.count = count;
  engines.piston = piston;
}

function drawGauge(g, v) {
  const t = (v - g.spec.min) / (g.spec.max - g.spec.min);
  const ok = Number.isFinite(t);
  setAttr(g.fill, 'd', ok && t > 0.001 ? arcPath(g.cx, g.cy, g.r - 6, 0, t) : '');
  const [x, y] = arcPoint(g.cx, g.cy, g.r - 4, ok ? t : 0);
  setAttr(g.needle, 'x2', x.toFixed(1));
  setAttr(g.needle, 'y2', y.toFixed(1));
  setText(g.value, ok ? v.toFixed(g.spec.digits) : '---');
  setAttr(g.value, 'fill', g.spec.red !== null && v >= g.spec.red ? '#ff3b30' : '#3f3');
}

function drawEngines(f) {
  const count = engineCount(f);
  const piston = f.engineN1.slice(0, count).every((v) => v === 0) && f.engineRpm.slice(0, count).some((v) => v > 0);
  if (count !== engines.count || piston !== engines.piston) buildEngines(count, piston);
  engines.gauges.forEach((g, e) => {
    drawGauge(piston ? g.rpm : g.n1, piston ? f.engineRpm[e] : f.engineN1[e]);
    drawGauge(g.egt, f.exhaustGasTemperature[e]);
    drawGauge(piston ? g.ffLb : g.ff, piston ? f.fuelFlow[e] * 1000 : f.fuelFlow[e]);
    setText(g.n2, piston ? '' : `N2 ${fixed(f.engineN2[e], 1)} %`);
    setText(g.oil, `OIL ${fixed(f.oilPressure[e], 0)} psi ${fixed(f.oilTemperature[e], 0)}°C`);
  });
  let gal = 0;
  for (let i = 0; i < f.fuelLevel.length; i++) gal += (f.fuelLevel[i] / 100) * f.fuelCapacity[i];
  setText($('eng-fuel'), `FUEL ${fixed(gal, 0)} gal`);
}

// --- radios and systems (the combined page) ---------------------------------------------------
function bcdCom(v) {
  return Number.isFinite(v) && v > 0 ? (100 + Math.round(v * 10000) / 100).toFixed(2) : '–';
}

function rows(dl, items) {
  if (dl.childElementCount !== items.length * 2) {
    dl.replaceChildren();
    for (let i = 0; i < items.length; i++) dl.append(document.createElement('dt'), document.createElement('dd'));
  }
  items.forEach(([name, value], i) => {
    setText(dl.children[2 * i], name);
    setText(dl.children[2 * i + 1], value);
  });
}

function drawRadios(f) {
  const nav = (i) => `${fixed(f.navFrequency[i], 2)} ${on(f.navSignal[i]) ? (f.navIdent[i] || '') : ''}` +
    `${dmeValid(f, i) ? `  DME ${f.dmeDistance[i].toFixed(1)} nm` : ''}`;
  rows($('radios'), [
    ['COM 1 / 2', `${bcdCom(f.comFrequency[0])} / ${bcdCom(f.comFrequency[1])}`],
    ['NAV 1', nav(0)],
    ['NAV 2', nav(1)],
    ['ADF 1 / 2', `${fixed(f.adfFrequency[0], 1)} / ${fixed(f.adfFrequency[1], 1)} kHz`],
  ]);
  const gears = [f.gearLeftDown, f.gearCenterDown, f.gearRightDown];
  const gear = gears.every((g) => g >= 1) ? 'down' : gears.every((g) => g <= 0) ? 'up' : 'in transit';
  rows($('systems'), [
    ['Gear', gear],
    ['Flaps', `${fixed(f.flapAngle, 0)}° (detent ${fixed(f.flapDetentAngle, 0)}°)`],
    ['Spoilers', `${fixed(f.spoilerDeflection * 100, 0)} %`],
    ['Position', `${fixed(f.latitude, 4)}, ${fixed(f.longitude, 4)}`],
    ['Wind', `${fixed(f.windDirection, 0)}° / ${fixed(f.windSpeed, 0)} kt`],
  ]);
}

// Only what is on screen is drawn: an instrument alone draws itself and nothing else.
// (The history samples the latest frame on a timer of its own, not at each frame.)
const DRAWERS = { pfd: drawPfd, nd: drawNd, map: drawMap, engines: drawEngines, mcp: drawMcp, history: () => {} };
function draw(f) {
  if (!f) return;
  if (state.instrument) {
    DRAWERS[state.instrument](f);
    return;
  }
  for (const d of Object.values(DRAWERS)) d(f);
  drawRadios(f);
}

connect();
