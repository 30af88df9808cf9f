// Where the helper is looked for, in order, and what the error says when it is nowhere.
import assert from 'node:assert/strict';
import { chmodSync, mkdirSync, writeFileSync } from 'node:fs';
import { join, sep } from 'node:path';
import { test } from 'node:test';

import { HelperNotFoundError, findHelper } from '../index.js';
import { bundledPath, unpackedPath } from '../lib/locate.js';
import { tempDir } from './support.js';

function program(dir, name = 'zarn-audio', mode = 0o755) {
  mkdirSync(dir, { recursive: true });
  const file = join(dir, name);
  writeFileSync(file, '#!/bin/sh\n');
  chmodSync(file, mode);
  return file;
}

test('explicit path, then the variable, then beside the package, then PATH', (t) => {
  const root = tempDir(t, 'zn-locate-');
  const explicit = program(join(root, 'explicit'));
  const fromEnv = program(join(root, 'env'));
  const bundled = program(join(root, 'pkg', 'bin', 'linux-x64'));
  const onPath = program(join(root, 'path'));
  const base = { platform: 'linux', arch: 'x64', packageDir: join(root, 'pkg') };
  const env = { ZARN_AUDIO_PATH: fromEnv, PATH: join(root, 'path') };
  assert.equal(findHelper({ ...base, env, path: explicit }), explicit);
  assert.equal(findHelper({ ...base, env }), fromEnv);
  assert.equal(findHelper({ ...base, env: { PATH: env.PATH } }), bundled);
  assert.equal(findHelper({ ...base, packageDir: root, env: { PATH: env.PATH } }), onPath);
});

test('the error lists every place looked at, and a named path is never passed over', (t) => {
  const root = tempDir(t, 'zn-locate-');
  const notExecutable = program(join(root, 'plain'), 'zarn-audio', 0o644);
  program(join(root, 'path'));
  const cases = [
    [{ path: join(root, 'none') }, [`path option: ${join(root, 'none')} (missing)`]],
    [{ path: notExecutable }, [`path option: ${notExecutable} (not executable)`]],
    [{ path: root }, [`path option: ${root} (not a file)`]],
    [{ env: { ZARN_AUDIO_PATH: join(root, 'none'), PATH: join(root, 'path') } },
      [`ZARN_AUDIO_PATH: ${join(root, 'none')} (missing)`]],
    [{ env: { PATH: join(root, 'plain') } }, ['ZARN_AUDIO_PATH: not set',
      `beside the package: ${join(root, 'bin', 'linux-x64', 'zarn-audio')} (missing)`,
      `PATH: ${join(root, 'plain')}`]],
  ];
  for (const [options, looked] of cases) {
    assert.throws(() => findHelper({ platform: 'linux', arch: 'x64', packageDir: root, ...options }),
      (e) => e instanceof HelperNotFoundError && assert.deepEqual(e.looked, looked) === undefined &&
        e.message.includes(looked.at(-1)));
  }
});

test('Windows names the program .exe; inside an Electron asar the unpacked copy is used', () => {
  assert.ok(bundledPath({ packageDir: 'p', platform: 'win32', arch: 'arm64' })
    .endsWith(join('bin', 'win32-arm64', 'zarn-audio.exe')));
  const inAsar = ['app', 'resources', 'app.asar', 'node_modules', 'zarn-audio'].join(sep);
  assert.equal(unpackedPath(inAsar), inAsar.replace('app.asar', 'app.asar.unpacked'));
});
