// How the instruments keep up with the simulator: velkaro-sim at 60 frames a second, the gateway,
// and Debian's chromium (headless, puppeteer-core) with each instrument open at its own address
// (/pfd, /nd, /map, /engines, /mcp, /history), each in a window of its own, for a while (10
// minutes by default). Every page is watched from inside:
// - its display frames: the time between one animation frame and the next (16.7 ms when the page
//   keeps up with a 60 Hz screen), as percentiles, and how many took longer than 25 ms (a
//   refresh missed);
// - its frames: how many frame messages it received a second, against the simulator's rate;
// - its memory: the JavaScript heap and the document's node and listener counts, each measured
//   after a garbage collection once warm (after the first minute), then every minute, and at the
//   end: what the page keeps, which must not grow.
// The gateway's count of frames replaced before a slow browser took them says whether the pages
// kept up as the gateway saw it.
//
// Usage: node web/bench/panel_bench.mjs VELKARO_SIM ZELM [SECONDS] [HTTP_PORT]
// The simulator listens on the add-on's port, so nothing else may use it meanwhile.
import { spawn } from 'node:child_process';
import { cpus, loadavg } from 'node:os';
import puppeteer from 'puppeteer-core';

const [sim, zelm, secondsText, portText] = process.argv.slice(2);
if (!sim || !zelm) {
  console.error('usage: node web/bench/panel_bench.mjs VELKARO_SIM ZELM [SECONDS] [HTTP_PORT]');
  process.exit(2);
}
const seconds = Number(secondsText ?? 600);
const port = Number(portText ?? 18094);
const base = `http://127.0.0.1:${port}`;
const chromium = process.env.CHROMIUM ?? '/usr/bin/chromium';
const instruments = ['pfd', 'nd', 'map', 'engines', 'mcp', 'history'];
const warmSeconds = Math.min(60, seconds / 4);
const children = [];
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

function start(program, args) {
  const child = spawn(program, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  child.output = '';
  child.stdout.on('data', (d) => { child.output += d; });
  child.stderr.on('data', (d) => { child.output += d; });
  children.push(child);
  return child;
}

async function until(what, condition, ms = 15000) {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    try {
      const v = await condition();
      if (v) return v;
    } catch { /* not yet */ }
    await sleep(100);
  }
  throw new Error(`${what}: not within ${ms} ms`);
}

// Installed in every page before its own script: records display frame intervals and counts the
// frame messages that arrive, without touching the panel's code.
function watchPage() {
  // Intervals go into a histogram of 0.1 ms bins made up front, so that the watching itself
  // takes no memory as it goes.
  const w = (window.__bench = { bins: new Uint32Array(20001), max: 0, messages: 0 });
  let last = 0;
  const tick = (t) => {
    if (last && w.recording) {
      const ms = t - last;
      w.bins[Math.min(20000, Math.round(ms * 10))]++;
      if (ms > w.max) w.max = ms;
    }
    last = t;
    requestAnimationFrame(tick);
  };
  requestAnimationFrame(tick);
  const Native = window.WebSocket;
  window.WebSocket = class extends Native {
    constructor(...args) {
      super(...args);
      this.addEventListener('message', (e) => {
        if (w.recording && e.data.startsWith('{"type":"frame"')) w.messages++;
      });
    }
  };
}

// The p-th percentile of the intervals in the histogram, in ms.
function percentile(bins, total, p) {
  let seen = 0;
  for (let i = 0; i < bins.length; i++) {
    seen += bins[i];
    if (seen > (p / 100) * total) return i / 10;
  }
  return (bins.length - 1) / 10;
}
const mib = (bytes) => (bytes / 1048576).toFixed(2);

