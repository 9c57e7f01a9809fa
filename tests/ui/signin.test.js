// The login page against a real tesselsvc: the tour and the web sign-in, the check of a stored
// session, and the request convention every page uses.
'use strict';

const assert = require('node:assert/strict');
const { test } = require('node:test');
const h = require('./harness');

const env = h.suite();

const visible = (page, sel) => page.locator(sel).isVisible();

test('first start: the tour, Get Started opens the service sign-in, whose form hands back a working token', async () => {
  const page = await h.openPage(env.browser, env.pages, h.baseSeed(env.svc));
  await page.goto(`${env.pages.origin}/signin.html`);
  await page.waitForSelector('#tour:not([hidden])');
  assert.equal(await page.locator('#tour-title').textContent(), 'Your photos, safe on your drive');

  const [oauth] = await Promise.all([page.waitForRequest(/\/oauth\?/), page.click('#start')]);
  assert.equal(oauth.url(), `https://${env.svc.addr}/oauth?client_id=TesselUtilityDesktop01&response_type=token&redirect_uri=ytoauth://postauth`);
  await page.waitForSelector('input[name=username]');
  await page.fill('input[name=username]', 'alice');
  await page.fill('input[name=password]', 'pw');
  const [answer] = await Promise.all([
    page.waitForResponse((r) => r.url().endsWith('/oauth') && r.request().method() === 'POST'),
    page.click('button[type=submit]'),
  ]);
  const m = /^ytoauth:\/\/postauth#access_token=([0-9a-f]+)&/.exec(answer.headers().location);
  assert.ok(m, answer.headers().location);
  assert.equal((await env.svc.call('getUser', { valtoken: m[1] })).user.username, 'alice');

  // The program catches that token and shows the main page, which finds the drive ready.
  await page.goto(`${env.pages.origin}/signin.html`);
  await h.stubChange(page, 's.valtoken = a', m[1]);
  await page.goto(`${env.pages.origin}/browser.html`);
  await page.waitForSelector('#drive[data-state="ready"]');
  assert.deepEqual(await h.calls(page, 'setUserProperty'),
    [['setUserProperty', 'hivedest', `${env.svc.user.deviceid}:${env.svc.user.serviceids[0]}`]]);
  h.assertNoTokenInAddresses(page, [env.svc.token, m[1]]);

  // A test client identifier from the user properties, escaped in the address.
  const other = await h.openPage(env.browser, env.pages, h.baseSeed(env.svc, { props: { testoauthclientid: 'my id&x=1' } }));
  await other.goto(`${env.pages.origin}/signin.html`);
  await other.waitForSelector('#tour:not([hidden])');
  const [req] = await Promise.all([other.waitForRequest(/\/oauth\?/), other.click('#start')]);
  assert.match(req.url(), /\/oauth\?client_id=my%20id%26x%3D1&response_type=token&/);
  await page.context().close();
  await other.context().close();
});

test('a stored session: accepted signs in, refused signs out to the tour, unreachable keeps it', async () => {
  // Accepted: getUser over TLS with the token in the body, then loginUser with that token.
  let page = await h.openPage(env.browser, env.pages, h.baseSeed(env.svc, { valtoken: env.svc.token }));
  await page.goto(`${env.pages.origin}/signin.html?verify=1`);
  await page.waitForURL(/browser\.html/);
  const getUser = page.requests.find((r) => r.url.endsWith('/json/getUser'));
  assert.equal(getUser.url, `https://${env.svc.addr}/svc/api/json/getUser`);
  assert.equal(getUser.body, `<soapenv:Envelope><soapenv:Body><getUser><valtoken>${env.svc.token}</valtoken></getUser></soapenv:Body></soapenv:Envelope>`);
  assert.deepEqual(await h.calls(page, 'loginUser'), [['loginUser', env.svc.token]]);
  await page.context().close();

  // Refused (revoked): straight to sign-out and the tour, no loginUser.
  const other = (await env.svc.call('loginUser', { username: 'alice', password: 'pw' })).valtoken;
  await env.svc.admin('revoke', { token: other });
  page = await h.openPage(env.browser, env.pages, h.baseSeed(env.svc, { valtoken: other }));
  await page.goto(`${env.pages.origin}/signin.html?verify=1`);
  await page.waitForSelector('#tour:not([hidden])');
  await h.eventually(async () => assert.equal((await h.stubState(page)).valtoken, null));
  const s = await h.stubState(page);
  assert.deepEqual(s.calls.filter((c) => /^log(in|out)User$/.test(c[0])), [['logoutUser']]);
  await page.context().close();

  // No network at first: the lost-connection dialog, whose Refresh goes on once it is back.
  // Then getUser unreachable: a dialog again, and the session is not dropped.
  page = await h.openPage(env.browser, env.pages, h.baseSeed(env.svc, { valtoken: env.svc.token }));
  await page.route('**/json/getVersion', (r) => r.abort());
  await page.route('**/json/getUser', (r) => r.abort());
  await page.goto(`${env.pages.origin}/signin.html?verify=1`);
  await page.waitForSelector('.dialog >> text=No connection to Orvane');
  await page.unroute('**/json/getVersion');
  await page.getByRole('button', { name: 'Refresh' }).click();
  await page.getByRole('button', { name: 'Sign Out' }).waitFor();
  assert.equal((await h.stubState(page)).valtoken, env.svc.token);
  assert.deepEqual(await h.calls(page, 'logoutUser'), []);
  await page.unroute('**/json/getUser');
  await page.getByRole('button', { name: 'Refresh' }).click();
  await page.waitForURL(/browser\.html/);
  assert.equal(page.errors.length, 0, page.errors.join('\n'));
  await page.context().close();
});

