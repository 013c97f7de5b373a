using System;
using System.ComponentModel;
using System.Runtime.InteropServices;
using System.Threading;
using System.Threading.Tasks;

namespace Olvexlib
{
    public sealed class KeyResponse
    {
        internal KeyResponse(int status, byte[] body)
        {
            Status = status;
            Body = body;
        }

        // The key's status word, 0..65535 (0x9000 is the usual success).
        public int Status { get; }
        public byte[] Body { get; }
    }

    // One open key. Exchanges may be made from any number of threads at once;
    // the library serialises exchanges with one key. Time limits, cancelling
    // and closing are Olvexkit.dll's, the same in every layer.
    public sealed class KeyConnection : IDisposable
    {
        // Each thread answers into a buffer of its own, big enough for any body.
        [ThreadStatic] private static byte[] t_response;

        private readonly ConnectionHandle handle;
        // A response buffer for the next ExchangeAsync, given back by the last
        // one that did not hand its buffer over.
        private byte[] spare;
        // Untimed Exchange calls inside the kit, which Dispose cannot end.
        private int untimed;

        internal KeyConnection(ConnectionHandle handle, string path)
        {
            this.handle = handle;
            Path = path;
        }

        public string Path { get; }

        public ConnectionHandle Handle => handle;

        // Sends one command (at most Keys.MaxCommand bytes) and waits for the
        // key's answer, without time limit, on the calling thread.
        public KeyResponse Exchange(byte[] command)
        {
            return Respond(command, NativeMethods.NoTimeout, Timeout.InfiniteTimeSpan);
        }

        // As Exchange(command), within `timeout` (positive; rounded up to whole
        // milliseconds; Timeout.InfiniteTimeSpan: none). The limit covers the
        // wait for the key's lock, the sending and the answer. TimeoutException
        // when it passes: inner Win32Exception 258 when the lock was not had
        // (nothing was sent), 1460 when the key did not answer in time (the
        // connection reads and discards the late answer; no exchange gets it).
        public KeyResponse Exchange(byte[] command, TimeSpan timeout)
        {
            return Respond(command, Milliseconds(timeout), timeout);
        }

        // For loops that must not allocate: the body lands at the start of
        // `response` (at least Keys.MaxResponseBody bytes, reusable), its
        // length in `length`. Returns the status word.
        public int Exchange(byte[] command, byte[] response, out int length)
        {
            return Exchange(command, response, Timeout.InfiniteTimeSpan, out length);
        }

        public int Exchange(byte[] command, byte[] response, TimeSpan timeout, out int length)
        {
            if (response == null) throw new ArgumentNullException(nameof(response));
            if (response.Length < Keys.MaxResponseBody)
                throw new ArgumentException("the response buffer must hold " + Keys.MaxResponseBody + " bytes",
                                            nameof(response));
            return Call(command, response, Milliseconds(timeout), timeout, out length);
        }

        // As Exchange(command, timeout), without a thread waiting for it: the
        // call is queued on the connection's own thread, and the task completes
        // from the kit's callback. Continuations that run synchronously run
        // there, on a thread of the system's pool (not .NET's), which may
        // block without holding up any key.
        // The limit counts from this call. Cancelling the token ends this call
        // alone, however many others run on the connection: the task ends as
        // cancelled (OperationCanceledException with the token), an answer
        // already asked for being read and discarded as after a time limit; a
        // token cancelled already sends nothing, and a call that has finished
        // can no longer be cancelled.
        public Task<KeyResponse> ExchangeAsync(byte[] command, TimeSpan timeout,
                                               CancellationToken cancellationToken = default(CancellationToken))
        {
            return StartExchange(command, Milliseconds(timeout), timeout, cancellationToken);
        }

        // Without time limit, still ended by its token or by Dispose.
        public Task<KeyResponse> ExchangeAsync(byte[] command,
                                               CancellationToken cancellationToken = default(CancellationToken))
        {
            return StartExchange(command, NativeMethods.NoTimeout, Timeout.InfiniteTimeSpan, cancellationToken);
        }

