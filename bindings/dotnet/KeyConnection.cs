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
            byte[] response = t_response ?? (t_response = new byte[Keys.MaxResponseBody]);
            int length;
            int status = Call(command, response, timeout, out length);
            if (length == response.Length)
            {
                t_response = null;
                return new KeyResponse(status, response);
            }
            var body = new byte[length];
            Buffer.BlockCopy(response, 0, body, 0, length);
            return new KeyResponse(status, body);
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
            return Call(command, response, timeout, out length);
        }

        private int Call(byte[] command, byte[] response, TimeSpan timeout, out int length)
        {
            if (command == null) throw new ArgumentNullException(nameof(command));
            if (timeout != Timeout.InfiniteTimeSpan && timeout <= TimeSpan.Zero)
                throw new ArgumentOutOfRangeException(nameof(timeout), "a timeout must be positive or infinite");
            int status, error;
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
            return status;
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
