/// <reference types="node" />

import { EventEmitter } from "events";

export const MAX_COMMAND: 65532;
export const MAX_RESPONSE_BODY: 51195;
/** The longest time limit, in ms (about 49.7 days); longer ones are clamped to it. */
export const MAX_TIMEOUT: 4294967294;
/** The Olvexlib.dll this process loaded. */
export const dllPath: string;
/** The Olvexkit.dll beside it, which runs the connections and their time limits. */
export const kitPath: string;
/** The loaded Olvexlib.dll's file version, e.g. "1.0.4.0" (null: it has none). */
export const version: string | null;

/**
 * A failed call. `errno` is the Windows error code; `code` is 'EINVAL' (87),
 * 'EBUSY' (258), 'ECANCELED' (995), 'ENODEV' (1167), 'ETIMEDOUT' (1460), else the Windows name
 * (e.g. 'ERROR_INVALID_HANDLE' for 6: the connection is closed).
 */
export class OlvexError extends Error {
  errno: number;
  code: string;
}

/** The key is listed but cannot be opened (e.g. unplugged since listing). */
export class KeyOpenError extends OlvexError {
  /** Set when opened by index. */
  index?: number;
  /** Set when opened by device path. */
  path?: string;
}

/**
 * The key is gone: errno 1167, code 'ENODEV'. An exchange with a key that was
 * unplugged, every later exchange on that connection, and open(path) when no
 * attached key has that path. The connection still closes as usual.
 */
export class KeyRemovedError extends OlvexError {
  errno: 1167;
}

/**
 * A time limit ran out. errno 258, code 'EBUSY': another program held the
 * key's lock all along; nothing was sent. errno 1460, code 'ETIMEDOUT': the key
 * did not answer in time; the connection reads and discards its late answer,
 * which no exchange anywhere receives.
 */
export class TimeoutError extends OlvexError {
  errno: 258 | 1460;
}

/** The exchange was ended by its AbortSignal or by close(): errno 995, code 'ECANCELED', name 'AbortError'. */
export class AbortError extends OlvexError {
  errno: 995;
}

export interface Response {
  /** The key's status word, 0..65535. */
  status: number;
  body: Buffer;
}

export interface ExchangeOptions {
  /**
   * The time limit in ms (> 0), counted from the call and covering all of it:
   * waiting for the key's lock (and for earlier calls on this connection),
   * sending, and the answer. Without one the call waits as long as it takes
   * (it can still be aborted). Not a positive number: OlvexError 87, nothing
   * sent.
   */
  timeout?: number;
  /**
   * Aborting it ends this call alone with an AbortError, or with the reason
   * given to abort(reason), as fetch does; other calls on the connection go on. Already aborted: rejected at once, nothing sent. Once
   * the call has settled the signal is let go, and a later abort touches
   * nothing.
   */
  signal?: AbortSignal;
}

/**
 * An open key. At the program's end (process.exit(), or an event loop that
 * empties with a connection still open) every connection still open is
 * closed at once from a process 'exit' listener: an answer a key still owes
 * gets up to 2 s and is discarded, never left to the next program; calls still
 * pending do not settle. A program killed outright (a crash, TerminateProcess)
 * cannot do that: the next exchange with that key, by any program (the library
 * itself does it), drains the dead program's answer first, up to 2 s. A worker
 * thread that ends (returns, throws, or is terminated) has the keys it opened
 * ended the same way.
 */
export class Key {
  readonly path: string;
  /**
   * One command exchange; blocks the calling thread until the key answers or,
   * with `timeout` (ms), for at most that long, with exchangeAsync()'s
   * contract and errors. (`signal` does not apply: the thread is blocked.)
   */
  exchange(command: Uint8Array, options?: { timeout?: number }): Response;
  /** As exchange(), but the body is a view of `response` (at least MAX_RESPONSE_BODY bytes, reusable). */
  exchangeInto(command: Uint8Array, response: Uint8Array): Response;
  /**
   * One command exchange that holds none of Node's threads while it waits
   * (neither the event loop nor libuv's pool): the call waits its turn on the
   * connection's own thread, and its outcome comes to the event loop. Any number may be pending, on any keys, and the
   * event loop, fs, dns and calls on other keys go on; while any is pending
   * the process stays alive. The command is copied at once. Rejects with a
   * TimeoutError (258 or 1460), an AbortError (995) or another OlvexError; the
   * connection stays usable after any of them.
   */
  exchangeAsync(command: Uint8Array, options?: ExchangeOptions): Promise<Response>;
  /**
   * Runs `body(tx)` inside a transaction: once the key's lock is had (within
   * `timeout` ms when given; holding none of Node's threads while it waits),
   * every exchange made through `tx` reaches the key with no other exchange,
   * from any connection, thread or process, in between. The transaction ends
   * when `body`'s promise settles or it throws: its calls still pending end
   * with AbortError, and the lock goes back once no answer is owed. Resolves
   * to what `body` resolved to; rejects with what it threw, or with a
   * TimeoutError (258) when the lock was not had in time, an OlvexError 170
   * when this Key has a transaction open already. `signal` cancels the wait
   * for the lock, then the transaction's calls in progress. Meanwhile
   * exchangeAsync() on the Key waits for the end; exchange() on the Key
   * throws errno 170 (it could only wait forever).
   */
  transaction<T>(body: (tx: Transaction) => T | Promise<T>, options?: ExchangeOptions): Promise<T>;
  /**
   * Closes the connection: every later call fails with errno 6 at once, and
   * this Key's pending exchangeAsync() calls end with AbortError. Returns at
   * once; the native close then gives an answer the key still owes up to 2 s
   * on the system's thread pool. The promise resolves (never rejects) once the
   * connection is closed and its calls have settled; callers may ignore it. A
   * Key that is collected without close() is closed the same way.
   */
  close(): Promise<void>;
}

