/// <reference types="node" />

export const MAX_COMMAND: 65532;
export const MAX_RESPONSE_BODY: 51195;
/** The Olvexlib.dll this process loaded. */
export const dllPath: string;

/** A failed call; `errno` is the Windows error code (GetLastError). */
export class OlvexError extends Error {
  errno: number;
  code: string;
}

/** The key is listed but cannot be opened (e.g. unplugged since listing). */
export class KeyOpenError extends OlvexError {
  index: number;
}

/** exchangeAsync() gave up waiting; errno 995 (ERROR_OPERATION_ABORTED), code 'ETIMEDOUT'. */
export class TimeoutError extends OlvexError {}

export interface Response {
  /** The key's status word, 0..65535. */
  status: number;
  body: Buffer;
}

export class Key {
  readonly path: string;
  /** One command exchange; blocks the calling thread until the key answers. */
  exchange(command: Uint8Array): Response;
  /** As exchange(), but the body is a view of `response` (at least MAX_RESPONSE_BODY bytes, reusable). */
  exchangeInto(command: Uint8Array, response: Uint8Array): Response;
  /**
   * As exchange(), on a thread of the connection's own (the event loop goes on).
   * Calls on one Key run in turn. With `timeout` (ms) a silent key is given up on:
   * the promise rejects with a TimeoutError and the connection stays usable.
   */
  exchangeAsync(command: Uint8Array, options?: { timeout?: number }): Promise<Response>;
  /** Closes the connection; throws while an exchangeAsync() is pending. */
  close(): void;
}

/** Rebuilds the key list; returns the number of attached keys. */
export function enumerate(): number;
/** Device paths of the attached keys, oldest first; null where a key cannot be opened. */
export function list(): (string | null)[];
/** Opens key `index` (0-based, oldest first) of the last enumerate() or list(). */
export function open(index: number): Key;
