'use strict';
// The compose/send page of uploadsend in a real browser, against a running
// demo (tests/e2e/run.sh starts one): files go through the upload control to
// the demo's stand-in receiver and are imported into the message, one is
// removed, a web page is sent as the message body, and the message is handed
// to the compose program's stand-in. The steps run in order; a failed step
// skips the rest. Each step leaves a screenshot in E2E_OUT/screenshots-compose.
//
// Environment as for attach_window.test.js: E2E_BASE_URL, E2E_COUNT_LIMIT,
// E2E_OUT, E2E_CHROMIUM; NODE_PATH must find playwright-core.

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { chromium } = require('playwright-core');

const base = process.env.E2E_BASE_URL || 'http://127.0.0.1:8080';
const countLimit = Number(process.env.E2E_COUNT_LIMIT || 4);
const out = process.env.E2E_OUT || path.join(os.tmpdir(), 'attachdesk-e2e');
const shots = path.join(out, 'screenshots-compose');
const executablePath = process.env.E2E_CHROMIUM || '/usr/bin/chromium';
const stepTimeout = 30000;
const basic = (user) => 'Basic ' + Buffer.from(`${user}:${user}`).toString('base64');

let context;
let page;
let profile;
let shotNumber = 0;
let failedStep = null;

function file(name, mimeType, text) {
  return { name, mimeType, buffer: Buffer.from(text) };
}

function step(name, body) {
  test(name, { timeout: 4 * stepTimeout }, async (t) => {
    if (failedStep) {
      t.skip(`skipped: step "${failedStep}" failed`);
      return;
    }
    const shot = name.replace(/[^a-z0-9]+/gi, '-').toLowerCase();
    try {
      await body();
      shotNumber += 1;
      await page.screenshot({ path: path.join(shots, `${String(shotNumber).padStart(2, '0')}-${shot}.png`), fullPage: true });
    } catch (e) {
      failedStep = name;
      if (page) await page.screenshot({ path: path.join(shots, `FAILED-${shot}.png`), fullPage: true }).catch(() => {});
      throw e;
    }
  });
}

// The list as shown: the option texts, white space made one space.
async function listed() {
  return page.evaluate(() => Array.from(document.querySelectorAll('select[name=choice] option'),
    (o) => o.textContent.replace(/\s+/g, ' ').trim()));
}

async function usage() {
  return (await page.innerText('#usage')).replace(/\s+/g, ' ').trim();
}

// Chooses files in the upload control and uploads them; waits for the
// receiver's answer and for the import's page that replaces this one.
async function uploadThroughControl(files) {
  await page.setInputFiles('#uc_files', files);
  const received = page.waitForResponse(
    (r) => r.url().startsWith(`${base}/cgi-bin/uploadrecv`) && r.request().method() === 'POST');
  const imported = page.waitForResponse(
    (r) => r.url().startsWith(`${base}/cgi-bin/uploadsend`) && r.request().method() === 'POST');
  await page.click('#uc_send');
  const receiver = await received;
  assert.equal(receiver.status(), 200, `the receiver answered ${receiver.status()}`);
  const answer = await imported;
  assert.equal(answer.status(), 200, `uploadsend answered ${answer.status()}`);
  await page.waitForLoadState('load');
  await page.waitForSelector('#usage');
}

before(async () => {
  fs.rmSync(shots, { recursive: true, force: true });
  fs.mkdirSync(shots, { recursive: true });
  profile = fs.mkdtempSync(path.join(out, 'profile-'));
  context = await chromium.launchPersistentContext(profile, {
    executablePath,
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    extraHTTPHeaders: { Authorization: basic('alice') },
    viewport: { width: 900, height: 1200 },
    timeout: 60000,
  });
  context.setDefaultTimeout(stepTimeout);
  page = context.pages()[0] || (await context.newPage());
  page.on('pageerror', (e) => console.error(`page script error: ${e.message}`));
});

after(async () => {
  if (context) await context.close().catch(() => {});
  if (profile) fs.rmSync(profile, { recursive: true, force: true });
});

let cpid;

step('a new message shows its fields, its limits and the upload control', async () => {
  const response = await page.goto(`${base}/cgi-bin/uploadsend?atid=compose`);
  assert.equal(response.status(), 200);
  cpid = await page.getAttribute('#compose_form', 'data-cpid');
  assert.match(cpid, /^\d+$/);
  assert.equal(await page.inputValue('input[name=atid]'), `compose${cpid}`);
  assert.equal(await usage(),
    `0 of ${countLimit} attachments, 0 bytes of 10485760 bytes used; room for ${countLimit} more files and 10485760 bytes.`);
  assert.deepEqual(await listed(), []);
  assert.doesNotMatch(await page.content(), /\$[a-z]/i, 'a template variable is left in the page');
});