/**
 * A transaction on a Key, given to Key.transaction()'s body: the Key's
 * exchanges, made inside it. Once it has ended they fail with errno 6.
 */
export class Transaction {
  readonly key: Key;
  readonly path: string;
  exchange(command: Uint8Array, options?: { timeout?: number }): Response;
  exchangeInto(command: Uint8Array, response: Uint8Array): Response;
  exchangeAsync(command: Uint8Array, options?: ExchangeOptions): Promise<Response>;
}

/** Rebuilds the key list; returns the number of attached keys. */
export function enumerate(): number;
/** Device paths of the attached keys, oldest first; null where a key cannot be opened. */
export function list(): (string | null)[];
/**
 * Opens key `index` (0-based, oldest first) of the last enumerate() or list(),
 * or the attached key with this device path whatever its index now (none:
 * KeyRemovedError). An index before any enumerate() or list() in this
 * process, or outside the last one, throws RangeError (errno 87) saying so; a
 * key that cannot be opened, KeyOpenError with its Windows code in errno.
 */
export function open(which: number | string): Key;

export interface KeyInfo {
  /** The device path, as open() takes it. */
  path: string;
  /** When the key was attached (null in keys() when the platform keeps no attach time for it). */
  attached: Date;
  /** What the path says the key is; 0 where it does not say. */
  vendorId: number;
  productId: number;
  /**
   * The key's serial, as its path gives it ('' where it does not say): the
   * same when the key is plugged back, so it tells "my key came back".
   */
  serial: string;
}

/**
 * Opens the attached key whose serial (KeyInfo.serial; case does not count)
 * is `serial`, whatever its index. None: KeyRemovedError. Several: an
 * OlvexError with errno 15250 whose message and `paths` name them.
 */
export function openSerial(serial: string): Key;

export interface KeyState extends KeyInfo {
  /** Its index in the listing, as open() takes it; null when it is not listed. */
  index: number | null;
  /** Whether open() can open it. */
  openable: boolean;
  /** Why it cannot be opened: beyond the 10 keys the library lists, or the platform's cause. */
  why?: string;
  /** The platform's code when it did not open, else 0. */
  errno?: number;
}

/**
 * Every attached key: first those the library lists, oldest first, then any
 * other attached key with `openable` false and why.
 */
export function keys(): KeyState[];

export interface WatchOptions {
  /** How often the keys are listed where the platform does not notify, in ms (> 0; default 250). */
  interval?: number;
}

/**
 * Keys coming and going: first `attach` for every key present, oldest first,
 * then one event per change, emitted one at a time and in order on the event
 * loop. While it has `attach` or `detach` listeners the watcher keeps itself
 * and the process alive; without, neither, and a collected watcher is closed.
 * A listener may open the key and exchange with it.
 */
export class KeyWatcher extends EventEmitter {
  /** As watch(options). */
  constructor(options?: WatchOptions);
  /** True when changes come from the platform's notifications, false when it polls (and once closed). */
  readonly notified: boolean;
  /** Stops watching: no event is emitted once it returns. Safe inside a listener; idempotent. */
  close(): void;
  on(event: 'attach' | 'detach', listener: (key: KeyInfo) => void): this;
  on(event: 'error', listener: (error: OlvexError) => void): this;
  once(event: 'attach' | 'detach', listener: (key: KeyInfo) => void): this;
  once(event: 'error', listener: (error: OlvexError) => void): this;
  off(event: 'attach' | 'detach', listener: (key: KeyInfo) => void): this;
  off(event: 'error', listener: (error: OlvexError) => void): this;
}

/** Starts watching for keys coming and going. An interval that is not a positive number: OlvexError 87. */
export function watch(options?: WatchOptions): KeyWatcher;
