// What the tests need from the build, passed in by ctest; a missing one fails the test that
// needs it, saying which.
import assert from 'node:assert/strict';
import { mkdtempSync, readFileSync, rmSync } from 'node:fs';
import { dirname, resolve } from 'node:path';
import { fileURLToPath } from 'node:url';

export const PACKAGE_DIR = resolve(dirname(fileURLToPath(import.meta.url)), '..');

export function required(name) {
  assert.ok(process.env[name], `${name} is not set: run these tests through ctest, or set it`);
  return process.env[name];
}

export const sleep = (ms) => new Promise((done) => setTimeout(done, ms));

// Polls `check` every 20 ms until it is true or `ms` have passed; says whether it became true.
export async function waitFor(check, ms) {
  for (const end = Date.now() + ms; Date.now() < end; await sleep(20)) if (check()) return true;
  return check();
}

// True while `pid` runs (a zombie counts as ended: it only waits for its parent to reap it).
export function alive(pid) {
  try {
    return !/^State:\s+Z/m.test(readFileSync(`/proc/${pid}/status`, 'utf8'));
  } catch {
    return false;
  }
}

// A fresh directory, removed when test `t` ends. Under /tmp with a short name: a sound server's
// socket path inside it must fit in 107 bytes.
export function tempDir(t, prefix) {
  const dir = mkdtempSync(`/tmp/${prefix}`);
  t.after(() => rmSync(dir, { recursive: true, force: true }));
  return dir;
}
