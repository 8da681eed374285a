// The instrument panel in a real browser (Debian's chromium, headless, driven by puppeteer-core)
// against velkaro-sim and the gateway:
// - the page opened at the address zelm serve prints loads without errors, takes the control
//   token out of the address bar and keeps it across a reload;
// - values pinned on velkaro-sim's input (heading, altitude, speed, localizer and glide-slope
//   deviations, a marker, the flight director) appear on the instruments;
// - the autopilot panel flies the aircraft: a knob turned with the keys sets the heading bug (read
//   back through a frame), HDG engages it and the aircraft turns; the mouse wheel sets the
//   altitude and a drag the speed; a refusal is shown beside the knob that caused it;
// - each instrument alone (/pfd, /nd, /map, /engines, /mcp, /history) loads without errors, fills the
//   window and draws, at a tablet's size and a 16:9 screen's; the map without tiles still shows
//   its grid, the aircraft and its track;
// - pages opened without the token, or with a wrong one, say they are view-only, have their
//   autopilot controls disabled and change nothing;
// - when frames stop (the simulator frozen) or the simulator goes away, every instrument shows
//   its failure flags within 2 s and drops its values; they clear by themselves when it returns.
// Writes screenshots of each kind of page and of each instrument at both sizes.
//
// Usage: node tests/panel_test.mjs VELKARO_SIM ZELM OUTPUT_DIR [HTTP_PORT]
import { spawn, execFileSync } from 'node:child_process';
import { mkdirSync, readFileSync } from 'node:fs';
import { createServer } from 'node:http';
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
  const child = spawn(program, args, { stdio: ['pipe', 'pipe', 'pipe'] });
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
const wrap360 = (v) => ((v % 360) + 360) % 360;
const simArgs = ['--rate', '30', '--set', 'PLANE ALTITUDE=12345'];

// The libraries the gateway serves (web/vendor) are the npm packages of package-lock.json.
for (const [copy, original] of [['vendor/leaflet/leaflet.js', 'node_modules/leaflet/dist/leaflet.js'],
                                ['vendor/leaflet/leaflet.css', 'node_modules/leaflet/dist/leaflet.css'],
                                ['vendor/leaflet/LICENSE', 'node_modules/leaflet/LICENSE'],
                                ['vendor/uplot/uPlot.iife.min.js', 'node_modules/uplot/dist/uPlot.iife.min.js'],
                                ['vendor/uplot/uPlot.min.css', 'node_modules/uplot/dist/uPlot.min.css'],
                                ['vendor/uplot/LICENSE', 'node_modules/uplot/LICENSE']]) {
  check(readFileSync(copy).equals(readFileSync(original)), `${copy} is the npm package's ${original}`);
}

