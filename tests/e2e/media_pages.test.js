'use strict';
// The background image, background sound and inline image windows of an HTML
// message in a real browser, opened from the demo's start page (which stands
// in for the compose page), against a running demo (tests/e2e/run.sh starts
// one). The steps run in order; a failed step skips the rest. Each step
// leaves a screenshot in E2E_OUT/screenshots.
//
// Environment: E2E_BASE_URL, E2E_OUT, E2E_CHROMIUM as for attach_window.test.js.

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');
const zlib = require('node:zlib');
const { basic, launch, screenshots } = require('./support.js');

const base = process.env.E2E_BASE_URL || 'http://127.0.0.1:8080';
const out = process.env.E2E_OUT || path.join(os.tmpdir(), 'attachdesk-e2e');
const shots = path.join(out, 'screenshots');
const demoRoot = path.join(out, 'demo', 'root');
const stepTimeout = 30000;

// A real PNG of width x height, in stripes, so that a browser draws it.
function png(width, height) {
  const crcTable = Array.from({ length: 256 }, (_, n) => {
    let c = n;
    for (let k = 0; k < 8; k++) c = c & 1 ? 0xedb88320 ^ (c >>> 1) : c >>> 1;
    return c >>> 0;
  });
  const crc = (buf) => {
    let c = 0xffffffff;
    for (const b of buf) c = crcTable[(c ^ b) & 0xff] ^ (c >>> 8);
    return (c ^ 0xffffffff) >>> 0;
  };
  const chunk = (type, data) => {
    const body = Buffer.concat([Buffer.from(type, 'latin1'), data]);
    const head = Buffer.alloc(4);
    head.writeUInt32BE(data.length);
    const tail = Buffer.alloc(4);
    tail.writeUInt32BE(crc(body));
    return Buffer.concat([head, body, tail]);
  };
  const ihdr = Buffer.alloc(13);
  ihdr.writeUInt32BE(width, 0);
  ihdr.writeUInt32BE(height, 4);
  ihdr[8] = 8; // bit depth
  ihdr[9] = 2; // RGB
  const rows = [];
  for (let y = 0; y < height; y++) {
    const row = Buffer.alloc(1 + 3 * width);
    for (let x = 0; x < width; x++) row.set(y % 8 < 4 ? [70, 130, 200] : [240, 200, 80], 1 + 3 * x);
    rows.push(row);
  }
  return Buffer.concat([Buffer.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a]),
    chunk('IHDR', ihdr), chunk('IDAT', zlib.deflateSync(Buffer.concat(rows))), chunk('IEND', Buffer.alloc(0))]);
}

// Half a second of a 440 Hz tone as 8 kHz 16-bit mono PCM in a WAV file.
function wav() {
  const rate = 8000;
  const samples = rate / 2;
  const data = Buffer.alloc(samples * 2);
  for (let i = 0; i < samples; i++) data.writeInt16LE(Math.round(8000 * Math.sin((2 * Math.PI * 440 * i) / rate)), 2 * i);
  const head = Buffer.alloc(44);
  head.write('RIFF', 0, 'latin1');
  head.writeUInt32LE(36 + data.length, 4);
  head.write('WAVEfmt ', 8, 'latin1');
  head.writeUInt32LE(16, 16);
  head.writeUInt16LE(1, 20); // PCM
  head.writeUInt16LE(1, 22); // mono
  head.writeUInt32LE(rate, 24);
  head.writeUInt32LE(rate * 2, 28);
  head.writeUInt16LE(2, 32);
  head.writeUInt16LE(16, 34);
  head.write('data', 36, 'latin1');
  head.writeUInt32LE(data.length, 40);
  return Buffer.concat([head, data]);
}

let context;
let profile;
let compose;
let failedStep = null;
const windows = {};

const screenshot = screenshots(shots, 'media-');

