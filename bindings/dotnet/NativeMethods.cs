using System;
using System.Runtime.InteropServices;

namespace Olvexlib
{
    // Listing goes through Olvexlib.dll's exports; connections through
    // Olvexkit.dll, which gives up on a key, cancels and closes exactly as the
    // C++ API does. StdCall is the exports' convention on x86 and is ignored
    // on x64. Every OLVEXKIT_* call returns 0 or the Windows error code, so
    // none of them needs the thread's last error.
    internal static class NativeMethods
    {
        private const string Library = "Olvexlib.dll";
        private const string Kit = "Olvexkit.dll";

        internal const int Fail = -1;
        internal const int ErrOpen = 0x10001;
        internal const int PathSize = 260;
        internal const int KitPathSize = 264;

        internal const uint NoTimeout = 0xFFFFFFFF;
        internal const uint MaxTimeout = 0xFFFFFFFE;
        internal const uint CloseGraceMs = 2000;

        internal const int ErrorNotEnoughMemory = 8;
        internal const int ErrorInvalidParameter = 87;
        internal const int WaitTimeout = 258;
        internal const int ErrorOperationAborted = 995;
        internal const int ErrorTimeout = 1460;

        [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true, SetLastError = true)]
        internal static extern int OLVEX_EnumDEV(out int count);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true, SetLastError = true)]
        internal static extern int OLVEX_Connect(out IntPtr connection, byte[] pathOut, int index);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true, SetLastError = true)]
        internal static extern int OLVEX_Disconnect(IntPtr connection);

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_Open(out ConnectionHandle key, int index, byte[] pathOut);

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_Exchange(ConnectionHandle key, byte[] command, int commandLength,
                                                      byte[] response, out int responseLength, out int status,
                                                      uint timeoutMs);

        // `cancelled` (one int, nonzero once cancelled) is read by the kit while
        // the call runs: an int[] is pinned, not copied, for the call.
        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_ExchangeCancellable(ConnectionHandle key, byte[] command, int commandLength,
                                                                 byte[] response, out int responseLength,
                                                                 out int status, uint timeoutMs, int[] cancelled);

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_Cancel(ConnectionHandle key);

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_Close(IntPtr key, uint graceMs);
    }
}
