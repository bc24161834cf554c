// Web pages in headless Chromium, served from an origin of their own, calling the server across origins.
import assert from 'node:assert/strict';
import { mkdtemp, rm } from 'node:fs/promises';
import os from 'node:os';
import path from 'node:path';
import { after, before, test } from 'node:test';
import { fileURLToPath } from 'node:url';

import { chromium } from 'playwright-core';

import { kRequestTimeoutMs, kTestTimeoutMs, serverOrigin, startCuttingProxy } from './support/brindle.js';
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
async function openPage(name, api = serverOrigin) {
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
    await page.goto(`${pages.origin}/${name}?api=${encodeURIComponent(api)}`);
    return { page, sentToServer, consoleErrors };
}

test('a page streams an answer with fetch and shows it', limits, async (t) => {
    const { page, sentToServer } = await openPage('chat.html');
    t.after(() => page.close());

    await page.fill('#prompt', 'Hello from the browser, word by word');
    await page.click('#send');
    await page.locator('#status').filter({ hasText: /^(done|failed|cut)/ }).waitFor();

    assert.deepEqual([await page.textContent('#status'), await page.textContent('#answer')],
        ['done (stop)', 'You said: Hello from the browser, word by word']);
    assert.ok(Number(await page.textContent('#chunks')) > 3, 'the answer arrived in pieces, not at once');
    // Chromium reports the preflight and the request it guards in either order.
    assert.deepEqual(sentToServer.toSorted(), ['OPTIONS /v1/chat/completions', 'POST /v1/chat/completions']);
});

test("the openai package's browser build needs its X-Stainless-* headers dropped", limits, async (t) => {
    const { page, consoleErrors } = await openPage('sdk.html');
    t.after(() => page.close());

    await page.click('#send');
    await page.locator('#own-header').filter({ hasText: /^(answered|failed)/ }).waitFor();

    assert.deepEqual([await page.textContent('#as-shipped'), await page.textContent('#stripped')],
        ['failed: APIConnectionError: Connection error.', 'answered: You said: Hello from the openai package']);
    assert.ok(consoleErrors.some((text) => /x-stainless-[a-z-]+ is not allowed by Access-Control-Allow-Headers/i
        .test(text)), `Chromium names the refused header: ${consoleErrors.join(' | ')}`);

    // Any other header that is not CORS-safelisted is refused the same way.
    for (const [id, header] of [['organization', 'openai-organization'], ['project', 'openai-project'],
        ['own-header', 'x-trace-id']]) {
        assert.equal(await page.textContent(`#${id}`), 'failed: APIConnectionError: Connection error.', id);
        assert.ok(consoleErrors.some((text) => text.includes(`field ${header} is not allowed`)), `${id}: ${header}`);
    }
});

test('a page reads a paced stream as it comes and cancels it midway', limits, async (t) => {
    const { page } = await openPage('chat.html');
    t.after(() => page.close());

    const pace = 1000;
    await page.fill('#prompt', `Hello [brindle:pace=${pace}]`);
    await page.click('#send');
    await page.locator('#chunks').filter({ hasText: /^2$/ }).waitFor({ timeout: 4 * pace + kRequestTimeoutMs });
    await page.click('#stop');
    await page.locator('#status').filter({ hasText: /^(done|failed|cut|cancelled)/ }).waitFor();

    const times = (await page.textContent('#times')).split(' ').map(Number);
    assert.deepEqual([await page.textContent('#status'), await page.textContent('#answer')],
        ['cancelled after 2 chunks', 'You said:']);
    // Each word waits its pace on the server, so the second cannot come before two of them have passed.
    assert.ok(times[1] >= 2 * pace && times[0] >= pace, `chunks at ${times.join(', ')} ms`);
});

test("a stream cut midway ends the page's reader as a complete one would", limits, async (t) => {
    const proxy = await startCuttingProxy(serverOrigin);
    t.after(() => proxy.close());
    const { page } = await openPage('chat.html', proxy.url);
    t.after(() => page.close());

    await page.click('#send');
    await page.locator('#status').filter({ hasText: /^(done|failed|cut|cancelled)/ }).waitFor();
    // Only the missing done marker tells it apart.
    assert.deepEqual([await page.textContent('#status'), await page.textContent('#answer')], ['cut short', 'You']);
});
