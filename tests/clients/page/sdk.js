// The openai package's browser build, as shipped, with the fetch wrapper that the server's fixed
// Access-Control-Allow-Headers list needs, and with that wrapper and headers the list does not allow.
import OpenAI from '/vendor/openai/index.mjs';

const api = new URLSearchParams(location.search).get('api');
const request = { model: 'brindle-core', messages: [{ role: 'user', content: 'Hello from the openai package' }] };

// Drops the X-Stainless-* headers the package adds to every request; the preflight then asks only for
// Content-Type and Authorization, which the server allows.
function fetchWithoutStainlessHeaders(url, init = {}) {
    const headers = new Headers(init.headers);
    for (const name of [...headers.keys()]) if (name.startsWith('x-stainless-')) headers.delete(name);
    return fetch(url, { ...init, headers });
}

function makeClient(options) {
    return new OpenAI({
        baseURL: `${api}/v1`, apiKey: 'page-key', dangerouslyAllowBrowser: true, maxRetries: 0, timeout: 10000,
        ...options,
    });
}

async function show(id, client) {
    const view = document.getElementById(id);
    view.textContent = 'asking';
    try {
        const completion = await client.chat.completions.create(request);
        view.textContent = `answered: ${completion.choices[0].message.content}`;
    } catch (error) {
        view.textContent = `failed: ${error.constructor.name}: ${error.message}`;
    }
}

document.getElementById('send').addEventListener('click', async () => {
    const stripped = { fetch: fetchWithoutStainlessHeaders };
    await show('as-shipped', makeClient({}));
    await show('stripped', makeClient(stripped));
    await show('organization', makeClient({ ...stripped, organization: 'org-brindle' }));
    await show('project', makeClient({ ...stripped, project: 'proj-brindle' }));
    await show('own-header', makeClient({ ...stripped, defaultHeaders: { 'X-Trace-Id': 'brindle' } }));
});
