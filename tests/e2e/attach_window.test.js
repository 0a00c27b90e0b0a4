'use strict';
// The attachment window in a real browser, against a running demo
// (tests/e2e/run.sh starts one). The steps share one compose window and run in
// order; a failed step skips the rest. Each step leaves a screenshot in
// E2E_OUT/screenshots.
//
// Environment: E2E_BASE_URL (the demo, e.g. http://127.0.0.1:8080),
// E2E_COUNT_LIMIT and E2E_REQUEST_MAX_KB (the demo's AttachCountLimit and
// RequestMaxKB), E2E_OUT (output folder), E2E_CHROMIUM (the browser).
// NODE_PATH must find playwright-core. Runs on Node.js 18 and later.

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const { basic, launch, screenshots } = require('./support.js');

const base = process.env.E2E_BASE_URL || 'http://127.0.0.1:8080';
const countLimit = Number(process.env.E2E_COUNT_LIMIT || 4);
const requestMaxKB = Number(process.env.E2E_REQUEST_MAX_KB || 4096);
const out = process.env.E2E_OUT || path.join(os.tmpdir(), 'attachdesk-e2e');
const shots = path.join(out, 'screenshots');
const stepTimeout = 30000;

const atid = 'e2e' + Date.now();
const windowUrl = `${base}/cgi-bin/attachdesk?atid=${atid}`;

// The anti-virus test file, built here so that no file of the repository
// carries it.
const eicar = Buffer.from(
  'X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*', 'latin1');

function textFile(name, size, fill) {
  const line = `${fill} `;
  return { name, mimeType: 'text/plain', buffer: Buffer.from(line.repeat(Math.ceil(size / line.length)).slice(0, size)) };
}
function binaryFile(name, size) {
  const buffer = Buffer.alloc(size);
  for (let i = 0; i < size; i++) buffer[i] = (i * 7919 + 13) & 0xff;
  return { name, mimeType: 'application/octet-stream', buffer };
}

let context;
let page;
let profile;
let failedStep = null;

const screenshot = screenshots(shots, '');

// One step of the walk through the window; after a failure the rest are
// skipped, since each builds on the list the ones before left.
function step(name, body) {
  test(name, { timeout: 4 * stepTimeout }, async (t) => {
    if (failedStep) {
      t.skip(`skipped: step "${failedStep}" failed`);
      return;
    }
    try {
      await body();
      await screenshot(page, name.replace(/[^a-z0-9]+/gi, '-').toLowerCase());
    } catch (e) {
      failedStep = name;
      if (page) await screenshot(page, 'FAILED-' + name.replace(/[^a-z0-9]+/gi, '-').toLowerCase());
      throw e;
    }
  });
}

// The text of the page's body with runs of white space made one space.
async function bodyText(target) {
  return (await target.innerText('body')).replace(/\s+/g, ' ');
}

async function usage(target) {
  return (await target.innerText('#usage')).replace(/\s+/g, ' ').trim();
}

// The list as shown: the option texts, white space made one space.
async function listed(target) {
  return target.evaluate(() => Array.from(document.querySelectorAll('select[name=choice] option'),
    (o) => o.textContent.replace(/\s+/g, ' ').trim()));
}

// Runs action, which makes the page post its form through the script, and
// waits until the answer replaced the page. Answers the request's response.
async function postByScript(target, action) {
  await target.evaluate(() => document.documentElement.setAttribute('data-e2e-old', ''));
  const answered = target.waitForResponse(
    (r) => r.url().startsWith(`${base}/cgi-bin/attachdesk`) && r.request().method() === 'POST',
    { timeout: stepTimeout });
  await action();
  const response = await answered;
  assert.equal(response.request().resourceType(), 'xhr',
    'the form was sent by a page navigation, not by the upload script');
  assert.equal(response.status(), 200, `attachdesk answered ${response.status()}`);
  await target.waitForFunction(
    () => !document.documentElement.hasAttribute('data-e2e-old') && document.getElementById('usage'),
    null, { timeout: stepTimeout });
  return response;
}

