// A qarvel run followed in headless Chromium: qarvel-track --follow writes the
// live page and the CSV together while the run measures against the
// emulated instrument. The page shows more sets at a second load than at the
// first, its charts are drawn (canvases, a screenshot that is not blank), it
// says "saved" once the run has saved, and the CSV equals qarvel-track on
// the saved file in every fitted column.
// Usage: node follow_page_test.mjs BUILD TMPDIR CHROMIUM
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import { pathToFileURL } from 'node:url';
import { chromium } from 'playwright-core';
import { drawn } from '../track/drawn.mjs';

const [build, tmpRoot, executablePath] = process.argv.slice(2);

let failures = 0;
function check(ok, what) {
  console.log(`${ok ? 'ok' : 'FAILED'}: ${what}`);
  if (!ok) failures += 1;
}

const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

async function until(what, test, ms = 30000) {
  for (const end = Date.now() + ms; Date.now() < end; await sleep(50)) {
    if (test()) return true;
  }
  check(false, 'in time: ' + what);
  return false;
}

function ended(child) {
  return new Promise((done) => {
    if (child.exitCode !== null) done(child.exitCode);
    else child.on('exit', (code) => done(code));
  });
}

// The fitted columns of a CSV of qarvel-track's: sample_number, range, f0_hz
// to status (the file's name and the times differ: the follower's times are
// measured, a saved file's estimated).
function fitted(csv) {
  return csv.trim().split('\n').slice(1).map((row) => {
    const f = row.split(',');
    return [f[1], ...f.slice(4)].join(',');
  });
}

const work = fs.mkdtempSync(path.join(tmpRoot, 'follow-page-'));
const ports = path.join(work, 'ports');
fs.mkdirSync(ports);
const page = path.join(work, 'live.html');
const children = [];
let context = null;

try {
  const emulator = spawn(path.join(build, 'instrument-emulator'), ['sweep', '--port-dir', ports, '--speed', '4'],
                         { stdio: 'ignore' });
  children.push(emulator);
  await until('the emulator publishes COM1', () => fs.existsSync(path.join(ports, 'COM1')));
  const follower = spawn(path.join(build, 'qarvel-track'),
                         ['--follow', 'run.mat', '--html', 'live.html', '-o', 'rows.csv', '--every', '0.3'],
                         { cwd: work, stdio: ['ignore', 'ignore', 'inherit'] });
  children.push(follower);
  const run = spawn(path.join(build, 'qarvel'), ['run.mat', '10:20:101', '25:26:201'],
                    { cwd: work, env: { ...process.env, COMPORT_DIR: ports }, stdio: ['pipe', 'ignore', 'inherit'] });
  children.push(run);
  await until('the page holds a set', () => /"sets":[1-9]/.test(fs.existsSync(page) ? fs.readFileSync(page, 'latin1') : ''));

  context = await chromium.launchPersistentContext(path.join(work, 'profile'), {
    executablePath,
    headless: true,
    viewport: { width: 1400, height: 1000 },
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
           '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
  const tab = context.pages()[0] || await context.newPage();
  const errors = [];
  tab.on('pageerror', (e) => errors.push(String(e)));
  const text = (id) => tab.$eval('#' + id, (e) => e.textContent);
  await tab.goto(pathToFileURL(page).href);
  const first = Number(await text('sets'));
  check(first > 0, `the first load shows sets (${first})`);
  check(await text('status') === 'live', 'the first load says live');
  check(await tab.$$eval('canvas', (c) => c.length) >= 6, 'the charts are canvases, three per range');
  check(await drawn(tab), 'a screenshot of the page is not blank');
  await sleep(1500);
  await tab.goto(pathToFileURL(page).href);
  const second = Number(await text('sets'));
  check(second > first, `the sets grow between two loads (${first}, then ${second})`);

  run.stdin.write('k');
  check(await ended(run) === 0, 'the run saved and ended');
  check(await ended(follower) === 0, 'the follower ended with the save (exit 0)');
  await tab.waitForFunction(() => document.getElementById('status').textContent === 'saved', null,
                            { timeout: 15000 }).catch(() => {});
  check(await text('status') === 'saved', 'the open page says saved');
  check(await drawn(tab), 'the saved page is drawn');
  const saved = fitted(execFileSync(path.join(build, 'qarvel-track'), ['run.mat'], { cwd: work }).toString());
  const followed = fitted(fs.readFileSync(path.join(work, 'rows.csv'), 'latin1'));
  check(saved.length > 0 && JSON.stringify(followed) === JSON.stringify(saved),
        `the CSV equals qarvel-track on the saved file (${followed.length} and ${saved.length} rows)`);
  check(errors.length === 0, 'no script error: ' + errors.join('; '));
} finally {
  if (context) await context.close().catch(() => {});
  for (const child of children.reverse()) {
    if (child.exitCode === null && child.signalCode === null) {
      child.kill('SIGTERM');
      await ended(child);
    }
  }
  fs.rmSync(work, { recursive: true, force: true });
}
console.log(failures === 0 ? 'all checks passed' : `${failures} check(s) failed`);
process.exit(failures === 0 ? 0 : 1);
