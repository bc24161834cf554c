// Web pages in headless Chromium, served from an origin of their own, calling the server across origins.
import assert from 'node:assert/strict';
import { mkdtemp, rm } from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { chromium } from 'playwright-core';

import { kRequestTimeoutMs, kTestTimeoutMs, serverOrigin } from './support/brindle.js';
import { startPageServer } from './support/page-server.js';

const here = path.dirname(fileURLToPath(import.meta.url));
const limits = { timeout: kTestTimeoutMs };

// Debian's chromium, never a downloaded browser; kept off the network it has no business with.
const kChromium = '/usr/bin/chromium';
const kChromiumArgs = [
    '--no-sandbox', '--disable-gpu', '--disable-quic', '--disable-background-networking',
    '--disable-component-update', '--disable-sync', '--no-first-run',
];

let pages;
let profile;
let browser;

before(async () => {
    pages = await startPageServer({
        '/': path.join(here, 'page'),
        '/vendor/openai/': path.join(here, 'node_modules', 'openai'),
    });
    profile = await mkdtemp(path.join(os.tmpdir(), 'brindle-chromium-'));
    browser = await chromium.launchPersistentContext(profile, {
        executablePath: kChromium, headless: true, args: kChromiumArgs, timeout: kTestTimeoutMs,
    });
    browser.setDefaultTimeout(kRequestTimeoutMs);
}, limits);

after(async () => {
    await browser?.close();
    await pages?.close();
    if (profile) await rm(profile, { recursive: true, force: true });
}, limits);

// Opens a page with the server's address in its query string, recording the requests Chromium sends to the
// server, preflights included, as "METHOD path".
async function openPage(name) {
    const page = await browser.newPage();
    const sentToServer = [];
    const devtools = await browser.newCDPSession(page);
    await devtools.send('Network.enable');
    devtools.on('Network.requestWillBeSent', ({ request }) => {
        const url = new URL(request.url);
        if (url.origin === serverOrigin) sentToServer.push(`${request.method} ${url.pathname}`);
    });
    const consoleErrors = [];
    page.on('console', (message) => { if (message.type() === 'error') consoleErrors.push(message.text()); });
    await page.goto(`${pages.origin}/${name}?api=${encodeURIComponent(serverOrigin)}`);
    return { page, sentToServer, consoleErrors };
}

test('a page streams an answer with fetch and shows it', limits, async (t) => {
    const { page, sentToServer } = await openPage('chat.html');
    t.after(() => page.close());
    t.diagnostic(`page origin ${pages.origin}, server origin ${serverOrigin}`);

    await page.fill('#prompt', 'Hello from the browser, word by word');
    await page.click('#send');
    await page.locator('#status').filter({ hasText: /^(done|failed|cut)/ }).waitFor();

    const shown = {
        status: await page.textContent('#status'),
        answer: await page.textContent('#answer'),
        chunks: Number(await page.textContent('#chunks')),
    };
    assert.deepEqual([shown.status, shown.answer], ['done (stop)', 'You said: Hello from the browser, word by word']);
    assert.ok(shown.chunks > 3, `the answer arrived in pieces, not at once (${shown.chunks} chunks)`);
    // Chromium reports the preflight and the request it guards in either order.
    assert.deepEqual(sentToServer.toSorted(), ['OPTIONS /v1/chat/completions', 'POST /v1/chat/completions']);
    t.diagnostic(`requests seen by Chromium: ${sentToServer.join(', ')}`);
    t.diagnostic(`page shows status "${shown.status}", ${shown.chunks} chunks, answer "${shown.answer}"`);
});

test("the openai package's browser build needs its X-Stainless-* headers dropped", limits, async (t) => {
    const { page, consoleErrors } = await openPage('sdk.html');
    t.after(() => page.close());

    await page.click('#send');
    await page.locator('#stripped').filter({ hasText: /^(answered|failed)/ }).waitFor();

    const asShipped = await page.textContent('#as-shipped');
    const stripped = await page.textContent('#stripped');
    assert.equal(asShipped, 'failed: APIConnectionError: Connection error.');
    assert.ok(consoleErrors.some((text) => /x-stainless-[a-z-]+ is not allowed by Access-Control-Allow-Headers/i
        .test(text)), `Chromium names the refused header: ${consoleErrors.join(' | ')}`);
    assert.equal(stripped, 'answered: You said: Hello from the openai package');
    t.diagnostic(`as shipped: ${asShipped}`);
    t.diagnostic(`Chromium: ${consoleErrors.find((text) => /x-stainless/i.test(text))}`);
    t.diagnostic(`without X-Stainless-* headers: ${stripped}`);
});
