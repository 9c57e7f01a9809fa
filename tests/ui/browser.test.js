// The main page against a real tesselsvc: the destination check, the dialogs, the bottom
// buttons, the backups in words, and answers that are broken or hostile.
'use strict';

const assert = require('node:assert/strict');
const { test } = require('node:test');
const h = require('./harness');

const env = h.suite({ drives: 3 });

const key = (i) => `${env.svc.user.deviceid}:${env.svc.user.serviceids[i]}`;
const prop = async (page, name) => (await h.stubState(page)).props[name];
const button = (page, name) => page.getByRole('button', { name, exact: true });

async function mainPage(seed = {}) {
  const page = await h.openPage(env.browser, env.pages, h.baseSeed(env.svc, { valtoken: env.svc.token, ...seed }));
  await page.goto(`${env.pages.origin}/browser.html`);
  return page;
}

async function driveState(page, state) {
  await page.waitForSelector(`#drive[data-state="${state}"]`);
}

test('destination: the first usable drive is saved, a saved one is checked, 804 re-creates it quietly, 606 signs out', async () => {
  // Drive 0 offline, drive 1 read-only: drive 2 is the only usable one.
  await env.svc.admin('offline', { serviceid: env.svc.user.serviceids[0] });
  const readOnly = async (route) => {
    const res = await route.fetch();
    const body = await res.json();
    body.services[1].readonly = true;
    await route.fulfill({ response: res, json: body });
  };
  let page = await h.openPage(env.browser, env.pages, h.baseSeed(env.svc, { valtoken: env.svc.token, props: { hivedest: key(0) } }));
  await page.route('**/json/listServices', readOnly);
  await page.goto(`${env.pages.origin}/browser.html`);
  await driveState(page, 'ready');
  assert.equal(await prop(page, 'hivedest'), key(2));
  assert.equal(page.requests.filter((r) => r.url.endsWith('/getFile')).length, 0);

  // Saved and usable: getFile of the root at that drive, nothing changes.
  await page.reload();
  await driveState(page, 'ready');
  const getFile = page.requests.filter((r) => r.url.endsWith('/getFile')).pop();
  assert.equal(getFile.body, `<soapenv:Envelope><soapenv:Body><getFile><deviceid>${env.svc.user.deviceid}</deviceid>` +
    `<serviceid>${env.svc.user.serviceids[2]}</serviceid><fileid>0</fileid><valtoken>${env.svc.token}</valtoken></getFile></soapenv:Body></soapenv:Envelope>`);

  // The destination folder lost (804): set up again on the same drive, no dialog.
  await env.svc.admin('fail', { method: 'getFile', code: 804 });
  await page.reload();
  await driveState(page, 'ready');
  assert.equal(await page.locator('.dialog').count(), 0);
  assert.equal(await prop(page, 'hivedest'), key(2));

  // Any other failure of that check: the no-drive dialog.
  await env.svc.admin('fail', { method: 'getFile', code: 500 });
  await page.reload();
  await page.getByRole('alertdialog', { name: 'No drive to back up to' }).waitFor();
  await driveState(page, 'unavailable');
  await page.context().close();

  // The session refused while listing drives: sign out.
  await env.svc.admin('fail', { method: 'listServices', code: 606 });
  page = await mainPage();
  await page.waitForURL(/signin\.html/);
  assert.deepEqual(await h.calls(page, 'logoutUser'), [['logoutUser']]);
  await page.context().close();
  await env.svc.admin('online', { serviceid: env.svc.user.serviceids[0] });
});

