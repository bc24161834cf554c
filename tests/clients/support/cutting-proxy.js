// A loopback TCP proxy in front of the server that passes an event-stream answer on only up to the end of its
// first event, then closes the client's connection cleanly: what a client sees when the network or the server
// goes away in the middle of a stream. Answers before it on the same connection (a browser's preflight) pass.
import net from 'node:net';

const kEventStream = '\r\nContent-Type: text/event-stream\r\n';
const kHeadEnd = '\r\n\r\n';
const kEventEnd = '\n\n';

/** Starts the proxy towards `target` ("http://127.0.0.1:port"); resolves to { url, close() }. */
export async function startCuttingProxy(target) {
    const { hostname, port } = new URL(target);
    const sockets = new Set();
    const server = net.createServer((client) => {
        const upstream = net.connect(Number(port), hostname);
        sockets.add(client).add(upstream);
        client.on('close', () => sockets.delete(client));
        upstream.on('close', () => sockets.delete(upstream));
        client.on('error', () => upstream.destroy());
        upstream.on('error', () => client.destroy());
        client.pipe(upstream);
        let received = '';
        upstream.on('data', (bytes) => {
            if (client.writableEnded) return;
            const sent = received.length;
            received += bytes.toString('latin1');
            const cut = firstEventEnd(received);
            if (cut < 0) {
                client.write(bytes);
                return;
            }
            upstream.destroy();
            client.end(Buffer.from(received.slice(sent, cut), 'latin1'));
        });
    });
    await new Promise((resolve, reject) => {
        server.once('error', reject);
        server.listen(0, '127.0.0.1', resolve);
    });
    return {
        url: `http://127.0.0.1:${server.address().port}`,
        close: () => {
            for (const socket of sockets) socket.destroy();
            return new Promise((resolve) => server.close(resolve));
        },
    };
}

// Where the first event of the event-stream answer ends, or -1 while it has not all arrived.
function firstEventEnd(received) {
    const stream = received.indexOf(kEventStream);
    if (stream < 0) return -1;
    const head = received.indexOf(kHeadEnd, stream);
    if (head < 0) return -1;
    const event = received.indexOf(kEventEnd, head + kHeadEnd.length);
    return event < 0 ? -1 : event + kEventEnd.length;
}
