// The official openai package, as a Node program uses it, against the real server and its built-in model.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import OpenAI from 'openai';

import {
    apiKey, baseURL, countingFetch, declinedMessage, failingMidway, failingMidwayMessage, greeting, greetingAnswer,
    kRequestTimeoutMs, kTestTimeoutMs, modelID, overlongConversation, rateLimitedMessage, unavailableBaseURL,
    unavailableMessage, weatherOutput, weatherParameters, weatherPrompt, weatherTool,
} from './support/brindle.js';
import { startCuttingProxy } from './support/cutting-proxy.js';

// No retries: a failure shows up once, at once, and every request is bounded by the timeout alone.
const client = new OpenAI({ baseURL, apiKey, timeout: kRequestTimeoutMs, maxRetries: 0 });
const limits = { timeout: kTestTimeoutMs };
const greetingRequest = { model: modelID, messages: [{ role: 'user', content: greeting }] };

async function readStream(stream) {
    const chunks = [];
    for await (const chunk of stream) chunks.push(chunk);
    return chunks;
}

const textOf = (chunks) => chunks.map((chunk) => chunk.choices[0]?.delta?.content ?? '').join('');

test('a plain and a streamed completion give the same answer and the same usage', limits, async (t) => {
    const plain = await client.chat.completions.create(greetingRequest);
    assert.equal(plain.object, 'chat.completion');
    assert.equal(plain.model, modelID);
    assert.deepEqual(plain.choices.map((c) => [c.message.role, c.message.content, c.finish_reason]),
        [['assistant', greetingAnswer, 'stop']]);
    const { prompt_tokens: promptTokens, completion_tokens: completionTokens, total_tokens: total } = plain.usage;
    assert.ok(promptTokens > 0 && completionTokens > 0, 'token counts are estimated');
    assert.equal(total, promptTokens + completionTokens);
    t.diagnostic(`plain: "${plain.choices[0].message.content}", usage ${JSON.stringify(plain.usage)}`);

    const stream = await client.chat.completions.create(
        { ...greetingRequest, stream: true, stream_options: { include_usage: true } });
    const chunks = await readStream(stream);
    const usageChunk = chunks.at(-1);
    const answerChunks = chunks.slice(0, -1);
    assert.equal(textOf(answerChunks), greetingAnswer);
    assert.ok(answerChunks.length > 3, 'the answer arrives word by word');
    assert.equal(new Set(chunks.map((c) => c.id)).size, 1, 'one id for the whole stream');
    assert.equal(answerChunks[0].choices[0].delta.role, 'assistant');
    assert.ok(answerChunks.slice(1).every((c) => c.choices[0].delta.role === undefined), 'the role comes once');
    assert.equal(answerChunks.at(-1).choices[0].finish_reason, 'stop');
    assert.deepEqual(usageChunk.choices, []);
    assert.deepEqual(usageChunk.usage, plain.usage);
    t.diagnostic(`streamed: ${answerChunks.length} chunks assembling "${textOf(answerChunks)}", ` +
        `usage chunk ${JSON.stringify(usageChunk.usage)}`);
});

test('a tool round trip without streaming', limits, async (t) => {
    const messages = [{ role: 'user', content: weatherPrompt }];
    const call = await client.chat.completions.create({ model: modelID, messages, tools: [weatherTool] });
    const [choice] = call.choices;
    assert.equal(choice.finish_reason, 'tool_calls');
    assert.equal(choice.message.content ?? null, null);
    const [toolCall] = choice.message.tool_calls;
    assert.equal(choice.message.tool_calls.length, 1);
    assert.equal(toolCall.type, 'function');
    assert.equal(toolCall.function.name, 'get_weather');
    assert.deepEqual(JSON.parse(toolCall.function.arguments), { city: 'Oslo' });
    t.diagnostic(`tool call: ${toolCall.function.name}(${toolCall.function.arguments}), id ${toolCall.id}`);

    // A tool message carries no tool name on the wire: the model reads the output under the name "tool"
    // unless the client adds one.
    const cases = [
        { label: 'tool message as the SDK types it', extra: {}, answer: `The tool tool returned: ${weatherOutput}` },
        { label: 'tool message with a name', extra: { name: 'get_weather' },
            answer: `The get_weather tool returned: ${weatherOutput}` },
    ];
    for (const { label, extra, answer } of cases) {
        const toolMessage = { role: 'tool', tool_call_id: toolCall.id, content: weatherOutput, ...extra };
        const followUp = await client.chat.completions.create(
            { model: modelID, messages: [...messages, choice.message, toolMessage], tools: [weatherTool] });
        assert.equal(followUp.choices[0].message.content, answer, label);
        assert.equal(followUp.choices[0].finish_reason, 'stop', label);
        t.diagnostic(`${label}: follow-up answered "${followUp.choices[0].message.content}"`);
    }
});