// Lets the page record what its progress bar shows while an upload runs.
async function watchProgress(target) {
  await target.evaluate(() => {
    window.e2eProgress = { shown: false, top: 0, texts: [] };
    const bar = document.getElementById('upload_bar');
    const text = document.getElementById('upload_text');
    const box = document.getElementById('upload');
    new MutationObserver(() => {
      if (!box.hidden) window.e2eProgress.shown = true;
      if (bar.max > 0) window.e2eProgress.top = Math.max(window.e2eProgress.top, bar.value / bar.max);
      if (text.textContent) window.e2eProgress.texts.push(text.textContent);
    }).observe(box, { attributes: true, childList: true, subtree: true, characterData: true });
  });
}

// A large file on disk (zero bytes), for the file inputs; for a drop, the
// page makes its bytes itself.
function largeFile(name, size) {
  const file = path.join(out, name);
  fs.writeFileSync(file, '');
  fs.truncateSync(file, size);
  return { name, mimeType: 'application/octet-stream', size, path: file };
}

// Dispatches a drop of files (name, mimeType, buffer; or a large file) onto
// the page's drop zone, as a file manager would.
async function dropFiles(target, files) {
  const plain = files.map((f) => ({
    name: f.name, type: f.mimeType, bytes: f.buffer ? Array.from(f.buffer) : null, size: f.size,
  }));
  const dataTransfer = await target.evaluateHandle((list) => {
    const dt = new DataTransfer();
    for (const f of list) {
      const bytes = f.bytes ? new Uint8Array(f.bytes) : new Uint8Array(f.size);
      dt.items.add(new File([bytes], f.name, { type: f.type }));
    }
    return dt;
  }, plain);
  await target.dispatchEvent('#dropzone', 'dragenter', { dataTransfer });
  await target.dispatchEvent('#dropzone', 'dragover', { dataTransfer });
  await target.dispatchEvent('#dropzone', 'drop', { dataTransfer });
}

// Runs action and answers the POST requests the page made meanwhile.
async function postsDuring(target, action) {
  const posts = [];
  const onRequest = (r) => { if (r.method() === 'POST') posts.push(r.url()); };
  target.on('request', onRequest);
  try {
    await action();
    // A request the action started would have been seen by now.
    await target.waitForTimeout(300);
  } finally {
    target.off('request', onRequest);
  }
  return posts;
}

// The text of the page's own problem line, once it shows.
async function problemShown(target) {
  await target.waitForSelector('#upload_problem:not([hidden])', { timeout: stepTimeout });
  return (await target.innerText('#upload_problem')).replace(/\s+/g, ' ').trim();
}

async function clearFileInputs(target) {
  for (const name of ['newfile', 'newfile01', 'newfile02']) {
    await target.setInputFiles(`input[name=${name}]`, []);
  }
}

async function assertNoTemplateLeftovers(target) {
  const html = await target.content();
  const leftover = html.match(
    /\$(?:count|size|sizelimit|sizeleft|countlimit|countleft|ins_text|atid|encatid|choice|keepname|virusfile|fetcherror|dcargs|dcbase|dcpath|dcowner|fname|fvalue|fdesc|cate|nkey|ntitle|nfile|fnotes)\b/);
  assert.equal(leftover, null, `the page shows an unreplaced template variable ${leftover && leftover[0]}`);
}

before(async () => {
  // run.sh empties the folder: the other test files write there too.
  fs.mkdirSync(shots, { recursive: true });
  ({ context, profile } = await launch(out, 'profile-', 'alice'));
  context.setDefaultTimeout(stepTimeout);
  page = context.pages()[0] || (await context.newPage());
  page.on('pageerror', (e) => console.error(`page script error: ${e.message}`));
});

after(async () => {
  if (context) await context.close().catch(() => {});
  if (profile) fs.rmSync(profile, { recursive: true, force: true });
});

step('the empty window shows its limits and the drop zone', async () => {
  const response = await page.goto(windowUrl);
  assert.equal(response.status(), 200);
  assert.match(await usage(page), new RegExp(`^0 of ${countLimit} attachments, 0 KB of 10240 KB used; room for ${countLimit} more files and 10240 KB\\.$`));
  assert.ok(await page.isVisible('#dropzone'), 'the drop zone is hidden although scripts run');
  assert.ok(await page.isHidden('#upload'), 'the progress bar shows before any upload');
  assert.deepEqual(await listed(page), []);
  await assertNoTemplateLeftovers(page);
});

