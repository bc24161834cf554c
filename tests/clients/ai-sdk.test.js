// The Vercel AI SDK through its OpenAI-compatible provider, against the real server and its built-in model.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { createOpenAICompatible } from '@ai-sdk/openai-compatible';
import { generateObject, generateText, stepCountIs, streamObject, streamText, tool } from 'ai';
import { z } from 'zod';

import {
    apiKey, baseURL, countingFetch, failingMidway, failingMidwayMessage, greeting, greetingAnswer, kRequestTimeoutMs,
    kTestTimeoutMs, modelID, rateLimitedMessage, startCuttingProxy, Trip, trip, tripPrompt, unavailableBaseURL,
    unavailableMessage, weatherOutput, weatherPrompt,
} from './support/brindle.js';

// includeUsage asks for the usage chunk at the end of every stream.
const brindle = createOpenAICompatible({ name: 'brindle', baseURL, apiKey, includeUsage: true });
const model = brindle.chatModel(modelID);
const limits = { timeout: kTestTimeoutMs };
// No retries, and every call bounded in time.
const bounded = () => ({ maxRetries: 0, abortSignal: AbortSignal.timeout(kRequestTimeoutMs) });

test('generateText and streamText', limits, async () => {
    const result = await generateText({ model, prompt: greeting, ...bounded() });
    assert.deepEqual([result.text, result.finishReason], [greetingAnswer, 'stop']);
    const { inputTokens, outputTokens, totalTokens } = result.usage;
    assert.ok(inputTokens > 0 && outputTokens > 0 && totalTokens === inputTokens + outputTokens, 'estimated');

    const streamed = streamText({ model, prompt: greeting, ...bounded(), onError: () => {} });
    const parts = [];
    for await (const part of streamed.textStream) parts.push(part);
    assert.deepEqual([parts.join(''), await streamed.finishReason], [greetingAnswer, 'stop']);
    assert.ok(parts.length > 3, 'the answer arrives word by word');
    const usage = await streamed.usage;
    assert.deepEqual([usage.inputTokens, usage.outputTokens], [inputTokens, outputTokens], 'the usage chunk read');
});

test('a tool call, run by the SDK and answered from its result, plain and streamed', limits, async () => {
    const streamed = async (options) => {
        const result = streamText({ ...options, onError: () => {} });
        await result.consumeStream();
        return { text: await result.text, steps: await result.steps };
    };
    for (const run of [generateText, streamed]) {
        const calledWith = [];
        const getWeather = tool({
            description: 'Current weather in a city',
            inputSchema: z.object({ city: z.string().describe('The city to look up') }),
            execute: async (input) => { calledWith.push(input); return weatherOutput; },
        });
        const result = await run({
            model, prompt: weatherPrompt, tools: { get_weather: getWeather }, stopWhen: stepCountIs(2), ...bounded(),
        });
        // The tool message carries no tool name, so the model reads the output under the name "tool".
        assert.deepEqual([calledWith, result.steps.map((step) => step.finishReason), result.text],
            [[{ city: 'Oslo' }], ['tool-calls', 'stop'], `The tool tool returned: ${weatherOutput}`]);
        assert.deepEqual(result.steps[0].toolCalls.map((c) => [c.toolName, c.input]), [['get_weather', { city: 'Oslo' }]]);
    }
});

test('a stream cut midway ends with the finish reason "error"', limits, async (t) => {
    const proxy = await startCuttingProxy(baseURL);
    t.after(() => proxy.close());
    const viaProxy = createOpenAICompatible({ name: 'brindle', baseURL: `${proxy.url}/v1`, apiKey, includeUsage: true });
    const errors = [];
    const result = streamText({
        model: viaProxy.chatModel(modelID), prompt: greeting, ...bounded(), onError: ({ error }) => errors.push(error),
    });
    assert.deepEqual([await result.text, await result.finishReason, errors.map((e) => e.message)],
        ['You', 'error', ['Response stream ended without a finish reason.']]);
});

test('a 503 and a 429 are tried three times, then end in a RetryError', limits, async () => {
    const cases = [[unavailableBaseURL, greeting, 503, unavailableMessage],
        [baseURL, `${greeting} [brindle:fail=rateLimited]`, 429, rateLimitedMessage]];
    // At once, as each waits out the SDK's back-off.
    await Promise.all(cases.map(async ([url, prompt, status, message]) => {
        const counter = countingFetch();
        const provider = createOpenAICompatible({ name: 'brindle', baseURL: url, apiKey, fetch: counter.fetch });
        const error = await generateText({
            model: provider.chatModel(modelID), prompt, abortSignal: AbortSignal.timeout(kTestTimeoutMs / 2),
        }).then(() => assert.fail(`${status}: no error`), (e) => e);
        assert.deepEqual([error.name, error.message, error.errors.map((e) => e.statusCode), counter.requests],
            ['AI_RetryError', `Failed after 3 attempts. Last error: ${message}`, [status, status, status], 3]);
    }));
});

test('after the stream began: an error ends it with the finish reason "error", a refusal with "content-filter"',
    limits, async () => {
        const cases = [[failingMidway, 'error', [failingMidwayMessage]],
            [`${greeting} [brindle:fail=guardrailViolation] [brindle:after=2]`, 'content-filter', []]];
        for (const [prompt, finishReason, errors] of cases) {
            const seen = [];
            const result = streamText({ model, prompt, ...bounded(), onError: ({ error }) => seen.push(error) });
            assert.deepEqual([await result.text, await result.finishReason, seen.map((e) => e.message)],
                ['You said:', finishReason, errors], 'the text so far is kept');
        }
    });

test('objects generated and streamed, by schema and as a JSON object', limits, async () => {
    const bySchema = createOpenAICompatible({ name: 'brindle', baseURL, apiKey, supportsStructuredOutputs: true });
    const cases = [
        [bySchema.chatModel(modelID), Trip, tripPrompt, trip],
        [brindle.chatModel(modelID), z.object({ city: z.string() }), 'Where? city=Oslo', { city: 'Oslo' }],
    ];
    for (const [chatModel, schema, prompt, object] of cases) {
        const generated = await generateObject({ model: chatModel, schema, prompt, ...bounded() });
        assert.deepEqual([generated.object, generated.finishReason], [object, 'stop']);
        const streamed = streamObject({ model: chatModel, schema, prompt, ...bounded(), onError: () => {} });
        const partials = [];
        for await (const partial of streamed.partialObjectStream) partials.push(partial);
        assert.deepEqual([await streamed.object, partials.at(-1)], [object, object]);
    }
});