test('a tool round trip streamed, assembled by the SDK helpers', limits, async (t) => {
    const messages = [{ role: 'user', content: weatherPrompt }];
    const stream = client.chat.completions.stream({ model: modelID, messages, tools: [weatherTool] });
    const argumentsDone = [];
    stream.on('tool_calls.function.arguments.done', (event) => argumentsDone.push(event));
    const assembled = await stream.finalChatCompletion();
    const [choice] = assembled.choices;
    assert.equal(choice.finish_reason, 'tool_calls');
    assert.equal(choice.message.role, 'assistant');
    assert.deepEqual(argumentsDone.map((e) => [e.name, e.arguments]), [['get_weather', '{"city":"Oslo"}']]);
    assert.deepEqual(choice.message.tool_calls.map((c) => [c.function.name, JSON.parse(c.function.arguments)]),
        [['get_weather', { city: 'Oslo' }]]);
    t.diagnostic(`stream helper assembled ${choice.message.tool_calls[0].function.name}` +
        `(${choice.message.tool_calls[0].function.arguments}), finish ${choice.finish_reason}`);

    const calledWith = [];
    const runner = client.chat.completions.runTools({
        model: modelID,
        stream: true,
        messages,
        tools: [{
            type: 'function',
            function: {
                name: 'get_weather',
                parameters: weatherParameters,
                parse: JSON.parse,
                function: (args) => { calledWith.push(args); return weatherOutput; },
            },
        }],
    });
    const finalContent = await runner.finalContent();
    assert.deepEqual(calledWith, [{ city: 'Oslo' }]);
    assert.equal(finalContent, `The tool tool returned: ${weatherOutput}`);
    assert.deepEqual(runner.messages.map((m) => m.role), ['user', 'assistant', 'tool', 'assistant']);
    t.diagnostic(`runTools ran get_weather(${JSON.stringify(calledWith[0])}) and ended with "${finalContent}"`);
});

test('the models list', limits, async (t) => {
    const models = [];
    for await (const model of client.models.list()) models.push(model);
    assert.deepEqual(models, [{ id: modelID, object: 'model', owned_by: 'apple' }]);
    t.diagnostic(`models.list(): ${models.map((m) => m.id).join(', ')}`);
});

test('errors arrive as the SDK error classes', limits, async (t) => {
    const cases = [
        {
            label: 'empty messages',
            call: () => client.chat.completions.create({ model: modelID, messages: [] }),
            errorClass: OpenAI.BadRequestError, status: 400, type: 'invalid_request_error', code: undefined,
            message: 'messages array is empty',
        },
        {
            label: 'conversation past the context window',
            call: () => client.chat.completions.create({ model: modelID, messages: overlongConversation() }),
            errorClass: OpenAI.BadRequestError, status: 400, type: 'invalid_request_error',
            code: 'context_length_exceeded',
            message: "This model's maximum context length has been exceeded by the request.",
        },
        {
            label: 'streamed conversation past the context window',
            call: () => client.chat.completions.create(
                { model: modelID, messages: overlongConversation(), stream: true }),
            errorClass: OpenAI.BadRequestError, status: 400, type: 'invalid_request_error',
            code: 'context_length_exceeded',
            message: "This model's maximum context length has been exceeded by the request.",
        },
        {
            label: 'unknown path',
            call: () => client.get('/no-such-route'),
            errorClass: OpenAI.NotFoundError, status: 404, type: 'api_error', code: undefined,
            message: 'no route for GET /v1/no-such-route',
        },
    ];
    for (const { label, call, errorClass, status, type, code, message } of cases) {
        const error = await call().then(() => assert.fail(`${label}: no error`), (e) => e);
        assert.ok(error instanceof errorClass, `${label}: ${error?.constructor?.name}`);
        assert.ok(error instanceof OpenAI.APIError, label);
        assert.deepEqual([error.status, error.type, error.code ?? undefined, error.error?.message],
            [status, type, code, message], label);
        t.diagnostic(`${label}: ${error.constructor.name} ${error.status} ${error.type}` +
            `${error.code ? ` code ${error.code}` : ''}: ${error.error.message}`);
    }
});