const alpha = textFile('alpha.txt', 1000, 'alpha');
const big = binaryFile('big.bin', 1536 * 1024);
const gamma = textFile('gamma notes.txt', 2345, 'gamma');

step('two files chosen in the file inputs are uploaded with a progress bar', async () => {
  await page.setInputFiles('input[name=newfile]', alpha);
  await page.setInputFiles('input[name=newfile01]', big);
  await watchProgress(page);
  // A slow upload (about 1.5 s), so the bar is seen part way.
  const cdp = await context.newCDPSession(page);
  await cdp.send('Network.enable');
  await cdp.send('Network.emulateNetworkConditions',
    { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: 1024 * 1024 });
  try {
    await postByScript(page, async () => {
      await page.click('button.primary');
      await page.waitForFunction(() => {
        const bar = document.getElementById('upload_bar');
        return bar && bar.value > 0.2 * bar.max && bar.value < 0.9 * bar.max;
      }, null, { timeout: stepTimeout, polling: 20 });
      await screenshot(page, 'upload-in-progress');
    });
  } finally {
    await cdp.send('Network.emulateNetworkConditions',
      { offline: false, latency: 0, downloadThroughput: -1, uploadThroughput: -1 });
    await cdp.detach();
  }
  const progress = await page.evaluate(() => window.e2eProgress);
  assert.ok(progress.shown, 'the progress bar was never shown');
  assert.equal(progress.top, 1, `the progress bar stopped at ${progress.top}`);
  assert.ok(progress.texts.some((s) => /^Uploading: [1-9]\d?% of 153\d KB$/.test(s)),
    `no percentage was shown: ${progress.texts}`);
  assert.deepEqual(await listed(page), ['alpha.txt, 1000 bytes', 'big.bin, 1572864 bytes']);
  assert.match(await usage(page), new RegExp(`^2 of ${countLimit} attachments, 1536 KB of 10240 KB used`));
  assert.ok(await page.isHidden('.error'), 'an error is shown');
  await assertNoTemplateLeftovers(page);
});

step('a file dropped on the window is attached', async () => {
  await postByScript(page, () => dropFiles(page, [gamma]));
  assert.deepEqual(await listed(page),
    ['alpha.txt, 1000 bytes', 'big.bin, 1572864 bytes', 'gamma notes.txt, 2345 bytes']);
  assert.match(await usage(page), new RegExp(`^3 of ${countLimit} attachments, 1539 KB of 10240 KB used; room for 1 more files`));
});

step('a selected file is removed', async () => {
  const value = await page.evaluate(() => Array.from(document.querySelectorAll('select[name=choice] option'))
    .find((o) => o.textContent.includes('big.bin')).value);
  await page.selectOption('select[name=choice]', value);
  await postByScript(page, () => page.click('text=Remove selected'));
  assert.deepEqual(await listed(page), ['alpha.txt, 1000 bytes', 'gamma notes.txt, 2345 bytes']);
  assert.match(await usage(page), new RegExp(`^2 of ${countLimit} attachments, 3.2 KB of 10240 KB used`));
});

step('the anti-virus test file is refused with a virus report', async () => {
  assert.equal(eicar.length, 68);
  await page.setInputFiles('input[name=newfile]', { name: 'eicar.com', mimeType: 'application/octet-stream', buffer: eicar });
  await postByScript(page, () => page.click('button.primary'));
  const error = (await page.innerText('.error:visible')).replace(/\s+/g, ' ');
  assert.match(error, /The file eicar\.com contains a virus \(.*EICAR.*\) and was not attached\./i);
  assert.deepEqual(await listed(page), ['alpha.txt, 1000 bytes', 'gamma notes.txt, 2345 bytes']);
});

