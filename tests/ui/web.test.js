// The photo pages of tesselsvc in Chromium: photos made with ImageMagick, exiftool and ffmpeg,
// imported by tesseltool, then seen, opened, stepped through, downloaded and played through the
// service's own pages. TESSEL_WEB_SHOTS=DIR also writes screenshots of the pages there.
'use strict';

const assert = require('node:assert/strict');
const { test } = require('node:test');
const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const http = require('node:http');
const h = require('./harness');

const BIN = process.env.TESSEL_BIN_DIR || path.join(__dirname, '../../build/bin');
const env = h.suite();
const HOSTILE = '<img src=x onerror=alert(1)>.jpg';

function run(cmd, args, opts = {}) {
  return execFileSync(cmd, args, { encoding: 'utf8', stdio: ['pipe', 'pipe', 'pipe'], ...opts });
}

function put(url, body, token) {
  return new Promise((resolve, reject) => {
    const req = http.request(url, { method: 'PUT', headers: { 'X-VXVALTOKEN': token, 'Content-Length': body.length } }, (res) => {
      res.resume();
      res.on('end', () => resolve(res.statusCode));
    });
    req.on('error', reject);
    req.end(body);
  });
}

// Photos of three months (one turned by its EXIF orientation, one in a folder), a video, and a
// file with a name made to be markup, all on alice's drive.
async function stock() {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tessel-web-'));
  const home = path.join(dir, 'home');
  const pics = path.join(dir, 'pics');
  fs.mkdirSync(path.join(pics, 'Holiday in Lisbon'), { recursive: true });
  fs.mkdirSync(home);
  const shots = [
    ['IMG_0001.jpg', '2024:06:14 18:22:00', 'gradient:#3a7bd5-#f5d020', ['-Make=Canon', '-Model=Canon EOS R6']],
    ['IMG_0002.jpg', '2024:06:02 09:10:00', 'gradient:#0f2027-#2c9d8f', ['-Orientation=6', '-n']],
    ['IMG_0003.jpg', '2024:05:28 12:00:00', 'plasma:#e96443-#904e95', []],
    ['Holiday in Lisbon/IMG_0101.jpg', '2024:04:03 16:45:00', 'plasma:#f7971e-#ffd200', ['-Make=FUJIFILM', '-Model=X-T4']],
  ];
  for (const [name, date, fill, tags] of shots) {
    const file = path.join(pics, name);
    run('convert', ['-size', '640x480', fill, '-quality', '88', file]);
    run('exiftool', ['-q', '-overwrite_original', `-DateTimeOriginal=${date}`, ...tags, file]);
  }
  run('ffmpeg', ['-loglevel', 'error', '-y', '-f', 'lavfi', '-i', 'testsrc=size=320x240:rate=25', '-t', '4',
    '-pix_fmt', 'yuv420p', '-c:v', 'libx264', path.join(pics, 'clip.mp4')]);
  const xenv = { ...process.env, HOME: home, XDG_CONFIG_HOME: path.join(home, '.config'), XDG_CACHE_HOME: path.join(home, '.cache'), XDG_DATA_HOME: path.join(home, '.local') };
  run(path.join(BIN, 'tesseltool'), ['settings', 'set', 'Server', 'host', env.svc.addr], { env: xenv });
  const u = env.svc.user;
  run(path.join(BIN, 'tesseltool'), ['import', pics, '--dest', `ytozv://${u.deviceid}:${u.serviceids[0]}`, '--token', '-', '--flags', '0x205'],
    { env: xenv, input: `${u.token}\n` });
  // The import makes names safe; the service keeps any name, so this one goes up by hand.
  const made = await env.svc.call('createFile', { valtoken: u.token, deviceid: u.deviceid, serviceid: u.serviceids[0],
    filename: HOSTILE, type: '0', mimetype: 'image/jpeg', 'EXIF-DateTimeOriginal': String(Date.UTC(2024, 5, 20)),
    'EXIF-Model': '<b>bold</b>' });
  const jpeg = fs.readFileSync(path.join(pics, 'IMG_0003.jpg'));
  const base = `http://${env.svc.addr}/svc/files/${u.deviceid}/${u.serviceids[0]}/${made.file.fileid}`;
  assert.equal(await put(base, jpeg, u.token), 200);
  assert.equal(await put(`${base}/tn`, jpeg, u.token), 200);
  return { dir, pics };
}

