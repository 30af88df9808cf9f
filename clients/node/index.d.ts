import { EventEmitter } from 'node:events';
import { Readable } from 'node:stream';

/** The C frame's header as the helper sent it. */
export interface ChunkFormat {
  rate: number;
  channels: number;
  bits: number;
  float: boolean;
}

/** One block of audio: interleaved samples in [-1, 1]. */
export interface AudioBlock {
  samples: Float32Array;
  rate: number;
  channels: number;
  /** Samples per channel. */
  frames: number;
  format: ChunkFormat;
}

/** A recording made by record(), the input of toWav(). */
export interface Recording {
  samples: Float32Array;
  rate: number;
  channels: number;
}

export type ErrorCode =
  | 'START_FAILED' | 'STREAM_STOPPED' | 'UNKNOWN_COMMAND' | 'HELPER_ERROR' | 'START_TIMEOUT'
  | 'HELPER_EXITED' | 'HELPER_NOT_FOUND' | 'SPAWN_FAILED' | 'PROTOCOL_ERROR' | 'QUIT_TIMEOUT'
  | 'UNSUPPORTED_FORMAT';

export class ZarnAudioError extends Error {
  code: ErrorCode;
  /** The E frame's text, unchanged, for errors the helper reported. */
  helperMessage?: string;
  exitCode?: number | null;
  signal?: NodeJS.Signals | null;
  format?: ChunkFormat;
}

export class HelperNotFoundError extends Error {
  code: 'HELPER_NOT_FOUND';
  /** Every place looked at, in order, with why it did not do. */
  looked: string[];
}

export class ProtocolError extends Error {
  code: 'PROTOCOL_ERROR';
  /** The frames that came whole before the fault, in the push() that met it. */
  frames: Array<{ type: 'R' | 'O' | 'E' | 'C'; payload: Buffer }>;
}

export interface FindOptions {
  /** The helper's path; when given, the only one tried. */
  path?: string;
  /** The environment to read ZARN_AUDIO_PATH and PATH from (default process.env). */
  env?: NodeJS.ProcessEnv;
  platform?: NodeJS.Platform;
  arch?: string;
  packageDir?: string;
}

export interface StartOptions {
  path?: string;
  /** The helper's environment, also used to find it (default process.env). */
  env?: NodeJS.ProcessEnv;
  /** Arguments for the helper: only zarn-audio-sim, the scripted helper, takes any. */
  args?: string[];
  /** For start(): ms to wait for a running capture (default 10000). */
  startTimeout?: number;
}

export class ZarnAudio extends EventEmitter {
  constructor(options?: StartOptions);
  readonly path: string;
  readonly pid: number | undefined;
  /** True from the helper's R until the stream stops with an error or the helper ends. */
  readonly running: boolean;
  readonly armed: boolean;
  /** The exit status once the helper has ended, else null (also when a signal ended it). */
  readonly exitCode: number | null;

  arm(): void;
  disarm(): void;
  /** Resolves with the round trip in milliseconds. */
  ping(): Promise<number>;
  /** Resolves with the exit status; rejects with QUIT_TIMEOUT after `timeout` ms (default 5000). */
  quit(options?: { timeout?: number }): Promise<number>;
  /** Ends the helper at once (default SIGKILL), without a quit. */
  kill(signal?: NodeJS.Signals): void;
  /** Resolves on R; rejects on a failed start, the helper's end, or after `timeout` ms. */
  started(options?: { timeout?: number }): Promise<void>;
  /** The blocks from now on, with backpressure once `highWaterMark` (64) are unread. */
  stream(options?: { highWaterMark?: number }): Readable;
  [Symbol.asyncIterator](): AsyncIterator<AudioBlock>;
  /** Arms if needed, collects `seconds` of audio, disarms if it armed. */
  record(seconds: number): Promise<Recording>;

  on(event: 'running', listener: () => void): this;
  on(event: 'audio', listener: (block: AudioBlock) => void): this;
  on(event: 'error', listener: (error: ZarnAudioError) => void): this;
  on(event: 'exit', listener: (code: number | null, signal: NodeJS.Signals | null) => void): this;
  once(event: 'running', listener: () => void): this;
  once(event: 'audio', listener: (block: AudioBlock) => void): this;
  once(event: 'error', listener: (error: ZarnAudioError) => void): this;
  once(event: 'exit', listener: (code: number | null, signal: NodeJS.Signals | null) => void): this;
}

/** Starts the helper and resolves once its capture runs; on failure it is quit and this rejects. */
export function start(options?: StartOptions): Promise<ZarnAudio>;

/** A recording as a 16-bit PCM WAV file. */
export function toWav(recording: Recording): Buffer;

/** The helper's absolute path; throws HelperNotFoundError listing where it looked. */
export function findHelper(options?: FindOptions): string;
export const ENV_VAR: 'ZARN_AUDIO_PATH';

/** The incremental reader of the helper's frames. */
export class FrameParser {
  /** The frames these bytes complete; throws ProtocolError on a malformed stream. */
  push(bytes: Buffer): Array<{ type: 'R' | 'O' | 'E' | 'C'; payload: Buffer }>;
  /** At the end of the stream: '' if it ended between frames, else what was cut. */
  finish(): string;
}

export function decodeChunkHeader(payload: Buffer): ChunkFormat;
/** A C payload as a block, or null for a format that cannot be converted. */
export function decodeBlock(payload: Buffer): AudioBlock | null;