step('files that do not fit the room left are refused in the page before sending', async () => {
  // Two attached, so room for two more files and the bytes the page gives.
  const left = countLimit - 2;
  const sizeLeft = Number(await page.getAttribute('#attach_form', 'data-sizeleft'));
  assert.ok(sizeLeft > 10000000, `unexpected size left ${sizeLeft}`);
  const tooLarge = largeFile('too-large.bin', sizeLeft + 1);
  const cases = [
    {
      name: 'more files than the room left',
      act: async () => {
        await page.setInputFiles('input[name=newfile]', textFile('one.txt', 10, 'one'));
        await page.setInputFiles('input[name=newfile01]', textFile('two.txt', 10, 'two'));
        await page.setInputFiles('input[name=newfile02]', textFile('three.txt', 10, 'three'));
        await page.click('button.primary');
      },
      want: new RegExp(`^You chose 3 files, but this message has room for only ${left} more\\. Nothing was sent`),
    },
    {
      name: 'a file one byte over the size left',
      act: async () => {
        await page.setInputFiles('input[name=newfile]', tooLarge.path);
        await page.click('button.primary');
      },
      want: /^Too large: the chosen files need 10237 KB, but only 10236 KB are left .* Nothing was sent\.$/,
    },
    {
      name: 'a dropped file one byte over the size left',
      act: () => dropFiles(page, [tooLarge]),
      want: /^Too large: the chosen files need 10237 KB/,
    },
  ];
  for (const c of cases) {
    await page.goto(windowUrl);
    const posts = await postsDuring(page, async () => {
      await c.act();
      assert.match(await problemShown(page), c.want, c.name);
    });
    assert.deepEqual(posts, [], `${c.name}: the page posted ${posts}`);
    assert.ok(await page.isHidden('#upload'), `${c.name}: the progress bar shows`);
    await screenshot(page, 'refused-in-page-' + c.name.replace(/[^a-z0-9]+/gi, '-'));
  }
  await clearFileInputs(page);
  assert.deepEqual(await listed(page), ['alpha.txt, 1000 bytes', 'gamma notes.txt, 2345 bytes']);
});

step('a refusal by the server is told in plain words by its status', async () => {
  await page.goto(windowUrl);
  const sizeLeft = Number(await page.getAttribute('#attach_form', 'data-sizeleft'));
  // A web server's own error page: its markup must never reach the user.
  const htmlPage = (status, title) => ({
    status, contentType: 'text/html',
    body: `<!DOCTYPE html><html><head><title>${status} ${title}</title></head><body><h1>${title}</h1><hr><address>httpd</address></body></html>`,
  });
  const cases = [
    {
      // Fits the room left exactly, so the page sends it; the request is
      // over the server's RequestMaxKB.
      name: 'a request body over the server limit',
      file: largeFile('exactly-the-room.bin', sizeLeft).path,
      status: 413,
      want: /^The server refused the upload as too large \(HTTP 413\)\. Nothing was attached/,
    },
    {
      // Answered here: with a challenge of its own, Chromium would ask for
      // credentials before the page sees the answer.
      name: 'a sign-in layer page',
      answer: htmlPage(401, 'Unauthorized'),
      status: 401,
      want: /^The server refused the upload because you are not signed in \(HTTP 401\)\. Nothing was attached/,
    },
    {
      name: 'a web server error page',
      answer: htmlPage(500, 'Internal Server Error'),
      status: 500,
      want: /^The server had a problem and could not take the upload \(HTTP 500\)\. Nothing was attached/,
    },
    {
      name: 'a proxy error page',
      answer: htmlPage(502, 'Bad Gateway'),
      status: 502,
      want: /\(HTTP 502\)/,
    },
    {
      name: 'a web server page refusing a large body',
      answer: htmlPage(413, 'Request Entity Too Large'),
      status: 413,
      want: /^The server refused the upload as too large \(HTTP 413\)/,
    },
  ];
  assert.ok(sizeLeft > requestMaxKB * 1024, 'the size left does not exceed RequestMaxKB');
  for (const c of cases) {
    await page.goto(windowUrl);
    const route = `${base}/cgi-bin/attachdesk`;
    const answer = (r) => (r.request().method() === 'POST' ? r.fulfill(c.answer) : r.continue());
    if (c.answer) await page.route(route, answer);
    try {
      await page.setInputFiles('input[name=newfile]', c.file || textFile('small.txt', 10, 'small'));
      const answered = page.waitForResponse((r) => r.url() === route && r.request().method() === 'POST');
      await page.click('button.primary');
      assert.equal((await answered).status(), c.status, c.name);
      const shown = await problemShown(page);
      assert.match(shown, c.want, c.name);
      assert.doesNotMatch(shown, /[<>]|DOCTYPE|html/i, `${c.name}: markup shown`);
      assert.ok(await page.isHidden('#upload'), `${c.name}: the progress bar still shows`);
      assert.ok(await page.isEnabled('button.primary'), `${c.name}: the form stays disabled`);
      await screenshot(page, 'server-refusal-' + c.status + '-' + c.name.replace(/[^a-z0-9]+/gi, '-'));
    } finally {
      if (c.answer) await page.unroute(route, answer);
    }
  }
  await page.goto(windowUrl);
  assert.deepEqual(await listed(page), ['alpha.txt, 1000 bytes', 'gamma notes.txt, 2345 bytes']);
});

