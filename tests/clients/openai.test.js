// The official openai package, as a Node program uses it, against the real server and its built-in model.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import OpenAI from 'openai';
import { zodResponseFormat } from 'openai/helpers/zod';

import {
    apiKey, baseURL, countingFetch, declinedMessage, failingMidway, failingMidwayMessage, greeting, greetingAnswer,
    kRequestTimeoutMs, kTestTimeoutMs, modelID, overlongConversation, rateLimitedMessage, startCuttingProxy, Trip,
    trip, tripPrompt, unavailableBaseURL, unavailableMessage, weatherOutput, weatherParameters, weatherPrompt,
    weatherTool,
} from './support/brindle.js';

// No retries: a failure shows up once, at once, and every request is bounded by the timeout alone.
const client = new OpenAI({ baseURL, apiKey, timeout: kRequestTimeoutMs, maxRetries: 0 });
const limits = { timeout: kTestTimeoutMs };
const ask = (content, extra = {}) => ({ model: modelID, messages: [{ role: 'user', content }], ...extra });
const greetingRequest = ask(greeting);
const failure = (promise) => promise.then(() => assert.fail('no error'), (e) => e);
const errorFields = (e) => [e.status, e.type, e.code ?? undefined, e.error?.message];

async function readStream(stream) {
    const chunks = [];
    for await (const chunk of stream) chunks.push(chunk);
    return chunks;
}
const textOf = (chunks) => chunks.map((chunk) => chunk.choices[0]?.delta?.content ?? '').join('');

test('a plain and a streamed completion give the same answer and the same usage', limits, async () => {
    const plain = await client.chat.completions.create(greetingRequest);
    assert.deepEqual([plain.object, plain.model, plain.choices.map((c) => [c.message.role, c.message.content,
        c.finish_reason])], ['chat.completion', modelID, [['assistant', greetingAnswer, 'stop']]]);
    const { prompt_tokens: prompt, completion_tokens: completion, total_tokens: total } = plain.usage;
    assert.ok(prompt > 0 && completion > 0 && total === prompt + completion, JSON.stringify(plain.usage));

    const chunks = await readStream(await client.chat.completions.create(
        { ...greetingRequest, stream: true, stream_options: { include_usage: true } }));
    const answer = chunks.slice(0, -1);
    assert.equal(textOf(answer), greetingAnswer);
    assert.ok(answer.length > 3, 'the answer arrives word by word');
    assert.equal(new Set(chunks.map((c) => c.id)).size, 1, 'one id for the whole stream');
    assert.deepEqual(answer.map((c) => c.choices[0].delta.role ?? null),
        ['assistant', ...answer.slice(1).map(() => null)], 'the role comes once');
    assert.equal(answer.at(-1).choices[0].finish_reason, 'stop');
    assert.deepEqual([chunks.at(-1).choices, chunks.at(-1).usage], [[], plain.usage]);
});

test('a tool round trip, plain and streamed through the SDK helpers', limits, async () => {
    const messages = [{ role: 'user', content: weatherPrompt }];
    const [choice] = (await client.chat.completions.create({ model: modelID, messages, tools: [weatherTool] })).choices;
    assert.deepEqual([choice.finish_reason, choice.message.content ?? null, choice.message.tool_calls.map((c) =>
        [c.type, c.function.name, JSON.parse(c.function.arguments)])],
    ['tool_calls', null, [['function', 'get_weather', { city: 'Oslo' }]]]);
    // A tool message carries no tool name on the wire: the model reads the output under the name "tool"
    // unless the client adds one.
    for (const [extra, name] of [[{}, 'tool'], [{ name: 'get_weather' }, 'get_weather']]) {
        const toolMessage = { role: 'tool', tool_call_id: choice.message.tool_calls[0].id, content: weatherOutput };
        const followUp = await client.chat.completions.create(
            { model: modelID, messages: [...messages, choice.message, { ...toolMessage, ...extra }], tools: [weatherTool] });
        assert.deepEqual([followUp.choices[0].message.content, followUp.choices[0].finish_reason],
            [`The ${name} tool returned: ${weatherOutput}`, 'stop']);
    }

    const stream = client.chat.completions.stream({ model: modelID, messages, tools: [weatherTool] });
    const argumentsDone = [];
    stream.on('tool_calls.function.arguments.done', (event) => argumentsDone.push([event.name, event.arguments]));
    const assembled = (await stream.finalChatCompletion()).choices[0];
    assert.deepEqual([assembled.finish_reason, assembled.message.role, argumentsDone],
        ['tool_calls', 'assistant', [['get_weather', '{"city":"Oslo"}']]]);

    const calledWith = [];
    const runner = client.chat.completions.runTools({
        model: modelID, stream: true, messages, tools: [{ type: 'function', function: {
            name: 'get_weather', parameters: weatherParameters, parse: JSON.parse,
            function: (args) => { calledWith.push(args); return weatherOutput; },
        } }],
    });
    assert.equal(await runner.finalContent(), `The tool tool returned: ${weatherOutput}`);
    assert.deepEqual([calledWith, runner.messages.map((m) => m.role)],
        [[{ city: 'Oslo' }], ['user', 'assistant', 'tool', 'assistant']]);
});

