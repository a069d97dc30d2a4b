import test from 'node:test';
import assert from 'node:assert/strict';
import { startServer, resolveFile } from '../serve.mjs';

test('static server answers with the right content types and stays inside the UI folder', { timeout: 10000 }, async () => {
  const server = await startServer(0);
  const base = `http://127.0.0.1:${server.address().port}`;
  try {
    const cases = [
      ['/', 200, 'text/html; charset=utf-8'],
      ['/index.html?ws=ws://127.0.0.1:1', 200, 'text/html; charset=utf-8'],
      ['/src/client.js', 200, 'text/javascript; charset=utf-8'],
      ['/headless.mjs', 200, 'text/javascript; charset=utf-8'],
      ['/style.css', 200, 'text/css; charset=utf-8'],
      ['/missing.js', 404, null],
      ['/node_modules/ws/package.json', 404, null],
      ['/%2e%2e/CMakeLists.txt', 404, null],
    ];
    for (const [path, status, type] of cases) {
      const res = await fetch(base + path);
      await res.arrayBuffer();
      assert.deepEqual([res.status, res.headers.get('content-type')], [status, type], path);
    }
    assert.equal((await fetch(`${base}/`, { method: 'POST' })).status, 405);
  } finally {
    server.closeAllConnections();
    await new Promise((resolve) => server.close(resolve));
  }
});

test('resolveFile keeps every path inside the root', () => {
  assert.equal(resolveFile('/srv/ui', '/../etc/passwd'), '/srv/ui/etc/passwd');
  assert.equal(resolveFile('/srv/ui', '/%2e%2e/%2e%2e/etc/passwd'), '/srv/ui/etc/passwd');
  assert.equal(resolveFile('/srv/ui', '/%E0%A4%A'), null);
  assert.equal(resolveFile('/srv/ui', '/.git/config'), null);
});