step('without scripts the plain form attaches and shows sizes in bytes', async () => {
  const plainPage = await context.newPage();
  try {
    const cdp = await context.newCDPSession(plainPage);
    await cdp.send('Emulation.setScriptExecutionDisabled', { value: true });
    await plainPage.goto(windowUrl);
    assert.ok(await plainPage.isHidden('#dropzone'), 'the drop zone shows without scripts');
    await plainPage.setInputFiles('input[name=newfile]', textFile('delta.txt', 512, 'delta'));
    const [response] = await Promise.all([
      plainPage.waitForNavigation({ timeout: stepTimeout }),
      plainPage.click('button.primary'),
    ]);
    assert.equal(response.request().resourceType(), 'document');
    assert.deepEqual(await listed(plainPage),
      ['alpha.txt, 1000 bytes', 'gamma notes.txt, 2345 bytes', 'delta.txt, 512 bytes']);
    assert.match(await usage(plainPage), new RegExp(
      `^3 of ${countLimit} attachments, 3857 bytes of 10485760 bytes used; room for 1 more files and 10481903 bytes\\.$`));
    await screenshot(plainPage, 'plain-form-without-scripts');
  } finally {
    await plainPage.close();
  }
  await page.goto(windowUrl);
});

step('without scripts the server refuses files beyond the attachment count limit', async () => {
  const plainPage = await context.newPage();
  try {
    const cdp = await context.newCDPSession(plainPage);
    await cdp.send('Emulation.setScriptExecutionDisabled', { value: true });
    await plainPage.goto(windowUrl);
    await plainPage.setInputFiles('input[name=newfile]', textFile('epsilon.txt', 100, 'epsilon'));
    await plainPage.setInputFiles('input[name=newfile01]', textFile('zeta.txt', 100, 'zeta'));
    await Promise.all([
      plainPage.waitForNavigation({ timeout: stepTimeout }),
      plainPage.click('button.primary'),
    ]);
    const error = (await plainPage.innerText('.error:visible')).replace(/\s+/g, ' ');
    assert.match(error, /The attachment limit was reached/);
    const names = (await listed(plainPage)).map((s) => s.split(',')[0]);
    assert.deepEqual(names, ['alpha.txt', 'gamma notes.txt', 'delta.txt', 'epsilon.txt']);
    assert.match(await usage(plainPage), new RegExp(`^${countLimit} of ${countLimit} attachments, .* room for 0 more files`));
    await screenshot(plainPage, 'plain-form-count-limit');
  } finally {
    await plainPage.close();
  }
  await page.goto(windowUrl);
  assert.match(await usage(page), new RegExp(`room for 0 more files`));
});

step('a drop on a full list is refused in the page without a request', async () => {
  let posted = false;
  const onRequest = (r) => { if (r.method() === 'POST') posted = true; };
  page.on('request', onRequest);
  await dropFiles(page, [textFile('eta.txt', 10, 'eta')]);
  await page.waitForSelector('#upload_problem:not([hidden])');
  page.off('request', onRequest);
  assert.match(await page.innerText('#upload_problem'), /The attachment limit was reached/);
  assert.equal(posted, false, 'the drop was posted although the list is full');
});

step('insert mode puts a text file into the window\'s text instead of the list', async () => {
  const text = 'Hello from the browser test: <b>bold</b> & "quoted" — ünïcödé\nsecond line\n';
  await page.goto(`${base}/cgi-bin/attachdesk?atid=insert${atid}`);
  await postByScript(page, async () => {
    await page.setInputFiles('input[name=newfile]', { name: 'note.txt', mimeType: 'text/plain', buffer: Buffer.from(text) });
    await page.click('button.primary');
  });
  // No compose window opened this one: the text is offered for copying.
  assert.ok(await page.isVisible('#ins_text'), 'the inserted text is not shown');
  assert.equal(await page.inputValue('#ins_text'), text);
  const names = (await listed(page)).map((s) => s.split(',')[0]);
  assert.ok(!names.includes('note.txt'), 'the text file was attached in insert mode');
});