step('files chosen beyond the room left are refused before anything is sent', async () => {
  const many = [];
  for (let i = 0; i <= countLimit; i++) many.push(file(`n${i}.txt`, 'text/plain', `note ${i}\n`));
  await page.setInputFiles('#uc_files', many);
  const posts = [];
  const onRequest = (r) => { if (r.method() === 'POST') posts.push(r.url()); };
  page.on('request', onRequest);
  await page.click('#uc_send');
  await page.waitForSelector('#upload_problem:not([hidden])');
  await page.waitForTimeout(300);
  page.off('request', onRequest);
  assert.deepEqual(posts, []);
  assert.match(await page.innerText('#upload_problem'), new RegExp(`You chose ${countLimit + 1} files, but this message has room for only ${countLimit} more`));
});

step('files uploaded through the control are imported, with the message kept', async () => {
  await page.fill('input[name=to]', 'bob@example.com');
  await page.fill('input[name=subject]', 'Q3 <figures> & notes');
  await page.fill('#content', 'Dear Bob,\nthe figures are attached.\n');
  await uploadThroughControl([
    file('figures;final.csv', 'text/csv', 'quarter,total\nQ3,1234\n'),
    file('notes.txt', 'text/plain', 'Some notes.\n'),
  ]);
  assert.deepEqual(await listed(), ['figures;final.csv, 22 bytes', 'notes.txt, 12 bytes']);
  assert.ok(await page.isVisible('#done'), 'the import is not reported');
  assert.equal(await page.inputValue('input[name=atid]'), `compose${cpid}`);
  assert.equal(await page.inputValue('input[name=to]'), 'bob@example.com');
  assert.equal(await page.inputValue('input[name=subject]'), 'Q3 <figures> & notes');
  assert.equal(await page.inputValue('#content'), 'Dear Bob,\nthe figures are attached.\n');
  assert.match(await usage(), new RegExp(`^2 of ${countLimit} attachments, 34 bytes of`));
});

step('a selected file is removed, the message still kept', async () => {
  await page.selectOption('select[name=choice]', ['0']);
  await Promise.all([page.waitForNavigation(), page.click('#remove_button')]);
  assert.deepEqual(await listed(), ['notes.txt, 12 bytes']);
  assert.equal(await page.inputValue('input[name=subject]'), 'Q3 <figures> & notes');
});

// The compose flow's cabinet source: the form carries the choice of a cabinet
// window (doc, dc_base, dir_path, name), as the suite's cabinet window posts it.
step('a file of the own document cabinet is attached, the message kept', async () => {
  const welcome = 'Welcome to your document cabinet.\nFiles kept here can be attached to any message.\n';
  await page.evaluate(() => {
    const form = document.getElementById('compose_form');
    for (const [name, value] of [['doc', '1'], ['dc_base', 'alice'], ['dir_path', '/'], ['name', 'welcome.txt']]) {
      const input = document.createElement('input');
      input.type = 'hidden';
      input.name = name;
      input.value = value;
      form.appendChild(input);
    }
  });
  await Promise.all([page.waitForNavigation(), page.click('#attach_button')]);
  assert.equal(await page.isVisible('.error'), false, 'the page shows an error');
  assert.deepEqual(await listed(), ['notes.txt, 12 bytes', `welcome.txt, ${welcome.length} bytes`]);
  assert.equal(await page.inputValue('input[name=subject]'), 'Q3 <figures> & notes');
  assert.equal(await page.inputValue('#content'), 'Dear Bob,\nthe figures are attached.\n');
});

step('the message is handed to the compose program with its attachment', async () => {
  await Promise.all([page.waitForNavigation(), page.click('#send_button')]);
  assert.match(page.url(), new RegExp(`/cgi-bin/genMail\\?keep_attach=1&cpid=${cpid}&m=0$`));
  assert.match((await page.innerText('body')).replace(/\s+/g, ' '), /New message \(demo stand-in\).*notes\.txt, 12 bytes.*welcome\.txt, 82 bytes/);
});

step('a web page is sent as the message body, its picture attached', async () => {
  await page.goto(`${base}/cgi-bin/uploadsend?atid=compose&act=pgsend`);
  assert.match(await page.innerText('h1'), /Send a web page/);
  const html = '<html><body><h1>Spring sale</h1><img src="sale.gif"></body></html>\n';
  const gif = Buffer.from('R0lGODlhAQABAIAAAAAAAP///yH5BAEAAAAALAAAAAABAAEAAAIBRAA7', 'base64');
  await uploadThroughControl([
    file('sale.html', 'text/html', html),
    { name: 'sale.gif', mimeType: 'image/gif', buffer: gif },
  ]);
  assert.equal(await page.inputValue('#content'), html);
  assert.match(await page.innerText('main'), /The web page you uploaded is the message body/);
  assert.deepEqual(await listed(), [`sale.gif, ${gif.length} bytes`]);
  assert.equal(await page.inputValue('input[name=act]'), 'pgsend');
});
