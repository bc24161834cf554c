// What every client test shares: where the server under test listens, the bound on every request, and the
// requests the built-in model answers in a known way.
//
// scripts/test-clients.sh starts the server and passes its address in BRINDLE_BASE_URL.

const serverURL = process.env.BRINDLE_BASE_URL;
if (!serverURL) {
    throw new Error('BRINDLE_BASE_URL is not set: run these tests through scripts/test-clients.sh, ' +
        'or start brindle-server yourself and set BRINDLE_BASE_URL=http://127.0.0.1:<port>');
}

/** The server's address without a path, e.g. http://127.0.0.1:8080. */
export const serverOrigin = serverURL.replace(/\/+$/, '');
/** The base URL an OpenAI-style client is given. */
export const baseURL = `${serverOrigin}/v1`;
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