step('insert mode hands the text to the compose page that opened the window', async () => {
  const text = 'Inserted through the opener.\n';
  await page.goto(`${base}/`);
  const [popup] = await Promise.all([
    context.waitForEvent('page', { timeout: stepTimeout }),
    page.click('text=Insert text from files'),
  ]);
  await popup.waitForSelector('#attach_form');
  await popup.setInputFiles('input[name=newfile]', { name: 'body.txt', mimeType: 'text/plain', buffer: Buffer.from(text) });
  await postByScript(popup, () => popup.click('button.primary'));
  await popup.waitForSelector('#ins_done:not([hidden])');
  await screenshot(popup, 'insert-popup');
  const body = await page.inputValue('#body');
  assert.ok(body.includes(text), `the compose page's body lacks the text: ${JSON.stringify(body)}`);
  await popup.close();
});

step('a new message whose file was refused is opened by a drop on the error page', async () => {
  await page.goto(`${base}/`);
  await page.setInputFiles('form input[name=newfile]', { name: 'eicar.com', mimeType: 'application/octet-stream', buffer: eicar });
  await Promise.all([page.waitForNavigation(), page.click('text=Open a new message with these files')]);
  assert.match((await bodyText(page)), /Attachments of a new message .* The file eicar\.com contains a virus/);
  await screenshot(page, 'new-message-refused');
  // The answer to the drop sends the window on to the compose program.
  await page.evaluate(() => document.documentElement.setAttribute('data-e2e-old', ''));
  await Promise.all([
    page.waitForURL(/\/cgi-bin\/genMail\?keep_attach=1&cpid=\d+/, { timeout: stepTimeout }),
    dropFiles(page, [textFile('report.txt', 4321, 'report')]),
  ]);
  await page.waitForSelector('h1');
  assert.match(await bodyText(page), /New message \(demo stand-in\).*report\.txt, 4321 bytes/);
});

step('the cabinet link carries the compose identifier URL-encoded', async () => {
  const id = 'cab 1&2+3#4%5;é?=';
  await page.goto(`${base}/cgi-bin/attachdesk?atid=${encodeURIComponent(id)}`);
  assert.equal(await page.inputValue('input[name=atid]'), id);
  const href = await page.getAttribute('#cabinet_link', 'href');
  assert.ok(href.startsWith(`/cgi-bin/attachdesk?atid=${encodeURIComponent(id)}&`), href);
  assert.equal(new URL(href, base).searchParams.get('atid'), id);
  assert.equal(new URL(href, base).searchParams.get('dcview'), '1');
  await assertNoTemplateLeftovers(page);
});

// The document cabinet of the demo: alice's own cabinet, the public one
// (salaries.txt is bob's alone) and alice's folder /shared, which bob may read.
const cabinetAtid = 'cab' + Date.now();
const names = async (target) => (await listed(target)).map((s) => s.split(',')[0]);

async function openCabinet(target) {
  await target.goto(`${base}/cgi-bin/attachdesk?atid=${cabinetAtid}`);
  await Promise.all([target.waitForNavigation(), target.click('#cabinet_link')]);
  await target.waitForSelector('#dc_where');
}

async function attachChosen(target, files) {
  for (const file of files) await target.check(`input[name=name][value="${file}"]`);
  await Promise.all([target.waitForNavigation(), target.click('#dc_attach')]);
  await target.waitForSelector('#usage');
}

