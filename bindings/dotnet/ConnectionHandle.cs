using System;
using System.Runtime.InteropServices;

namespace Olvexlib
{
    // Owns one OLVEXKIT_KEY. Passing it (not an IntPtr) to the kit makes the
    // runtime hold a reference for the call, so Dispose on another thread
    // defers the close until running exchanges have returned, as
    // OLVEXKIT_Close requires. Closing gives an answer the key still owes the
    // kit's grace before the read is cancelled.
    public sealed class ConnectionHandle : SafeHandle
    {
        private ConnectionHandle() : base(IntPtr.Zero, true) { }

        public override bool IsInvalid => handle == IntPtr.Zero;

        protected override bool ReleaseHandle() =>
            NativeMethods.OLVEXKIT_Close(handle, NativeMethods.CloseGraceMs) == 0;
    }
}
