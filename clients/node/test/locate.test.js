// Where the helper is looked for, in order, and what the error says when it is nowhere.
import assert from 'node:assert/strict';
import { mkdirSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { HelperNotFoundError, findHelper } from '../index.js';
import { tempDir } from './support.js';

function program(dir, mode = 0o755) {
  mkdirSync(dir, { recursive: true });
  writeFileSync(join(dir, 'zarn-audio'), '#!/bin/sh\n', { mode });
  return join(dir, 'zarn-audio');
}

test('path, variable, beside the package, PATH in order; else where it looked', (t) => {
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

  // Not found: the error lists every place looked at, and a named path is never passed over.
  const notExecutable = program(join(root, 'plain'), 0o644);
  const cases = [
    [{ path: join(root, 'none') }, [`path option: ${join(root, 'none')} (missing)`]],
    [{ path: notExecutable }, [`path option: ${notExecutable} (not executable)`]],
    [{ env: { ZARN_AUDIO_PATH: join(root, 'none'), PATH: join(root, 'path') } },
      [`ZARN_AUDIO_PATH: ${join(root, 'none')} (missing)`]],
    [{ env: { PATH: join(root, 'plain') } }, ['ZARN_AUDIO_PATH: not set',
      `beside the package: ${join(root, 'bin', 'linux-x64', 'zarn-audio')} (missing)`,
      `PATH: ${join(root, 'plain')}`]],
  ];
  for (const [options, looked] of cases) {
    assert.throws(() => findHelper({ ...base, packageDir: root, ...options }),
      (e) => e instanceof HelperNotFoundError && assert.deepEqual(e.looked, looked) === undefined &&
        e.message.includes(looked.at(-1)));
  }
});

