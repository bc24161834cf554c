// What every client test shares: where the server under test listens, the bound on every request, the
// requests the built-in model answers in a known way, and a proxy that cuts a stream midway.
//
// scripts/test-clients.sh starts two servers and passes their addresses: BRINDLE_BASE_URL, and
// BRINDLE_UNAVAILABLE_BASE_URL for one started with --builtin-availability modelNotReady.
import net from 'node:net';

import { z } from 'zod';

function serverAddress(variable) {
    const url = process.env[variable];
    if (!url) throw new Error(`${variable} is not set: run these tests through scripts/test-clients.sh`);
    return url.replace(/\/+$/, '');
}

/** The server's address without a path, e.g. http://127.0.0.1:8080, and the base URL a client is given. */
export const serverOrigin = serverAddress('BRINDLE_BASE_URL');
export const baseURL = `${serverOrigin}/v1`;
/** A server whose model is unavailable (modelNotReady): every chat completion is a 503. */
export const unavailableBaseURL = `${serverAddress('BRINDLE_UNAVAILABLE_BASE_URL')}/v1`;
/** The server ignores the key; clients insist on having one. */
export const apiKey = 'brindle-test-key';
export const modelID = 'brindle-core';
/** Every request is cut off after this long, every test after that long. */
export const kRequestTimeoutMs = 10_000;
export const kTestTimeoutMs = 60_000;

export const greeting = 'Hello there, brindle';
export const greetingAnswer = `You said: ${greeting}`;
/** The prompt that makes the built-in model call get_weather with {"city":"Oslo"}. */
export const weatherPrompt = 'What is the weather like? Use get_weather with city=Oslo';
export const weatherParameters = {
    type: 'object',
    properties: { city: { type: 'string', description: 'The city to look up' } },
    required: ['city'],
};
export const weatherTool = {
    type: 'function',
    function: { name: 'get_weather', description: 'Current weather in a city', parameters: weatherParameters },
};
export const weatherOutput = 'Sunny, 21 C';
/** The built-in model fills a schema with the name=value pairs of the prompt. */
export const Trip = z.object({ city: z.string(), days: z.number().int(), tags: z.array(z.string()) });
export const tripPrompt = 'Plan a trip: city="New York" days=3 tags=museums,parks';
export const trip = { city: 'New York', days: 3, tags: ['museums', 'parks'] };

/** Twenty turns of 1,000 characters: well past the built-in model's 4,096-token window. */
export function overlongConversation() {
    const filler = 'lorem ipsum '.repeat(84).slice(0, 1000);
    return [...Array(10).keys()].flatMap((turn) => [{ role: 'user', content: `${turn}: ${filler}` },
        { role: 'assistant', content: `You said: ${turn}: ${filler}` }]).concat({ role: 'user', content: 'And now?' });
}

/** The answers of the failure roads, as the error table and the stream rules make them. */
export const unavailableMessage =
    'The on-device model is unavailable (modelNotReady). Check Apple Intelligence in System Settings.';
export const rateLimitedMessage = 'The on-device model is rate limited. Retry shortly.';
export const declinedMessage = 'The on-device model declined this request (Apple Intelligence safety guardrails).';
/** The greeting, failing with decodingFailure once two words of the answer ("You said:") are out. */
export const failingMidway = `${greeting} [brindle:fail=decodingFailure] [brindle:after=2]`;
export const failingMidwayMessage = 'The built-in model failed on cue: decodingFailure.';

/** A fetch that counts the requests it sends, to watch a client's retries. */
export function countingFetch() {
    const counter = { requests: 0 };
    counter.fetch = (...args) => {
        counter.requests += 1;
        return fetch(...args);
    };
    return counter;
}

/**
 * A loopback proxy towards `target` ("http://127.0.0.1:port") that passes an event-stream answer on only up to
 * the end of its first event, then closes the client's connection cleanly: what a client sees when the network
 * or the server goes away mid-stream. Answers before it on the connection (a preflight) pass. Resolves to
 * { url, close() }.
 */
export async function startCuttingProxy(target) {
    const { hostname, port } = new URL(target);
    const sockets = new Set();
    const server = net.createServer((client) => {
        const upstream = net.connect(Number(port), hostname);
        for (const [socket, other] of [[client, upstream], [upstream, client]]) {
            sockets.add(socket);
            socket.on('close', () => sockets.delete(socket));
            socket.on('error', () => other.destroy());
        }
        client.pipe(upstream);
        let received = '';
        upstream.on('data', (bytes) => {
            if (client.writableEnded) return;
            const sent = received.length;
            received += bytes.toString('latin1');
            const head = received.indexOf('\r\n\r\n', received.indexOf('\r\nContent-Type: text/event-stream\r\n'));
            const event = received.indexOf('\n\n', head + 4);
            if (!received.includes('text/event-stream') || head < 0 || event < 0) return client.write(bytes);
            upstream.destroy();
            return client.end(Buffer.from(received.slice(sent, event + 2), 'latin1'));
        });
    });
    await new Promise((resolve, reject) => server.once('error', reject).listen(0, '127.0.0.1', resolve));
    return {
        url: `http://127.0.0.1:${server.address().port}`,
        close: () => {
            for (const socket of sockets) socket.destroy();
            return new Promise((resolve) => server.close(resolve));
        },
    };
}
