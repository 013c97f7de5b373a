using System;
using System.Threading;

namespace Olvexlib
{
    public sealed class KeyEventArgs : EventArgs
    {
        public KeyEventArgs(KeyInfo key)
        {
            Key = key;
        }

        public KeyInfo Key { get; }
    }

    // Keys coming and going: Olvexkit.dll's watcher (olvexlib.hpp's
    // key_watcher), its events raised on a thread of this watcher's own, one
    // at a time, in order. First Attached for each key present, oldest first;
    // then one event per change. Subscribe, then Start(): nothing is raised
    // before Start, so no early event can reach a handler not yet added.
    //
    // A handler may open the key (Keys.Open(e.Key.Path)) and exchange with it,
    // and may Dispose the watcher. An exception a handler lets out ends the
    // process, as on any thread.
    public sealed class KeyWatcher : IDisposable
    {
        // How long one OLVEXKIT_NextEvent waits; StopWatch wakes it anyway.
        private const uint WaitMs = 500;

        private readonly object gate = new object();
        private readonly uint intervalMs;
        // Under gate. The native watcher is closed, and native cleared, only
        // by the event thread once it has left NextEvent for good.
        private IntPtr native;
        private Thread thread;
        private bool started, disposed;

        // Lists the keys every 250 ms (the kit's default) where the platform
        // does not notify of devices.
        public KeyWatcher() : this(TimeSpan.Zero, false)
        {
        }

        // Lists the keys every `interval` (positive; rounded up to whole
        // milliseconds) where the platform does not notify of devices.
        public KeyWatcher(TimeSpan interval) : this(interval, true)
        {
        }

        private KeyWatcher(TimeSpan interval, bool given)
        {
            if (!given) return;  // 0: the kit's default
            if (interval <= TimeSpan.Zero)
                throw new ArgumentOutOfRangeException(nameof(interval), "the interval must be positive");
            long ms = (interval.Ticks + TimeSpan.TicksPerMillisecond - 1) / TimeSpan.TicksPerMillisecond;
            intervalMs = ms >= NativeMethods.MaxTimeout ? NativeMethods.MaxTimeout : (uint)ms;
        }

        public event EventHandler<KeyEventArgs> Attached;
        public event EventHandler<KeyEventArgs> Removed;

        // Whether changes come from the platform's device notifications (true)
        // or from listing at the interval (false, as under Wine). False before
        // Start and after Dispose.
        public bool Notified
        {
            get
            {
                lock (gate)
                {
                    int notified;
                    return native != IntPtr.Zero && !disposed &&
                           NativeMethods.OLVEXKIT_WatchNotified(native, out notified) == 0 && notified != 0;
                }
            }
        }

        // Starts watching and raising events. Once only.
        public void Start()
        {
            lock (gate)
            {
                if (disposed) throw new ObjectDisposedException(nameof(KeyWatcher));
                if (started) throw new InvalidOperationException("the watcher has been started already");
                IntPtr w;
                uint error = NativeMethods.OLVEXKIT_Watch(out w, intervalMs);
                if (error != 0) throw Keys.Failure("watching for keys", (int)error);
                var t = new Thread(Deliver) { IsBackground = true, Name = "Olvexlib key watcher" };
                try
                {
                    t.Start();
                }
                catch
                {
                    Close(w);
                    throw;
                }
                native = w;
                thread = t;
                started = true;
            }
        }

        // Stops the watching. From another thread: returns once no handler
        // runs, and none will. From a handler: that handler is the last one.
        // Any number of times.
        public void Dispose()
        {
            Thread t;
            lock (gate)
            {
                t = thread;
                if (!disposed)
                {
                    disposed = true;
                    // Wakes the event thread, which then closes the watcher.
                    if (native != IntPtr.Zero) NativeMethods.OLVEXKIT_StopWatch(native);
                }
            }
            // Even when a handler disposed first: it may still be running.
            if (t != null && t != Thread.CurrentThread) t.Join();
        }

        private void Deliver()
        {
            IntPtr w;
            lock (gate) w = native;  // set by Start before it lets go of gate
            var record = new NativeMethods.EventRecord();
            try
            {
                for (;;)
                {
                    uint result = NativeMethods.OLVEXKIT_NextEvent(w, ref record, WaitMs);
                    if (result == NativeMethods.WaitTimeout) continue;
                    if (result != 0) break;  // ERROR_NO_MORE_ITEMS: stopped
                    if (Volatile.Read(ref disposed)) continue;
                    EventHandler<KeyEventArgs> handler = record.What == NativeMethods.Attached ? Attached : Removed;
                    if (handler != null) handler(this, new KeyEventArgs(new KeyInfo(record.Key)));
                }
            }
            finally
            {
                lock (gate)
                {
                    native = IntPtr.Zero;
                    Close(w);
                }
            }
        }

        private static void Close(IntPtr w)
        {
            NativeMethods.OLVEXKIT_CloseWatch(w);
        }
    }
}
