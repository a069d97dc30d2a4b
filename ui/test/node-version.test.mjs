import test from 'node:test';
import assert from 'node:assert/strict';
import { spawnSync } from 'node:child_process';
import { fileURLToPath } from 'node:url';
import nodeVersion from '../node-version.cjs';

const CHECK = fileURLToPath(new URL('../node-version.cjs', import.meta.url));

test('the Node version check accepts the minimum and later, and tells an older Node what to do', () => {
  const { MINIMUM, nodeProblem } = nodeVersion;
  assert.equal(MINIMUM, '18');
  for (const ok of ['18.0.0', 'v18.20.4', '19.0.0', '20.20.2', '22.1.0']) assert.equal(nodeProblem(ok, '/n'), null, ok);
  for (const old of ['17.9.1', 'v16.20.2', '12.22.12', '9.0.0']) {
    assert.equal(nodeProblem(old, '/usr/bin/node'),
      `Node.js ${old.replace('v', '')} (/usr/bin/node) is too old: the reference UI needs Node.js 18 or later. `
      + 'Install a newer one (Debian 12: `apt-get install nodejs` gives 18), or put a newer node first on PATH.');
  }
});

test('run directly, the check prints the running Node and succeeds', () => {
  const run = spawnSync(process.execPath, [CHECK], { encoding: 'utf8', timeout: 10000 });
  assert.deepEqual([run.status, run.stdout], [0, `Node.js ${process.versions.node} (${process.execPath})\n`]);
});
