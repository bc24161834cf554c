// A tiny static web server on a loopback port of its own, so that pages it serves come from another origin
// than the server under test.
import { readFile } from 'node:fs/promises';
import http from 'node:http';
import path from 'node:path';

const kContentTypes = { '.html': 'text/html; charset=utf-8', '.js': 'text/javascript; charset=utf-8',
    '.mjs': 'text/javascript; charset=utf-8' };

/** Serves on GET the files under each directory of `mounts` ({ "/": dir, ... }); resolves to { origin, close() }. */
export async function startPageServer(mounts) {
    const server = http.createServer(async (request, response) => {
        const file = request.method === 'GET' ? resolve(mounts, new URL(request.url, 'http://page').pathname) : null;
        const body = file ? await readFile(file).catch(() => null) : null;
        if (!body) return response.writeHead(404, { 'Content-Type': 'text/plain' }).end('not found');
        const type = kContentTypes[path.extname(file)] ?? 'application/octet-stream';
        return response.writeHead(200, { 'Content-Type': type, 'Cache-Control': 'no-store' }).end(body);
    });
    await new Promise((resolveListen, reject) => server.once('error', reject).listen(0, '127.0.0.1', resolveListen));
    return {
        origin: `http://127.0.0.1:${server.address().port}`,
        close: () => new Promise((resolveClose) => server.closeAllConnections() ?? server.close(resolveClose)),
    };
}

// The file a URL path names under the longest matching mount, never outside that mount's directory.
function resolve(mounts, urlPath) {
    const prefix = Object.keys(mounts).filter((p) => urlPath.startsWith(p)).sort((a, b) => b.length - a.length)[0];
    if (prefix === undefined) return null;
    const root = path.resolve(mounts[prefix]);
    const file = path.resolve(root, decodeURIComponent(urlPath.slice(prefix.length)) || 'index.html');
    return file.startsWith(root + path.sep) ? file : null;
}
