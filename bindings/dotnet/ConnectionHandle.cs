using System;
using System.Runtime.InteropServices;
using System.Threading;

namespace Olvexlib
{
    // Owns one OLVEXKIT_KEY. Passing it (not an IntPtr) to the kit makes the
    // runtime hold a reference for the call, so Dispose on another thread
    // defers the close until running calls have returned, as OLVEXKIT_Close
    // requires. Closing gives an answer the key still owes the kit's grace
    // before the read is cancelled.
    public sealed class ConnectionHandle : SafeHandle
    {
        private readonly object gate = new object();
        private bool released;  // under gate
        // Dispose was called: the close runs on whichever thread lets go last
        // and waits for the grace there. The finalizer must not wait for it.
        private volatile bool disposeCalled;

        // The program's end gives what every open key owes its grace: no
        // finalizer runs then (.NET Core), and a connection's thread killed in
        // its read would leave the key's answer to the next program.
        static ConnectionHandle()
        {
            AppDomain.CurrentDomain.ProcessExit +=
                (sender, e) => NativeMethods.OLVEXKIT_CloseAll(NativeMethods.CloseGraceMs);
        }

        private ConnectionHandle() : base(IntPtr.Zero, true) { }

        public override bool IsInvalid => handle == IntPtr.Zero;

        protected override void Dispose(bool disposing)
        {
            if (disposing) disposeCalled = true;
            base.Dispose(disposing);
        }

        protected override bool ReleaseHandle()
        {
            bool closed = disposeCalled
                ? NativeMethods.OLVEXKIT_Close(handle, NativeMethods.CloseGraceMs) == 0
                : NativeMethods.OLVEXKIT_CloseAsync(handle, NativeMethods.CloseGraceMs, IntPtr.Zero, IntPtr.Zero) == 0 ||
                  NativeMethods.OLVEXKIT_Close(handle, NativeMethods.CloseGraceMs) == 0;
            lock (gate)
            {
                released = true;
                Monitor.PulseAll(gate);
            }
            return closed;
        }

        // Returns once the key is closed and its lock released.
        internal void WaitReleased()
        {
            lock (gate)
                while (!released) Monitor.Wait(gate);
        }
    }
}
