// Screenshots of every page in Chromium, at both window sizes, light and dark, for a person to
// look at (not a test): node tests/ui/shots.js OUTDIR
'use strict';

const fs = require('node:fs');
const path = require('node:path');
const { Service, startPages, launch, openPage, baseSeed, eventually } = require('./harness');

const now = Date.now();
const task = (id, sourceid, state, extra = {}) => ({ taskid: id, sourceid, state, totfiles: '0', currfileidx: '0',
  currentfile: '', errors: '0', errormask: '0', skipped: '0', currentfileprogress: '0', timestamp: String(now - 3600e3),
  srcuris: [], ...extra });
const sources = [
  { sourceid: 's1', sourceclass: 'photo', name: 'Pictures', uris: ['file:///home/ana/Pictures'] },
  { sourceid: 's2', sourceclass: 'user', name: 'Holiday 2024 — Lisbon, Porto and the Algarve coast', uris: ['file:///home/ana/Photos/Holiday%202024'] },
  { sourceid: 's3', sourceclass: 'user', name: 'Camera uploads', uris: ['file:///media/ana/CARD/DCIM'] },
  { sourceid: 's4', sourceclass: 'user', name: 'Documents', uris: ['file:///home/ana/Documents'] },
  { sourceid: 's5', sourceclass: 'user', name: 'scans', uris: ['file:///home/ana/scans'] },
];
const tasks = [
  task('t1', 's1', 'running', { totfiles: '340', currfileidx: '11', currentfile: 'file:///home/ana/Pictures/IMG_2041.JPG', currentfileprogress: '40' }),
  task('t2', 's2', 'finished', { errors: '3', errormask: '3', problem: 'drivefull', waiting: '52', nextretry: String(now + 1800e3) }),
  task('t3', 's3', 'finished', { leftout: '3', leftoutkinds: '.txt ×2, .pdf ×1', videos: '1' }),
  task('t5', 's5', 'canceled'),
];
// Each problem a backup can meet, and what the runs left out.
const troubled = [
  task('t1', 's1', 'finished', { problem: 'signin', waiting: '12', errors: '1', errormask: '16' }),
  task('t2', 's2', 'canceled', { problem: 'localdisk', leftout: '14', leftoutkinds: '.MOV ×9, .xlsx ×3, .<img src=x> ×2', videos: '0' }),
  task('t3', 's3', 'finished', { problem: 'offline', waiting: '4', errors: '4', errormask: '8', nextretry: String(now + 600e3) }),
  task('t4', 's4', 'pending', { problem: 'unavailable', waiting: '230' }),
];
const errors = { t2: [
  { uri: 'file:///home/ana/Photos/Holiday%202024/IMG_0001.JPG', errormask: '2' },
  { uri: 'file:///home/ana/Photos/Holiday%202024/PANORAMA_VERY_LONG_NAME_2024_06_14_18_22.JPG', errormask: '1' },
  { uri: 'file:///home/ana/Photos/Holiday%202024/IMG_0003.JPG', errormask: '4' },
] };

async function main() {
  const out = process.argv[2] || 'shots';
  fs.mkdirSync(out, { recursive: true });
  const svc = await Service.start();
  const pages = await startPages();
  const browser = await launch();
  const signedIn = { valtoken: svc.token, sources, tasks, errors, props: { 'paused-tasks': 't5' } };
  const scenes = [
    ['signin', baseSeed(svc), 'signin.html', async (p) => p.waitForSelector('#tour:not([hidden])')],
    ['signin-checking', baseSeed(svc, { valtoken: svc.token }), 'signin.html?verify=1',
      async (p) => p.waitForSelector('#checking .busy'), null, (p) => p.route('**/json/getUser', () => {})],
    ['browser', baseSeed(svc, signedIn), 'browser.html', async (p) => {
      await p.waitForSelector('#drive[data-state="ready"]');
      await p.click('.task[data-taskid="t2"] .task-show');
      await p.waitForSelector('.task-errors li');
    }],
    ['browser-problems', baseSeed(svc, { ...signedIn, tasks: troubled }), 'browser.html', async (p) => {
      await p.waitForSelector('#drive[data-state="ready"]');
      await p.waitForSelector('.task[data-taskid="t4"]');
    }],
    ['browser-empty', baseSeed(svc, { valtoken: svc.token }), 'browser.html', async (p) => p.waitForSelector('#drive[data-state="ready"]')],
    ['browser-nodrive', baseSeed(svc, { valtoken: svc.token }), 'browser.html', (p) => p.waitForSelector('.dialog'),
      () => svc.admin('online', { serviceid: svc.user.serviceids[0] }),
      () => svc.admin('offline', { serviceid: svc.user.serviceids[0] })],
    ['preferences', baseSeed(svc, signedIn), 'preferences.html', async (p) => p.waitForSelector('.source')],
    ['preferences-novideos', baseSeed(svc, { ...signedIn, settings: { backupvideos: '0' } }), 'preferences.html',
      async (p) => p.waitForSelector('.source')],
  ];
  for (const [name, seed, url, ready, after, before] of scenes) {
    for (const [w, h] of [[290, 543], [360, 400]]) {
      for (const scheme of ['light', 'dark']) {
        const page = await openPage(browser, pages, seed, { width: w, height: h, colorScheme: scheme });
        if (before) await before(page);
        await page.goto(`${pages.origin}/${url}`);
        await ready(page);
        await page.waitForTimeout(300);
        await eventually(() => page.evaluate(() => document.fonts.status === 'loaded'));
        await page.screenshot({ path: path.join(out, `${name}-${w}x${h}-${scheme}.png`) });
        if (page.errors.length) console.log(name, page.errors);
        await page.context().close();
        if (after) await after();
      }
    }
  }
  await browser.close();
  await pages.close();
  await svc.stop();
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