test('no drive online asks until one is back; a drive gone from the program shows one dialog', async () => {
  for (const id of env.svc.user.serviceids) await env.svc.admin('offline', { serviceid: id });
  const page = await mainPage();
  const dialog = page.getByRole('alertdialog', { name: 'No drive to back up to' });
  await dialog.waitFor();
  await button(page, 'Retry').click();
  await dialog.waitFor(); // still none
  for (const id of env.svc.user.serviceids) await env.svc.admin('online', { serviceid: id });
  await button(page, 'Retry').click();
  await driveState(page, 'ready');
  assert.equal(await page.locator('.dialog').count(), 0);

  // The program's notice, twice: one dialog, the name as text.
  const name = 'My <b>drive</b>';
  await page.evaluate(([n, s, d]) => {
    yto_driveNotAvailable(n, s, d);
    yto_driveNotAvailable(n, s, d);
  }, [name, env.svc.user.serviceids[1], env.svc.user.deviceid]);
  const notice = page.getByRole('alertdialog', { name: `“${name}” is not available` });
  await notice.waitFor();
  await h.eventually(async () => assert.equal(await page.locator('.dialog').count(), 1));
  assert.equal(await page.locator('.dialog b').count(), 0);
  // Retry finds the service: the dialog goes and the drive is mounted again.
  await button(page, 'Retry').click();
  await notice.waitFor({ state: 'detached' });
  assert.equal((await h.calls(page, 'updateMountedDriver')).length, 1);
  // A service that is gone keeps it; Continue remounts anyway.
  await page.evaluate(([n, d]) => yto_driveNotAvailable(n, 'svcgone', d), [name, env.svc.user.deviceid]);
  await notice.waitFor();
  await button(page, 'Retry').click();
  await page.getByText(`“${name}” is still not available.`).waitFor();
  await page.keyboard.press('Escape'); // Continue
  await notice.waitFor({ state: 'detached' });
  assert.equal((await h.calls(page, 'updateMountedDriver')).length, 2);
  assert.equal(page.errors.length, 0, page.errors.join('\n'));
  await page.context().close();
});

test('bottom buttons: the photo website through generateGoURL, tried twice; sign out', async () => {
  const page = await mainPage();
  await driveState(page, 'ready');
  await button(page, 'View Photos Online').click();
  await h.eventually(async () => assert.equal((await h.calls(page, 'openPellixBrowser')).length, 1));
  const [[, gourl]] = await h.calls(page, 'openPellixBrowser');
  assert.match(gourl, new RegExp(`^http://${env.svc.addr}/svc/go\\?`));
  // One failure: the network is checked and the second try opens it.
  await env.svc.admin('fail', { method: 'generateGoURL', code: 500 });
  await button(page, 'View Photos Online').click();
  await h.eventually(async () => assert.equal((await h.calls(page, 'openPellixBrowser')).length, 2));
  // Two: the person is told.
  await env.svc.admin('fail', { method: 'generateGoURL', code: 500, count: 2 });
  await button(page, 'View Photos Online').click();
  await page.getByText('The photo website could not be opened').waitFor();
  await button(page, 'OK').click();
  assert.equal((await h.calls(page, 'openPellixBrowser')).length, 2);
  await button(page, 'Sign Out').click();
  await page.waitForURL(/signin\.html/);
  await page.context().close();
});

const hostile = '<img src=x onerror="window.__pwned=1">';
const t = (taskid, sourceid, state, extra = {}) => ({ taskid, sourceid, state, totfiles: '0', currfileidx: '0', currentfile: '',
  errors: '0', errormask: '0', skipped: '0', currentfileprogress: '0', timestamp: '-1', srcuris: [], ...extra });

