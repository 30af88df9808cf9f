// The frame parser against the golden transcripts, split every way, and against broken streams;
// the conversion of every sample format the C header can announce.
import assert from 'node:assert/strict';
import { createHash } from 'node:crypto';
import { readFileSync, readdirSync } from 'node:fs';
import { join } from 'node:path';
import { test } from 'node:test';

import { FrameParser, ProtocolError, decodeBlock, decodeChunkHeader } from '../index.js';
import { PACKAGE_DIR } from './support.js';

const TRANSCRIPTS = join(PACKAGE_DIR, '../../docs/transcripts');

// A frame as the transcripts' .json lists it.
function describe({ type, payload }) {
  if (type !== 'C') return type === 'E' ? { type, text: payload.toString('utf8') } : { type };
  const samples = payload.subarray(8);
  const sha256 = createHash('sha256').update(samples).digest('hex');
  return { type, ...decodeChunkHeader(payload), bytes: samples.length, sha256 };
}

test('each transcript gives its listed frames, read whole, bytewise, or cut anywhere', () => {
  const names = readdirSync(TRANSCRIPTS).flatMap((f) => f.match(/^(.+)\.out$/)?.[1] ?? []);
  assert.ok(names.length >= 10, `transcripts missing in ${TRANSCRIPTS}`);
  for (const name of names) {
    const out = readFileSync(join(TRANSCRIPTS, `${name}.out`));
    const { frames } = JSON.parse(readFileSync(join(TRANSCRIPTS, `${name}.json`), 'utf8'));
    // Whole, a byte at a time, and two reads split at every boundary where that stays quick.
    const cutsList = [[], [...out.keys()].slice(1)];
    for (let cut = 1; out.length < 8192 && cut < out.length; ++cut) cutsList.push([cut]);
    for (const cuts of cutsList) {
      const parser = new FrameParser();
      const ends = [...cuts, out.length];
      const got = ends.flatMap((end, i) => parser.push(out.subarray(ends[i - 1] ?? 0, end)));
      assert.deepEqual(got.map(describe), frames, `${name} cut at ${cuts.slice(0, 3)}`);
      assert.equal(parser.finish(), '');
    }
  }
});

test('a broken stream is one protocol error, and a cut one is reported at the end', () => {
  const cases = [
    ['X\0\0\0\0', /unknown frame type 0x58 \('X'\)/],
    ['C\xff\xff\xff\x7f', /declares 2147483647 payload bytes/],
    ['C\x07\0\0\0', /shorter than its 8-byte header/],
    ['E\x04\0', 'stream cut inside a frame header: 3 of 5 bytes arrived'],
    ['E\x04\0\0\0ab', "stream cut inside a frame 'E': 2 of 4 payload bytes arrived"],
  ];
  for (const [bytes, expected] of cases) {
    // After a pong, which is still handed out.
    const stream = Buffer.from(`O\0\0\0\0${bytes}`, 'latin1');
    const parser = new FrameParser();
    if (expected instanceof RegExp) {
      assert.throws(() => parser.push(stream), (e) => e instanceof ProtocolError &&
        expected.test(e.message) && e.frames.length === 1);
    } else {
      assert.deepEqual(parser.push(stream).map((frame) => frame.type), ['O']);
      assert.equal(parser.finish(), expected);
    }
  }
});

test('samples of every format become floats in [-1, 1], from any byte offset', () => {
  // Float flag, bits, the samples as stored (little-endian, as on every machine these tests run
  // on), the values they stand for.
  const cases = [
    [1, 32, new Float32Array([0.25, -1]), [0.25, -1]],
    [1, 64, new Float64Array([0.5, -0.125]), [0.5, -0.125]],
    [0, 16, new Int16Array([16384, -32768]), [0.5, -1]],
    [0, 24, new Uint8Array([0, 0, 0xc0, 0xff, 0xff, 0x7f]), [-0.5, 8388607 / 8388608]],
    [0, 32, new Int32Array([1073741824, -2147483648]), [0.5, -1]],
  ];
  for (const [float, bits, values, expected] of cases) {
    // 44100 Hz, stereo; a byte before it puts the payload at an odd offset.
    const bytes = [0, 0x44, 0xac, 0, 0, 2, bits, float, 0, ...new Uint8Array(values.buffer)];
    const block = decodeBlock(Buffer.from(bytes).subarray(1));
    assert.deepEqual([...block.samples], expected, `${float ? 'float' : 'int'}${bits}`);
  }
  assert.equal(decodeBlock(Buffer.from([0x44, 0xac, 0, 0, 1, 8, 0, 0, 1, 2])), null); // 8-bit
});
