// zarn-audio for Node: starts the zarn-audio helper and gives its audio and commands.
export { ZarnAudio, start } from './lib/helper.js';
export { ZarnAudioError } from './lib/errors.js';
export { FrameParser, ProtocolError, decodeBlock, decodeChunkHeader } from './lib/frames.js';
export { ENV_VAR, HelperNotFoundError, findHelper } from './lib/locate.js';
export { toWav } from './lib/wav.js';