test('backups in words: every state, progress, errors by file and kind, pause and resume, kept up to date', async () => {
  const stamp = new Date(2030, 0, 2, 14, 2).getTime();
  const sources = ['run', 'prep', 'pend', 'stop', 'pause', 'net', 'ok', 'retry', 'fail']
    .map((n) => ({ sourceid: `s-${n}`, sourceclass: 'user', name: n, uris: [`file:///p/${n}`] }));
  sources.push({ sourceid: 's-evil', sourceclass: 'user', name: hostile, uris: ['file:///p/evil'] });
  const tasks = [
    t('1', 's-run', 'running', { totfiles: '340', currfileidx: '11', currentfileprogress: '50', currentfile: `file:///p/run/${hostile}.JPG` }),
    t('2', 's-prep', 'preparing'), t('3', 's-pend', 'pending'), t('4', 's-stop', 'canceling'),
    t('5', 's-pause', 'canceled'), t('6', 's-net', 'canceled'), t('7', 's-ok', 'finished', { timestamp: String(stamp) }),
    t('8', 's-retry', 'finished', { errors: '2', errormask: '12' }), t('9', 's-fail', 'finished', { errors: '4', errormask: '7' }),
    t('10', 's-evil', 'finished'), t('11', 'gone', 'finished', { srcuris: ['file:///home/a/Old%20Photos/'] }),
  ];
  const errors = { 9: ['6', '12', '8', '33'].map((mask, i) => ({ uri: `file:///p/fail/${i ? `f${i}.jpg` : hostile}`, errormask: mask })) };
  const page = await mainPage({ sources, tasks, errors, props: { 'paused-tasks': '5' } });
  const card = (id) => page.locator(`.task[data-taskid="${id}"]`);
  await card('11').waitFor();
  const shown = async (id) => card(id).evaluate((c) => ({ kind: c.dataset.kind, tone: /tone-(\w+)/.exec(c.className)[1],
    text: c.querySelector('.task-text').textContent, detail: c.querySelector('.task-detail').textContent,
    action: c.querySelector('.task-action').hidden ? null : c.querySelector('.task-action').textContent }));
  const expect = {
    1: { kind: 'running', tone: 'accent', text: 'Backing up 12 of 340', action: 'Pause' },
    2: { kind: 'preparing', tone: 'accent', text: 'Looking for new photos…', action: 'Pause' },
    3: { kind: 'pending', tone: 'accent', text: 'Waiting to start', action: 'Pause' },
    4: { kind: 'pausing', tone: 'amber', text: 'Pausing…', action: null },
    5: { kind: 'paused', tone: 'amber', text: 'Paused', action: 'Resume' },
    6: { kind: 'offline', tone: 'amber', text: 'Waiting for a network', action: 'Resume' },
    7: { kind: 'uptodate', tone: 'green', text: 'Up to date', action: null },
    8: { kind: 'retry', tone: 'amber', text: 'Will try again in a minute', action: null },
    9: { kind: 'failed', tone: 'red', text: '4 photos could not be backed up', action: null },
  };
  for (const [id, want] of Object.entries(expect)) {
    const got = await shown(id);
    assert.deepEqual({ kind: got.kind, tone: got.tone, text: got.text, action: got.action }, want, `task ${id}`);
  }
  assert.equal((await shown('7')).detail, 'Last backup 2 Jan 2030 14:02');
  assert.equal((await shown('3')).detail, 'No backup finished yet');
  // Progress of the running one: 11 done and half of the 12th.
  assert.equal(await card('1').locator('[role=progressbar]').getAttribute('aria-valuenow'), '3');
  assert.equal(await card('1').locator('.task-file .sr-only').textContent(), `${hostile}.JPG`);
  // Names: the source's, else the folder's; sorted; markup stays text.
  assert.equal(await card('11').locator('.task-name .sr-only').textContent(), 'Old Photos');
  assert.equal(await card('10').locator('.task-name .sr-only').textContent(), hostile);
  const order = await page.locator('.task').evaluateAll((cards) => cards.map((c) => c.dataset.taskid));
  assert.deepEqual(order, ['10', '9', '6', '7', '11', '5', '3', '2', '8', '1', '4']);

  // Errors by file name and kind.
  await card('9').getByRole('button', { name: /Show the photos of fail/ }).click();
  const errs = await card('9').locator('.err').evaluateAll((li) => li.map((e) => [e.querySelector('.sr-only').textContent, e.dataset.kind]));
  assert.deepEqual(errs, [[hostile, 'nospace'], ['f1.jpg', 'noconn'], ['f2.jpg', 'offline'], ['f3.jpg', 'unknown']]);

  // Pause and resume through the bridge; a paused one reads "Paused".
  await card('1').getByRole('button', { name: 'Pause backing up run' }).click();
  await card('5').getByRole('button', { name: 'Resume backing up pause' }).click();
  const st = await h.stubState(page);
  assert.deepEqual(st.calls.filter((c) => c[0] === 'pauseTask'), [['pauseTask', '1', 1], ['pauseTask', '5', 0]]);
  assert.equal(st.props['paused-tasks'], '1');
  await h.stubChange(page, 'setState(s.tasks[0], "canceled")');
  await h.eventually(async () => assert.equal((await shown('1')).kind, 'paused'));
  assert.equal((await shown('5')).kind, 'pending');

  // Kept up to date while open: a run finishes, a task goes, all backup paused.
  await h.stubChange(page, 'setState(s.tasks[2], "finished"); s.tasks.splice(10, 1); s.currentState = "paused"');
  await h.eventually(async () => {
    assert.equal((await shown('3')).kind, 'uptodate');
    assert.equal(await card('11').count(), 0);
    assert.equal((await shown('6')).kind, 'paused');
  });
  assert.equal(await page.evaluate(() => window.__pwned), undefined);
  assert.equal(await page.locator('main img[src=x]').count(), 0);

  // Keyboard: every control is reached with Tab and has a name.
  const reached = [];
  for (let i = 0; i < 40; i++) {
    await page.keyboard.press('Tab');
    reached.push(await page.evaluate(() => {
      const e = document.activeElement;
      return e.id || e.getAttribute('aria-label') || e.textContent.trim();
    }));
  }
  const controls = await page.locator('main button:visible').evaluateAll((bs) => bs.map((e) => e.id || e.getAttribute('aria-label') || e.textContent.trim()));
  for (const c of controls) {
    assert.ok(c, 'a button without a name');
    assert.ok(reached.includes(c), `${c} not reached with Tab`);
  }
  assert.equal(page.errors.length, 0, page.errors.join('\n'));
  await page.context().close();
});

