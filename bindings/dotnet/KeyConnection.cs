using System;
using System.Runtime.InteropServices;
using System.Threading;

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

    // One open key. Exchange may be called from any number of threads at
    // once; the library serialises exchanges with one key.
    public sealed class KeyConnection : IDisposable
    {
        // Each thread answers into its own buffer: big enough for any body,
        // and not worth allocating per exchange.
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
        // key's answer, without time limit.
        public KeyResponse Exchange(byte[] command)
        {
            return Exchange(command, Timeout.InfiniteTimeSpan);
        }

        // As Exchange(command), but gives up after `timeout` with a
        // TimeoutException; the connection stays usable, though the key's late
        // answer may then reach the next exchange. The timeout covers only the
        // wait for the answer: a wait for another exchange to release the key
        // runs on until the key is free.
        public KeyResponse Exchange(byte[] command, TimeSpan timeout)
        {
            if (command == null) throw new ArgumentNullException(nameof(command));
            if (timeout != Timeout.InfiniteTimeSpan && timeout <= TimeSpan.Zero)
                throw new ArgumentOutOfRangeException(nameof(timeout), "a timeout must be positive or infinite");
            byte[] response = t_response ?? (t_response = new byte[Keys.MaxResponseBody]);
            int status, length, error;
            bool cancelled = false;
            if (timeout == Timeout.InfiniteTimeSpan)
            {
                status = NativeMethods.OLVEX_DoCommand(handle, command, command.Length, response, out length);
                error = Marshal.GetLastWin32Error();
            }
            else
            {
                using (var canceller = new ReadCanceller(timeout))
                {
                    status = NativeMethods.OLVEX_DoCommand(handle, command, command.Length, response, out length);
                    error = Marshal.GetLastWin32Error();
                    cancelled = canceller.Stop();
                }
            }
            if (status == NativeMethods.Fail)
            {
                if (cancelled && error == NativeMethods.ErrorOperationAborted)
                    throw new TimeoutException("Olvexlib: the key did not answer within " + timeout,
                                               Keys.Failure("the exchange", error));
                throw Keys.Failure("the exchange", error);
            }
            var body = new byte[length];
            Buffer.BlockCopy(response, 0, body, 0, length);
            return new KeyResponse(status, body);
        }

        public void Dispose()
        {
            handle.Dispose();
        }
    }

    // Cancels the calling thread's synchronous reads once `timeout` has passed,
    // and again every few milliseconds until stopped: a cancel that lands
    // before the read has started (or during the wait for the key's lock) has
    // no effect.
    internal sealed class ReadCanceller : IDisposable
    {
        private static readonly TimeSpan Retry = TimeSpan.FromMilliseconds(10);

        private readonly object gate = new object();
        private readonly Timer timer;
        private IntPtr thread;
        private bool stopped, fired;

        internal ReadCanceller(TimeSpan timeout)
        {
            Thread.BeginThreadAffinity();
            if (!NativeMethods.DuplicateHandle(NativeMethods.GetCurrentProcess(), NativeMethods.GetCurrentThread(),
                                               NativeMethods.GetCurrentProcess(), out thread,
                                               NativeMethods.ThreadTerminate, false, 0))
            {
                int error = Marshal.GetLastWin32Error();
                Thread.EndThreadAffinity();
                throw Keys.Failure("preparing the timeout", error);
            }
            timer = new Timer(Tick, null, timeout, Retry);
        }

        private void Tick(object state)
        {
            // Under the gate, so that no cancel can reach the thread's I/O
            // after the exchange has returned.
            lock (gate)
            {
                if (stopped) return;
                fired = true;
                NativeMethods.CancelSynchronousIo(thread);
            }
        }

        // Ends the cancelling; true when a cancel was attempted.
        internal bool Stop()
        {
            lock (gate)
            {
                stopped = true;
                return fired;
            }
        }

        public void Dispose()
        {
            Stop();
            timer.Dispose();
            if (thread != IntPtr.Zero)
            {
                NativeMethods.CloseHandle(thread);
                thread = IntPtr.Zero;
                Thread.EndThreadAffinity();
            }
        }
    }
}
