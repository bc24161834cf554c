// Asks the server for a streamed chat completion with plain fetch and shows the answer as it grows; Stop
// cancels it.
const api = new URLSearchParams(location.search).get('api');
const form = document.getElementById('ask');
const promptField = document.getElementById('prompt');
const statusView = document.getElementById('status');
const chunksView = document.getElementById('chunks');
const timesView = document.getElementById('times');
const answerView = document.getElementById('answer');
let asking = null; // the AbortController of the answer being read

form.addEventListener('submit', (event) => {
    event.preventDefault();
    ask(promptField.value).catch((error) => {
        statusView.textContent = error.name === 'AbortError' ? `cancelled after ${chunksView.textContent} chunks`
            : `failed: ${error.message}`;
    });
});
document.getElementById('stop').addEventListener('click', () => asking?.abort());

async function ask(prompt) {
    answerView.textContent = '';
    chunksView.textContent = '0';
    timesView.textContent = '';
    statusView.textContent = 'asking';
    asking = new AbortController();
    const started = performance.now();
    // JSON and an Authorization header make this a request the browser preflights.
    const response = await fetch(`${api}/v1/chat/completions`, {
        method: 'POST',
        headers: { 'Content-Type': 'application/json', Authorization: 'Bearer page-key' },
        body: JSON.stringify({ model: 'brindle-core', stream: true, messages: [{ role: 'user', content: prompt }] }),
        signal: AbortSignal.any([asking.signal, AbortSignal.timeout(10000)]),
    });
    if (!response.ok) throw new Error(`HTTP ${response.status}: ${await response.text()}`);
    statusView.textContent = 'streaming';
    let finishReason = null;
    let sawDone = false;
    for await (const data of events(response.body)) {
        if (data === '[DONE]') {
            sawDone = true;
            break;
        }
        const chunk = JSON.parse(data);
        if (chunk.error) throw new Error(chunk.error.message);
        const [choice] = chunk.choices;
        if (!choice) continue;
        answerView.textContent += choice.delta.content ?? '';
        chunksView.textContent = String(Number(chunksView.textContent) + 1);
        timesView.textContent += `${timesView.textContent ? ' ' : ''}${Math.round(performance.now() - started)}`;
        finishReason = choice.finish_reason ?? finishReason;
    }
    // The stream ends with the connection: without the done marker the answer may be cut short.
    statusView.textContent = sawDone ? `done (${finishReason})` : 'cut short';
}

// The data of each server-sent event, read from the body as it arrives.
async function* events(body) {
    const reader = body.pipeThrough(new TextDecoderStream()).getReader();
    let buffered = '';
    for (;;) {
        const { value, done } = await reader.read();
        if (done) return;
        buffered += value;
        let end;
        while ((end = buffered.indexOf('\n\n')) >= 0) {
            const event = buffered.slice(0, end);
            buffered = buffered.slice(end + 2);
            const data = event.split('\n').filter((line) => line.startsWith('data: ')).map((line) => line.slice(6));
            if (data.length) yield data.join('\n');
        }
    }
}