test('broken and hostile answers are shown as text and never break the page', async () => {
  const cases = [
    ['not JSON', { body: 'Service Unavailable' }, 'unavailable'],
    ['no services member', { json: { version: 1 } }, 'unavailable'],
    ['services missing their members', { json: { services: [{ name: 'x' }, null, 7] } }, 'unavailable'],
    ['a hostile drive name', null, 'ready'],
  ];
  for (const [what, answer, state] of cases) {
    const page = await h.openPage(env.browser, env.pages, h.baseSeed(env.svc, { valtoken: env.svc.token }));
    let release;
    const held = new Promise((r) => (release = r));
    await page.route('**/json/listServices', async (route) => {
      await held; // slow: the page says it is checking meanwhile
      if (answer) return route.fulfill({ status: 200, headers: { 'Access-Control-Allow-Origin': '*' }, ...answer });
      const res = await route.fetch();
      const body = await res.json();
      body.services.forEach((s) => (s.name = `${hostile}<script>window.__pwned=2</script>`));
      return route.fulfill({ response: res, json: body });
    });
    await page.goto(`${env.pages.origin}/browser.html`);
    await page.getByRole('heading', { name: 'Checking your drive…' }).waitFor();
    release();
    await driveState(page, state);
    if (state === 'ready') {
      assert.match(await page.locator('#drive-detail').getAttribute('title'), /^<img src=x onerror=.*<\/script> · /);
      assert.equal(await page.locator('#drive img[src=x], #drive script').count(), 0);
    } else {
      assert.equal(await button(page, 'Retry').first().isVisible(), true, what);
    }
    assert.equal(await page.evaluate(() => window.__pwned), undefined, what);
    assert.equal(page.errors.length, 0, `${what}: ${page.errors.join('\n')}`);
    await page.context().close();
  }
});

