'use strict';
// What the browser tests share: Debian's Chromium started headless for the
// demo (its users sign in with basic authentication), and numbered
// screenshots.

const fs = require('node:fs');
const path = require('node:path');
const { chromium } = require('playwright-core');

const basic = (user) => 'Basic ' + Buffer.from(`${user}:${user}`).toString('base64');

// A persistent context in a new profile folder below `out` whose requests
// carry the user's credentials.
async function launch(out, profilePrefix, user) {
  const profile = fs.mkdtempSync(path.join(out, profilePrefix));
  const context = await chromium.launchPersistentContext(profile, {
    executablePath: process.env.E2E_CHROMIUM || '/usr/bin/chromium',
    headless: true,
    args: ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
      '--disable-background-networking', '--disable-component-update', '--disable-sync'],
    extraHTTPHeaders: { Authorization: basic(user) },
    viewport: { width: 900, height: 1000 },
    timeout: 60000,
  });
  return { context, profile };
}

// A function that saves full-page screenshots into `dir` as
// <prefix>NN-<name>.png, numbered in the order taken.
function screenshots(dir, prefix) {
  let number = 0;
  return async (target, name) => {
    number += 1;
    const file = path.join(dir, `${prefix}${String(number).padStart(2, '0')}-${name}.png`);
    await target.screenshot({ path: file, fullPage: true }).catch((e) => {
      console.error(`screenshot ${file} failed: ${e.message}`);
    });
  };
}

module.exports = { basic, launch, screenshots };