function step(name, body) {
  test(name, { timeout: 4 * stepTimeout }, async (t) => {
    if (failedStep) {
      t.skip(`skipped: step "${failedStep}" failed`);
      return;
    }
    const slug = name.replace(/[^a-z0-9]+/gi, '-').toLowerCase();
    try {
      const shown = await body();
      await screenshot(shown || compose, slug);
    } catch (e) {
      failedStep = name;
      await screenshot(compose, 'FAILED-' + slug);
      for (const w of Object.values(windows)) await screenshot(w, 'FAILED-window-' + slug);
      throw e;
    }
  });
}

// Opens one of the compose page's windows by its button.
async function openWindow(label) {
  const [popup] = await Promise.all([
    compose.waitForEvent('popup'),
    compose.click(`a.button:has-text("${label}")`),
  ]);
  await popup.waitForLoadState();
  popup.on('pageerror', (e) => console.error(`window script error: ${e.message}`));
  windows[label] = popup;
  return popup;
}

// Submits a window's choose form and waits for the page that answers.
async function submitChoice(win, button) {
  await Promise.all([win.waitForNavigation(), win.click(button)]);
}

// The natural size of the image at url as this page loads it, or null.
function naturalSize(target, url) {
  return target.evaluate((src) => new Promise((resolve) => {
    const img = new Image();
    img.onload = () => resolve([img.naturalWidth, img.naturalHeight]);
    img.onerror = () => resolve(null);
    img.src = src;
  }), url);
}

function listFile(name) {
  return fs.readFileSync(path.join(demoRoot, 'tmp', `alice_1234_${name}.dat`), 'latin1');
}

before(async () => {
  fs.mkdirSync(shots, { recursive: true });
  ({ context, profile } = await launch(out, 'profile-media-', 'alice'));
  context.setDefaultTimeout(stepTimeout);
  compose = context.pages()[0] || (await context.newPage());
  compose.on('pageerror', (e) => console.error(`compose page script error: ${e.message}`));
  await compose.goto(base + '/');
});

after(async () => {
  if (context) await context.close().catch(() => {});
  if (profile) fs.rmSync(profile, { recursive: true, force: true });
});

step('a background image is chosen, previewed and handed to the message', async () => {
  const win = await openWindow('Background image');
  assert.match(await win.innerText('body'), /This message has no background image/);
  await win.setInputFiles('input[name=newfile]', { name: 'stripes.png', mimeType: 'image/png', buffer: png(48, 32) });
  await submitChoice(win, '#use');
  assert.equal(await win.isVisible('.error'), false, 'the page shows an error');
  const swatch = await win.$eval('#swatch', (el) => getComputedStyle(el).backgroundImage);
  const url = swatch.replace(/^url\("?|"?\)$/g, '');
  assert.match(url, /\/cgi-bin\/filedownload\/[0-3][0-9a-f]\/[0-3][0-9a-f]\/[0-9A-F]+alicestripes\.png$/);
  assert.deepEqual(await naturalSize(win, url), [48, 32]);
  const response = await context.request.get(url);
  assert.equal(response.headers()['content-type'], 'image/png');
  assert.equal(response.headers()['x-content-type-options'], 'nosniff');
  assert.match(listFile('BG'), /^stripes\.png;.*\/hashed_store\/.*;\d+;0\n$/);
  // The compose page got it too.
  const background = await compose.$eval('#html_body', (el) => el.style.backgroundImage);
  assert.match(background, /alicestripes\.png/);
  return win;
});

step('the layout is saved in place', async () => {
  const win = windows['Background image'];
  await win.selectOption('#type_select', '2');
  await win.waitForSelector('#saved:not([hidden])');
  assert.match(listFile('BG'), /;2\n$/);
  assert.equal(await compose.$eval('#html_body', (el) => el.style.backgroundSize), 'cover');
  return win;
});

