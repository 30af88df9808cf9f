// Every failure this package reports is a ZarnAudioError with a code; for E frames the message is
// the helper's own words, unchanged.

export class ZarnAudioError extends Error {
  constructor(code, message, details = {}) {
    super(message);
    this.name = 'ZarnAudioError';
    this.code = code;
    Object.assign(this, details);
  }
}

const PREFIXES = [
  ['start failed: ', 'START_FAILED'],
  ['no displays available', 'START_FAILED'], // macOS: nothing to capture from, no R follows
  ['stream stopped with error: ', 'STREAM_STOPPED'],
  ['unknown command byte: ', 'UNKNOWN_COMMAND'],
];

// An E frame's text as an error: START_FAILED and STREAM_STOPPED end the audio; the rest do not.
export function helperError(text) {
  const match = PREFIXES.find(([prefix]) => text.startsWith(prefix));
  return new ZarnAudioError(match ? match[1] : 'HELPER_ERROR', text, { helperMessage: text });
}

export function endsAudio(error) {
  return error.code !== 'UNKNOWN_COMMAND' && error.code !== 'HELPER_ERROR' &&
    error.code !== 'UNSUPPORTED_FORMAT';
}
