// ZarnAudio: one helper process, its commands, and its frames as events, promises and streams.
import { spawn } from 'node:child_process';
import { EventEmitter } from 'node:events';
import { performance } from 'node:perf_hooks';
import { Readable } from 'node:stream';

import { ZarnAudioError, endsAudio, helperError } from './errors.js';
import { FrameParser, decodeBlock, decodeChunkHeader } from './frames.js';
import { findHelper } from './locate.js';

const STDERR_KEPT = 4096;
// The helper ends within 3 s of quit whatever its platform does; this leaves it room on a busy
// machine before it is killed.
const QUIT_TIMEOUT_MS = 5000;
const START_TIMEOUT_MS = 10000;

// Helpers still running when this process exits: their standard input is closed on the way out,
// which the helper takes as quit, so none outlives its parent by more than its quit bound.
const live = new Set();
process.on('exit', () => {
  for (const child of live) child.stdin.destroy();
});

export class ZarnAudio extends EventEmitter {
  #child;
  #parser = new FrameParser();
  #running = false;
  #armed = false;
  #exit = null;              // { code, signal } once the process has ended and its output read
  #quitting = null;          // the promise quit() returns
  #fatal = null;             // the error that ended the audio, if one did
  #pings = [];               // { sent, resolve, reject } in the order the pings were sent
  #consumers = new Set();    // streams being fed
  #holds = new Set();        // consumers that asked reading to pause
  #stderr = '';
  #broken = false;           // the output broke the protocol
  #reportedFormats = new Set();

