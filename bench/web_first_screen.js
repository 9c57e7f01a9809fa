// The first screen of the photo pages on a drive of 100 000 photos, in Debian's Chromium through
// playwright-core against the real tesselsvc, and the service's memory while 20 pages scroll it.
//
// The photos are written straight into meta.db before the service starts (one folder, one photo
// every 30 minutes from 2010, each with a real JPEG thumbnail: hard links to 16 made by
// ImageMagick's `convert`), as bench/tesselsvc_web_bench.cc does.
//
//   first screen: from the start of the navigation to /web/ (session cookie set, empty cache)
//                 until the first 60 thumbnails are decoded on the page, five fresh pages, one
//                 after another;
//   memory:       the service's resident size idle, then its peak while 20 pages (each its own
//                 browser context) scroll the grid until each has 3 000 photos on it.
//
// Run by hand, after building tesselsvc and the page tests' node modules:
//   flock build/.make.lock cmake --build build -j 2 --target tesselsvc
//   NODE_PATH=build/tests-ui/node_modules TMPDIR=/dev/shm node bench/web_first_screen.js
// TESSEL_BIN_DIR (build/bin), TESSEL_CHROMIUM (/usr/bin/chromium), WEB_BENCH_PHOTOS (100000),
// WEB_BENCH_PAGES (20) and WEB_BENCH_SCROLL (3000) change what it uses.
'use strict';

