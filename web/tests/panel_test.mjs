// The instrument panel in a real browser (Debian's chromium, headless, driven by puppeteer-core)
// against velkaro-sim and the gateway: the page loads without errors, shows the aircraft as the
// frames have it, flies it (AP on, heading 270: the aircraft turns), and says so when the
// simulator goes away. Writes a screenshot.
//
// Usage: node tests/panel_test.mjs VELKARO_SIM ZELM OUTPUT_DIR [HTTP_PORT]
import { spawn, execFileSync } from 'node:child_process';
import { mkdirSync } from 'node:fs';
import { join } from 'node:path';
import puppeteer from 'puppeteer-core';

const [sim, zelm, outDir, portText] = process.argv.slice(2);
if (!sim || !zelm || !outDir) {
  console.error('usage: node tests/panel_test.mjs VELKARO_SIM ZELM OUTPUT_DIR [HTTP_PORT]');
  process.exit(2);
}
const port = Number(portText ?? 18093);
const url = `http://127.0.0.1:${port}/`;
const chromium = process.env.CHROMIUM ?? '/usr/bin/chromium';
const children = [];
let failures = 0;

function check(ok, what, detail = '') {
  console.log(`${ok ? 'ok' : 'FAIL'}: ${what}${ok || !detail ? '' : `: ${detail}`}`);
  if (!ok) failures++;
}

function start(program, args) {
  const child = spawn(program, args, { stdio: ['ignore', 'pipe', 'pipe'] });
  child.output = '';
  child.stdout.on('data', (d) => { child.output += d; });
  child.stderr.on('data', (d) => { child.output += d; });
  children.push(child);
  return child;
}

async function until(what, condition, ms = 10000) {
  const end = Date.now() + ms;
  let last;
  while (Date.now() < end) {
    try {
      last = await condition();
      if (last) return last;
    } catch (e) {
      last = e.message;
    }
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error(`${what}: not within ${ms} ms (last: ${JSON.stringify(last)})`);
}

function frame() {
  return JSON.parse(execFileSync(zelm, ['frame', '--json'], { encoding: 'utf8', timeout: 10000 }));
}
const value = (f, name) => [].concat(f[name].value)[0];

let browser;
try {
  const simulator = start(sim, ['--rate', '30', '--set', 'PLANE ALTITUDE=12345']);
  const gateway = start(zelm, ['serve', '--http-port', String(port)]);
  await until('the gateway connects to the add-on', async () => {
    const status = await (await fetch(`${url}status`)).json();
    return status.upstream.connected && status.upstream.frames > 0;
  });

  browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--window-size=1200,800'],
    defaultViewport: { width: 1200, height: 760 },
  });
  const page = await browser.newPage();
  const errors = [];
  page.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
  page.on('pageerror', (e) => errors.push(e.message));
  await page.goto(url, { waitUntil: 'load' });
  await until('the page says live', () => page.$eval('#link', (e) => e.textContent === 'live'));

  // What the page shows is what the frames say.
  const shown = await until('a frame drawn', () => page.evaluate(() => {
    const f = window.velkaroPanel.lastFrame;
    return f && {
      alt: document.getElementById('alt').textContent,
      hdg: document.getElementById('hdg').textContent,
      frameAlt: f.indicatedAltitude[0],
      frameHdg: f.magneticHeading[0],
      altitude: f.altitude,
    };
  }));
  check(Math.abs(shown.altitude - 12345) < 1, 'the frames carry the pinned altitude', shown.altitude);
  check(shown.alt === shown.frameAlt.toFixed(0), 'the altitude shown is the frame\'s', JSON.stringify(shown));
  check(shown.hdg === String(Math.round(shown.frameHdg) % 360).padStart(3, '0'),
        'the heading shown is the frame\'s', JSON.stringify(shown));

  // Fly it: AP on, then heading 270. The aircraft turns, as a frame of its own says.
  const before = frame();
  await page.click('button[data-switch="ap"]');
  await until('the AP button lights', () => page.$eval('button[data-switch="ap"]', (b) => b.classList.contains('on')));
  await page.type('input[name="hdg"]', '270');
  await page.click('#ap-form button[type="submit"]');
  await until('the command is confirmed', () => page.$eval('#ap-result', (e) => e.textContent === 'sent'));
  const turned = await until('the aircraft turns towards 270', () => {
    const f = frame();
    const h0 = value(before, 'magneticHeading');
    const h = value(f, 'magneticHeading');
    return value(f, 'apHeading') === 270 && value(f, 'apMaster') === 1 &&
      Math.abs(((h - h0 + 540) % 360) - 180) > 3 && { from: h0, to: h };
  }, 20000);
  check(true, `the aircraft turns (heading ${turned.from.toFixed(1)} -> ${turned.to.toFixed(1)})`);

  // A bad value is refused on the page with the gateway's reason, and nothing is sent.
  await page.type('input[name="hdg"]', '400');
  await page.click('#ap-form button[type="submit"]');
  const refusal = await until('the refusal is shown', () => page.$eval('#ap-result', (e) =>
    e.classList.contains('error') && e.textContent));
  check(/hdg takes 0 to 360 deg, not 400/.test(refusal), 'a heading of 400 is refused', refusal);

  mkdirSync(outDir, { recursive: true });
  await page.screenshot({ path: join(outDir, 'panel.png') });
  console.log(`screenshot: ${join(outDir, 'panel.png')}`);

  // The simulator goes away: the page says so.
  simulator.kill('SIGINT');
  const lost = await until('the page reports the lost simulator', () =>
    page.$eval('#link', (e) => /simulator connection lost|stale/.test(e.textContent) && e.textContent), 15000);
  check(lost === 'simulator connection lost', 'the page says the simulator connection is lost', lost);

  check(errors.length === 0, 'no errors in the browser console', errors.join(' | '));
  void gateway;
} catch (e) {
  check(false, e.message);
  for (const c of children) console.log(`--- ${c.spawnfile} said:\n${c.output}`);
} finally {
  if (browser) await browser.close();
  // Each child has ended before this test does: the next test may need the add-on's port.
  await Promise.all(children.map((c) => new Promise((resolve) => {
    if (c.exitCode !== null || c.signalCode !== null) return resolve();
    const force = setTimeout(() => c.kill('SIGKILL'), 5000);
    c.once('exit', () => { clearTimeout(force); resolve(); });
    c.kill('SIGINT');
  })));
}
console.log(failures === 0 ? 'all panel checks passed' : `${failures} panel check(s) failed`);
process.exit(failures === 0 ? 0 : 1);
