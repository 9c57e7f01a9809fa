// The preferences page: the folders to back up, the folder dialog with its duplicate rule, and
// closing, which starts what was added.
'use strict';

const assert = require('node:assert/strict');
const { test } = require('node:test');
const h = require('./harness');

const env = h.suite();

const src = (sourceid, name, path, sourceclass = 'user') => ({ sourceid, sourceclass, name, uris: [`file://${path}`] });
const task = (taskid, sourceid, state) => ({ taskid, sourceid, state, errors: '0', errormask: '0', srcuris: [] });

async function preferences(seed) {
  const page = await h.openPage(env.browser, env.pages, h.baseSeed(env.svc, { valtoken: env.svc.token, ...seed }), { width: 360, height: 400 });
  await page.goto(`${env.pages.origin}/preferences.html`);
  await page.waitForFunction(() => vxDest.uri);
  return page;
}

const rows = (page) => page.locator('.source').evaluateAll((items) => items.map((li) =>
  [li.querySelector('.source-name .sr-only').textContent, li.querySelector('input').checked]));

test('folders: sorted by name, checked when backed up; checking adds, unchecking removes, a folder chosen twice stays one, Done starts the new tasks', async () => {
  const page = await preferences({
    sources: [src('s1', 'pictures', '/home/a/Pictures', 'photo'), src('s2', 'Camera', '/media/CARD'), src('s3', 'b-side', '/home/a/b')],
    tasks: [task('t0', 's1', 'finished')],
    dialog: [{ name: 'Trip', path: '/home/a/Trip' }, { name: 'Trip again', path: '/home/a/Trip/' },
      { name: 'Card', path: '/media/CARD' }],
  });
  const dest = `ytozv://${env.svc.user.deviceid}:${env.svc.user.serviceids[0]}`;
  assert.deepEqual(await rows(page), [['b-side', false], ['Camera', false], ['pictures', true]]);

  // Check and uncheck.
  await page.getByRole('checkbox', { name: /b-side/ }).check();
  await page.getByRole('checkbox', { name: /pictures/ }).uncheck();
  let s = await h.stubState(page);
  assert.deepEqual(s.calls.filter((c) => /^(addAutoImportFromSource|removeTask)$/.test(c[0])),
    [['addAutoImportFromSource', 's3', dest], ['removeTask', 't0']]);

  // A new folder gets a task; the same folder again is dropped; a listed one without a task
  // gets one.
  await page.getByRole('button', { name: 'Add a Folder…' }).click();
  await page.getByRole('button', { name: 'Add a Folder…' }).click();
  await page.getByText('“Trip” is already in the list.').waitFor();
  await page.getByRole('button', { name: 'Add a Folder…' }).click();
  await page.getByText('“Camera” is already in the list.').waitFor();
  await page.getByRole('button', { name: 'Add a Folder…' }).click(); // cancelled: nothing
  s = await h.stubState(page);
  assert.deepEqual(s.sources.map((x) => x.name).sort(), ['Camera', 'Trip', 'b-side', 'pictures']);
  assert.deepEqual(s.calls.filter((c) => c[0] === 'removeAutoImportSource').map((c) => c[1]), ['src4', 'src5']);
  assert.deepEqual(await rows(page), [['b-side', true], ['Camera', true], ['pictures', false], ['Trip', true]]);
  const added = s.tasks.filter((x) => x.taskid !== 't0').map((x) => x.taskid);
  assert.equal(added.length, 3);
  assert.ok(s.tasks.every((x) => x.state === 'canceled'), 'new tasks wait for Done');

  // Done: the new tasks start, the window hides, and the picker counts as closed.
  await page.getByRole('button', { name: 'Done' }).click();
  s = await h.stubState(page);
  assert.deepEqual(s.calls.filter((c) => c[0] === 'pauseTask'), added.map((id) => ['pauseTask', id, 0]));
  assert.deepEqual(s.calls.slice(-2), [['setUserProperty', 'picker-closed', '1'], ['showPreferences', 'hide']]);
  assert.equal(page.errors.length, 0, page.errors.join('\n'));
  await page.context().close();
});

test('with all backup paused, Done starts nothing; without a drive nothing is added; all by keyboard', async () => {
  const page = await preferences({ currentState: 'paused', sources: [src('s1', 'A', '/a'), src('s2', 'B', '/b')] });
  // Tab reaches every control in order; Space checks.
  const order = [];
  for (let i = 0; i < 5; i++) {
    await page.keyboard.press('Tab');
    order.push(await page.evaluate(() => document.activeElement.dataset.sourceid || document.activeElement.id));
  }
  assert.deepEqual(order, ['s1', 's2', 'videos', 'add-folder', 'done']);
  for (let i = 0; i < 3; i++) await page.keyboard.press('Shift+Tab');
  await page.keyboard.press('Space');
  assert.deepEqual(await rows(page), [['A', false], ['B', true]]);
  await page.getByRole('button', { name: 'Done' }).press('Enter');
  let s = await h.stubState(page);
  assert.equal(s.calls.filter((c) => c[0] === 'pauseTask').length, 0);
  assert.equal(s.props['picker-closed'], '1');

  // No drive known (the listing failed): checking a folder says so and adds nothing.
  await page.route('**/json/listServices', (r) => r.abort());
  await page.reload();
  await page.waitForFunction(() => vx.inflight === 0 && vxDest.uri === null && document.querySelector('.source'));
  await page.getByRole('checkbox', { name: /^A/ }).click();
  await page.getByText('Your drive is not available yet').waitFor();
  assert.deepEqual(await rows(page), [['A', false], ['B', true]]);
  s = await h.stubState(page);
  assert.equal(s.calls.filter((c) => c[0] === 'addAutoImportFromSource').length, 1);
  await page.context().close();
});

test('the videos switch: on unless the program holds "0", writes "1" or "0", read again when the window shows', async () => {
  const page = await preferences({ sources: [src('s1', 'A', '/a')] });
  const sw = page.getByRole('switch', { name: 'Back up videos too' });
  const settings = async () => (await h.stubState(page)).settings;
  assert.equal(await sw.isChecked(), true);  // absent: new backups take videos
  assert.deepEqual(await settings(), {});
  await sw.click();
  assert.deepEqual(await settings(), { backupvideos: '0' });
  assert.equal(await sw.isChecked(), false);
  // By keyboard, from the check box above it.
  await page.getByRole('checkbox', { name: /^A/ }).focus();
  await page.keyboard.press('Tab');
  await page.keyboard.press('Space');
  assert.deepEqual(await settings(), { backupvideos: '1' });
  assert.deepEqual(await h.calls(page, 'setAppSetting'),
    [['setAppSetting', 'backupvideos', '0'], ['setAppSetting', 'backupvideos', '1']]);
  // Changed elsewhere while the window was away: shown as it is now.
  await h.stubChange(page, 's.settings.backupvideos = "0"');
  await page.evaluate(() => document.dispatchEvent(new Event('visibilitychange')));
  assert.equal(await sw.isChecked(), false);
  assert.match(await page.locator('#videos-hint').textContent(), /For folders added from now on/);
  // A program without the method: the switch stays on and the page goes on working.
  await page.evaluate(() => {
    const real = vx.bridge;
    vx.bridge = new Proxy({}, { get: (o, name) => (String(name).endsWith('AppSetting') ? undefined : real[name]) });
  });
  await page.evaluate(() => pShowVideos());
  assert.equal(await sw.isChecked(), true);
  await sw.click();
  assert.equal(await sw.isChecked(), true);
  assert.equal(page.errors.length, 0, page.errors.join('\n'));
  await page.context().close();
});