  constructor(options = {}) {
    super();
    const path = findHelper(options);
    this.path = path;
    // A process group of its own, so that a Ctrl-C at the terminal reaches this process alone,
    // which can then quit the helper and keep the audio; if this process dies of it, the helper
    // still ends, on the end of its input. (On Windows that would open a console window.)
    this.#child = spawn(path, options.args ?? [], {
      stdio: ['pipe', 'pipe', 'pipe'], windowsHide: true, env: options.env,
      detached: process.platform !== 'win32',
    });
    live.add(this.#child);
    this.#child.on('error', (error) => this.#onSpawnError(error));
    this.#child.stdin.on('error', () => {}); // a helper that is gone: its exit tells why
    this.#child.stdout.on('data', (bytes) => this.#onData(bytes));
    this.#child.stderr.on('data', (bytes) => {
      if (this.#stderr.length < STDERR_KEPT) this.#stderr += bytes.toString('utf8');
    });
    this.#child.on('close', (code, signal) => this.#onClose(code, signal));
  }

  get pid() { return this.#child.pid; }
  // True from R until the stream stops with an error or the helper ends.
  get running() { return this.#running; }
  get armed() { return this.#armed; }
  // The exit status, or null while the helper runs (or when a signal ended it).
  get exitCode() { return this.#exit ? this.#exit.code : null; }

  arm() {
    this.#send('A');
    this.#armed = true;
  }

  disarm() {
    this.#send('D');
    this.#armed = false;
  }

  // Resolves with the round trip in milliseconds. The reply comes behind the audio written
  // before it, so a consumer that holds the stream up holds the reply up too.
  ping() {
    if (this.#exit || this.#quitting) return Promise.reject(this.#gone('ping'));
    return new Promise((resolve, reject) => {
      this.#pings.push({ sent: performance.now(), resolve, reject });
      this.#send('P');
    });
  }

  // Resolves with the exit status once the helper has ended and all its output was handled.
  // Reading resumes so that a held-up stream cannot keep the helper from finishing its frame.
  quit({ timeout = QUIT_TIMEOUT_MS } = {}) {
    if (this.#quitting) return this.#quitting;
    this.#quitting = new Promise((resolve, reject) => {
      if (this.#exit) return this.#settleQuit(resolve, reject);
      const timer = setTimeout(() => {
        this.#child.kill('SIGKILL');
        reject(new ZarnAudioError('QUIT_TIMEOUT',
          `the helper did not exit within ${timeout} ms of quit and was killed`));
      }, timeout);
      this.once('close', () => {
        clearTimeout(timer);
        this.#settleQuit(resolve, reject);
      });
      this.#send('Q');
      this.#child.stdin.end();
      this.#holds.clear();
      this.#child.stdout.resume();
    });
    return this.#quitting;
  }

  // Ends the helper at once, without a quit; its exit still settles everything waiting on it.
  kill(signal = 'SIGKILL') {
    if (!this.#exit) this.#child.kill(signal);
  }

  // Resolves on R; rejects with the helper's words when the start fails, when the helper ends,
  // or after `timeout` ms.
  started({ timeout = START_TIMEOUT_MS } = {}) {
    if (this.#running) return Promise.resolve();
    if (this.#fatal || this.#exit) return Promise.reject(this.#fatal ?? this.#gone('start'));
    return new Promise((resolve, reject) => {
      const done = (error) => {
        clearTimeout(timer);
        this.off('running', onRunning);
        this.off('_fatal', done);
        if (error) reject(error);
        else resolve();
      };
      const onRunning = () => done(null);
      const timer = setTimeout(() => done(new ZarnAudioError('START_TIMEOUT',
        `the helper did not report a running capture within ${timeout} ms`)), timeout);
      this.on('running', onRunning);
      this.on('_fatal', done);
    });
  }

  // Audio blocks as an object-mode Readable. When it holds `highWaterMark` unread blocks, the
  // helper's output is no longer read, so the helper waits (and the sound server keeps the audio
  // within its bound) until the consumer catches up. The blocks are queued here, not in the
  // Readable (whose own mark is 0), so that an error ends the stream only after every block
  // before it was read.
  stream({ highWaterMark = 64 } = {}) {
    const consumer = {};
    const queue = [];
    let ending = null;     // { error, done } once no block will follow
    let wanted = false;    // the Readable asked for a block and got none yet
    const pump = () => {
      while (wanted && queue.length) wanted = readable.push(queue.shift());
      if (queue.length < highWaterMark) this.#release(consumer);
      if (!queue.length && ending && !ending.done && (wanted || !ending.error)) {
        ending.done = true;
        if (ending.error) readable.destroy(ending.error);
        else readable.push(null);
      }
    };
    const readable = new Readable({
      objectMode: true,
      highWaterMark: 0,
      read: () => {
        wanted = true;
        pump();
      },
      destroy: (error, callback) => {
        this.#consumers.delete(consumer);
        this.#release(consumer);
        callback(error);
      },
    });
    consumer.push = (block) => {
      queue.push(block);
      if (queue.length >= highWaterMark) this.#hold(consumer);
      pump();
    };
    consumer.end = (error) => {
      ending = { error };
      pump();
    };
    if (this.#exit || this.#fatal) consumer.end(this.#fatal);
    else this.#consumers.add(consumer);
    return readable;
  }

  [Symbol.asyncIterator]() {
    return this.stream()[Symbol.asyncIterator]();
  }

  // Arms, collects `seconds` of audio, disarms (if it armed), and resolves with one block
  // { samples, rate, channels }. A change of rate or channels ends the recording early.
  async record(seconds) {
    const armedHere = !this.#armed;
    const pieces = [];
    let format = null;
    let frames = 0;
    const source = this.stream();
    if (armedHere) this.arm();
    try {
      for await (const block of source) {
        format ??= block;
        if (block.rate !== format.rate || block.channels !== format.channels) break;
        const wanted = Math.round(seconds * format.rate) - frames;
        const take = Math.min(wanted, block.frames);
        pieces.push(block.samples.subarray(0, take * block.channels));
        frames += take;
        if (frames >= Math.round(seconds * format.rate)) break;
      }
    } finally {
      source.destroy();
      if (armedHere && !this.#exit) this.disarm();
    }
    return joinBlocks(pieces, format);
  }

  #send(command) {
    if (this.#exit || this.#child.stdin.writableEnded) return;
    this.#child.stdin.write(command);
  }

  #hold(consumer) {
    this.#holds.add(consumer);
    if (!this.#quitting) this.#child.stdout.pause();
  }

  #release(consumer) {
    if (this.#holds.delete(consumer) && this.#holds.size === 0) this.#child.stdout.resume();
  }

  #onData(bytes) {
    if (this.#broken) return;
    let frames;
    try {
      frames = this.#parser.push(bytes);
    } catch (error) {
      // Nothing after a broken frame can be trusted: the helper goes, and its exit is expected.
      this.#broken = true;
      this.#child.kill('SIGKILL');
      for (const frame of error.frames) this.#onFrame(frame);
      this.#endAudio(new ZarnAudioError('PROTOCOL_ERROR', error.message));
      return;
    }
    for (const frame of frames) this.#onFrame(frame);
  }

  #onFrame({ type, payload }) {
    if (type === 'R') {
      this.#running = true;
      this.emit('running');
    } else if (type === 'O') {
      const ping = this.#pings.shift();
      if (ping) ping.resolve(performance.now() - ping.sent);
    } else if (type === 'E') {
      const error = helperError(payload.toString('utf8'));
      if (endsAudio(error)) this.#endAudio(error);
      else this.#report(error);
    } else {
      this.#onChunk(payload);
    }
  }

  #onChunk(payload) {
    const block = decodeBlock(payload);
    if (!block) {
      const f = decodeChunkHeader(payload);
      const key = `${f.float ? 'float' : 'int'}${f.bits} x ${f.channels}`;
      if (this.#reportedFormats.has(key)) return;
      this.#reportedFormats.add(key);
      this.#report(new ZarnAudioError('UNSUPPORTED_FORMAT',
        `audio in a format this package does not convert (${key}); its blocks are dropped`,
        { format: f }));
      return;
    }
    this.emit('audio', block);
    for (const consumer of this.#consumers) consumer.push(block);
  }

  // Errors go to 'error' listeners when there are any: an application that only awaits
  // started(), record() or a stream gets them there, and is not ended by an unheard event.
  #report(error) {
    if (this.listenerCount('error') > 0) this.emit('error', error);
  }

  #endAudio(error) {
    this.#running = false;
    this.#fatal ??= error;
    this.#report(error);
    this.emit('_fatal', error);
    for (const consumer of this.#consumers) consumer.end(error);
    this.#consumers.clear();
  }

  #gone(what) {
    return this.#fatal && this.#exit ? this.#fatal :
      new ZarnAudioError('HELPER_EXITED', `cannot ${what}: the helper has ended or is quitting`);
  }

  // The process never ran (no 'close' follows), or a signal could not be sent (nothing to do).
  #onSpawnError(error) {
    if (this.#child.pid !== undefined) return;
    live.delete(this.#child);
    this.#exit = { code: null, signal: null };
    this.#endAudio(new ZarnAudioError('SPAWN_FAILED',
      `could not start the helper ${this.path}: ${error.message}`, { cause: error }));
    this.emit('exit', null, null);
    this.emit('close');
  }

  #onClose(code, signal) {
    live.delete(this.#child);
    this.#exit = { code, signal };
    // A frame cut short is what a quit may leave (the bound ends the helper mid-write); without
    // a quit it is part of the unexpected exit.
    if (!this.#quitting && !this.#broken) {
      this.#endAudio(this.#unexpectedExit(code, signal, this.#parser.finish()));
    }
    this.#running = false;
    for (const consumer of this.#consumers) consumer.end(null);
    this.#consumers.clear();
    for (const ping of this.#pings.splice(0)) ping.reject(this.#gone('answer a ping'));
    this.emit('exit', code, signal);
    this.emit('close');
  }

  #unexpectedExit(code, signal, cut) {
    const how = signal ? `was killed by ${signal}` : `exited with status ${code}`;
    const details = [cut, this.#stderr.trim()].filter(Boolean).join('; ');
    return new ZarnAudioError('HELPER_EXITED', `the helper ${how} before it was asked to quit` +
      (details ? `: ${details}` : ''), { exitCode: code, signal });
  }

  #settleQuit(resolve, reject) {
    const { code, signal } = this.#exit;
    if (code !== null) resolve(code);
    else if (signal) reject(new ZarnAudioError('HELPER_EXITED', `the helper was killed by ${signal}`));
    else reject(this.#fatal); // it never ran
  }
}

function joinBlocks(pieces, format) {
  const length = pieces.reduce((sum, piece) => sum + piece.length, 0);
  const samples = new Float32Array(length);
  let at = 0;
  for (const piece of pieces) {
    samples.set(piece, at);
    at += piece.length;
  }
  return { samples, rate: format?.rate ?? 0, channels: format?.channels ?? 0 };
}

// Starts the helper and resolves once its capture runs; on failure the helper is quit and the
// promise rejects with the reason (the helper's words when it gave one).
export async function start(options = {}) {
  const audio = new ZarnAudio(options);
  try {
    await audio.started({ timeout: options.startTimeout });
  } catch (error) {
    await audio.quit().catch(() => {});
    throw error;
  }
  return audio;
}
