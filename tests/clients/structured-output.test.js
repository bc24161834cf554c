// Structured output and stop sequences as real clients ask for them, against the real server and its built-in
// model, which fills a schema with the name=value pairs of the prompt.
import assert from 'node:assert/strict';
import { test } from 'node:test';

import { createOpenAICompatible } from '@ai-sdk/openai-compatible';
import { generateObject, streamObject } from 'ai';
import OpenAI from 'openai';
import { zodResponseFormat } from 'openai/helpers/zod';
import { z } from 'zod';

import {
    apiKey, baseURL, greeting, greetingAnswer, kRequestTimeoutMs, kTestTimeoutMs, modelID,
} from './support/brindle.js';

const client = new OpenAI({ baseURL, apiKey, timeout: kRequestTimeoutMs, maxRetries: 0 });
const limits = { timeout: kTestTimeoutMs };
const bounded = () => ({ maxRetries: 0, abortSignal: AbortSignal.timeout(kRequestTimeoutMs) });

const Trip = z.object({ city: z.string(), days: z.number().int(), tags: z.array(z.string()) });
const tripPrompt = 'Plan a trip: city="New York" days=3 tags=museums,parks';
const trip = { city: 'New York', days: 3, tags: ['museums', 'parks'] };

async function contentOf(stream) {
    const deltas = [];
    let finish;
    for await (const chunk of stream) {
        const [choice] = chunk.choices;
        if (choice?.delta?.content) deltas.push(choice.delta.content);
        finish = choice?.finish_reason ?? finish;
    }
    return { deltas, text: deltas.join(''), finish };
}

test('the openai package parses a zod format, plain and streamed, from the same JSON text', limits, async (t) => {
    const request = {
        model: modelID,
        messages: [{ role: 'user', content: tripPrompt }],
        response_format: zodResponseFormat(Trip, 'trip'),
    };
    const parsed = await client.chat.completions.parse(request);
    const [choice] = parsed.choices;
    assert.deepEqual(choice.message.parsed, trip);
    assert.equal(choice.finish_reason, 'stop');

    const runner = client.chat.completions.stream(request);
    const deltas = [];
    runner.on('content.delta', ({ delta }) => deltas.push(delta));
    const final = await runner.finalChatCompletion();
    assert.deepEqual(final.choices[0].message.parsed, trip);
    assert.equal(deltas.join(''), choice.message.content, 'the deltas join to the plain answer');
    assert.ok(deltas.length > 1, 'the JSON arrives in pieces');
    t.diagnostic(`parse: ${choice.message.content}; streamed in ${deltas.length} deltas`);
});

test('a format or stop sequences the server cannot honour are the client\'s error', limits, async () => {
    const cases = [
        { name: 'response_format', extra: { response_format: { type: 'json_schema', json_schema: { name: 'x' } } } },
        { name: 'response_format', extra: { response_format: { type: 'yaml' } } },
        { name: 'stop', extra: { stop: ['a', 'b', 'c', 'd', 'e'] } },
        { name: 'stop', extra: { stop: '' } },
    ];
    for (const { name, extra } of cases) {
        for (const stream of [false, true]) {
            const request = { model: modelID, messages: [{ role: 'user', content: greeting }], stream, ...extra };
            await assert.rejects(client.chat.completions.create(request), (error) => {
                assert.ok(error instanceof OpenAI.BadRequestError, `${name}: ${error}`);
                assert.equal(error.type, 'invalid_request_error');
                assert.ok(error.message.includes(`Invalid '${name}'`), error.message);
                return true;
            });
        }
    }
});

test('a stop sequence ends the answer before it, plain and streamed', limits, async (t) => {
    const stop = [', brin', 'never'];
    const expected = greetingAnswer.slice(0, greetingAnswer.indexOf(', brin'));
    const request = { model: modelID, messages: [{ role: 'user', content: greeting }], stop };
    const plain = await client.chat.completions.create(request);
    assert.equal(plain.choices[0].message.content, expected);
    assert.equal(plain.choices[0].finish_reason, 'stop');

    const streamed = await contentOf(await client.chat.completions.create({ ...request, stream: true }));
    assert.equal(streamed.text, expected);
    assert.equal(streamed.finish, 'stop');
    assert.ok(streamed.deltas.every((delta) => !delta.includes(',')), 'no delta carries part of the sequence');
    t.diagnostic(`stop ${JSON.stringify(stop)}: "${plain.choices[0].message.content}", ` +
        `streamed as ${JSON.stringify(streamed.deltas)}`);
});

test('the AI SDK generates and streams objects, by schema and as a JSON object', limits, async (t) => {
    const bySchema = createOpenAICompatible({ name: 'brindle', baseURL, apiKey, supportsStructuredOutputs: true });
    const byObject = createOpenAICompatible({ name: 'brindle', baseURL, apiKey });
    const cases = [
        { label: 'json_schema', model: bySchema.chatModel(modelID), schema: Trip, prompt: tripPrompt, object: trip },
        {
            label: 'json_object', model: byObject.chatModel(modelID), schema: z.object({ city: z.string() }),
            prompt: 'Where? city=Oslo', object: { city: 'Oslo' },
        },
    ];
    for (const { label, model, schema, prompt, object } of cases) {
        const generated = await generateObject({ model, schema, prompt, ...bounded() });
        assert.deepEqual(generated.object, object, label);
        assert.equal(generated.finishReason, 'stop', label);

        const streamed = streamObject({ model, schema, prompt, ...bounded(), onError: () => {} });
        const partials = [];
        for await (const partial of streamed.partialObjectStream) partials.push(partial);
        assert.deepEqual(await streamed.object, object, label);
        assert.deepEqual(partials.at(-1), object, label);
        t.diagnostic(`${label}: ${JSON.stringify(generated.object)}, streamed in ${partials.length} partial objects`);
    }
});