// What follows pins down behaviours that the compatibility notes describe.

test('response limits: the answer stops at a word, the finish reason stays "stop"', limits, async (t) => {
    const cases = [
        { label: 'max_completion_tokens 2', limit: { max_completion_tokens: 2 }, answer: 'You said:' },
        { label: 'max_tokens 2', limit: { max_tokens: 2 }, answer: 'You said:' },
        { label: 'max_completion_tokens 0', limit: { max_completion_tokens: 0 }, answer: '' },
    ];
    for (const { label, limit, answer } of cases) {
        const plain = await client.chat.completions.create({ ...greetingRequest, ...limit });
        assert.deepEqual([plain.choices[0].message.content, plain.choices[0].finish_reason], [answer, 'stop'], label);
        t.diagnostic(`${label}: "${plain.choices[0].message.content}", finish ${plain.choices[0].finish_reason}`);
    }
});

test('an answer without text: the finish chunk has no role, and the stream helper rejects it', limits, async (t) => {
    const request = { ...greetingRequest, max_completion_tokens: 0 };
    const chunks = await readStream(await client.chat.completions.create({ ...request, stream: true }));
    assert.deepEqual(chunks.map((c) => c.choices), [[{ index: 0, delta: {}, finish_reason: 'stop' }]]);
    t.diagnostic(`raw stream: one chunk ${JSON.stringify(chunks[0].choices)}, no role`);

    const helper = client.chat.completions.stream(request);
    await assert.rejects(helper.finalChatCompletion(),
        (e) => e instanceof OpenAI.OpenAIError && e.message === 'missing role for choice 0');
    t.diagnostic('chat.completions.stream(...).finalChatCompletion() rejects: missing role for choice 0');
});

test('a stream cut midway reads as a short answer; the stream helper notices', limits, async (t) => {
    const proxy = await startCuttingProxy(baseURL);
    t.after(() => proxy.close());
    const viaProxy = new OpenAI({ baseURL: `${proxy.url}/v1`, apiKey, timeout: kRequestTimeoutMs, maxRetries: 0 });

    const chunks = await readStream(await viaProxy.chat.completions.create({ ...greetingRequest, stream: true }));
    assert.equal(textOf(chunks), 'You');
    assert.ok(chunks.every((c) => !c.choices[0].finish_reason), 'no finish reason arrived');
    t.diagnostic(`raw stream ended quietly after "${textOf(chunks)}" with no finish_reason and no error`);

    const helper = viaProxy.chat.completions.stream(greetingRequest);
    await assert.rejects(helper.finalChatCompletion(),
        (e) => e instanceof OpenAI.OpenAIError && e.message === 'missing finish_reason for choice 0');
    t.diagnostic('chat.completions.stream(...).finalChatCompletion() rejects: missing finish_reason for choice 0');
});

// The failure roads, reached through the built-in model's directives and a server started unavailable.

