// The Vercel AI SDK through its OpenAI-compatible provider, against the real server and its built-in model.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { createOpenAICompatible } from '@ai-sdk/openai-compatible';
import { generateText, stepCountIs, streamText, tool } from 'ai';
import { z } from 'zod';

import {
    apiKey, baseURL, countingFetch, failingMidway, failingMidwayMessage, greeting, greetingAnswer, kRequestTimeoutMs,
    kTestTimeoutMs, modelID, rateLimitedMessage, unavailableBaseURL, unavailableMessage, weatherOutput, weatherPrompt,
} from './support/brindle.js';
import { startCuttingProxy } from './support/cutting-proxy.js';

// includeUsage asks for the usage chunk at the end of every stream.
const brindle = createOpenAICompatible({ name: 'brindle', baseURL, apiKey, includeUsage: true });
const model = brindle.chatModel(modelID);
const limits = { timeout: kTestTimeoutMs };
// No retries, and every call bounded in time.
const bounded = () => ({ maxRetries: 0, abortSignal: AbortSignal.timeout(kRequestTimeoutMs) });

test('generateText', limits, async (t) => {
    const result = await generateText({ model, prompt: greeting, ...bounded() });
    assert.equal(result.text, greetingAnswer);
    assert.equal(result.finishReason, 'stop');
    assert.ok(result.usage.inputTokens > 0 && result.usage.outputTokens > 0, 'token counts are estimated');
    assert.equal(result.usage.totalTokens, result.usage.inputTokens + result.usage.outputTokens);
    t.diagnostic(`generateText: "${result.text}", finish ${result.finishReason}, ` +
        `tokens ${result.usage.inputTokens} in / ${result.usage.outputTokens} out`);
});

test('streamText', limits, async (t) => {
    const result = streamText({ model, prompt: greeting, ...bounded(), onError: () => {} });
    const parts = [];
    for await (const part of result.textStream) parts.push(part);
    assert.equal(parts.join(''), greetingAnswer);
    assert.ok(parts.length > 3, 'the answer arrives word by word');
    assert.equal(await result.finishReason, 'stop');
    const usage = await result.usage;
    assert.ok(usage.inputTokens > 0 && usage.outputTokens > 0, 'the usage chunk was read');
    t.diagnostic(`streamText: ${parts.length} text parts assembling "${parts.join('')}", ` +
        `usage ${usage.inputTokens} in / ${usage.outputTokens} out`);
});

test('a tool call, run by the SDK and answered from its result', limits, async (t) => {
    const runs = [
        { label: 'generateText', run: (options) => generateText(options) },
        {
            label: 'streamText',
            run: async (options) => {
                const result = streamText({ ...options, onError: () => {} });
                await result.consumeStream();
                return { text: await result.text, steps: await result.steps };
            },
        },
    ];
    for (const { label, run } of runs) {
        const calledWith = [];
        const getWeather = tool({
            description: 'Current weather in a city',
            inputSchema: z.object({ city: z.string().describe('The city to look up') }),
            execute: async (input) => { calledWith.push(input); return weatherOutput; },
        });
        const result = await run({
            model, prompt: weatherPrompt, tools: { get_weather: getWeather }, stopWhen: stepCountIs(2), ...bounded(),
        });
        assert.deepEqual(calledWith, [{ city: 'Oslo' }], label);
        const [first, second] = result.steps;
        assert.equal(result.steps.length, 2, label);
        assert.equal(first.finishReason, 'tool-calls', label);
        assert.deepEqual(first.toolCalls.map((c) => [c.toolName, c.input]), [['get_weather', { city: 'Oslo' }]],
            label);
        // The tool message carries no tool name, so the model reads the output under the name "tool".
        assert.equal(result.text, `The tool tool returned: ${weatherOutput}`, label);
        assert.equal(second.finishReason, 'stop', label);
        t.diagnostic(`${label}: called get_weather(${JSON.stringify(calledWith[0])}), then answered "${result.text}"`);
    }
});

test('a stream cut midway ends with the finish reason "error"', limits, async (t) => {
    const proxy = await startCuttingProxy(baseURL);
    t.after(() => proxy.close());
    const viaProxy = createOpenAICompatible(
        { name: 'brindle', baseURL: `${proxy.url}/v1`, apiKey, includeUsage: true });
    const errors = [];
    const result = streamText({
        model: viaProxy.chatModel(modelID), prompt: greeting, ...bounded(), onError: ({ error }) => errors.push(error),
    });
    assert.equal(await result.text, 'You');
    assert.equal(await result.finishReason, 'error');
    assert.deepEqual(errors.map((e) => e.message), ['Response stream ended without a finish reason.']);
    t.diagnostic(`streamText through a cut connection: "${await result.text}", finish ${await result.finishReason}, ` +
        `onError "${errors[0].message}"`);
});

// The failure roads, reached through the built-in model's directives and a server started unavailable.

test('a 503 and a 429 are tried three times, then end in a RetryError', limits, async (t) => {
    const cases = [
        { label: '503 from an unavailable model', url: unavailableBaseURL, prompt: greeting, status: 503,
            message: unavailableMessage },
        { label: '429 from a rate-limited model', url: baseURL, prompt: `${greeting} [brindle:fail=rateLimited]`,
            status: 429, message: rateLimitedMessage },
    ];
    // At once, as each waits out the SDK's back-off.
    await Promise.all(cases.map(async ({ label, url, prompt, status, message }) => {
        const counter = countingFetch();
        const provider = createOpenAICompatible({ name: 'brindle', baseURL: url, apiKey, fetch: counter.fetch });
        const started = performance.now();
        const error = await generateText({
            model: provider.chatModel(modelID), prompt, abortSignal: AbortSignal.timeout(kTestTimeoutMs / 2),
        }).then(() => assert.fail(`${label}: no error`), (e) => e);
        const seconds = ((performance.now() - started) / 1000).toFixed(1);
        assert.equal(error.name, 'AI_RetryError', label);
        assert.equal(error.message, `Failed after 3 attempts. Last error: ${message}`, label);
        assert.deepEqual(error.errors.map((e) => e.statusCode), [status, status, status], label);
        assert.equal(counter.requests, 3, label);
        t.diagnostic(`${label}: ${counter.requests} requests in ${seconds} s, then ${error.name}: ${error.message}`);
    }));
});

test('after the stream began: an error ends it with the finish reason "error", a refusal with "content-filter"',
    limits, async (t) => {
        const cases = [
            { label: 'an error', prompt: failingMidway, finishReason: 'error', errors: [failingMidwayMessage] },
            { label: 'a refusal', prompt: `${greeting} [brindle:fail=guardrailViolation] [brindle:after=2]`,
                finishReason: 'content-filter', errors: [] },
        ];
        for (const { label, prompt, finishReason, errors } of cases) {
            const seen = [];
            const result = streamText({
                model, prompt, ...bounded(), onError: ({ error }) => seen.push(error),
            });
            assert.equal(await result.text, 'You said:', `${label}: the text so far is kept`);
            assert.equal(await result.finishReason, finishReason, label);
            assert.deepEqual(seen.map((e) => e.message), errors, label);
            t.diagnostic(`${label}: streamText kept "${await result.text}", finish ${await result.finishReason}` +
                `${seen.length ? `, onError got ${JSON.stringify(seen[0])}` : ''}`);
        }
    });