step('a file of the own cabinet is attached from the cabinet page', async () => {
  await openCabinet(page);
  assert.match(await page.innerText('#dc_where'), /My cabinet: \//);
  assert.match(await page.innerText('#dc_files'), /welcome\.txt.*Start here/s);
  await attachChosen(page, ['welcome.txt']);
  assert.deepEqual(await names(page), ['welcome.txt']);
  await assertNoTemplateLeftovers(page);
});

step('a file of the public cabinet is attached', async () => {
  await openCabinet(page);
  await Promise.all([page.waitForNavigation(), page.click('#dc_public')]);
  assert.match(await page.innerText('#dc_where'), /Public cabinet: \//);
  await attachChosen(page, ['handbook.txt']);
  assert.deepEqual(await names(page), ['welcome.txt', 'handbook.txt']);
});

step('a public file the user may not read gives error 3, the files before it stay', async () => {
  await openCabinet(page);
  await Promise.all([page.waitForNavigation(), page.click('#dc_public')]);
  await attachChosen(page, ['holidays.txt', 'salaries.txt']);
  assert.match(await bodyText(page), /You may not read that file in the document cabinet\./);
  assert.deepEqual(await names(page), ['welcome.txt', 'handbook.txt', 'holidays.txt']);
});

// alice's memo notes (folders "personal" and "work") and the calendar
// export "team" that the demo leaves in tmp/.
const notesAtid = 'notes' + Date.now();

step('a memo note is attached from the note page', async () => {
  await page.goto(`${base}/cgi-bin/attachdesk?atid=${notesAtid}`);
  await Promise.all([page.waitForNavigation(), page.click('#mnote_link')]);
  assert.match(await page.innerText('#mn_folders'), /personal.*work/s);
  await Promise.all([page.waitForNavigation(), page.click('#mn_folders a:text-is("work")')]);
  assert.match(await page.innerText('#mn_where'), /work/);
  assert.match(await page.innerText('#mn_notes'), /Monday meeting\s+Monday_meeting\.txt/);
  await page.check('#mn_notes tr:has-text("Monday meeting") input[name=file]');
  await Promise.all([page.waitForNavigation(), page.click('#mn_attach')]);
  await page.waitForSelector('#usage');
  assert.deepEqual(await names(page), ['Monday_meeting.txt']);
  await assertNoTemplateLeftovers(page);
});

step('a calendar export is attached beside it', async () => {
  await page.goto(`${base}/cgi-bin/attachdesk?atid=${notesAtid}&cal=1&fname=team&title=Team%20meeting`);
  await page.waitForSelector('#usage');
  assert.deepEqual(await names(page), ['Monday_meeting.txt', 'Team meeting.ics']);
  // bob keeps no notes: his window does not offer them.
  await page.setExtraHTTPHeaders({ Authorization: basic('bob') });
  await page.goto(`${base}/cgi-bin/attachdesk?atid=${notesAtid}`);
  assert.equal(await page.$('#mnote_link'), null);
  await page.setExtraHTTPHeaders({ Authorization: basic('alice') });
});

step('the Japanese window shows the same limits', async () => {
  await page.setExtraHTTPHeaders({ Authorization: basic('bob') });
  await page.goto(windowUrl);
  assert.equal(await page.getAttribute('html', 'lang'), 'ja');
  const shown = await usage(page);
  assert.match(shown, new RegExp(`添付ファイル 0 件（上限 ${countLimit} 件）`));
  assert.match(shown, /10240 KB/);
  await postByScript(page, () => dropFiles(page, [textFile('日本語.txt', 300, 'nihongo')]));
  assert.deepEqual(await listed(page), ['日本語.txt, 300 bytes']);
  await assertNoTemplateLeftovers(page);
});

step('a file of a folder another user shares is attached (Japanese page)', async () => {
  await openCabinet(page);
  await page.fill('#dc_owner', 'alice');
  await Promise.all([page.waitForNavigation(), page.click('#dc_shared_form button')]);
  // Only /shared is shared: alice's cabinet itself stays closed to bob.
  assert.match(await page.innerText('#dc_where'), /alice さんのキャビネット: \//);
  assert.match(await bodyText(page), /このフォルダーを開く権限がありません/);
  await page.fill('#dc_owner', 'alice');
  await page.fill('#dc_folder', '/shared');
  await Promise.all([page.waitForNavigation(), page.click('#dc_shared_form button')]);
  assert.match(await page.innerText('#dc_where'), /alice さんのキャビネット: \/shared/);
  assert.match(await page.innerText('#dc_folders'), /drafts/);
  await attachChosen(page, ['project-plan.txt']);
  assert.deepEqual(await names(page), ['project-plan.txt']);
  await assertNoTemplateLeftovers(page);
});
