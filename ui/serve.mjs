#!/usr/bin/env node
/**
 * Static file server for the UI folder, loopback only:
 *   node ui/serve.mjs [PORT]      (0 or nothing = an ephemeral port)
 * The first stdout line is the URL served, e.g. http://127.0.0.1:8080/
 */
import './node-version.cjs'; // first: a Node too old stops here, saying what to do
import http from 'node:http';
import { readFile } from 'node:fs/promises';
import path from 'node:path';
import { fileURLToPath, pathToFileURL } from 'node:url';

const ROOT = path.dirname(fileURLToPath(import.meta.url));

export const CONTENT_TYPES = Object.freeze({
  '.html': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.json': 'application/json; charset=utf-8',
  '.md': 'text/markdown; charset=utf-8',
  '.svg': 'image/svg+xml',
  '.png': 'image/png',
  '.ico': 'image/x-icon',
});

/**
 * Map a request path to a file under `root`, or null when it would leave the folder or touch
 * dependencies and tests.
 * @param {string} root
 * @param {string} urlPath
 * @returns {string|null}
 */
export function resolveFile(root, urlPath) {
  let decoded;
  try {
    decoded = decodeURIComponent(urlPath.split('?')[0]);
  } catch {
    return null;
  }
  const rel = path.normalize(decoded === '/' ? '/index.html' : decoded).replace(/^[/\\]+/, '');
  const full = path.join(root, rel);
  if (!full.startsWith(root + path.sep)) return null;
  const top = rel.split(/[/\\]/)[0];
  if (top === 'node_modules' || top.startsWith('.')) return null;
  return full;
}

/**
 * Serve `root` on 127.0.0.1.
 * @param {number} port 0 = ephemeral
 * @param {string} [root]
 * @returns {Promise<http.Server>} listening
 */
export function startServer(port, root = ROOT) {
  const server = http.createServer(async (req, res) => {
    const file = req.method === 'GET' || req.method === 'HEAD' ? resolveFile(root, req.url ?? '/') : null;
    if (!file) {
      res.writeHead(req.method === 'GET' || req.method === 'HEAD' ? 404 : 405).end();
      return;
    }
    try {
      const body = await readFile(file);
      const type = CONTENT_TYPES[path.extname(file).toLowerCase()] ?? 'application/octet-stream';
      res.writeHead(200, { 'Content-Type': type, 'Content-Length': body.length, 'Cache-Control': 'no-cache' });
      res.end(req.method === 'HEAD' ? undefined : body);
    } catch {
      res.writeHead(404).end();
    }
  });
  return new Promise((resolve, reject) => {
    server.once('error', reject);
    server.listen(port, '127.0.0.1', () => resolve(server));
  });
}

async function main() {
  const port = Number(process.argv[2] ?? 0);
  if (!Number.isInteger(port) || port < 0 || port > 65535) {
    console.error('usage: node ui/serve.mjs [PORT]');
    process.exit(2);
  }
  const server = await startServer(port);
  console.log(`http://127.0.0.1:${server.address().port}/`);
  const stop = () => {
    server.close(() => process.exit(0));
    server.closeAllConnections();
  };
  process.once('SIGINT', stop);
  process.once('SIGTERM', stop);
}

if (import.meta.url === pathToFileURL(process.argv[1] ?? '').href) main();
