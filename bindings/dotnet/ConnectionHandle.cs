using System;
using System.Runtime.InteropServices;

namespace Olvexlib
{
    // Owns one OLVEX_HANDLE. Passing it (not an IntPtr) to OLVEX_DoCommand
    // makes the runtime hold a reference for the call, so Dispose on another
    // thread defers the Disconnect until running exchanges have returned.
    public sealed class ConnectionHandle : SafeHandle
    {
        private ConnectionHandle() : base(IntPtr.Zero, true) { }

        public override bool IsInvalid => handle == IntPtr.Zero;

        protected override bool ReleaseHandle() => NativeMethods.OLVEX_Disconnect(handle) == 0;
    }
}