let browser;
try {
  let simulator = start(sim, simArgs);
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
    defaultViewport: { width: 1200, height: 900 },
  });
  const errors = [];
  const newPage = async () => {
    const p = await browser.newPage();
    // No map tiles from outside in a test: a page's map shows its grid unless told otherwise.
    await p.evaluateOnNewDocument(() => {
      try {
        if (localStorage.getItem('velkaro.mapTiles') === null) localStorage.setItem('velkaro.mapTiles', 'none');
      } catch { /* a document without storage of its own (about:blank) */ }
    });
    p.on('console', (m) => { if (m.type() === 'error') errors.push(`${p.url()}: ${m.text()}`); });
    p.on('pageerror', (e) => errors.push(`${p.url()}: ${e.message}`));
    return p;
  };
  const shoot = async (p, name, fullPage = false) => {
    await p.screenshot({ path: join(outDir, name), fullPage });
    console.log(`screenshot: ${join(outDir, name)}`);
  };
  // What a page shows about its right to fly, once its hello has come.
  const controlShown = (p) => until('the hello is in', () => p.evaluate(() => {
    const panel = window.velkaroPanel;
    const notice = document.getElementById('view-only');
    const controls = [...document.querySelectorAll('#mcp .knob, #mcp [data-switch]')];
    return panel.control !== null && {
      control: panel.control,
      notice: notice.hidden ? null : notice.textContent.replace(/\s+/g, ' ').trim(),
      badge: !document.getElementById('mode').hidden,
      enabled: controls.filter((c) => c.getAttribute('aria-disabled') === 'false').length,
      controls: controls.length,
    };
  }));
  const text = (p, id) => p.$eval(`#${id}`, (e) => e.textContent);
  const says = (p, what) => until(`the page says ${what}`, () => p.$eval('#link', (e, w) => e.textContent === w, what));
  mkdirSync(outDir, { recursive: true });

  const page = await newPage();
  await page.goto(panelUrl, { waitUntil: 'load' });
  await says(page, 'live');
  check(await pageUrl(page) === url, 'the token is gone from the address bar', await pageUrl(page));
  const pilot = await controlShown(page);
  check(pilot.control && !pilot.notice && !pilot.badge && pilot.controls === 12 && pilot.enabled === pilot.controls,
        'the page with the token may fly, with no view-only notice', JSON.stringify(pilot));

  // Values pinned on the simulator's input are what the instruments show. (MAGVAR 10 and a true
  // heading of 100 make a magnetic heading of 090; a CDI of 64 is half scale, right; a GSI of
  // -59.5 half scale, the glide path below; the flight director asks for 10 degrees right bank.)
  const pins = ['INDICATED ALTITUDE=12345', 'AIRSPEED INDICATED=251', 'MAGVAR=10',
    'PLANE HEADING DEGREES TRUE=100 Degrees', 'NAV HAS NAV:1=1', 'NAV HAS LOCALIZER:1=1', 'NAV CDI:1=64',
    'NAV HAS GLIDE SLOPE:1=1', 'NAV GSI:1=-59.5', 'MARKER BEACON STATE=1', 'PLANE BANK DEGREES=0',
    'AUTOPILOT FLIGHT DIRECTOR ACTIVE=1', 'AUTOPILOT FLIGHT DIRECTOR BANK=10 Degrees'];
  for (const pin of pins) simulator.stdin.write(`set ${pin}\n`);
  const pinned = await until('the pinned values are drawn', () => page.evaluate(() => {
    const shown = (id) => document.getElementById(id).textContent;
    const visible = (id) => document.getElementById(id).getAttribute('visibility') !== 'hidden';
    const r = {
      ias: shown('ias'), alt: shown('alt'), hdg: shown('hdg'), ndHdg: shown('nd-hdg'),
      locShift: document.getElementById('loc-diamond').getAttribute('transform'),
      gs: visible('gs-scale') && document.getElementById('gs-diamond').getAttribute('transform'),
      ndCdi: visible('nd-course') && document.getElementById('nd-cdi').getAttribute('transform'),
      ndLabel: shown('nd-cdi-label'), marker: shown('marker'),
      fd: visible('fd-bars') && document.getElementById('fd-roll').getAttribute('transform'), fma: shown('fma-fd'),
    };
    return r.alt === '12345' && r.ias === '251' && r.hdg === '090' && r.marker !== '' && r.fd && r;
  }).catch((e) => e.message));
  for (const [what, ok] of [
    ['the ND shows the pinned heading', pinned.ndHdg === '090'],
    ['half-scale localizer deviation is one dot right on the PFD and the ND',
      pinned.locShift === 'translate(30 0)' && pinned.ndCdi === 'translate(30 0)' && pinned.ndLabel === 'LOC'],
    ['half-scale glide-slope deviation is one dot below', pinned.gs === 'translate(0 30)'],
    ['the outer marker is shown', pinned.marker === 'OM'],
    ['the flight director\'s bars are shown, the roll bar 10 degrees right',
      Math.abs(Number((/^translate\((\S+) 0\)$/.exec(pinned.fd) ?? [])[1]) - 30) < 0.01 && pinned.fma === 'FD'],
  ]) check(ok, what, JSON.stringify(pinned));
  await shoot(page, 'panel-pinned.png');
  for (const pin of pins) simulator.stdin.write(`unset ${pin.split('=')[0]}\n`);
  await until('the pins are released', () => Math.abs(value(frame(), 'indicatedAirspeed') - 251) > 0.5 ||
    Math.abs(value(frame(), 'magneticHeading') - 90) > 0.5);

  // Fly it with the autopilot panel: AP on; the heading knob turned with the keys to 270 (the
  // frames carry the bug), then HDG: the aircraft turns, as a frame of its own says.
  const before = frame();
  await page.click('[data-switch="ap"]');
  await until('the AP button lights', () => page.$eval('[data-switch="ap"]', (b) => b.classList.contains('on')));
  const steps = wrap360(270 - Math.round(value(before, 'apHeading')));
  await page.$eval('[data-knob="hdg"]', (e) => e.focus());
  for (let i = 0; i < Math.floor(steps / 10); i++) await page.keyboard.press('PageUp');
  for (let i = 0; i < steps % 10; i++) await page.keyboard.press('ArrowUp');
  await until('the frames carry the heading bug set by the knob', () => value(frame(), 'apHeading') === 270);
  check(await page.$eval('[data-knob="hdg"] .knob-value', (e) => e.textContent) === '270',
        'the heading knob shows 270');
  await page.click('[data-switch="hdg_hold"]');
  const turned = await until('the aircraft turns towards 270', () => {
    const f = frame();
    const h0 = value(before, 'magneticHeading');
    const h = value(f, 'magneticHeading');
    return value(f, 'apHeadingHold') === 1 && value(f, 'apMaster') === 1 &&
      Math.abs(((h - h0 + 540) % 360) - 180) > 3 && { from: h0, to: h };
  }, 20000);
  check(true, `the aircraft turns (heading ${turned.from.toFixed(1)} -> ${turned.to.toFixed(1)})`);
  const pfdMode = await until('the PFD annunciates HDG', () => page.evaluate(() =>
    document.getElementById('fma-lateral').textContent === 'HDG' && document.getElementById('fma-ap').textContent));
  check(pfdMode === 'AP', 'the PFD annunciates AP and HDG');

  // Three notches of the mouse wheel on the altitude knob: 300 ft more.
  const altBefore = value(frame(), 'apAltitude');
  const altBox = await (await page.$('[data-knob="alt"] .knob-ring')).boundingBox();
  await page.mouse.move(altBox.x + altBox.width / 2, altBox.y + altBox.height / 2);
  for (let i = 0; i < 3; i++) {
    await page.mouse.wheel({ deltaY: -100 });
    await new Promise((r) => setTimeout(r, 50));
  }
  // (The knob sends while it turns, so 100 and 200 ft more may come by first.)
  const altWanted = Math.round(altBefore / 100) * 100 + 300;
  let altAfter;
  await until('the frames carry the selected altitude', () => {
    altAfter = value(frame(), 'apAltitude');
    return altAfter === altWanted;
  }).catch(() => {});
  check(altAfter === altWanted, 'three wheel notches add 300 ft', `${altBefore} -> ${altAfter}`);

  // The speed knob dragged upwards 30 pixels: 5 kt more.
  const spdBefore = Math.round(value(frame(), 'apAirspeed'));
  const spdBox = await (await page.$('[data-knob="spd"] .knob-ring')).boundingBox();
  await page.mouse.move(spdBox.x + spdBox.width / 2, spdBox.y + spdBox.height / 2);
  await page.mouse.down();
  for (let dy = 10; dy <= 30; dy += 10) await page.mouse.move(spdBox.x + spdBox.width / 2, spdBox.y + spdBox.height / 2 - dy);
  await page.mouse.up();
  let spdAfter;
  await until('the frames carry the selected speed', () => {
    spdAfter = value(frame(), 'apAirspeed');
    return spdAfter === spdBefore + 5;
  }).catch(() => {});
  check(spdAfter === spdBefore + 5, 'a drag of 30 px up adds 5 kt', `${spdBefore} -> ${spdAfter}`);

  // A setting the gateway refuses is shown beside the knob that sent it, with the reason below.
  await page.evaluate(() => {
    const knob = window.velkaroPanel.mcp.knobs.find((k) => k.setting === 'hdg_bug');
    window.velkaroPanel.send({ hdg_bug: 400 }, knob);
  });
  const refusal = await until('the refusal is shown', () => page.evaluate(() => {
    const r = document.getElementById('ap-result');
    return r.classList.contains('error') && {
      reason: r.textContent,
      beside: document.querySelector('[data-knob="hdg"] .refusal').textContent,
    };
  }));
  check(/^HDG: .*takes 0 to 360 deg, not 400/.test(refusal.reason) && refusal.beside === 'REFUSED',
        'a heading bug of 400 is refused beside the heading knob', JSON.stringify(refusal));

  await shoot(page, 'panel.png', true);

  // A reload keeps the token for the tab, though it is no longer in the address.
  await page.reload({ waitUntil: 'load' });
  const reloaded = await controlShown(page);
  check(reloaded.control && !reloaded.notice, 'after a reload the page still may fly', JSON.stringify(reloaded));

  // Each instrument alone, at a 7-inch tablet's size and at a 16:9 screen's: it fills the window
  // (letterboxed to its own shape), the others are not there, and it draws.
  const drawn = {
    pfd: () => /^\d{3}$/.test(document.getElementById('hdg').textContent) && /^\d+$/.test(document.getElementById('alt').textContent),
    nd: () => /^\d{3}$/.test(document.getElementById('nd-hdg').textContent),
    // (Without tiles: the grid, the aircraft and its track; no request leaves the machine.)
    'map?tiles=none': () => document.querySelector('#map .aircraft-icon') !== null &&
      document.querySelectorAll('#map canvas').length > 0 && document.querySelector('#map .leaflet-overlay-pane path') !== null,
    // (Three charts, with samples in them: 2 s of them, all with values.)
    history: () => document.querySelectorAll('#history .uplot').length === 3 &&
      window.velkaroPanel.history.columns.every((c) => c.length >= 2 && c.slice(-2).every((v) => v !== null)) &&
      /\d+ ft$/.test(document.querySelector('#history .u-series:nth-child(2) .u-value').textContent),
    engines: () => document.querySelectorAll('#eng-gauges .live').length > 0 && /^FUEL \d+ gal$/.test(document.getElementById('eng-fuel').textContent),
    mcp: () => [...document.querySelectorAll('.knob-value')].every((e) => e.textContent !== '' && e.textContent !== '---'),
  };
  const alone = await newPage();
  for (const [width, height, size] of [[1024, 600, 'tablet'], [1920, 1080, 'wide']]) {
    await alone.setViewport({ width, height });
    for (const [address, isDrawn] of Object.entries(drawn)) {
      const name = address.split('?')[0];
      await alone.goto(`${url}${address}`, { waitUntil: 'load' });
      await says(alone, 'live');
      await until(`/${address} draws`, () => alone.evaluate(isDrawn));
      const fit = await alone.evaluate((name) => {
        const svg = document.querySelector(`[data-instrument="${name}"] :is(svg, .map-view, .history-view)`).getBoundingClientRect();
        const others = [...document.querySelectorAll('main > *')].filter((s) => s.dataset.instrument !== name);
        return { w: svg.width, h: svg.height, others: others.filter((s) => s.getClientRects().length > 0).length,
          header: document.querySelector('header').getClientRects().length, title: document.title };
      }, name);
      check(fit.w === width && fit.h === height && fit.others === 0 && fit.header === 0,
            `/${name} alone fills a ${width}x${height} window`, JSON.stringify(fit));
      await shoot(alone, `${name}-${size}.png`);
    }
  }
  await alone.close();

  // The map takes its tiles from the source in its address: here a tile server of the test's own.
  const tilePng = Buffer.from('iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk+M9QDwADhgGAWjR9awAAAABJRU5ErkJggg==', 'base64');
  let tilesAsked = 0;
  const tileServer = createServer((req, res) => {
    tilesAsked++;
    res.writeHead(200, { 'Content-Type': 'image/png', 'Access-Control-Allow-Origin': '*' });
    res.end(tilePng);
  });
  await new Promise((resolve) => tileServer.listen(0, '127.0.0.1', resolve));
  const tilesUrl = `http://127.0.0.1:${tileServer.address().port}/{z}/{x}/{y}.png`;
  const mapPage = await newPage();
  await mapPage.goto(`${url}map?tiles=${encodeURIComponent(tilesUrl)}`, { waitUntil: 'load' });
  const loaded = await until('tiles are shown', () => mapPage.evaluate(() =>
    document.querySelectorAll('#map img.leaflet-tile-loaded').length));
  check(loaded > 0 && tilesAsked > 0, `the map shows tiles from the source it was given (${loaded} tiles)`);
  await mapPage.evaluate(() => localStorage.setItem('velkaro.mapTiles', 'none'));  // (kept for the pages after)
  await mapPage.close();
  tileServer.close();

  // Pages that may only watch: the notice says how to fly, the controls are there but disabled,
  // and neither a click nor a command sent anyway changes the autopilot.
  const flown = frame();
  for (const [query, why, shot] of [['', /may watch the aircraft but not fly it/, 'panel-view-only.png'],
                                    ['?token=not-the-token', /token this page has was not accepted/]]) {
    const viewer = await newPage();
    await viewer.goto(`${url}${query}`, { waitUntil: 'load' });
    await says(viewer, 'live');
    const shown = await controlShown(viewer);
    const what = `a page opened at /${query}`;
    check(await pageUrl(viewer) === url, `${what}: nothing of a token left in the address bar`, await pageUrl(viewer));
    check(!shown.control && shown.badge && why.test(shown.notice) && /\?token=…/.test(shown.notice),
          `${what} says it is view-only and how to fly`, JSON.stringify(shown));
    check(shown.controls > 0 && shown.enabled === 0, `${what} has its autopilot controls disabled`, JSON.stringify(shown));
    if (shot) await shoot(viewer, shot);
    await viewer.click('[data-switch="ap"]');
    await viewer.$eval('[data-knob="hdg"]', (e) => e.focus());
    await viewer.keyboard.press('ArrowUp');
    const quiet = await text(viewer, 'ap-result');
    check(quiet === '', `${what}: a click on AP and a turn of a knob send nothing`, quiet);
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

  // The simulator goes away: within 2 s every instrument, on the combined page and alone, shows
  // its flags and no values; they clear by themselves when it is back.
  const pfd = await newPage();
  await pfd.setViewport({ width: 800, height: 600 });
  await pfd.goto(`${url}pfd`, { waitUntil: 'load' });
  await says(pfd, 'live');
  const flagsShown = (p) => p.evaluate(() => {
    const flags = [...document.querySelectorAll('.instrument .flag')];
    const values = [...document.querySelectorAll('#ias, #alt, #hdg, #nd-hdg, #nd-nav2, #nd-adf, #nd-wind-arrow, .knob-value, #eng-fuel, #map .aircraft-icon')];
    return {
      flags: flags.filter((g) => getComputedStyle(g).display !== 'none').length,
      of: flags.length,
      values: values.filter((v) => getComputedStyle(v).visibility !== 'hidden').length,
      why: document.querySelector('.flag-why').textContent,
    };
  });
  // Frames stop while the connection stays (the simulator frozen): stale, flagged within 2 s.
  let frozen = Date.now();
  simulator.kill('SIGSTOP');
  const stale = await until('the PFD flags the stale frames', async () => {
    const f = await flagsShown(pfd);
    return f.flags === f.of && f.values === 0 && f;
  }, 5000).finally(() => simulator.kill('SIGCONT'));
  frozen = Date.now() - frozen;
  check(frozen <= 2000 && stale.why === 'NO DATA', `frames that stop are flagged within 2 s (${frozen} ms)`, JSON.stringify(stale));
  await until('the PFD clears its flags when frames come again', async () => (await flagsShown(pfd)).flags === 0);

  const stopped = Date.now();
  simulator.kill('SIGINT');
  for (const [p, where] of [[page, 'the combined page'], [pfd, '/pfd']]) {
    const flagged = await until(`${where} flags the lost simulator`, async () => {
      const f = await flagsShown(p);
      return f.flags === f.of && f.values === 0 && f;
    }, 5000);
    const took = Date.now() - stopped;
    check(took <= 2000 && flagged.why === 'SIM LOST', `${where} shows its flags and no values within 2 s (${took} ms)`,
          JSON.stringify(flagged));
  }
  check(await text(page, 'link') === 'simulator connection lost', 'the page says the simulator connection is lost');
  await shoot(page, 'panel-flags.png');
  await shoot(pfd, 'pfd-flags.png');
  if (simulator.exitCode === null && simulator.signalCode === null) {
    await new Promise((resolve) => simulator.once('exit', resolve));
  }
  simulator = start(sim, simArgs);
  for (const [p, where] of [[page, 'the combined page'], [pfd, '/pfd']]) {
    const cleared = await until(`${where} clears its flags`, async () => {
      const f = await flagsShown(p);
      return f.flags === 0 && f.values > 0 && f;
    }, 20000);
    check(Boolean(cleared), `${where} clears its flags when the simulator is back`);
  }

  // The instruments each on a screen of its own, as a cockpit builder sets them up.
  const cockpit = await newPage();
  await cockpit.setViewport({ width: 1600, height: 900 });
  const screens = ['pfd', 'nd', 'map?tiles=none', `mcp${new URL(panelUrl).search}`, 'engines', 'history'];
  await cockpit.setContent(`<body style="margin:0;background:#000;display:grid;gap:6px;
      grid-template-columns:1fr 1fr 1fr;grid-template-rows:1fr 1fr;height:100vh">
    ${screens.map((n) => `<iframe src="${url}${n}" style="border:0;width:100%;height:100%"></iframe>`).join('')}
    </body>`, { waitUntil: 'load' });
  await until('every instrument is live', async () => {
    const frames = cockpit.frames().filter((f) => f !== cockpit.mainFrame());
    const live = await Promise.all(frames.map((f) => f.evaluate(() => document.body.classList.contains('live'))));
    return live.length === screens.length && live.every(Boolean);
  });
  await new Promise((r) => setTimeout(r, 3000));  // (a few seconds of history and track)
  await shoot(cockpit, 'instruments.png');

  check(errors.length === 0, 'no errors in the browser console', [...new Set(errors)].join(' | '));
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
