// What the page tests share: a real tesselsvc with its users, a small server for the pages of
// ui/ (and the pictures and fonts the build made), Debian's Chromium through playwright-core,
// and the stub of the program's bridge (stub.js).
'use strict';

const assert = require('node:assert/strict');
const { spawn, execFileSync } = require('node:child_process');
const { before, after } = require('node:test');
const fs = require('node:fs');
const http = require('node:http');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');
const { installStub } = require('./stub');

const ROOT = path.resolve(__dirname, '../..');
const BIN = process.env.TESSEL_BIN_DIR || path.join(ROOT, 'build/bin');
const UI = process.env.TESSEL_UI_DIR || path.join(ROOT, 'ui');
const ASSETS = process.env.TESSEL_UI_ASSET_DIR || path.join(ROOT, 'build/pages');
const CHROMIUM = process.env.TESSEL_CHROMIUM || '/usr/bin/chromium';

function tempDir(prefix) {
  return fs.mkdtempSync(path.join(process.env.TMPDIR || os.tmpdir(), prefix));
}

function waitForLine(stream, pattern, ms, what) {
  return new Promise((resolve, reject) => {
    let text = '';
    const timer = setTimeout(() => reject(new Error(`${what} did not start: ${text}`)), ms);
    stream.on('data', (chunk) => {
      text += chunk;
      const m = pattern.exec(text);
      if (m) {
        clearTimeout(timer);
        resolve(m);
      }
    });
  });
}

// The body of a JSON call as the pages write it.
function envelope(method, args) {
  const esc = (v) => String(v).replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;');
  let body = `<soapenv:Envelope><soapenv:Body><${method}>`;
  for (const [k, v] of Object.entries(args)) body += `<${k}>${esc(v)}</${k}>`;
  return body + `</${method}></soapenv:Body></soapenv:Envelope>`;
}

function request(url, { method = 'GET', body, headers = {} } = {}) {
  return new Promise((resolve, reject) => {
    const req = http.request(url, { method, headers }, (res) => {
      let data = '';
      res.setEncoding('utf8');
      res.on('data', (c) => (data += c));
      res.on('end', () => resolve({ status: res.statusCode, headers: res.headers, body: data }));
    });
    req.on('error', reject);
    req.end(body);
  });
}

// A tesselsvc of its own, with one user "alice" (password "pw") owning `drives` drives.
class Service {
  static async start({ drives = 1 } = {}) {
    const svc = new Service();
    svc.dir = tempDir('tessel-svc-');
    const tool = path.join(BIN, 'tesselsvc');
    svc.user = JSON.parse(execFileSync(tool,
      ['adduser', '--data', svc.dir, 'alice', 'pw', '--drives', String(drives)], { encoding: 'utf8' }));
    svc.proc = spawn(tool, ['serve', '--data', svc.dir, '--listen', '127.0.0.1:0',
      '--allow-origin', 'http://127.0.0.1:*'], { stdio: ['ignore', 'pipe', 'pipe'] });
    svc.proc.stderr.resume();
    const m = await waitForLine(svc.proc.stdout, /listening on (\S+) admin-secret (\w+)/, 20000, 'tesselsvc');
    svc.addr = m[1];
    svc.secret = m[2];
    svc.url = `http://${svc.addr}/svc/api`;
    return svc;
  }

  get token() {
    return this.user.token;
  }

  // A fault injection command; its answer must say ok.
  async admin(command, params = {}) {
    const q = new URLSearchParams({ ...params, secret: this.secret });
    const r = await request(`http://${this.addr}/admin/${command}?${q}`);
    assert.equal(r.status, 200, `admin ${command}: ${r.body}`);
  }

  // A JSON call made from here (no Origin), for checking what the pages did.
  async call(method, args = {}) {
    const r = await request(`${this.url}/json/${method}`, { method: 'POST', body: envelope(method, args) });
    return JSON.parse(r.body);
  }

