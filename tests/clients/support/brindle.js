// What every client test shares: where the server under test listens, the bound on every request, and the
// requests the built-in model answers in a known way.
//
// scripts/test-clients.sh starts two servers and passes their addresses: BRINDLE_BASE_URL, and
// BRINDLE_UNAVAILABLE_BASE_URL for one started with --builtin-availability modelNotReady.

function serverAddress(variable, serveArguments) {
    const url = process.env[variable];
    if (!url) {
        throw new Error(`${variable} is not set: run these tests through scripts/test-clients.sh, or start ` +
            `brindle-server ${serveArguments} yourself and set ${variable}=http://127.0.0.1:<port>`);
    }
    return url.replace(/\/+$/, '');
}

/** The server's address without a path, e.g. http://127.0.0.1:8080. */
export const serverOrigin = serverAddress('BRINDLE_BASE_URL', 'serve --port <port>');
/** The base URL an OpenAI-style client is given. */
export const baseURL = `${serverOrigin}/v1`;
/** The base URL of a server whose model is unavailable (modelNotReady): every chat completion is a 503. */
export const unavailableBaseURL = `${serverAddress('BRINDLE_UNAVAILABLE_BASE_URL',
    'serve --port <port> --builtin-availability modelNotReady')}/v1`;
/** The server ignores the key; clients insist on having one. */
export const apiKey = 'brindle-test-key';
export const modelID = 'brindle-core';

/** Every request a client test makes is cut off after this long. */
export const kRequestTimeoutMs = 10_000;
/** Every test ends after this long, whatever it waits for. */
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

/**
 * A conversation well past the built-in model's 4,096-token window (a token is about four characters):
 * twenty turns of 1,000 characters each.
 */
export function overlongConversation() {
    const filler = 'lorem ipsum '.repeat(84).slice(0, 1000);
    const messages = [];
    for (let turn = 0; turn < 10; turn += 1) {
        messages.push({ role: 'user', content: `${turn}: ${filler}` });
        messages.push({ role: 'assistant', content: `You said: ${turn}: ${filler}` });
    }
    messages.push({ role: 'user', content: 'And now?' });
    return messages;
}

/** The answers of the failure roads, as the error table and the stream rules make them. */
export const unavailableMessage =
    'The on-device model is unavailable (modelNotReady). Check Apple Intelligence in System Settings.';
export const rateLimitedMessage = 'The on-device model is rate limited. Retry shortly.';
export const declinedMessage =
    'The on-device model declined this request (Apple Intelligence safety guardrails).';
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