let browser;
let exitCode = 0;
try {
  start(sim, ['--rate', '60']);
  const gateway = start(zelm, ['serve', '--http-port', String(port)]);
  await until('the gateway has frames', async () => {
    const s = await (await fetch(`${base}/status`)).json();
    return s.upstream.connected && s.upstream.frames > 0;
  });
  browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-timer-throttling',
           '--disable-renderer-backgrounding', '--disable-backgrounding-occluded-windows'],
  });
  const pages = [];
  for (const name of instruments) {
    // A window of its own for each, as on a cockpit's screens.
    const context = await browser.createBrowserContext();
    const page = await context.newPage();
    await page.setViewport({ width: 800, height: 600 });
    await page.evaluateOnNewDocument(watchPage);
    await page.evaluateOnNewDocument(() => localStorage.setItem('velkaro.mapTiles', 'none'));
    page.on('pageerror', (e) => { console.error(`${name}: ${e.message}`); exitCode = 1; });
    await page.goto(`${base}/${name}`, { waitUntil: 'load' });
    const cdp = await page.createCDPSession();
    await cdp.send('Performance.enable');
    pages.push({ name, page, cdp, samples: [] });
  }
  const metrics = async (p, collect) => {
    if (collect) await p.cdp.send('HeapProfiler.collectGarbage');
    const m = Object.fromEntries((await p.cdp.send('Performance.getMetrics')).metrics.map((x) => [x.name, x.value]));
    return { heap: m.JSHeapUsedSize, nodes: m.Nodes, listeners: m.JSEventListeners };
  };
  const gatewayStatus = async () => (await (await fetch(`${base}/status`)).json()).gateway;

  console.log(`warming up for ${warmSeconds} s with ${pages.length} instruments open`);
  await sleep(warmSeconds * 1000);
  for (const p of pages) {
    p.warm = await metrics(p, true);
    await p.page.evaluate(() => { window.__bench.recording = true; });
  }
  const before = await gatewayStatus();
  const began = Date.now();
  const simBefore = (await (await fetch(`${base}/status`)).json()).upstream.frames;
  while (Date.now() - began < seconds * 1000) {
    await sleep(Math.min(60000, seconds * 1000 - (Date.now() - began)));
    for (const p of pages) p.samples.push(await metrics(p, true));
    const done = Math.round((Date.now() - began) / 1000);
    const heaps = pages.map((p) => `${p.name} ${mib(p.samples.at(-1).heap)}`).join(', ');
    console.log(`${done} s of ${seconds}: heap MiB after GC ${heaps}`);
  }
  const elapsed = (Date.now() - began) / 1000;
  const after = await gatewayStatus();
  const simFrames = (await (await fetch(`${base}/status`)).json()).upstream.frames - simBefore;

  console.log(`\n${pages.length} instruments, ${elapsed.toFixed(0)} s measured after ${warmSeconds} s warm-up; ` +
              `the gateway took ${(simFrames / elapsed).toFixed(1)} new frames/s from the simulator`);
  console.log(`${cpus().length} processors; load average over the last 15 minutes ${loadavg()[2].toFixed(1)}`);
  console.log('instrument  frames/s  display frame ms p50 / p99 / max  >25 ms          heap MiB after GC: warm, each minute, end     nodes warm -> end  listeners');
  for (const p of pages) {
    const w = await p.page.evaluate(() => ({ bins: [...window.__bench.bins], max: window.__bench.max, messages: window.__bench.messages }));
    const end = await metrics(p, true);
    const total = w.bins.reduce((a, b) => a + b, 0);
    const late = w.bins.slice(251).reduce((a, b) => a + b, 0);
    const heaps = [p.warm, ...p.samples, end].map((m) => mib(m.heap)).join(' ');
    console.log(`${p.name.padEnd(10)}  ${(w.messages / elapsed).toFixed(1).padStart(8)}  ` +
                `${percentile(w.bins, total, 50).toFixed(1).padStart(13)} / ${percentile(w.bins, total, 99).toFixed(1)} / ${w.max.toFixed(1)}` +
                `${`${late} of ${total}`.padStart(14)}   ${heaps}   ${p.warm.nodes} -> ${end.nodes}   ${p.warm.listeners} -> ${end.listeners}`);
  }
  const delivered = after.frames_delivered - before.frames_delivered;
  const dropped = after.frames_dropped_for_slow_clients - before.frames_dropped_for_slow_clients;
  console.log(`gateway: ${delivered} frame messages delivered, ${dropped} replaced before a slow browser took them`);
} catch (e) {
  console.error(`panel bench: ${e.message}`);
  exitCode = 1;
} finally {
  if (browser) await browser.close();
  for (const c of children) c.kill('SIGINT');
}
process.exit(exitCode);
