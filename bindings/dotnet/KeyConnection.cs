using System;
using System.ComponentModel;
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
        // Each thread answers into a buffer of its own, big enough for any
        // body. A body that fills it is handed over as it is (copying it would
        // cost a tenth of the exchange); shorter ones are copied out.
        [ThreadStatic] private static byte[] t_response;

        private readonly ConnectionHandle handle;

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
            return Respond(command, NativeMethods.NoTimeout, Timeout.InfiniteTimeSpan, default(CancellationToken));
        }

        // As Exchange(command), within `timeout` (positive; rounded up to whole
        // milliseconds; Timeout.InfiniteTimeSpan: none). The limit covers the
        // wait for the key's lock, the sending and the answer. TimeoutException
        // when it passes: inner Win32Exception 258 when the lock was not had
        // (nothing was sent), 1460 when the key did not answer in time (the
        // connection reads and discards the late answer; no exchange gets it).
        public KeyResponse Exchange(byte[] command, TimeSpan timeout)
        {
            return Respond(command, Milliseconds(timeout), timeout, default(CancellationToken));
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
            return Call(command, response, Milliseconds(timeout), timeout, default(CancellationToken), out length);
        }

        // As Exchange(command, timeout), on a thread of the pool. Cancelling
        // the token during the exchange ends it with OperationCanceledException
        // (inner Win32Exception 995); a token cancelled already sends nothing.
        public Task<KeyResponse> ExchangeAsync(byte[] command, TimeSpan timeout,
                                               CancellationToken cancellationToken = default(CancellationToken))
        {
            uint ms = timeout == Timeout.InfiniteTimeSpan ? NativeMethods.MaxTimeout : Milliseconds(timeout);
            return StartExchange(command, ms, timeout, cancellationToken);
        }

        // Without time limit but cancellable: the kit cancels only limited
        // exchanges, so this one runs with the largest limit there is.
        public Task<KeyResponse> ExchangeAsync(byte[] command,
                                               CancellationToken cancellationToken = default(CancellationToken))
        {
            return StartExchange(command, NativeMethods.MaxTimeout, Timeout.InfiniteTimeSpan, cancellationToken);
        }

        private Task<KeyResponse> StartExchange(byte[] command, uint ms, TimeSpan timeout, CancellationToken token)
        {
            if (command == null) throw new ArgumentNullException(nameof(command));
            // Started with the token, the task ends as cancelled without running
            // when the token is cancelled before it starts.
            return Task.Factory.StartNew(() => Respond(command, ms, timeout, token), token,
                                         TaskCreationOptions.DenyChildAttach, TaskScheduler.Default);
        }

        private static uint Milliseconds(TimeSpan timeout)
        {
            if (timeout == Timeout.InfiniteTimeSpan) return NativeMethods.NoTimeout;
            if (timeout <= TimeSpan.Zero)
                throw new ArgumentOutOfRangeException(nameof(timeout), "a timeout must be positive or infinite");
            long ms = (timeout.Ticks + TimeSpan.TicksPerMillisecond - 1) / TimeSpan.TicksPerMillisecond;
            return ms >= NativeMethods.MaxTimeout ? NativeMethods.MaxTimeout : (uint)ms;
        }

        private KeyResponse Respond(byte[] command, uint ms, TimeSpan timeout, CancellationToken token)
        {
            byte[] response = t_response ?? (t_response = new byte[Keys.MaxResponseBody]);
            int length;
            int status = Call(command, response, ms, timeout, token, out length);
            if (length == response.Length)
            {
                t_response = null;
                return new KeyResponse(status, response);
            }
            var body = new byte[length];
            Buffer.BlockCopy(response, 0, body, 0, length);
            return new KeyResponse(status, body);
        }

        private int Call(byte[] command, byte[] response, uint ms, TimeSpan timeout, CancellationToken token,
                         out int length)
        {
            if (command == null) throw new ArgumentNullException(nameof(command));
            uint error;
            int status;
            if (!token.CanBeCanceled)
            {
                error = NativeMethods.OLVEXKIT_Exchange(handle, command, command.Length, response, out length,
                                                        out status, ms);
            }
            else
            {
                token.ThrowIfCancellationRequested();
                var canceller = new Canceller(handle);
                using (token.Register(canceller.Cancel))
                {
                    error = NativeMethods.OLVEXKIT_ExchangeCancellable(handle, command, command.Length, response,
                                                                       out length, out status, ms, canceller.Flag);
                }
            }
            if (error != 0) throw Failure((int)error, timeout, token);
            return status;
        }

        private Exception Failure(int error, TimeSpan timeout, CancellationToken token)
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
                const string cancelled = "Olvexlib: the exchange was cancelled";
                Win32Exception inner = Keys.Failure("the exchange", error);
                return token.IsCancellationRequested ? new OperationCanceledException(cancelled, inner, token)
                                                     : new OperationCanceledException(cancelled, inner);
            case NativeMethods.ErrorDeviceNotConnected:
                return new KeyRemovedException(Path);
            default:
                return Keys.Failure("the exchange", error);
            }
        }

        public void Dispose()
        {
            handle.Dispose();
        }

        // A token's cancel for one exchange, which may not have reached the kit
        // yet: the kit reads the flag when the exchange begins, and the cancel
        // ends it if it has.
        private sealed class Canceller
        {
            private readonly ConnectionHandle handle;

            // Pinned by the runtime for the exchange's call (a blittable array).
            internal readonly int[] Flag = new int[1];

            internal Canceller(ConnectionHandle handle)
            {
                this.handle = handle;
            }

            // On the cancelling thread, or inline from Register when the token
            // was cancelled meanwhile (the flag alone then stops the exchange).
            internal void Cancel()
            {
                Interlocked.Exchange(ref Flag[0], 1);
                bool added = false;
                try
                {
                    // The handle must outlive the call, whatever the exchanging
                    // thread does meanwhile.
                    handle.DangerousAddRef(ref added);
                    NativeMethods.OLVEXKIT_Cancel(handle);
                }
                catch (ObjectDisposedException)
                {
                    // Disposed while exchanging: the close waits for the exchange.
                }
                finally
                {
                    if (added) handle.DangerousRelease();
                }
            }
        }
    }
}