test('the models list', limits, async () => {
    const models = [];
    for await (const model of client.models.list()) models.push(model);
    assert.deepEqual(models, [{ id: modelID, object: 'model', owned_by: 'apple' }]);
});

test('errors arrive as the SDK error classes', limits, async () => {
    const tooLong = "This model's maximum context length has been exceeded by the request.";
    const invalid = 'invalid_request_error';
    const cases = [
        [ask(greeting, { messages: [] }), OpenAI.BadRequestError, [400, invalid, undefined, 'messages array is empty']],
        [ask('', { messages: overlongConversation() }), OpenAI.BadRequestError,
            [400, invalid, 'context_length_exceeded', tooLong]],
        [ask('', { messages: overlongConversation(), stream: true }), OpenAI.BadRequestError,
            [400, invalid, 'context_length_exceeded', tooLong]],
        [ask(`${greeting} [brindle:fail=guardrailViolation]`), OpenAI.BadRequestError,
            [400, invalid, 'content_filter', declinedMessage]],
        [ask(`${greeting} [brindle:fail=guardrailViolation]`, { stream: true }), OpenAI.BadRequestError,
            [400, invalid, 'content_filter', declinedMessage]],
        // Plain, a failure after some text still comes before any byte of the answer: an HTTP error.
        [ask(failingMidway), OpenAI.InternalServerError, [500, 'api_error', undefined, failingMidwayMessage]],
        [null, OpenAI.NotFoundError, [404, 'api_error', undefined, 'no route for GET /v1/no-such-route']],
    ];
    for (const [request, errorClass, fields] of cases) {
        const error = await failure(request ? client.chat.completions.create(request) : client.get('/no-such-route'));
        assert.ok(error instanceof errorClass, `${fields}: ${error?.constructor?.name}`);
        assert.deepEqual(errorFields(error), fields);
    }
    for (const [name, extra] of [['response_format', { type: 'json_schema', json_schema: { name: 'x' } }],
        ['response_format', { type: 'yaml' }], ['stop', ['a', 'b', 'c', 'd', 'e']], ['stop', '']]) {
        for (const stream of [false, true]) {
            const error = await failure(client.chat.completions.create(ask(greeting, { stream, [name]: extra })));
            assert.ok(error instanceof OpenAI.BadRequestError && error.type === invalid, `${name}: ${error}`);
            assert.ok(error.message.includes(`Invalid '${name}'`), error.message);
        }
    }
});

test('a 503 and a 429 are sent three times in all, then thrown as the SDK error classes', limits, async () => {
    const rateLimited = `${greeting} [brindle:fail=rateLimited]`;
    const cases = [
        [unavailableBaseURL, greeting, false, OpenAI.InternalServerError,
            [503, 'service_unavailable', 'model_not_ready', unavailableMessage]],
        [baseURL, rateLimited, false, OpenAI.RateLimitError, [429, 'rate_limit_error', undefined, rateLimitedMessage]],
        [baseURL, rateLimited, true, OpenAI.RateLimitError, [429, 'rate_limit_error', undefined, rateLimitedMessage]],
    ];
    // At once, as each waits out the SDK's back-off.
    await Promise.all(cases.map(async ([url, content, stream, errorClass, fields]) => {
        const counter = countingFetch();
        const retrying = new OpenAI({ baseURL: url, apiKey, timeout: kRequestTimeoutMs, fetch: counter.fetch });
        const error = await failure(retrying.chat.completions.create(ask(content, { stream })));
        assert.ok(error instanceof errorClass, `${fields}: ${error?.constructor?.name}`);
        assert.deepEqual([...errorFields(error), counter.requests], [...fields, 3], 'the default maxRetries of 2');
    }));
});