  async stop() {
    if (this.proc.exitCode === null) {
      const ended = new Promise((resolve) => this.proc.once('exit', resolve));
      this.proc.kill('SIGTERM');
      await ended;
    }
    fs.rmSync(this.dir, { recursive: true, force: true });
  }
}

const TYPES = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8', '.png': 'image/png', '.gif': 'image/gif', '.ttf': 'font/ttf' };

// Serves ui/ and the built pictures and fonts at the top of an http://127.0.0.1 origin, names
// taken in lower case as the program takes them.
async function startPages() {
  const server = http.createServer((req, res) => {
    const name = decodeURIComponent(new URL(req.url, 'http://x').pathname).replace(/^\/+/, '').toLowerCase();
    const file = [UI, ASSETS].map((d) => path.join(d, name)).find((f) => /^[a-z0-9_.-]+$/.test(name) && fs.existsSync(f));
    if (!file) {
      res.writeHead(404).end();
      return;
    }
    res.writeHead(200, { 'Content-Type': TYPES[path.extname(name)] || 'application/octet-stream', 'Cache-Control': 'no-store' });
    fs.createReadStream(file).pipe(res);
  });
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  return { origin: `http://127.0.0.1:${server.address().port}`, close: () => new Promise((r) => server.close(r)) };
}

function launch() {
  return chromium.launch({
    executablePath: CHROMIUM,
    headless: true,
    args: ['--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
  });
}

let seedCount = 0;

// The state the stub starts from: signed out, the service's address, no sources or tasks.
function baseSeed(svc, over = {}) {
  return { valtoken: null, svcurl: svc.url, currentState: 'start', props: {}, settings: {}, sources: [], tasks: [],
    errors: {}, dialog: [], calls: [], logs: [], seq: 0, ...over };
}

// One page in a fresh browser context with the stub seeded; every address it asks for is
// kept in page.requests, so a test can show that no token travelled in one.
async function openPage(browser, pages, seed, { width = 290, height = 543, colorScheme = 'light', reducedMotion = 'reduce' } = {}) {
  const context = await browser.newContext({ ignoreHTTPSErrors: true, viewport: { width, height }, colorScheme, reducedMotion });
  await context.addInitScript(installStub, { origin: pages.origin, seed, seedId: `seed${++seedCount}` });
  const page = await context.newPage();
  page.requests = [];
  page.on('request', (r) => page.requests.push({ url: r.url(), method: r.method(), body: r.postData() }));
  page.errors = [];
  page.on('pageerror', (e) => page.errors.push(String(e)));
  return page;
}

const stubState = (page) => page.evaluate(() => window.__stub.load());
const stubChange = (page, fn, arg) => page.evaluate(([f, a]) => {
  const s = window.__stub.load();
  new Function('s', 'a', 'setState', f)(s, a, window.__stub.setState);
  window.__stub.save(s);
}, [fn, arg]);
const calls = async (page, name) => (await stubState(page)).calls.filter((c) => c[0] === name);

// Waits, bounded, until `check` holds; its last failure otherwise.
async function eventually(check, ms = 15000) {
  const end = Date.now() + ms;
  for (;;) {
    try {
      return await check();
    } catch (e) {
      if (Date.now() > end) throw e;
      await new Promise((r) => setTimeout(r, 50));
    }
  }
}

function assertNoTokenInAddresses(page, tokens) {
  for (const r of page.requests)
    for (const t of tokens) assert.ok(!r.url.includes(t), `token in the address ${r.url}`);
}

// A service, the page server and a browser for the tests of one file: fields of the object
// returned, set before the first test.
function suite(serviceOptions) {
  const env = {};
  before(async () => {
    env.svc = await Service.start(serviceOptions);
    env.pages = await startPages();
    env.browser = await launch();
  });
  after(async () => {
    await env.browser?.close();
    await env.pages?.close();
    await env.svc?.stop();
  });
  return env;
}

module.exports = { suite, Service, startPages, launch, openPage, baseSeed, stubState, stubChange, calls, eventually,
  envelope, assertNoTokenInAddresses };
