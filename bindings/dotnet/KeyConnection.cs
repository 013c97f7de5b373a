using System;
using System.ComponentModel;
using System.Reflection;
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
        // The transaction open on this connection, which Dispose ends first.
        private KeyTransaction transaction;

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
            return Respond(handle, command, NativeMethods.NoTimeout, Timeout.InfiniteTimeSpan);
        }

        // As Exchange(command), within `timeout` (positive; rounded up to whole
        // milliseconds; Timeout.InfiniteTimeSpan: none). The limit covers the
        // wait for the key's lock, the sending and the answer. TimeoutException
        // when it passes: inner Win32Exception 258 when the lock was not had
        // (nothing was sent), 1460 when the key did not answer in time (the
        // connection reads and discards the late answer; no exchange gets it).
        public KeyResponse Exchange(byte[] command, TimeSpan timeout)
        {
            return Respond(handle, command, Milliseconds(timeout), timeout);
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
            return Into(handle, command, response, timeout, out length);
        }

        internal int Into(SafeHandle target, byte[] command, byte[] response, TimeSpan timeout, out int length)
        {
            if (response == null) throw new ArgumentNullException(nameof(response));
            if (response.Length < Keys.MaxResponseBody)
                throw new ArgumentException("the response buffer must hold " + Keys.MaxResponseBody + " bytes",
                                            nameof(response));
            return Call(target, command, response, Milliseconds(timeout), timeout, out length);
        }

        // Takes the key's lock for several exchanges with nobody's in between
        // (select, verify, compute), within `timeout` (none: no limit) on the
        // calling thread: every exchange made through the transaction, in any
        // form, reaches the key with no other exchange from any connection,
        // thread or process between them, until it is disposed. TimeoutException
        // (inner Win32Exception 258) when the lock was not had in time;
        // InvalidOperationException (inner 170) when this connection has a
        // transaction open already. Exchanges on the connection itself wait for
        // the transaction's end meanwhile (a timed one gives up with 258); an
        // untimed one on the thread that holds the transaction would wait for
        // ever. While it is open no other program can use the key: keep it to
        // the commands that must go together. Dispose ends it: its calls still
        // running end with OperationCanceledException, and the lock goes back
        // once no answer is owed. Disposing the connection ends it too.
        public KeyTransaction BeginTransaction(TimeSpan timeout)
        {
            uint ms = Milliseconds(timeout);
            TransactionHandle tx;
            uint error = NativeMethods.OLVEXKIT_Begin(handle, ms, 0, IntPtr.Zero, IntPtr.Zero, out tx);
            if (error != 0)
            {
                tx.Dispose();
                throw Failure((int)error, timeout, "beginning a transaction");
            }
            try
            {
                tx.Hold(handle);
            }
            catch
            {
                tx.Dispose();
                throw;
            }
            var begun = new KeyTransaction(this, tx);
            Volatile.Write(ref transaction, begun);
            return begun;
        }

        public KeyTransaction BeginTransaction()
        {
            return BeginTransaction(Timeout.InfiniteTimeSpan);
        }

        internal void Ended(KeyTransaction tx)
        {
            Interlocked.CompareExchange(ref transaction, null, tx);
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
            return StartExchange(handle, command, Milliseconds(timeout), timeout, cancellationToken);
        }

        // Without time limit, still ended by its token or by Dispose.
        public Task<KeyResponse> ExchangeAsync(byte[] command,
                                               CancellationToken cancellationToken = default(CancellationToken))
        {
            return StartExchange(handle, command, NativeMethods.NoTimeout, Timeout.InfiniteTimeSpan, cancellationToken);
        }

        internal Task<KeyResponse> StartExchange(SafeHandle target, byte[] command, uint ms, TimeSpan timeout,
                                                 CancellationToken token)
        {
            if (command == null) throw new ArgumentNullException(nameof(command));
            if (token.IsCancellationRequested) return Task.FromCanceled<KeyResponse>(token);
            byte[] buffer = Interlocked.Exchange(ref spare, null) ?? NewBuffer(Keys.MaxResponseBody);
            return new PendingExchange(this, target, buffer, timeout, token).Start(command, ms);
        }

        internal static uint Milliseconds(TimeSpan timeout)
        {
            if (timeout == Timeout.InfiniteTimeSpan) return NativeMethods.NoTimeout;
            if (timeout <= TimeSpan.Zero)
                throw new ArgumentOutOfRangeException(nameof(timeout), timeout,
                    "Olvexlib: a time limit that is not positive: give a positive one, or Timeout.InfiniteTimeSpan for none");
            long ms = (timeout.Ticks + TimeSpan.TicksPerMillisecond - 1) / TimeSpan.TicksPerMillisecond;
            return ms >= NativeMethods.MaxTimeout ? NativeMethods.MaxTimeout : (uint)ms;
        }

        internal KeyResponse Respond(SafeHandle target, byte[] command, uint ms, TimeSpan timeout)
        {
            byte[] response = t_response ?? (t_response = NewBuffer(Keys.MaxResponseBody));
            int length;
            int status = Call(target, command, response, ms, timeout, out length);
            if (length == response.Length) t_response = null;
            return Answer(status, response, length);
        }

        // A body that fills the buffer is handed over as it is, and the caller
        // lets go of that buffer; shorter ones are copied out. Measured on
        // 51 KB bodies, copying every body out of a buffer kept warm cost
        // more than the hand-over's fresh buffer does.
        private static KeyResponse Answer(int status, byte[] response, int length)
        {
            if (length == response.Length) return new KeyResponse(status, response);
            byte[] body = NewBuffer(length);
            Buffer.BlockCopy(response, 0, body, 0, length);
            return new KeyResponse(status, body);
        }

        private static byte[] NewBuffer(int length)
        {
            return Uninitialized != null && length > 0 ? Uninitialized(length, false) : new byte[length];
        }

        // GC.AllocateUninitializedArray<byte> where the runtime has it (.NET 5
        // and later): every byte is written before anyone reads it, so zeroing
        // it is waste.
        private static readonly Func<int, bool, byte[]> Uninitialized = FindUninitialized();

        private static Func<int, bool, byte[]> FindUninitialized()
        {
            try
            {
                MethodInfo method = typeof(GC).GetMethod("AllocateUninitializedArray", BindingFlags.Public | BindingFlags.Static);
                if (method == null || !method.IsGenericMethodDefinition) return null;
                return (Func<int, bool, byte[]>)Delegate.CreateDelegate(typeof(Func<int, bool, byte[]>),
                                                                       method.MakeGenericMethod(typeof(byte)));
            }
            catch (Exception)
            {
                return null;
            }
        }

        private int Call(SafeHandle target, byte[] command, byte[] response, uint ms, TimeSpan timeout, out int length)
        {
            if (command == null) throw new ArgumentNullException(nameof(command));
            int status;
            uint error;
            bool counted = ms == NativeMethods.NoTimeout;
            if (counted) Interlocked.Increment(ref untimed);
            try
            {
                error = NativeMethods.OLVEXKIT_Exchange(target, command, command.Length, response, out length,
                                                        out status, ms);
            }
            finally
            {
                if (counted) Interlocked.Decrement(ref untimed);
            }
            if (error != 0) throw Failure((int)error, timeout);
            return status;
        }

        internal Exception Failure(int error, TimeSpan timeout, string action = "the exchange")
        {
            string what = timeout == Timeout.InfiniteTimeSpan ? action : action + " within " + timeout;
            switch (error)
            {
            case NativeMethods.ErrorBusy:
            {
                Win32Exception inner = Keys.Failure(what, error);
                return new InvalidOperationException(inner.Message, inner);
            }
            case NativeMethods.WaitTimeout:
            case NativeMethods.ErrorTimeout:
            {
                Win32Exception inner = Keys.Failure(what, error);
                return new TimeoutException(inner.Message, inner);
            }
            case NativeMethods.ErrorOperationAborted:
            {
                Win32Exception inner = Keys.Failure(what, error);
                return new OperationCanceledException(inner.Message, inner);
            }
            case NativeMethods.ErrorDeviceNotConnected:
                return new KeyRemovedException(Path);
            default:
                return Keys.Failure(what, error);
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
            // The kit ends a key's transaction before it closes the key.
            KeyTransaction open = Interlocked.Exchange(ref transaction, null);
            if (open != null) open.Dispose();
            // Closes here unless a call is still inside the kit.
            if (!NativeMethods.Retire(handle)) return;
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
            private readonly SafeHandle target;  // the key, or a transaction on it
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
            internal PendingExchange(KeyConnection owner, SafeHandle target, byte[] buffer, TimeSpan timeout,
                                     CancellationToken token)
            {
                this.owner = owner;
                this.target = target;
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
                    error = NativeMethods.OLVEXKIT_Start(target, command, command.Length,
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
                    NativeMethods.OLVEXKIT_CancelCall(target, id);
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