        private Task<KeyResponse> StartExchange(byte[] command, uint ms, TimeSpan timeout, CancellationToken token)
        {
            if (command == null) throw new ArgumentNullException(nameof(command));
            if (token.IsCancellationRequested) return Task.FromCanceled<KeyResponse>(token);
            byte[] buffer = Interlocked.Exchange(ref spare, null) ?? new byte[Keys.MaxResponseBody];
            return new PendingExchange(this, buffer, timeout, token).Start(command, ms);
        }

        private static uint Milliseconds(TimeSpan timeout)
        {
            if (timeout == Timeout.InfiniteTimeSpan) return NativeMethods.NoTimeout;
            if (timeout <= TimeSpan.Zero)
                throw new ArgumentOutOfRangeException(nameof(timeout), "a timeout must be positive or infinite");
            long ms = (timeout.Ticks + TimeSpan.TicksPerMillisecond - 1) / TimeSpan.TicksPerMillisecond;
            return ms >= NativeMethods.MaxTimeout ? NativeMethods.MaxTimeout : (uint)ms;
        }

        private KeyResponse Respond(byte[] command, uint ms, TimeSpan timeout)
        {
            byte[] response = t_response ?? (t_response = new byte[Keys.MaxResponseBody]);
            int length;
            int status = Call(command, response, ms, timeout, out length);
            if (length == response.Length) t_response = null;
            return Answer(status, response, length);
        }

        // A body that fills the buffer is handed over as it is (copying it
        // would cost a tenth of the exchange), and the caller lets go of that
        // buffer; shorter ones are copied out.
        private static KeyResponse Answer(int status, byte[] response, int length)
        {
            if (length == response.Length) return new KeyResponse(status, response);
            var body = new byte[length];
            Buffer.BlockCopy(response, 0, body, 0, length);
            return new KeyResponse(status, body);
        }

        private int Call(byte[] command, byte[] response, uint ms, TimeSpan timeout, out int length)
        {
            if (command == null) throw new ArgumentNullException(nameof(command));
            int status;
            uint error;
            bool counted = ms == NativeMethods.NoTimeout;
            if (counted) Interlocked.Increment(ref untimed);
            try
            {
                error = NativeMethods.OLVEXKIT_Exchange(handle, command, command.Length, response, out length,
                                                        out status, ms);
            }
            finally
            {
                if (counted) Interlocked.Decrement(ref untimed);
            }
            if (error != 0) throw Failure((int)error, timeout);
            return status;
        }

        private Exception Failure(int error, TimeSpan timeout)
        {
            string limit = timeout == Timeout.InfiniteTimeSpan ? "" : " within " + timeout;
            switch (error)
            {
            case NativeMethods.WaitTimeout:
                return new TimeoutException("Olvexlib: the key's lock was not had" + limit +
                                            ": another exchange or program held it; nothing was sent",
                                            Keys.Failure("the exchange", error));
            case NativeMethods.ErrorTimeout:
                return new TimeoutException("Olvexlib: the key did not answer" + limit +
                                            "; its late answer will be discarded",
                                            Keys.Failure("the exchange", error));
            case NativeMethods.ErrorOperationAborted:
                return new OperationCanceledException("Olvexlib: the exchange was ended by Dispose",
                                                      Keys.Failure("the exchange", error));
            case NativeMethods.ErrorDeviceNotConnected:
                return new KeyRemovedException(Path);
            default:
                return Keys.Failure("the exchange", error);
            }
        }

        // Ends the exchanges under way with OperationCanceledException (inner
        // Win32Exception 995): asynchronous ones, and timed ones on other
        // threads. The close then gives an answer the key still owes up to
        // 2 s, cancels its read and releases the key's lock, and Dispose
        // returns. An untimed Exchange running on another thread is not ended
        // (cancelling its read would leave the key's answer owed): Dispose
        // returns at once, and the connection closes when that call returns.
        public void Dispose()
        {
            bool held = false;
            try
            {
                // Keeps the kit's key alive past the handle's own Dispose.
                handle.DangerousAddRef(ref held);
            }
            catch (ObjectDisposedException)
            {
                return;
            }
            try
            {
                handle.Dispose();  // no call starts from here on
                NativeMethods.OLVEXKIT_Cancel(handle.DangerousGetHandle());
            }
            finally
            {
                handle.DangerousRelease();  // closes here unless a call is still inside the kit
            }
            if (Volatile.Read(ref untimed) == 0) handle.WaitReleased();
        }

