// The instrument panel in a real browser (Debian's chromium, headless, driven by puppeteer-core)
// against velkaro-sim and the gateway: the page opened at the address zelm serve prints loads
// without errors, takes the control token out of the address bar, shows the aircraft as the
// frames have it, flies it (AP on, heading 270: the aircraft turns), still may fly after a reload,
// and says so when the simulator goes away. A page opened without the token, or with a wrong one,
// says it is view-only, has its autopilot controls disabled and changes nothing. Writes a
// screenshot of each kind of page.
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
const pageUrl = (page) => page.evaluate(() => location.href);
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
  // The panel's address with the control token, as zelm serve prints it at start.
  const panelUrl = await until('zelm serve prints the panel\'s address', () =>
    (/instrument panel at (http:\/\/\S+)/.exec(gateway.output) ?? [])[1]);
  check(panelUrl.startsWith(`${url}?token=`), 'the printed address carries the control token', panelUrl);
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
  const errors = [];
  const newPage = async () => {
    const p = await browser.newPage();
    p.on('console', (m) => { if (m.type() === 'error') errors.push(m.text()); });
    p.on('pageerror', (e) => errors.push(e.message));
    return p;
  };
  // What a page shows about its right to fly, once its hello has come.
  const controlShown = (p) => until('the hello is in', () => p.evaluate(() => {
    const panel = window.velkaroPanel;
    const notice = document.getElementById('view-only');
    return panel.control !== null && {
      control: panel.control,
      notice: notice.hidden ? null : notice.textContent.replace(/\s+/g, ' ').trim(),
      badge: !document.getElementById('mode').hidden,
      enabled: [...document.querySelectorAll('.ap button, .ap input')].filter((c) => !c.matches(':disabled')).length,
      controls: document.querySelectorAll('.ap button, .ap input').length,
    };
  }));
  mkdirSync(outDir, { recursive: true });

  const page = await newPage();
  await page.goto(panelUrl, { waitUntil: 'load' });
  await until('the page says live', () => page.$eval('#link', (e) => e.textContent === 'live'));
  check(await pageUrl(page) === url, 'the token is gone from the address bar', await pageUrl(page));
  const pilot = await controlShown(page);
  check(pilot.control && !pilot.notice && !pilot.badge && pilot.enabled === pilot.controls,
        'the page with the token may fly, with no view-only notice', JSON.stringify(pilot));

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

  await page.screenshot({ path: join(outDir, 'panel.png') });
  console.log(`screenshot: ${join(outDir, 'panel.png')}`);

  // A reload keeps the token for the tab, though it is no longer in the address.
  await page.reload({ waitUntil: 'load' });
  const reloaded = await controlShown(page);
  check(reloaded.control && !reloaded.notice, 'after a reload the page still may fly', JSON.stringify(reloaded));

  // Pages that may only watch: the notice says how to fly, the controls are there but disabled,
  // and neither a click nor a command sent anyway changes the autopilot.
  const flown = frame();
  for (const [query, why, shot] of [['', /may watch the aircraft but not fly it/, 'panel-view-only.png'],
                                    ['?token=not-the-token', /token this page has was not accepted/]]) {
    const viewer = await newPage();
    await viewer.goto(`${url}${query}`, { waitUntil: 'load' });
    await until('the page says live', () => viewer.$eval('#link', (e) => e.textContent === 'live'));
    const shown = await controlShown(viewer);
    const what = `a page opened at /${query}`;
    check(await pageUrl(viewer) === url, `${what}: nothing of a token left in the address bar`, await pageUrl(viewer));
    check(!shown.control && shown.badge && why.test(shown.notice) && /\?token=…/.test(shown.notice),
          `${what} says it is view-only and how to fly`, JSON.stringify(shown));
    check(shown.controls > 0 && shown.enabled === 0, `${what} has its autopilot controls disabled`, JSON.stringify(shown));
    if (shot) {
      await viewer.screenshot({ path: join(outDir, shot) });
      console.log(`screenshot: ${join(outDir, shot)}`);
    }
    await viewer.click('button[data-switch="ap"]');
    const quiet = await viewer.$eval('#ap-result', (e) => e.textContent);
    check(quiet === '', `${what}: a click on AP sends nothing`, quiet);
    await viewer.evaluate(() => window.velkaroPanel.send({ ap: false, hdg: 90 }));
    const refused = await until('the refusal is shown', () => viewer.$eval('#ap-result', (e) =>
      e.classList.contains('error') && e.textContent));
    check(/may watch but not fly/.test(refused), `${what}: a command sent anyway is refused`, refused);
    await viewer.close();
  }
  const after = frame();
  check(value(after, 'apMaster') === 1 && value(after, 'apHeading') === value(flown, 'apHeading'),
        'the view-only pages left the autopilot as it was',
        `apMaster ${value(after, 'apMaster')}, apHeading ${value(flown, 'apHeading')} -> ${value(after, 'apHeading')}`);

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
