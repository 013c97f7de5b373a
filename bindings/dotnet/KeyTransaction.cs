using System;
using System.Runtime.InteropServices;
using System.Threading;
using System.Threading.Tasks;

namespace Olvexlib
{
    // A transaction on a KeyConnection (BeginTransaction): its exchanges, in
    // every form, reach the key with no other exchange in between until
    // Dispose. The forms and their exceptions are the connection's; once the
    // transaction is disposed they throw ObjectDisposedException.
    public sealed class KeyTransaction : IDisposable
    {
        private readonly KeyConnection connection;
        private readonly TransactionHandle handle;

        internal KeyTransaction(KeyConnection connection, TransactionHandle handle)
        {
            this.connection = connection;
            this.handle = handle;
        }

        public KeyConnection Connection => connection;

        public KeyResponse Exchange(byte[] command)
        {
            return connection.Respond(handle, command, NativeMethods.NoTimeout, Timeout.InfiniteTimeSpan);
        }

        public KeyResponse Exchange(byte[] command, TimeSpan timeout)
        {
            return connection.Respond(handle, command, KeyConnection.Milliseconds(timeout), timeout);
        }

        public int Exchange(byte[] command, byte[] response, out int length)
        {
            return connection.Into(handle, command, response, Timeout.InfiniteTimeSpan, out length);
        }

        public int Exchange(byte[] command, byte[] response, TimeSpan timeout, out int length)
        {
            return connection.Into(handle, command, response, timeout, out length);
        }

        public Task<KeyResponse> ExchangeAsync(byte[] command, TimeSpan timeout,
                                               CancellationToken cancellationToken = default(CancellationToken))
        {
            return connection.StartExchange(handle, command, KeyConnection.Milliseconds(timeout), timeout,
                                            cancellationToken);
        }

        public Task<KeyResponse> ExchangeAsync(byte[] command,
                                               CancellationToken cancellationToken = default(CancellationToken))
        {
            return connection.StartExchange(handle, command, NativeMethods.NoTimeout, Timeout.InfiniteTimeSpan,
                                            cancellationToken);
        }

        // Ends the transaction at once: its calls still running end with
        // OperationCanceledException, and the lock goes back once the key owes
        // nothing. An untimed Exchange running on another thread is let finish
        // first.
        public void Dispose()
        {
            connection.Ended(this);
            NativeMethods.Retire(handle);
        }
    }

    // Owns one transaction's OLVEXKIT_KEY, and a reference to its connection's
    // handle, so that the key closes only after the transaction has ended.
    public sealed class TransactionHandle : SafeHandle
    {
        private ConnectionHandle connection;
        private bool holding;

        private TransactionHandle() : base(IntPtr.Zero, true) { }

        public override bool IsInvalid => handle == IntPtr.Zero;

        internal void Hold(ConnectionHandle key)
        {
            key.DangerousAddRef(ref holding);
            connection = key;
        }

        protected override bool ReleaseHandle()
        {
            bool ended = NativeMethods.OLVEXKIT_End(handle) == 0;
            if (holding) connection.DangerousRelease();
            return ended;
        }
    }
}
