// Where the helper is looked for, in order, and what the error says when it is nowhere.
import assert from 'node:assert/strict';
import { mkdirSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { HelperNotFoundError, findHelper } from '../index.js';
import { tempDir } from './support.js';

test('path, variable, beside the package, PATH in order; else where it looked', (t) => {
  const root = tempDir(t, 'zn-locate-');
  const program = (dir, mode = 0o755) => {
    mkdirSync(join(root, dir), { recursive: true });
    writeFileSync(join(root, dir, 'zarn-audio'), '#!/bin/sh\n', { mode });
    return join(root, dir, 'zarn-audio');
  };
  const [explicit, fromEnv, bundled, onPath] =
    ['explicit', 'env', 'pkg/bin/linux-x64', 'path'].map((dir) => program(dir));
  const plain = program('plain', 0o644);
  const base = { platform: 'linux', arch: 'x64', packageDir: join(root, 'pkg') };
  const env = { ZARN_AUDIO_PATH: fromEnv, PATH: join(root, 'path') };
  assert.equal(findHelper({ ...base, env, path: explicit }), explicit);
  assert.equal(findHelper({ ...base, env }), fromEnv);
  assert.equal(findHelper({ ...base, env: { PATH: env.PATH } }), bundled);
  assert.equal(findHelper({ ...base, packageDir: root, env: { PATH: env.PATH } }), onPath);

  // Not found: the error lists every place looked at, and a named path is never passed over.
  const missing = join(root, 'none');
  const cases = [
    [{ path: missing }, [`path option: ${missing} (missing)`]],
    [{ path: plain }, [`path option: ${plain} (not executable)`]],
    [{ env: { ...env, ZARN_AUDIO_PATH: missing } }, [`ZARN_AUDIO_PATH: ${missing} (missing)`]],
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
