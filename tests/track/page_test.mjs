// The live page in headless Chromium, on pages that the C++ writer makes
// from synthetic runs (live_page_fixture): the charts are drawn, the status
// and the sets are shown, the page updates itself in place with the zoom
// and the closed panels kept, it is never blank while it updates, a final
// status stops the updates, a copy without its data script still shows what
// it holds, and a hostile name stays text.
// Usage: node page_test.mjs FIXTURE TMPDIR CHROMIUM
import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';
import { drawn } from './drawn.mjs';

const [fixture, tmpRoot, executablePath] = process.argv.slice(2);
const EVERY = 0.5;  // seconds between the page's loads of its data script

let failures = 0;
function check(ok, what) {
  console.log(`${ok ? 'ok' : 'FAILED'}: ${what}`);
  if (!ok) failures += 1;
}

function write(page, ...args) {
  execFileSync(fixture, [page, '--every', String(EVERY), ...args], { stdio: 'inherit' });
}

// ------------------------------------------------------------ the test

const tmp = fs.mkdtempSync(path.join(tmpRoot, 'page-'));
const profile = path.join(tmp, 'profile');
const pages = path.join(tmp, 'pages');
fs.mkdirSync(pages);
const page1 = path.join(pages, 'live.html');
let context = null;

try {
  context = await chromium.launchPersistentContext(profile, {
    executablePath,
    headless: true,
    viewport: { width: 1400, height: 1000 },
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const errors = [];
  const page = context.pages()[0] || await context.newPage();
  page.on('pageerror', (e) => errors.push(String(e)));
  const text = (id) => page.$eval('#' + id, (e) => e.textContent);
  const waitFor = (id, value) => page.waitForFunction(
    ([i, v]) => document.getElementById(i).textContent === v, [id, value], { timeout: 15000 });

  // Drawn, with its status and sets.
  write(page1, '--sets', '20', '--ranges', '3');
  await page.goto(pathToFileURL(page1).href);
  check(await page.$$eval('canvas', (c) => c.length) === 9, 'three charts per range, as canvases');
  check(await text('status') === 'live', 'the status is shown');
  check(await page.$eval('#banner', (e) => e.className) === 'banner status-live', 'the banner has the status colour');
  check(await text('sets') === '20', 'the sets are shown');
  check(await text('elapsed') === '0:00:10', 'the elapsed time is shown');
  check(await text('target') === 'run/out.mat', 'the target is shown');
  check(await drawn(page), 'the first screenshot is not blank');

  // Zoom into two charts of range 1, close range 2's panel, then update.
  for (const index of [0, 1]) {
    const over = await page.$$('.u-over');
    const box = await over[index].boundingBox();
    await page.mouse.move(box.x + box.width * 0.3, box.y + box.height / 2);
    await page.mouse.down();
    await page.mouse.move(box.x + box.width * 0.6, box.y + box.height / 2, { steps: 5 });
    await page.mouse.up();
  }
  await page.click('#range-2 > summary');
  const scales = () => page.evaluate(() => window.qarvelPage.charts.slice(0, 2).map(
    (c) => ({ min: c.u.scales.x.min, max: c.u.scales.x.max, zoomed: c.zoomed, points: c.u.data[0].length })));
  const zoomed = await scales();
  check(zoomed.every((s) => s.zoomed), 'a drag across a chart zooms it');
  await page.evaluate(() => { window.qarvelPage.charts[0].u.kept = true; });
  write(page1, '--sets', '60', '--ranges', '3');
  await waitFor('sets', '60');
  const after = await scales();
  check(after.every((s, i) => s.zoomed && s.min === zoomed[i].min && s.max === zoomed[i].max),
        'the zoom survives an update: ' + JSON.stringify({ zoomed, after }));
  check(after[1].points === 60 && zoomed[1].points === 20, 'the course took the new sets');
  check(await page.evaluate(() => window.qarvelPage.charts[0].u.kept === true), 'the charts were updated, not rebuilt');
  check(await page.$eval('#range-2', (e) => !e.open) && await page.$eval('#range-1', (e) => e.open),
        'a closed panel stays closed, an open one open');

  // Screenshots at any moment of several updates are never blank.
  let shots = 0, blank = 0;
  for (let sets = 80; sets <= 140; sets += 20) {
    write(page1, '--sets', String(sets), '--ranges', '3');
    const until = Date.now() + 1500;
    while (Date.now() < until) {
      shots++;
      if (!await drawn(page)) blank++;
      await page.waitForTimeout(90);
    }
  }
  check(await text('sets') === '140', 'the page followed every update');
  check(blank === 0 && shots >= 8, `none of ${shots} screenshots across four updates is blank (${blank} blank)`);

  // A stalled run is flagged at once.
  write(page1, '--sets', '140', '--ranges', '3', '--status', 'stalled');
  await waitFor('status', 'stalled');
  check(await page.$eval('#banner', (e) => e.className) === 'banner status-stalled', 'a stalled run has its banner colour');

  // A final status stops the updates.
  write(page1, '--sets', '150', '--ranges', '3', '--status', 'saved');
  await waitFor('status', 'saved');
  const loads = await page.evaluate(() => window.qarvelPage.loads);
  write(page1, '--sets', '170', '--ranges', '3', '--status', 'live');
  await page.waitForTimeout(EVERY * 1000 * 5);
  check(await page.evaluate(() => window.qarvelPage.loads) === loads, 'a saved page loads no more data');
  check(await text('sets') === '150' && await text('status') === 'saved', 'a saved page stays as it was saved');

  // A copy of the page without its data script shows what it holds.
  const copy = path.join(tmp, 'copy');
  fs.mkdirSync(copy);
  fs.copyFileSync(page1, path.join(copy, 'mailed.html'));
  await page.goto(pathToFileURL(path.join(copy, 'mailed.html')).href);
  await page.waitForFunction(() => /cannot be read/.test(document.getElementById('updating').textContent),
                             null, { timeout: 15000 });
  check(await text('sets') === '170' && await page.$$eval('canvas', (c) => c.length) === 9,
        'a copy alone shows its own data, drawn');
  check(await drawn(page), 'a copy alone is not blank');

  // A hostile name stays text; a phase-only run draws.
  const hostile = '</script><script>window.pwned=1</script>"\'&<b>x</b>\u00e9';
  const page2 = path.join(pages, 'other.html');
  write(page2, '--sets', '5', '--ranges', '1', '--no-magnitude', '--target', hostile, '--status', 'died');
  await page.goto(pathToFileURL(page2).href);
  check(await page.evaluate(() => window.pwned === undefined), 'no script runs from the name');
  check(await text('target') === hostile, 'the name reads as it is');
  check(await text('status') === 'died' && await page.$eval('#banner', (e) => e.className) === 'banner status-died',
        'a died run has its banner');
  check(await page.$$eval('canvas', (c) => c.length) === 3, 'a phase-only range is drawn');
  fs.mkdirSync(path.join(tmp, 'shots'));
  await page.goto(pathToFileURL(page1).href);
  await page.screenshot({ path: path.join(tmp, 'shots', 'saved.png') });
  if (process.env.QARVEL_PAGE_SHOTS) {
    fs.copyFileSync(path.join(tmp, 'shots', 'saved.png'), process.env.QARVEL_PAGE_SHOTS);
  }
  check(errors.length === 0, 'no script error on any page: ' + errors.join('; '));
} catch (e) {
  check(false, 'the test ran to its end: ' + (e && e.stack ? e.stack : e));
} finally {
  if (context) await context.close().catch(() => {});
  fs.rmSync(tmp, { recursive: true, force: true });
}
console.log(failures === 0 ? 'all checks passed' : `${failures} check(s) failed`);
process.exit(failures === 0 ? 0 : 1);
