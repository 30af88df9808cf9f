// The real helper on a private PulseAudio server playing a 440 Hz tone, through the tarball
// `npm pack` makes, installed offline in an empty folder with the helper bundled beside it, where
// the README's five-line example records 5 s.
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { copyFileSync, cpSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync }
  from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { PACKAGE_DIR, required } from './support.js';

const REAL = required('ZARN_AUDIO');
const SERVER = required('ZARN_SOUND_SERVER');

test('npm pack installs offline in an empty folder; its README example records the tone', (t) => {
  const work = mkdtempSync('/tmp/zn-npm-'); // short: the server's socket path must fit in 107 bytes
  const server = join(work, 'pa');
  t.after(() => {
    execFileSync(SERVER, ['stop', server]);
    rmSync(work, { recursive: true, force: true });
  });
  const lines = execFileSync(SERVER, ['start', 'pulseaudio', server, '--owner',
    String(process.pid)], { encoding: 'utf8' });
  const serverEnv = Object.fromEntries(lines.trim().split('\n').map((l) => l.split(/=(.*)/s, 2)));
  execFileSync(SERVER, ['play', server, '440', '0']);
  const staged = join(work, 'package');
  cpSync(PACKAGE_DIR, staged, { recursive: true });
  const bundled = join(staged, 'bin', `${process.platform}-${process.arch}`);
  mkdirSync(bundled, { recursive: true });
  copyFileSync(REAL, join(bundled, 'zarn-audio'));
  const npm = (args, cwd) => execFileSync('npm', args, {
    cwd, encoding: 'utf8', env: { ...process.env, npm_config_cache: join(work, 'cache') },
  });
  const [packed] = JSON.parse(npm(['pack', '--json', '--pack-destination', work], staged));

  const app = join(work, 'app');
  mkdirSync(app);
  npm(['install', '--offline', '--no-audit', '--no-fund', join(work, packed.filename)], app);
  const readme = readFileSync(join(PACKAGE_DIR, 'README.md'), 'utf8');
  writeFileSync(join(app, 'example.mjs'), readme.match(/```js\n(import[^]*?)```/)[1]);
  // ZARN_AUDIO_PATH empty (unset) and no helper on PATH: it must be the one inside the package.
  const env = { ...process.env, ...serverEnv, PATH: '/usr/bin:/bin', ZARN_AUDIO_PATH: '' };
  execFileSync(process.execPath, ['example.mjs'], { cwd: app, env, stdio: 'inherit' });

  // 5 s, mono; the tone's pitch from the zero crossings, and a level near the played 0.5 peak.
  const wav = readFileSync(join(app, 'capture.wav'));
  assert.deepEqual([wav.readUInt16LE(22), wav.length - 44], [1, 2 * 5 * wav.readUInt32LE(24)]);
  const samples = Array.from({ length: (wav.length - 44) / 2 },
    (_, i) => wav.readInt16LE(44 + 2 * i));
  const crossings = samples.filter((v, i) => i > 0 && (samples[i - 1] < 0) !== (v < 0)).length;
  const rms = Math.sqrt(samples.reduce((sum, v) => sum + v * v, 0) / samples.length) / 32768;
  assert.ok(Math.abs(crossings / 10 - 440) < 10, `heard ${crossings / 10} Hz`);
  assert.ok(rms > 0.25 && rms < 0.45, `level ${rms} RMS`);
});
