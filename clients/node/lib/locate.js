// Finding the helper executable: an explicit path, then ZARN_AUDIO_PATH, then beside this package
// for the platform and architecture, then PATH. The error names every place that was looked at.
import { accessSync, constants, statSync } from 'node:fs';
import { delimiter, dirname, join, resolve, sep } from 'node:path';
import { fileURLToPath } from 'node:url';

export const ENV_VAR = 'ZARN_AUDIO_PATH';

const PACKAGE_DIR = resolve(dirname(fileURLToPath(import.meta.url)), '..');

export class HelperNotFoundError extends Error {
  constructor(looked) {
    super('zarn-audio helper not found; looked at:\n' + looked.map((l) => `  ${l}`).join('\n'));
    this.name = 'HelperNotFoundError';
    this.code = 'HELPER_NOT_FOUND';
    this.looked = looked;
  }
}

function executableName(platform) {
  return platform === 'win32' ? 'zarn-audio.exe' : 'zarn-audio';
}

// Why `file` cannot be run, or '' when it can.
function unusable(file, platform) {
  try {
    if (!statSync(file).isFile()) return 'not a file';
    if (platform !== 'win32') accessSync(file, constants.X_OK);
    return '';
  } catch (error) {
    return error.code === 'ENOENT' ? 'missing' : error.code === 'EACCES' ? 'not executable' :
      error.message;
  }
}

// Inside an Electron app the package sits in app.asar, which cannot hold a program that runs;
// electron-builder's asarUnpack (and Forge's unpack) put it in app.asar.unpacked beside it.
export function unpackedPath(file) {
  return file.replace(`app.asar${sep}`, `app.asar.unpacked${sep}`);
}

export function bundledPath({ packageDir = PACKAGE_DIR, platform = process.platform,
  arch = process.arch } = {}) {
  return unpackedPath(join(packageDir, 'bin', `${platform}-${arch}`, executableName(platform)));
}

// Returns the helper's absolute path or throws HelperNotFoundError.
export function findHelper({ path, env = process.env, platform = process.platform,
  arch = process.arch, packageDir = PACKAGE_DIR } = {}) {
  const looked = [];
  const check = (label, file) => {
    const why = unusable(file, platform);
    if (!why) return resolve(file);
    looked.push(`${label}: ${file} (${why})`);
    return null;
  };
  // A path given explicitly is the only one tried: falling back would hide the mistake.
  if (path) {
    const found = check('path option', path);
    if (found) return found;
    throw new HelperNotFoundError(looked);
  }
  if (env[ENV_VAR]) {
    const found = check(ENV_VAR, env[ENV_VAR]);
    if (found) return found;
    throw new HelperNotFoundError(looked);
  }
  looked.push(`${ENV_VAR}: not set`);
  const bundled = check('beside the package', bundledPath({ packageDir, platform, arch }));
  if (bundled) return bundled;
  const dirs = (env.PATH ?? env.Path ?? '').split(delimiter).filter(Boolean);
  for (const dir of dirs) {
    const file = join(dir, executableName(platform));
    if (!unusable(file, platform)) return resolve(file);
  }
  looked.push(`PATH: ${dirs.length ? dirs.join(delimiter) : '(empty)'}`);
  throw new HelperNotFoundError(looked);
}