test('what a backup left out, what waits and why: every problem in words, the next try, kinds as text, the sign-in action', async () => {
  const now = Date.now();
  const soon = now + 90e3;
  const d = new Date(soon);
  const hm = `${String(d.getHours()).padStart(2, '0')}:${String(d.getMinutes()).padStart(2, '0')}`;
  const nextTry = new RegExp(`^Next try at (\\d+ \\w+ (\\d+ )?)?${hm}$`);
  const evilKinds = '.<img src=x onerror=alert(1)> ×1';
  const names = ['left', 'full', 'sign', 'disk', 'net', 'drive', 'odd', 'proto', 'retry', 'run', 'evil', 'quiet', 'mine', 'past'];
  const sources = names.map((n, i) => ({ sourceid: `s${i}`, sourceclass: 'user', name: `${String(i).padStart(2, '0')} ${n}`, uris: [`file:///p/${n}`] }));
  const none = { leftout: '0', leftoutkinds: '', waiting: '0', problem: '', problemtext: '', nextretry: '0', videos: '1' };
  const p = (i, state, extra) => t(String(i), `s${i}`, state, { ...none, ...extra });
  const tasks = [
    p(0, 'finished', { leftout: '3', leftoutkinds: '.txt ×2, .pdf ×1', timestamp: String(now) }),
    p(1, 'finished', { problem: 'drivefull', problemtext: 'The drive is full: 52 photos wait', waiting: '52', errors: '5', errormask: '2', nextretry: String(soon) }),
    p(2, 'finished', { problem: 'signin', problemtext: 'Sign in again', waiting: '1', errors: '1', errormask: '16' }),
    p(3, 'canceled', { problem: 'localdisk', waiting: '7', leftout: '2', videos: '0' }),
    p(4, 'finished', { problem: 'offline', errors: '2', errormask: '12', waiting: '2', nextretry: String(soon) }),
    p(5, 'pending', { problem: 'unavailable' }),
    p(6, 'finished', { problem: 'quota', problemtext: `${hostile} quota` }),
    p(7, 'finished', { problem: '__proto__' }),
    p(8, 'finished', { errors: '2', errormask: '4', nextretry: String(soon) }),
    p(9, 'running', { problem: 'drivefull', waiting: '9', nextretry: String(soon), totfiles: '10', currfileidx: '1' }),
    p(10, 'finished', { leftout: '1', leftoutkinds: evilKinds }),
    p(11, 'finished', { timestamp: String(now) }),
    p(12, 'canceled', { problem: 'offline', waiting: '4', nextretry: String(soon) }),
    p(13, 'finished', { errors: '1', errormask: '8', nextretry: String(now - 60e3) }),
  ];
  const page = await mainPage({ sources, tasks, props: { 'paused-tasks': '12' } });
  const card = (id) => page.locator(`.task[data-taskid="${id}"]`);
  await card('13').waitFor();
  const shown = (id) => card(id).evaluate((c) => {
    const line = (sel) => (c.querySelector(sel).hidden ? null : c.querySelector(sel).textContent);
    return { kind: c.dataset.kind, tone: /tone-(\w+)/.exec(c.className)[1], text: line('.task-text'),
      detail: line('.task-detail'), note: line('.task-note'), leftout: line('.task-leftout'), action: line('.task-action') };
  });
  const expect = {
    0: { kind: 'uptodate', tone: 'green', text: 'Up to date', note: null, leftout: '3 files not backed up: .txt ×2, .pdf ×1', action: null },
    1: { kind: 'drivefull', tone: 'red', text: 'The drive is full: 52 photos wait', detail: 'Make room on the drive; backup then goes on.', note: nextTry, leftout: null },
    2: { kind: 'signin', tone: 'red', text: 'Sign in again', note: '1 photo waits', action: 'Sign In' },
    3: { kind: 'localdisk', tone: 'amber', text: "This computer's disk is full", detail: 'Free some space on this computer; backup then goes on.',
      note: '7 photos wait', leftout: '2 files not backed up', action: 'Resume' },
    4: { kind: 'offline', tone: 'amber', text: 'Waiting for the network', note: new RegExp(`^2 photos wait · ${nextTry.source.slice(1)}`) },
    5: { kind: 'unavailable', tone: 'amber', text: 'Folder not available', note: null, action: 'Pause' },
    6: { kind: 'problem', tone: 'red', text: `${hostile} quota` },
    7: { kind: 'problem', tone: 'red', text: 'Backup stopped' },
    8: { kind: 'retry', tone: 'amber', text: new RegExp(`^Will try again at (\\d+ \\w+ (\\d+ )?)?${hm}$`), note: null },
    9: { kind: 'running', tone: 'accent', text: 'Backing up 2 of 10', note: null, action: 'Pause' },
    10: { kind: 'uptodate', leftout: `1 file not backed up: ${evilKinds}` },
    11: { kind: 'uptodate', note: null, leftout: null, detail: /^Last backup \d\d:\d\d$/ },
    12: { kind: 'paused', tone: 'amber', text: 'Paused', note: '4 photos wait', action: 'Resume' },
    13: { kind: 'retry', text: 'Will try again in a minute', note: null },
  };
  for (const [id, want] of Object.entries(expect)) {
    const got = await shown(id);
    for (const [k, v] of Object.entries(want)) {
      if (v instanceof RegExp) assert.match(got[k], v, `task ${id} ${k}`);
      else assert.equal(got[k], v, `task ${id} ${k}`);
    }
  }
  // The hover says why, by whether the backup takes videos.
  assert.match(await card('0').locator('.task-leftout').getAttribute('title'), /Only photos and videos are backed up/);
  assert.match(await card('3').locator('.task-leftout').getAttribute('title'), /Only photos are backed up\./);
  assert.equal(await page.locator('main img[src=x]').count(), 0);
  assert.equal(await page.evaluate(() => window.__pwned), undefined);

  // The engine clears the problem: the card says so, and nothing more.
  await h.stubChange(page, 'Object.assign(s.tasks[1], { problem: "", problemtext: "", waiting: "0", nextretry: "0", errors: "0", errormask: "0" })');
  await h.eventually(async () => assert.deepEqual(await shown('1'),
    { kind: 'uptodate', tone: 'green', text: 'Up to date', detail: 'No backup finished yet', note: null, leftout: null, action: null }));

  // Sign In: the session ends and the login window takes over.
  await card('2').getByRole('button', { name: 'Sign in again to back up 02 sign' }).click();
  await page.waitForURL(/signin\.html/);
  assert.deepEqual(await h.calls(page, 'logoutUser'), [['logoutUser']]);
  assert.equal((await h.calls(page, 'pauseTask')).length, 0);
  assert.equal(page.errors.length, 0, page.errors.join('\n'));
  await page.context().close();
});