async function signIn(page, name, password) {
  await page.goto(`http://${env.svc.addr}/web/`);
  await page.waitForURL(/\/web\/signin$/);
  await page.getByLabel('Name').fill(name);
  await page.getByLabel('Password').fill(password);
  await page.getByRole('button', { name: 'Sign in' }).click();
  await page.waitForURL(/\/web\/#\//);
}

async function thumbnailsLoaded(page, count) {
  await h.eventually(async () => {
    const loaded = await page.$$eval('.tile img', (imgs) => imgs.filter((i) => i.complete && i.naturalWidth > 0).length);
    assert.ok(loaded >= count, `${loaded} thumbnails shown: ${await page.$eval('main', (m) => m.innerHTML.slice(0, 1500))}`);
  });
}

test('photos on the web: sign-in, the grid by month, one photo, download, video, folders, one-time links, other users, hostile names', async () => {
  const { dir, pics } = await stock();
  const shotDir = process.env.TESSEL_WEB_SHOTS;
  const u = env.svc.user;
  const alerts = [];
  const ctx = await env.browser.newContext({ viewport: { width: 1280, height: 800 }, acceptDownloads: true, reducedMotion: 'reduce' });
  const page = await ctx.newPage();
  page.on('dialog', (d) => { alerts.push(d.message()); d.dismiss(); });
  const errors = [];
  page.on('pageerror', (e) => errors.push(String(e)));
  const urls = [];
  const statuses = [];
  page.on('request', (r) => urls.push(r.url()));
  page.on('response', (r) => statuses.push([r.url(), r.status()]));

  // A wrong password says so; the right one leads to the grid, its thumbnails shown.
  await page.goto(`http://${env.svc.addr}/web/signin`);
  await page.getByLabel('Name').fill('alice');
  await page.getByLabel('Password').fill('nope');
  await page.getByRole('button', { name: 'Sign in' }).click();
  await page.getByText('Wrong name or password.').waitFor();
  await signIn(page, 'alice', 'pw');
  await thumbnailsLoaded(page, 6);
  const headers = await page.$$eval('.month h2', (hs) => hs.map((x) => x.firstChild.textContent));
  assert.deepEqual(headers.filter((x) => /2024/.test(x)), ['June 2024', 'May 2024', 'April 2024']);
  const names = await page.$$eval('.tile', (ts) => ts.map((t) => t.title));
  // Newest first by the date taken (EXIF, else the file's time: the video is of today).
  assert.deepEqual(names, ['clip.mp4', HOSTILE, 'IMG_0001.jpg', 'IMG_0002.jpg', 'IMG_0003.jpg', 'IMG_0101.jpg']);
  // The hostile name is text: no element came of it, nothing ran.
  assert.equal(await page.locator('img[src="x"], b').count(), 0);
  assert.equal(await page.locator(`.tile[title="${HOSTILE}"]`).count(), 1);
  if (shotDir) {
    fs.mkdirSync(shotDir, { recursive: true });
    await page.screenshot({ path: path.join(shotDir, 'web-grid.png') });
  }

  // One photo: its preview, name, date and camera; the next by key; back by a swipe.
  await page.locator('.tile[title="IMG_0001.jpg"]').click();
  const viewer = page.getByRole('dialog');
  await viewer.locator('h2', { hasText: 'IMG_0001.jpg' }).waitFor();
  await h.eventually(async () => assert.ok(await viewer.locator('img.picture').evaluate((i) => i.complete && i.naturalWidth > 0)));
  assert.match(await viewer.locator('.info').innerText(), /14 June 2024.*18:22[\s\S]*Canon EOS R6/);
  if (shotDir) await page.screenshot({ path: path.join(shotDir, 'web-photo.png') });
  await page.keyboard.press('ArrowRight');
  await viewer.locator('h2', { hasText: 'IMG_0002.jpg' }).waitFor();
  await page.keyboard.press('ArrowLeft');
  await viewer.locator('h2', { hasText: 'IMG_0001.jpg' }).waitFor();
  // The original comes down under its own name, byte for byte.
  const [download] = await Promise.all([page.waitForEvent('download'), viewer.getByRole('link', { name: /Download/ }).click()]);
  assert.equal(download.suggestedFilename(), 'IMG_0001.jpg');
  const saved = path.join(dir, 'saved.jpg');
  await download.saveAs(saved);
  assert.ok(fs.readFileSync(saved).equals(fs.readFileSync(path.join(pics, 'IMG_0001.jpg'))));
  // The hostile one in the viewer: still text, its camera too.
  await page.keyboard.press('ArrowLeft');
  await viewer.locator('h2', { hasText: HOSTILE }).waitFor();
  assert.match(await viewer.locator('.info').innerText(), /<b>bold<\/b>/);
  await page.keyboard.press('Escape');
  await viewer.waitFor({ state: 'hidden' });

  // The video plays its stream and seeks in it (byte ranges).
  await page.locator('.tile[title="clip.mp4"]').click();
  const video = viewer.locator('video');
  await video.waitFor();
  assert.match(await video.getAttribute('src'), /\/st$/);
  await video.evaluate((v) => { v.muted = true; return v.play(); });
  await h.eventually(async () => assert.ok(await video.evaluate((v) => v.currentTime > 0.3)));
  await video.evaluate((v) => new Promise((resolve) => { v.addEventListener('seeked', resolve, { once: true }); v.currentTime = 3; }));
  assert.ok(statuses.some(([url, s]) => url.endsWith('/st') && s === 206));
  await page.keyboard.press('Escape');

  // Folders as they were backed up, with the path bar.
  await page.getByRole('link', { name: 'Folders' }).click();
  await page.getByRole('link', { name: 'pics' }).click();
  await page.getByRole('link', { name: 'Holiday in Lisbon' }).click();
  await page.locator('.pathbar [aria-current="page"]', { hasText: 'Holiday in Lisbon' }).waitFor();
  assert.deepEqual(await page.$$eval('.pathbar li', (ls) => ls.map((l) => l.textContent)), ['Drive', 'pics', 'Holiday in Lisbon']);
  await thumbnailsLoaded(page, 1);
  assert.deepEqual(await page.$$eval('.tile', (ts) => ts.map((t) => t.title)), ['IMG_0101.jpg']);
  if (shotDir) await page.screenshot({ path: path.join(shotDir, 'web-folder.png') });
  await page.locator('.pathbar a', { hasText: 'pics' }).click();
  await page.getByRole('link', { name: 'Holiday in Lisbon' }).waitFor();
  assert.equal(await page.locator('.tile').count(), 4);

  // The page's policy: scripts and pictures of the service only; no token in any address.
  const shell = await page.request.get(`http://${env.svc.addr}/web/`);
  assert.match(shell.headers()['content-security-policy'], /script-src 'self'/);
  assert.ok(urls.every((x) => x.startsWith(`http://${env.svc.addr}/`)), 'only the service is asked');
  assert.ok(urls.every((x) => !x.includes(u.token)));
  assert.deepEqual(alerts, []);
  assert.deepEqual(errors, []);

  // Dark mode, and a narrow window.
  if (shotDir) {
    await page.emulateMedia({ colorScheme: 'dark' });
    await page.getByLabel('Views').getByRole('link', { name: 'Photos' }).click();
    await thumbnailsLoaded(page, 6);
    await page.screenshot({ path: path.join(shotDir, 'web-grid-dark.png') });
    await page.setViewportSize({ width: 390, height: 800 });
    await page.screenshot({ path: path.join(shotDir, 'web-grid-narrow.png') });
    await page.locator('.tile[title="IMG_0002.jpg"]').click();
    await viewer.locator('img.picture').waitFor();
    await page.screenshot({ path: path.join(shotDir, 'web-photo-narrow-dark.png') });
    await page.keyboard.press('Escape');
    await page.emulateMedia({ colorScheme: 'light' });
  }

  // Sign-out needs the page's own anti-forgery token, then ends the session.
  const forged = await page.request.post(`http://${env.svc.addr}/web/signout`, { form: { csrf: 'f'.repeat(32) } });
  assert.equal(forged.status(), 403);
  await page.getByRole('button', { name: 'Sign out' }).click();
  await page.waitForURL(/\/web\/signin$/);
  assert.equal((await page.request.get(`http://${env.svc.addr}/web/api/drives`)).status(), 401);
  await ctx.close();

  // A one-time link from generateGoURL signs a browser in once; the second time is the form.
  const go = await env.svc.call('generateGoURL', { valtoken: u.token, path: 'view' });
  assert.match(go.gourl, /\/svc\/go\?code=[0-9a-f]{32}$/);
  assert.ok(!go.gourl.includes(u.token));
  // What only fetches the address (a link preview, a prefetch) gets a page that posts the code
  // and uses up nothing; a post that did not come from that page is refused and uses up nothing.
  const peek = await env.browser.newContext();
  for (let i = 0; i < 2; i++) {
    const seen = await peek.request.get(go.gourl, { maxRedirects: 0 });
    assert.equal(seen.status(), 200);
    assert.match(await seen.text(), /<form id="go" method="post" action="\/svc\/go">.*<button type="submit">Continue<\/button>/);
    assert.equal(seen.headers()['cache-control'], 'no-store');
    assert.equal(seen.headers()['referrer-policy'], 'no-referrer');
  }
  const code = go.gourl.split('code=')[1];
  const forgedGo = await env.browser.newContext();
  assert.equal((await forgedGo.request.post(`http://${env.svc.addr}/svc/go`, { form: { code, csrf: 'f'.repeat(32) }, maxRedirects: 0 })).status(), 403);
  assert.equal((await forgedGo.request.get(`http://${env.svc.addr}/web/api/drives`)).status(), 401);
  await peek.close();
  await forgedGo.close();
  const once = await env.browser.newContext();
  const p1 = await once.newPage();
  await p1.goto(go.gourl);
  await p1.waitForURL(/\/web\/#\//);
  await thumbnailsLoaded(p1, 6);
  // Without scripts the page's button signs in, once, and leads to the page asked for.
  const go2 = await env.svc.call('generateGoURL', { valtoken: u.token, path: '/web/' });
  const still = await env.browser.newContext({ javaScriptEnabled: false });
  const p3 = await still.newPage();
  await p3.goto(go2.gourl);
  await p3.getByRole('button', { name: 'Continue' }).click();
  await p3.waitForURL(/\/web\/$/);
  assert.equal((await p3.request.get(`http://${env.svc.addr}/web/api/drives`)).status(), 200);
  await p3.goto(go2.gourl);
  await p3.getByRole('button', { name: 'Continue' }).click();
  await p3.getByRole('heading', { name: 'Sign in to your drive' }).waitFor();
  await still.close();
  const again = await env.browser.newContext();
  const p2 = await again.newPage();
  await p2.goto(go.gourl);
  await p2.getByRole('heading', { name: 'Sign in to your drive' }).waitFor();
  assert.equal((await p2.request.get(`http://${env.svc.addr}/web/api/drives`)).status(), 401);

  // Another user sees none of alice's drive: her ids give 404.
  const bob = JSON.parse(run(path.join(BIN, 'tesselsvc'), ['adduser', '--data', env.svc.dir, 'bob', 'pw2']));
  assert.ok(bob.token);
  await signIn(p2, 'bob', 'pw2');
  await p2.getByText('No photos yet').waitFor();
  const firstId = await p1.locator('.tile').first().getAttribute('data-id');
  for (const what of [`web/file/${u.serviceids[0]}/${firstId}/tn`, `web/file/${u.serviceids[0]}/${firstId}/orig`,
    `web/api/photos?d=${u.serviceids[0]}`, `web/api/file?d=${u.serviceids[0]}&id=${firstId}`])
    assert.equal((await p2.request.get(`http://${env.svc.addr}/${what}`)).status(), 404, what);
  assert.equal((await p1.request.get(`http://${env.svc.addr}/web/file/${u.serviceids[0]}/${firstId}/tn`)).status(), 200);
  await once.close();
  await again.close();
  fs.rmSync(dir, { recursive: true, force: true });
});
