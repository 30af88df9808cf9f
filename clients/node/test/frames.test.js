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
  if (type === 'E') return { type, text: payload.toString('utf8') };
  if (type !== 'C') return { type };
  const samples = payload.subarray(8);
  const sha256 = createHash('sha256').update(samples).digest('hex');
  return { type, ...decodeChunkHeader(payload), bytes: samples.length, sha256 };
}

function parseInPieces(bytes, cuts) {
  const parser = new FrameParser();
  const ends = [...cuts, bytes.length];
  const frames = ends.flatMap((end, i) => parser.push(bytes.subarray(ends[i - 1] ?? 0, end)));
  assert.equal(parser.finish(), '');
  return frames.map(describe);
}

test('each transcript gives its listed frames, read whole, bytewise, or cut anywhere', () => {
  const names = readdirSync(TRANSCRIPTS).flatMap((f) => f.match(/^(.+)\.out$/)?.[1] ?? []);
  assert.ok(names.length >= 10, `transcripts missing in ${TRANSCRIPTS}`);
  for (const name of names) {
    const out = readFileSync(join(TRANSCRIPTS, `${name}.out`));
    const { frames } = JSON.parse(readFileSync(join(TRANSCRIPTS, `${name}.json`), 'utf8'));
    assert.deepEqual(parseInPieces(out, []), frames, name);
    assert.deepEqual(parseInPieces(out, [...out.keys()].slice(1)), frames, `${name} bytewise`);
    // Two reads split at every byte boundary, where that stays quick.
    for (let cut = 1; out.length < 8192 && cut < out.length; ++cut) {
      assert.deepEqual(parseInPieces(out, [cut]), frames, `${name} cut at ${cut}`);
    }
  }
});

test('a broken stream is one protocol error, and a cut one is reported at the end', () => {
  const pong = Buffer.from('O\0\0\0\0', 'latin1');
  const broken = [
    ['X\0\0\0\0', /unknown frame type 0x58 \('X'\)/],
    ['C\xff\xff\xff\x7f', /declares 2147483647 payload bytes/],
    ['C\x07\0\0\0', /shorter than its 8-byte header/],
  ];
  for (const [bytes, message] of broken) {
    // The frame before the fault is still handed out.
    assert.throws(() => new FrameParser().push(Buffer.concat([pong, Buffer.from(bytes, 'latin1')])),
      (e) => e instanceof ProtocolError && message.test(e.message) && e.frames.length === 1);
  }
  const cut = [
    ['E\x04\0', 'stream cut inside a frame header: 3 of 5 bytes arrived'],
    ['E\x04\0\0\0ab', "stream cut inside a frame 'E': 2 of 4 payload bytes arrived"],
  ];
  for (const [bytes, message] of cut) {
    const parser = new FrameParser();
    assert.deepEqual(parser.push(Buffer.from(bytes, 'latin1')), []);
    assert.equal(parser.finish(), message);
  }
});

test('samples of every format become floats in [-1, 1], from any byte offset', () => {
  const cases = [
    // float, bits, encode one sample, values in, values out
    [true, 32, (b, v, i) => b.writeFloatLE(v, i * 4), [0.25, -1], [0.25, -1]],
    [true, 64, (b, v, i) => b.writeDoubleLE(v, i * 8), [0.5, -0.125], [0.5, -0.125]],
    [false, 16, (b, v, i) => b.writeInt16LE(v, i * 2), [16384, -32768], [0.5, -1]],
    [false, 24, (b, v, i) => b.writeIntLE(v, i * 3, 3), [-4194304, 8388607],
      [-0.5, 8388607 / 8388608]],
    [false, 32, (b, v, i) => b.writeInt32LE(v, i * 4), [1073741824, -2147483648], [0.5, -1]],
  ];
  for (const [isFloat, bits, write, values, expected] of cases) {
    const payload = Buffer.alloc(1 + 8 + values.length * bits / 8).subarray(1); // odd offset
    payload.writeUInt32LE(44100, 0);
    payload.set([2, bits, isFloat ? 1 : 0, 0], 4);
    values.forEach((v, i) => write(payload.subarray(8), v, i));
    const block = decodeBlock(payload);
    assert.deepEqual([...block.samples], expected, `${isFloat ? 'float' : 'int'}${bits}`);
    assert.deepEqual([block.rate, block.channels, block.frames], [44100, 2, 1]);
  }
  const int8 = Buffer.from([0x44, 0xac, 0, 0, 1, 8, 0, 0, 1, 2]);
  assert.equal(decodeBlock(int8), null);
});