step('a background image is chosen from the document cabinet', async () => {
  const win = windows['Background image'];
  await Promise.all([win.waitForNavigation(), win.click('#cabinet_link')]);
  assert.match(await win.innerText('#dc_where'), /My cabinet: \//);
  await Promise.all([win.waitForNavigation(), win.click('#dc_folders a:has-text("pictures")')]);
  assert.match(await win.innerText('#dc_files'), /sunset\.png.*A background picture/s);
  await win.check('input[name=name][value="sunset.png"]');
  await Promise.all([win.waitForNavigation(), win.click('#dc_attach')]);
  assert.equal(await win.isVisible('.error'), false, 'the page shows an error');
  assert.equal(await win.innerText('#bg_name'), 'sunset.png');
  const swatch = await win.$eval('#swatch', (el) => getComputedStyle(el).backgroundImage);
  const url = swatch.replace(/^url\("?|"?\)$/g, '');
  assert.match(url, /\/cgi-bin\/filedownload\/[0-3][0-9a-f]\/[0-3][0-9a-f]\/[0-9A-F]+alicesunset\.png$/);
  assert.deepEqual(await naturalSize(win, url), [64, 40]);
  assert.match(listFile('BG'), /^sunset\.png;.*\/hashed_store\/.*alicesunset\.png;316;\d\n$/);
  assert.match(await compose.$eval('#html_body', (el) => el.style.backgroundImage), /alicesunset\.png/);
  return win;
});

step('a background sound is chosen and its player plays it', async () => {
  const win = await openWindow('Background sound');
  await win.setInputFiles('input[name=newfile]', { name: 'tone.wav', mimeType: 'audio/wav', buffer: wav() });
  await submitChoice(win, '#use');
  assert.equal(await win.isVisible('.error'), false, 'the page shows an error');
  await win.waitForFunction(() => {
    const player = document.getElementById('player');
    return player && player.readyState >= 1 && player.duration > 0.4;
  });
  assert.match(await win.getAttribute('#download', 'href'), /alicetone\.wav$/);
  assert.equal(await compose.isVisible('#sound_line'), true);
  await compose.waitForFunction(() => document.getElementById('sound').readyState >= 1);
  assert.match(listFile('BS'), /^tone\.wav;.*;8044;0\n$/);
  return win;
});

step('a picture sent as a sound is refused and the sound stays', async () => {
  const win = windows['Background sound'];
  await win.setInputFiles('input[name=newfile]', { name: 'tone.wav', mimeType: 'audio/wav', buffer: png(4, 4) });
  await submitChoice(win, '#use');
  assert.match(await win.innerText('.error'), /not a sound/);
  assert.match(await win.innerText('#bs_name'), /^tone\.wav$/);
  assert.match(listFile('BS'), /^tone\.wav;/);
  return win;
});

step('an inline image is uploaded, previewed and inserted at its size', async () => {
  const win = await openWindow('Insert a picture');
  await win.setInputFiles('input[name=newfile]', { name: 'logo.png', mimeType: 'image/png', buffer: png(64, 40) });
  await win.check('#defsize');
  await win.fill('#owidth', '32');
  await win.fill('#oheight', '20');
  await submitChoice(win, '#use');
  await win.waitForFunction(() => document.getElementById('preview').naturalWidth === 64);
  assert.match(await win.innerText('#ready'), /32 × 20/);
  await win.fill('#alt', 'Our logo');
  await win.click('#insert');
  await win.waitForSelector('#inserted:not([hidden])');
  const inserted = await compose.waitForSelector('#html_body img');
  await compose.waitForFunction((img) => img.complete && img.naturalWidth === 64, inserted);
  assert.deepEqual(await inserted.evaluate((img) => [img.width, img.height, img.alt]), [32, 20, 'Our logo']);
  assert.match(await inserted.getAttribute('src'), /\/cgi-bin\/filedownload\/\d+\.png\/logo\.png$/);
  await compose.bringToFront();
  return compose;
});

step('the Japanese pages are served to a Japanese user', async () => {
  for (const [atid, title] of [['bg1234', '背景画像'], ['bs1234', '背景サウンド'], ['img1234', '画像の挿入']]) {
    const response = await context.request.get(`${base}/cgi-bin/attachdesk?atid=${atid}&init=1`,
      { headers: { Authorization: basic('bob') } });
    assert.equal(response.status(), 200);
    assert.match(await response.text(), new RegExp(`<title>${title}</title>`));
  }
});