test('response limits stop the answer at a word; an answer without text has no role', limits, async () => {
    for (const [limit, answer] of [[{ max_completion_tokens: 2 }, 'You said:'], [{ max_tokens: 2 }, 'You said:'],
        [{ max_completion_tokens: 0 }, '']]) {
        const plain = await client.chat.completions.create({ ...greetingRequest, ...limit });
        assert.deepEqual([plain.choices[0].message.content, plain.choices[0].finish_reason], [answer, 'stop']);
    }
    const empty = { ...greetingRequest, max_completion_tokens: 0 };
    const chunks = await readStream(await client.chat.completions.create({ ...empty, stream: true }));
    assert.deepEqual(chunks.map((c) => c.choices), [[{ index: 0, delta: {}, finish_reason: 'stop' }]]);
    await assert.rejects(client.chat.completions.stream(empty).finalChatCompletion(),
        (e) => e instanceof OpenAI.OpenAIError && e.message === 'missing role for choice 0');
});

test('a stream cut midway reads as a short answer; the stream helper notices', limits, async (t) => {
    const proxy = await startCuttingProxy(baseURL);
    t.after(() => proxy.close());
    const viaProxy = new OpenAI({ baseURL: `${proxy.url}/v1`, apiKey, timeout: kRequestTimeoutMs, maxRetries: 0 });
    const chunks = await readStream(await viaProxy.chat.completions.create({ ...greetingRequest, stream: true }));
    assert.equal(textOf(chunks), 'You');
    assert.ok(chunks.every((c) => !c.choices[0].finish_reason), 'no finish reason arrived');
    await assert.rejects(viaProxy.chat.completions.stream(greetingRequest).finalChatCompletion(),
        (e) => e instanceof OpenAI.OpenAIError && e.message === 'missing finish_reason for choice 0');
});

test('after the stream began: an error is an APIError without a status, a refusal content_filter', limits,
    async () => {
        const chunks = [];
        const error = await failure((async () => {
            for await (const chunk of await client.chat.completions.create(ask(failingMidway, { stream: true }))) {
                chunks.push(chunk);
            }
        })());
        assert.equal(textOf(chunks), 'You said:', 'the text before the error arrived');
        assert.ok(error instanceof OpenAI.APIError && !(error instanceof OpenAI.InternalServerError));
        assert.deepEqual([error.status, error.message, error.type], [undefined, failingMidwayMessage, 'api_error']);
        await assert.rejects(client.chat.completions.stream(ask(failingMidway)).finalChatCompletion(),
            (e) => e instanceof OpenAI.APIError && e.message === failingMidwayMessage);

        const refused = ask(`${greeting} [brindle:fail=guardrailViolation] [brindle:after=2]`);
        const streamed = await readStream(await client.chat.completions.create({ ...refused, stream: true }));
        assert.deepEqual([textOf(streamed), streamed.at(-1).choices[0].finish_reason], ['You said:', 'content_filter']);
        const assembled = (await client.chat.completions.stream(refused).finalChatCompletion()).choices[0];
        assert.deepEqual([assembled.message.content, assembled.finish_reason], ['You said:', 'content_filter']);
    });

test('a zod format is parsed, plain and streamed, from the same JSON text', limits, async () => {
    const request = ask(tripPrompt, { response_format: zodResponseFormat(Trip, 'trip') });
    const [choice] = (await client.chat.completions.parse(request)).choices;
    assert.deepEqual([choice.message.parsed, choice.finish_reason], [trip, 'stop']);
    const runner = client.chat.completions.stream(request);
    const deltas = [];
    runner.on('content.delta', ({ delta }) => deltas.push(delta));
    assert.deepEqual((await runner.finalChatCompletion()).choices[0].message.parsed, trip);
    assert.ok(deltas.length > 1 && deltas.join('') === choice.message.content, 'in pieces, joining to the plain one');
});

test('a stop sequence ends the answer before it, plain and streamed', limits, async () => {
    const request = ask(greeting, { stop: [', brin', 'never'] });
    const expected = greetingAnswer.slice(0, greetingAnswer.indexOf(', brin'));
    const plain = (await client.chat.completions.create(request)).choices[0];
    assert.deepEqual([plain.message.content, plain.finish_reason], [expected, 'stop']);
    const chunks = await readStream(await client.chat.completions.create({ ...request, stream: true }));
    assert.deepEqual([textOf(chunks), chunks.at(-1).choices[0].finish_reason], [expected, 'stop']);
    assert.ok(chunks.every((c) => !(c.choices[0].delta.content ?? '').includes(',')), 'no part of the sequence');
});
