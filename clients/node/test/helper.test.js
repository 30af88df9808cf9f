// Where the helper is looked for, in order, and what the error says when it is nowhere; the
// package against zarn-audio-sim, the real program on a scripted capture service.
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdirSync, writeFileSync } from 'node:fs';
import { join } from 'node:path';
import { after, test } from 'node:test';

import { HelperNotFoundError, ZarnAudio, findHelper } from '../index.js';
import { PACKAGE_DIR, alive, required, sleep, tempDir, waitFor } from './support.js';

const SIM = required('ZARN_AUDIO_SIM');
// A failed test must not leave a helper running: the runner would wait for it for good.
const made = [];
after(() => made.forEach((audio) => audio.kill()));
function helper(options) {
  made.push(new ZarnAudio({ path: SIM, ...options }));
  return made.at(-1);
}
const sim = (args) => helper({ args }).started().then(() => made.at(-1));
// Counter data: the first sample byte of delivery k is k mod 256, so order and gaps show.
const firstByte = (block) => new Uint8Array(block.samples.buffer)[0];

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

test('R, O, C, E: running, ping, audio in order as events and iterated, the error', async () => {
  const audio = await sim(['chunk=bytes:256,count:20', 'pace=5', 'halt=after:20:gone – ø']);
  assert.ok(audio.running && (await audio.ping()) >= 0);
  const [events, errors, iterated] = [[], [], []];
  audio.on('audio', (block) => events.push(firstByte(block)));
  audio.on('error', (error) => errors.push(error.helperMessage));
  const stream = audio.stream();
  audio.arm();
  await assert.rejects(async () => {
    for await (const block of stream) iterated.push(firstByte(block));
  }, { code: 'STREAM_STOPPED', message: 'stream stopped with error: gone – ø' });
  assert.deepEqual(iterated, events);
  assert.ok(iterated.length > 0 && iterated.every((k, i) => k === iterated[0] + i), `${iterated}`);
  assert.deepEqual(errors, ['stream stopped with error: gone – ø']);
  assert.equal(audio.running, false);
  assert.equal(await audio.quit(), 0);
});

test('a start that fails or never comes is an error saying why; the helper is gone', async (t) => {
  const unrunnable = join(tempDir(t, 'zn-start-'), 'unrunnable');
  writeFileSync(unrunnable, '#!/no/such/interpreter\n', { mode: 0o755 });
  const cases = [
    [{ args: ['start=fail:Connection refused'] },
      { code: 'START_FAILED', message: 'start failed: Connection refused' }],
    [{ args: ['start=hang'] }, { code: 'START_TIMEOUT' }],
    [{ args: ['no-such-token=1'] },
      { code: 'HELPER_EXITED', message: /status 2 .*unknown script token/ }],
    [{ path: unrunnable }, { code: 'SPAWN_FAILED', message: /could not start the helper.*ENOENT/ }],
  ];
  for (const [options, expected] of cases) {
    const audio = helper(options);
    // Long enough for a busy machine, except where the timeout is the point.
    const timeout = expected.code === 'START_TIMEOUT' ? 300 : 5000;
    await assert.rejects(audio.started({ timeout }), expected);
    await audio.quit().catch(() => {});
    assert.ok(audio.pid === undefined || !alive(audio.pid), JSON.stringify(options));
  }
});

test('a slow consumer holds the helper up, loses nothing, and can quit it while held', async () => {
  const audio = await sim(['chunk=bytes:4096', 'pace=1', 'repeat=forever']);
  const [emitted, seen] = [[], []];
  audio.on('audio', (block) => emitted.push(firstByte(block)));
  const stream = audio.stream({ highWaterMark: 4 });
  audio.arm();
  for await (const block of stream) {
    if (seen.push(firstByte(block)) === 10) {
      // Unread, the pipe and the buffers hold a few dozen blocks, not the 800 the sim has ready.
      const before = emitted.length;
      await sleep(800);
      assert.ok(emitted.length - before < 150, `${emitted.length - before} read while asleep`);
    } else if (seen.length === 300) {
      await sleep(300); // held up again, the helper waits on the full pipe
      // 0: it quit in time; past the package's quit timeout it would have been killed.
      assert.equal(await audio.quit(), 0);
      break;
    }
  }
  // Every block read, in the order read (the sim's delivery threads may swap neighbours).
  assert.deepEqual(seen, emitted.slice(0, 300));
});

test('Ctrl-C reaches the parent alone, and the helper ends with its parent', async () => {
  // The parent prints the helper's pid, and on SIGINT whether the helper still answers. Then it
  // is killed, and runs no exit handler: the helper's ending is left to it seeing its input end.
  const parent = `import { start } from ${JSON.stringify(join(PACKAGE_DIR, 'index.js'))};
    const audio = await start({ path: ${JSON.stringify(SIM)}, args: ['repeat=forever'] });
    audio.arm();
    process.on('SIGINT', async () => console.log(await audio.ping().then(() => 'answers',
      (error) => error.code)));
    console.log(audio.pid);`;
  // In a process group of its own, as a shell runs a command; SIGINT goes to the whole group.
  const child = spawn(process.execPath, ['--input-type=module', '-e', parent],
    { stdio: ['ignore', 'pipe', 'inherit'], detached: true });
  const lines = [];
  child.stdout.on('data', (bytes) => lines.push(...bytes.toString().trim().split('\n')));
  assert.ok(await waitFor(() => lines.length > 0, 5000), 'no helper started');
  process.kill(-child.pid, 'SIGINT');
  // The helper, in a group of its own, was spared: it still answers the parent.
  assert.ok(await waitFor(() => lines[1] === 'answers', 5000), `after Ctrl-C: ${lines}`);
  child.kill('SIGKILL');
  const pid = Number(lines[0]);
  assert.ok(await waitFor(() => !alive(pid), 4000), `helper ${pid} outlived its parent`);
});