        // One ExchangeAsync from OLVEXKIT_Start to its callback. The kit writes
        // the body into the buffer, pinned until then, and hands back the
        // context, a handle to this record that keeps it (and the connection)
        // alive meanwhile.
        private sealed class PendingExchange : TaskCompletionSource<KeyResponse>
        {
            // For the life of the process: a callback may come at any time.
            private static readonly NativeMethods.CallDone Callback = Done;
            private static readonly IntPtr CallbackPointer = Marshal.GetFunctionPointerForDelegate(Callback);

            private readonly KeyConnection owner;
            private readonly byte[] buffer;
            private readonly TimeSpan timeout;
            private readonly CancellationToken token;
            private GCHandle pinned, self;
            private ulong id;
            // Under lock (this): the callback may come before the token is watched.
            private CancellationTokenRegistration watching;
            private bool settled;

            // Continuations run where the kit's callback does: handing them to
            // .NET's pool costs a wakeup through the wineserver per call, and
            // that thread may block.
            internal PendingExchange(KeyConnection owner, byte[] buffer, TimeSpan timeout, CancellationToken token)
            {
                this.owner = owner;
                this.buffer = buffer;
                this.timeout = timeout;
                this.token = token;
            }

            internal Task<KeyResponse> Start(byte[] command, uint ms)
            {
                pinned = GCHandle.Alloc(buffer, GCHandleType.Pinned);
                self = GCHandle.Alloc(this);
                uint error;
                try
                {
                    error = NativeMethods.OLVEXKIT_Start(owner.handle, command, command.Length,
                                                         pinned.AddrOfPinnedObject(), ms, 0, CallbackPointer,
                                                         GCHandle.ToIntPtr(self), out id);
                }
                catch
                {
                    Free();
                    throw;
                }
                if (error != 0)
                {
                    // Nothing started: no callback comes.
                    Free();
                    Volatile.Write(ref owner.spare, buffer);
                    TrySetException(owner.Failure((int)error, timeout));
                }
                else if (token.CanBeCanceled)
                {
                    // Only now is there an id to cancel. A token cancelled
                    // meanwhile cancels here, inline; one that fires after the
                    // call finished finds the id spent, and ids are never reused.
                    CancellationTokenRegistration registration =
                        token.Register(state => ((PendingExchange)state).Cancel(), this);
                    lock (this)
                    {
                        if (!settled)
                        {
                            watching = registration;
                            registration = default(CancellationTokenRegistration);
                        }
                    }
                    registration.Dispose();
                }
                return Task;
            }

            private void Cancel()
            {
                try
                {
                    NativeMethods.OLVEXKIT_CancelCall(owner.handle, id);
                }
                catch (ObjectDisposedException)
                {
                    // Closed: the close ended the call.
                }
            }

            private void Free()
            {
                pinned.Free();
                self.Free();
            }

            // On a thread of the system's pool. Nothing may escape into the kit.
            private static void Done(IntPtr context, ulong call, uint error, int status, int length)
            {
                var pending = (PendingExchange)GCHandle.FromIntPtr(context).Target;
                try
                {
                    pending.Settle(error, status, length);
                }
                catch (Exception e)
                {
                    pending.TrySetException(e);
                }
            }

            private void Settle(uint error, int status, int length)
            {
                CancellationTokenRegistration registration;
                lock (this)
                {
                    settled = true;
                    registration = watching;
                }
                registration.Dispose();
                Free();
                if (error == 0)
                {
                    KeyResponse answer = Answer(status, buffer, length);
                    if (answer.Body != buffer) Volatile.Write(ref owner.spare, buffer);
                    TrySetResult(answer);
                    return;
                }
                Volatile.Write(ref owner.spare, buffer);
                if (error == NativeMethods.ErrorOperationAborted && token.IsCancellationRequested)
                    TrySetCanceled(token);
                else
                    TrySetException(owner.Failure((int)error, timeout));
            }
        }
    }
}