test('a 503 and a 429 are sent three times in all, then thrown as the SDK error classes', limits, async (t) => {
    const cases = [
        {
            label: '503 from an unavailable model', url: unavailableBaseURL, content: greeting,
            errorClass: OpenAI.InternalServerError, status: 503, type: 'service_unavailable', code: 'model_not_ready',
            message: unavailableMessage,
        },
        {
            label: '429 from a rate-limited model', url: baseURL, content: `${greeting} [brindle:fail=rateLimited]`,
            errorClass: OpenAI.RateLimitError, status: 429, type: 'rate_limit_error', code: undefined,
            message: rateLimitedMessage,
        },
        {
            label: '429 streamed, before any text', url: baseURL, stream: true,
            content: `${greeting} [brindle:fail=rateLimited]`,
            errorClass: OpenAI.RateLimitError, status: 429, type: 'rate_limit_error', code: undefined,
            message: rateLimitedMessage,
        },
    ];
    // At once, as each waits out the SDK's back-off.
    await Promise.all(cases.map(async ({ label, url, content, stream, errorClass, status, type, code, message }) => {
        const counter = countingFetch();
        const retrying = new OpenAI({ baseURL: url, apiKey, timeout: kRequestTimeoutMs, fetch: counter.fetch });
        const started = performance.now();
        const error = await retrying.chat.completions.create(
            { model: modelID, messages: [{ role: 'user', content }], stream }).then(
            () => assert.fail(`${label}: no error`), (e) => e);
        const seconds = ((performance.now() - started) / 1000).toFixed(1);
        assert.ok(error instanceof errorClass, `${label}: ${error?.constructor?.name}`);
        assert.deepEqual([error.status, error.type, error.code ?? undefined, error.error?.message],
            [status, type, code, message], label);
        assert.equal(counter.requests, 3, `${label}: the default maxRetries of 2`);
        t.diagnostic(`${label}: ${counter.requests} requests in ${seconds} s, then ${error.constructor.name} ` +
            `${error.status} ${error.type}${error.code ? ` code ${error.code}` : ''}: ${error.error.message}`);
    }));
});

test('an error after the stream began is thrown as an APIError without a status', limits, async (t) => {
    const request = { model: modelID, messages: [{ role: 'user', content: failingMidway }] };
    const chunks = [];
    const error = await (async () => {
        for await (const chunk of await client.chat.completions.create({ ...request, stream: true })) chunks.push(chunk);
    })().then(() => assert.fail('no error'), (e) => e);
    assert.equal(textOf(chunks), 'You said:', 'the text before the error arrived');
    assert.ok(error instanceof OpenAI.APIError && !(error instanceof OpenAI.InternalServerError), error.constructor.name);
    assert.deepEqual([error.status, error.message, error.type], [undefined, failingMidwayMessage, 'api_error']);
    t.diagnostic(`raw stream: "${textOf(chunks)}", then ${error.constructor.name} status ${error.status}: ${error.message}`);

    await assert.rejects(client.chat.completions.stream(request).finalChatCompletion(),
        (e) => e instanceof OpenAI.APIError && e.message === failingMidwayMessage);
    t.diagnostic(`chat.completions.stream(...).finalChatCompletion() rejects: APIError ${failingMidwayMessage}`);

    // Plain, the same failure comes before any byte of the answer: an HTTP error.
    const plain = await client.chat.completions.create(request).then(() => assert.fail('no error'), (e) => e);
    assert.ok(plain instanceof OpenAI.InternalServerError);
    assert.deepEqual([plain.status, plain.type, plain.error.message], [500, 'api_error', failingMidwayMessage]);
    t.diagnostic(`plain: ${plain.constructor.name} ${plain.status}: ${plain.error.message}`);
});

test('a refusal: content_filter after some text, a 400 before any', limits, async (t) => {
    const midway = `${greeting} [brindle:fail=guardrailViolation] [brindle:after=2]`;
    const request = { model: modelID, messages: [{ role: 'user', content: midway }] };
    const chunks = await readStream(await client.chat.completions.create({ ...request, stream: true }));
    assert.equal(textOf(chunks), 'You said:');
    assert.equal(chunks.at(-1).choices[0].finish_reason, 'content_filter');
    const assembled = await client.chat.completions.stream(request).finalChatCompletion();
    assert.deepEqual([assembled.choices[0].message.content, assembled.choices[0].finish_reason],
        ['You said:', 'content_filter']);
    t.diagnostic(`streamed: "${textOf(chunks)}", finish ${chunks.at(-1).choices[0].finish_reason}; ` +
        `the stream helper assembles it without complaint`);

    for (const stream of [false, true]) {
        const error = await client.chat.completions.create({
            model: modelID, stream, messages: [{ role: 'user', content: `${greeting} [brindle:fail=guardrailViolation]` }],
        }).then(() => assert.fail('no error'), (e) => e);
        assert.ok(error instanceof OpenAI.BadRequestError);
        assert.deepEqual([error.status, error.code, error.error.message], [400, 'content_filter', declinedMessage]);
        t.diagnostic(`before any text${stream ? ', streamed' : ''}: ${error.constructor.name} ${error.status} ` +
            `code ${error.code}`);
    }
});