test('requests: bodies byte for byte, escaping, the token, the address, failures and the log', async () => {
  const page = await h.openPage(env.browser, env.pages, h.baseSeed(env.svc, { valtoken: env.svc.token, props: { logmore: '1' } }));
  await page.route('**/json/getUser', () => {}); // keeps the page on the login page
  await page.goto(`${env.pages.origin}/signin.html?verify=1`);
  await page.waitForFunction(() => typeof rpc === 'function' && vx.svcurl);
  const call = (method, args) => page.evaluate(([m, a]) => new Promise((resolve) => rpc(m, a, (answer, error) => resolve({ answer, error }))), [method, args]);
  const lastBody = (method) => page.requests.filter((r) => r.url.endsWith(`/json/${method}`)).pop();

  // Arguments in order, escaped; the token appended; a refusal comes back as the error.
  let r = await call('getFile', { deviceid: 'dev<1>', serviceid: 'svc&2', fileid: '0' });
  assert.equal(lastBody('getFile').url, `${env.svc.url}/json/getFile`);
  assert.equal(lastBody('getFile').body, '<soapenv:Envelope><soapenv:Body><getFile><deviceid>dev&lt;1&gt;</deviceid>' +
    `<serviceid>svc&amp;2</serviceid><fileid>0</fileid><valtoken>${env.svc.token}</valtoken></getFile></soapenv:Body></soapenv:Envelope>`);
  assert.equal(r.answer, null);
  assert.equal(r.error.ecode, 803);
  assert.equal(r.error.transport, false);

  // A token given by the caller is not doubled; loginUser carries none and goes over TLS.
  await call('getVersion', { valtoken: 'given' });
  assert.equal(lastBody('getVersion').body, '<soapenv:Envelope><soapenv:Body><getVersion><valtoken>given</valtoken></getVersion></soapenv:Body></soapenv:Envelope>');
  r = await call('loginUser', { username: 'alice', password: 'p<w>&' });
  assert.equal(lastBody('loginUser').url, `https://${env.svc.addr}/svc/api/json/loginUser`);
  assert.equal(lastBody('loginUser').body, '<soapenv:Envelope><soapenv:Body><loginUser><username>alice</username>' +
    '<password>p&lt;w&gt;&amp;</password></loginUser></soapenv:Body></soapenv:Envelope>');

  // A known service is called at its own API address (only http or https ones are taken).
  const services = (await env.svc.call('listServices', { valtoken: env.svc.token })).services;
  await page.evaluate(([sid, did, port]) => {
    vx.services[sid] = { serviceid: sid, deviceid: did, apiurl: `http://localhost:${port}/svc/api` };
    vx.services.bad = { serviceid: 'bad', apiurl: 'javascript:alert(1)//' };
  }, [services[0].serviceid, services[0].deviceid, env.svc.addr.split(':')[1]]);
  r = await call('getFile', { deviceid: services[0].deviceid, serviceid: services[0].serviceid, fileid: '0' });
  assert.equal(lastBody('getFile').url, `http://localhost:${env.svc.addr.split(':')[1]}/svc/api/json/getFile`);
  assert.equal(r.answer.file.fileid, '0');
  await call('getFile', { serviceid: 'bad', fileid: '0' });
  assert.equal(lastBody('getFile').url, `${env.svc.url}/json/getFile`);

  // Answers that are not JSON, or no answer at all, are transport failures.
  await page.route('**/json/generateGoURL', (route) => route.fulfill({ status: 200, body: '<html>oops', headers: { 'Access-Control-Allow-Origin': '*' } }));
  r = await call('generateGoURL', { path: '/' });
  assert.deepEqual([r.answer, r.error.transport], [null, true]);
  await page.route('**/json/listAlbums', (route) => route.abort());
  r = await call('listAlbums', { shared: '0' });
  assert.deepEqual([r.answer, r.error.transport], [null, true]);

  // logmore: answers are logged, with tokens masked; every request names method and address.
  const logs = (await h.stubState(page)).logs;
  assert.ok(logs.includes(`rpc getFile -> ${env.svc.url}/json/getFile`));
  assert.ok(logs.some((l) => l.startsWith('rpc getFile <- 200 {"HB-EXCEPTION"')), logs.join('\n'));
  assert.ok(logs.some((l) => l.startsWith('rpc loginUser <- ')));
  assert.ok(!logs.some((l) => l.includes(env.svc.token)), 'a token in the log');
  h.assertNoTokenInAddresses(page, [env.svc.token]);
  await page.context().close();
});
