// The helper's frame stream: a type byte, the payload length (u32 little-endian), the payload.
// FrameParser takes whatever pieces the pipe gives and hands back whole frames in order; anything
// malformed becomes one protocol error, never a huge allocation.

export const FRAME_HEADER_BYTES = 5;
export const CHUNK_HEADER_BYTES = 8;
// Far above any block a capture service delivers; a larger length means the stream is broken.
export const MAX_PAYLOAD_BYTES = 16 * 1024 * 1024;

const KNOWN_TYPES = new Set(['R', 'O', 'E', 'C']);

function describeType(byte) {
  const hex = '0x' + byte.toString(16).toUpperCase().padStart(2, '0');
  return byte >= 0x20 && byte < 0x7f ? `${hex} ('${String.fromCharCode(byte)}')` : hex;
}

export class ProtocolError extends Error {
  constructor(message) {
    super(`protocol error: ${message}`);
    this.name = 'ProtocolError';
    this.code = 'PROTOCOL_ERROR';
  }
}

export class FrameParser {
  #pending = [];      // Buffers received and not yet consumed, from #head on
  #head = 0;
  #pendingBytes = 0;
  #header = null;     // { type, length } of the frame whose payload is awaited

  // Returns the frames completed by `bytes`, as { type: 'R'|'O'|'E'|'C', payload: Buffer }.
  // Throws ProtocolError on an unknown type, an oversized length or a C payload too short; its
  // `frames` are those that came whole before the fault.
  push(bytes) {
    if (bytes.length > 0) {
      this.#pending.push(bytes);
      this.#pendingBytes += bytes.length;
    }
    const frames = [];
    for (;;) {
      if (!this.#header) {
        if (this.#pendingBytes < FRAME_HEADER_BYTES) break;
        try {
          this.#header = this.#parseHeader(this.#take(FRAME_HEADER_BYTES));
        } catch (error) {
          error.frames = frames;
          throw error;
        }
      }
      if (this.#pendingBytes < this.#header.length) break;
      frames.push({ type: this.#header.type, payload: this.#take(this.#header.length) });
      this.#header = null;
    }
    return frames;
  }

  // At the end of the stream: '' if it ended between frames, else what was cut.
  finish() {
    if (this.#header) {
      return `stream cut inside a frame '${this.#header.type}': ${this.#pendingBytes} of ` +
        `${this.#header.length} payload bytes arrived`;
    }
    if (this.#pendingBytes > 0) {
      return `stream cut inside a frame header: ${this.#pendingBytes} of 5 bytes arrived`;
    }
    return '';
  }

  #parseHeader(header) {
    const byte = header[0];
    const length = header.readUInt32LE(1);
    const type = String.fromCharCode(byte);
    if (!KNOWN_TYPES.has(type)) throw new ProtocolError(`unknown frame type ${describeType(byte)}`);
    if (length > MAX_PAYLOAD_BYTES) {
      throw new ProtocolError(`frame ${describeType(byte)} declares ${length} payload bytes, ` +
        `more than the limit of ${MAX_PAYLOAD_BYTES}`);
    }
    if (type === 'C' && length < CHUNK_HEADER_BYTES) {
      throw new ProtocolError(`audio chunk payload of ${length} bytes is shorter than its ` +
        `8-byte header`);
    }
    return { type, length };
  }

  // The next n pending bytes as one Buffer; a view without a copy when one piece holds them.
  #take(n) {
    let out;
    const first = this.#pending[this.#head];
    if (n === 0) {
      out = Buffer.alloc(0);
    } else if (first.length >= n) {
      out = first.subarray(0, n);
      this.#consume(first, n);
    } else {
      out = Buffer.allocUnsafe(n);
      for (let filled = 0; filled < n;) {
        const piece = this.#pending[this.#head];
        const used = Math.min(piece.length, n - filled);
        piece.copy(out, filled, 0, used);
        filled += used;
        this.#consume(piece, used);
      }
    }
    this.#pendingBytes -= n;
    return out;
  }

  // Drops `used` bytes of the first piece. Pieces are skipped by index, not shifted out one by
  // one, so many tiny reads cost no more than a few large ones.
  #consume(piece, used) {
    if (used < piece.length) {
      this.#pending[this.#head] = piece.subarray(used);
      return;
    }
    this.#pending[this.#head++] = undefined;
    if (this.#head === this.#pending.length) {
      this.#pending = [];
      this.#head = 0;
    } else if (this.#head >= 1024 && this.#head * 2 >= this.#pending.length) {
      this.#pending = this.#pending.slice(this.#head);
      this.#head = 0;
    }
  }
}

// The C payload's header: rate (u32 LE), channels, bits per channel, 1 if float, a zero byte.
export function decodeChunkHeader(payload) {
  return {
    rate: payload.readUInt32LE(0),
    channels: payload[4],
    bits: payload[5],
    float: payload[6] !== 0,
  };
}

// Sample readers by format, each giving a value in [-1, 1] for sample i of the bytes. Samples
// are in the machine's byte order, little-endian on every platform the helper runs on.
const CONVERTERS = {
  'f32': null, // copied as they are
  'f64': (b, i) => b.readDoubleLE(i * 8),
  'i16': (b, i) => b.readInt16LE(i * 2) / 32768,
  'i24': (b, i) => b.readIntLE(i * 3, 3) / 8388608,
  'i32': (b, i) => b.readInt32LE(i * 4) / 2147483648,
};

// A C payload as an audio block: { samples: Float32Array (interleaved), rate, channels, frames }.
// Returns null for a format the block cannot be converted from (the header says which).
export function decodeBlock(payload) {
  const format = decodeChunkHeader(payload);
  const bytes = payload.subarray(CHUNK_HEADER_BYTES);
  const key = (format.float ? 'f' : 'i') + format.bits;
  if (!(key in CONVERTERS) || format.channels === 0) return null;
  const width = format.bits / 8;
  const count = Math.floor(bytes.length / width);
  const samples = new Float32Array(count);
  const convert = CONVERTERS[key];
  if (convert) {
    for (let i = 0; i < count; ++i) samples[i] = convert(bytes, i);
  } else {
    // A copy, not a view: the payload may start at any byte offset.
    new Uint8Array(samples.buffer).set(bytes.subarray(0, count * 4));
  }
  return {
    samples,
    rate: format.rate,
    channels: format.channels,
    frames: Math.floor(count / format.channels),
    format,
  };
}