const { execFileSync, spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');

const BIN = process.env.TESSEL_BIN_DIR || path.join(__dirname, '../build/bin');
const CHROMIUM = process.env.TESSEL_CHROMIUM || '/usr/bin/chromium';
const PHOTOS = Number(process.env.WEB_BENCH_PHOTOS || 100000);
const PAGES = Number(process.env.WEB_BENCH_PAGES || 20);
const SCROLL = Number(process.env.WEB_BENCH_SCROLL || 3000);
const KINDS = 16;
const FIRST_TAKEN = 1262304000000;

function seed(data, sid) {
  const files = path.join(data, 'files', sid);
  fs.mkdirSync(files, { recursive: true });
  for (let k = 0; k < KINDS; k++)
    execFileSync('convert', ['-size', '256x192', '-seed', String(k + 1), 'plasma:fractal', '-quality', '80', path.join(data, `thumb${k}.jpg`)]);
  const at = `${FIRST_TAKEN}+i*1800000`;
  const sql = `BEGIN;
INSERT INTO files(serviceid, parentid, name, type, ctime, mtime, meta) VALUES('${sid}', 0, 'Camera', 1, 0, 0, 140);
CREATE TEMP TABLE seq(i INTEGER PRIMARY KEY);
WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i+1 FROM n WHERE i<${PHOTOS}-1) INSERT INTO seq SELECT i FROM n;
INSERT INTO files(serviceid, parentid, name, type, ctime, mtime, meta, taken, media)
  SELECT '${sid}', last_insert_rowid(), printf('IMG_%06d.JPG', i), 0, ${at}, ${at}, 220, ${at}, 1 FROM seq ORDER BY i;
INSERT INTO props(fileid, seq, key, value) SELECT id, 0, 'mimetype', 'image/jpeg' FROM files WHERE type=0 AND serviceid='${sid}';
INSERT INTO props(fileid, seq, key, value) SELECT id, 1, 'size', '3000000' FROM files WHERE type=0 AND serviceid='${sid}';
INSERT INTO streams(fileid, stream, serviceid, size) SELECT id, 'tn', serviceid, 12000 FROM files WHERE type=0 AND serviceid='${sid}';
COMMIT;
SELECT min(id) FROM files WHERE type=0;`;
  const first = Number(execFileSync('sqlite3', [path.join(data, 'meta.db')], { input: sql, encoding: 'utf8' }).trim());
  for (let i = 0; i < PHOTOS; i++)
    fs.linkSync(path.join(data, `thumb${i % KINDS}.jpg`), path.join(files, `${first + i}.tn`));
}

function rss(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  const kb = (name) => Number(new RegExp(`${name}:\\s+(\\d+)`).exec(status)[1]);
  return { rss: kb('VmRSS') / 1024, hwm: kb('VmHWM') / 1024 };
}

function serve(data) {
  const proc = spawn(path.join(BIN, 'tesselsvc'), ['serve', '--data', data, '--listen', '127.0.0.1:0',
    // The 20 pages stand for 20 people, who come from as many addresses.
    '--max-per-peer', '1000'], { stdio: ['ignore', 'pipe', 'inherit'] });
  return new Promise((resolve, reject) => {
    let text = '';
    proc.on('exit', (code) => reject(new Error(`tesselsvc ended (${code}): ${text}`)));
    proc.stdout.on('data', (c) => {
      text += c;
      const m = /listening on (\S+)/.exec(text);
      if (m) resolve({ proc, addr: m[1] });
    });
  });
}

async function signedIn(browser, addr, token, viewport = { width: 1280, height: 800 }) {
  const ctx = await browser.newContext({ viewport });
  await ctx.addCookies([{ name: 'tesselweb', value: token, url: `http://${addr}/`, httpOnly: true, sameSite: 'Lax' }]);
  return ctx;
}

function shown(n) {
  return [(want) => [...document.querySelectorAll('.tile img')].filter((i) => i.complete && i.naturalWidth > 0).length >= want, n];
}

async function main() {
  const dir = fs.mkdtempSync(path.join(process.env.TMPDIR || os.tmpdir(), 'tessel-webbench-'));
  const data = path.join(dir, 'data');
  let svc = null;
  let browsers = [];
  let sampler = null;
  try {
    const user = JSON.parse(execFileSync(path.join(BIN, 'tesselsvc'), ['adduser', '--data', data, 'bench', 'pw'], { encoding: 'utf8' }));
    const sid = user.serviceids[0];
    let t = Date.now();
    seed(data, sid);
    console.log(`seeded ${PHOTOS} photos in ${Date.now() - t} ms`);
    svc = await serve(data);
    const idle = rss(svc.proc.pid);
    const browser = await chromium.launch({ executablePath: CHROMIUM, headless: true,
      args: ['--no-sandbox', '--disable-gpu', '--no-first-run', '--disable-background-networking', '--disable-component-update', '--disable-sync'] });
    browsers.push(browser);

    // The first screen, each time in a fresh context (nothing cached).
    const times = [];
    for (let run = 0; run < 6; run++) {
      const ctx = await signedIn(browser, svc.addr, user.token);
      const page = await ctx.newPage();
      // When the grid's first tiles are on the page (the script has run and built them).
      await page.addInitScript(() => {
        new MutationObserver((_, o) => {
          if (document.querySelector('.tile')) {
            window.tilesAt = performance.now();
            o.disconnect();
          }
        }).observe(document, { childList: true, subtree: true });
      });
      await page.goto(`http://${svc.addr}/web/`, { waitUntil: 'commit' });
      await page.waitForFunction(...shown(60), { polling: 'raf', timeout: 60000 });
      const ms = await page.evaluate(() => performance.now());
      // Where the time went: the page, the list of photos, the thumbnails.
      const parts = await page.evaluate(() => {
        const rs = performance.getEntriesByType('resource');
        const end = (re) => Math.max(0, ...rs.filter((r) => re.test(r.name)).map((r) => r.responseEnd));
        const tn = rs.filter((r) => /\/tn$/.test(r.name)).map((r) => r.responseEnd).sort((a, b) => a - b);
        const asked = (re) => Math.max(0, ...rs.filter((r) => re.test(r.name)).map((r) => r.startTime));
        return { page: performance.getEntriesByType('navigation')[0].responseEnd, script: end(/web\.js$/), drives: end(/api\/drives/),
          listAsked: asked(/api\/photos/), list: end(/api\/photos/), tiles: window.tilesAt || 0, tn60: tn[59] || 0, tnCount: tn.length };
      });
      const first = await page.$eval('.tile', (x) => x.title);
      if (first !== `IMG_${String(PHOTOS - 1).padStart(6, '0')}.JPG`) throw new Error(`the newest photo is not first: ${first}`);
      if (run > 0) times.push({ ms, ...parts }); // the first run warms Chromium itself up
      await ctx.close();
    }
    times.sort((a, b) => a.ms - b.ms);
    const mid = times[times.length >> 1];
    console.log(`first screen (60 thumbnails shown), ms: median ${mid.ms.toFixed(0)}, best ${times[0].ms.toFixed(0)}, worst ${times[times.length - 1].ms.toFixed(0)} (goal < 1000)`);
    console.log(`  median run: page ${mid.page.toFixed(0)}, script ${mid.script.toFixed(0)}, drives ${mid.drives.toFixed(0)}, photo list asked ${mid.listAsked.toFixed(0)}, received ${mid.list.toFixed(0)}${mid.listAsked ? '' : ' (in the page)'}, tiles on the page ${mid.tiles.toFixed(0)}, 60th thumbnail received ${mid.tn60.toFixed(0)} (${mid.tnCount} asked)`);

    // 20 pages scrolling at once, in two browsers; the service's memory sampled meanwhile
    // (WEB_BENCH_PAGES=0: the first screen only).
    if (!PAGES) return;
    browsers.push(await chromium.launch({ executablePath: CHROMIUM, headless: true, args: ['--no-sandbox', '--disable-gpu'] }));
    let peak = idle.rss;
    sampler = setInterval(() => { peak = Math.max(peak, rss(svc.proc.pid).rss); }, 100);
    t = Date.now();
    const pages = [];
    for (let i = 0; i < PAGES; i++) {
      const ctx = await signedIn(browsers[i % 2], svc.addr, user.token, { width: 1280, height: 900 });
      const page = await ctx.newPage();
      page.on('pageerror', (e) => console.error('page error:', String(e)));
      await page.goto(`http://${svc.addr}/web/`);
      pages.push(page);
    }
    await Promise.all(pages.map(async (page) => {
      for (;;) {
        const n = await page.$$eval('.tile', (ts) => ts.length);
        if (n >= SCROLL) break;
        await page.evaluate(() => window.scrollTo(0, document.documentElement.scrollHeight));
        await page.waitForFunction((was) => document.querySelectorAll('.tile').length > was, n, { timeout: 120000, polling: 100 });
      }
      // The thumbnails in the window where the page stands are shown, not broken.
      await page.waitForFunction(() => {
        const imgs = [...document.querySelectorAll('.tile img')].filter((i) => {
          const r = i.getBoundingClientRect();
          return r.bottom > 0 && r.top < innerHeight;
        });
        return imgs.length > 0 && imgs.every((i) => i.complete && i.naturalWidth > 0);
      }, null, { timeout: 120000, polling: 200 });
    }));
    clearInterval(sampler);
    const after = rss(svc.proc.pid);
    console.log(`${PAGES} pages scrolled to ${SCROLL} photos each in ${Date.now() - t} ms`);
    console.log(`tesselsvc memory, MB: idle ${idle.rss.toFixed(1)}, peak while scrolling ${Math.max(peak, after.rss).toFixed(1)} (high-water ${after.hwm.toFixed(1)}), after ${after.rss.toFixed(1)}`);
  } finally {
    clearInterval(sampler);
    for (const b of browsers) await b.close();
    if (svc) svc.proc.kill('SIGTERM');
    fs.rmSync(dir, { recursive: true, force: true });
  }
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
