#!/usr/bin/env node
/*
 * The one check of the Node.js version the reference UI needs (the "node" range of
 * package.json's "engines"). Loading it checks: a Node too old gets told what to do on standard
 * error and exits 1 (the UI's scripts import it first, before any package that would fail in
 * a less clear way). Run directly, it also prints the version found.
 *
 *   node ui/node-version.cjs
 *
 * Plain CommonJS with old syntax, so that even a Node too old for the UI runs it to the end.
 */
'use strict';

var MINIMUM = /^>=\s*(\d+(?:\.\d+){0,2})$/.exec(require('./package.json').engines.node.trim())[1];

function parts(version) {
  var numbers = String(version).replace(/^v/, '').split('.').map(Number);
  return [0, 1, 2].map(function (i) { return numbers[i] || 0; });
}

function older(version, than) {
  var a = parts(version);
  var b = parts(than);
  for (var i = 0; i < 3; i++) if (a[i] !== b[i]) return a[i] < b[i];
  return false;
}

/**
 * Why this Node cannot run the UI, or null when it can.
 * @param {string} version e.g. "18.20.4" or "v18.20.4"
 * @param {string} executable where that Node is
 */
function nodeProblem(version, executable) {
  if (!older(version, MINIMUM)) return null;
  return 'Node.js ' + String(version).replace(/^v/, '') + ' (' + executable + ') is too old: the '
    + 'reference UI needs Node.js ' + MINIMUM + ' or later. Install a newer one (Debian 12: '
    + '`apt-get install nodejs` gives 18), or put a newer node first on PATH.';
}

/** Exits 1 with the reason on standard error when the running Node is too old. */
function requireNode() {
  var problem = nodeProblem(process.versions.node, process.execPath);
  if (problem) {
    process.stderr.write(problem + '\n');
    process.exit(1);
  }
}

module.exports = { MINIMUM: MINIMUM, nodeProblem: nodeProblem, requireNode: requireNode };

requireNode();
if (require.main === module) {
  process.stdout.write('Node.js ' + process.versions.node + ' (' + process.execPath + ')\n');
}
