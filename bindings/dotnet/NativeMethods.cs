using System;
using System.Runtime.InteropServices;

namespace Olvexlib
{
    // The four exports, and the kernel32 calls the timeout needs. StdCall is
    // the exports' convention on x86 and is ignored on x64.
    internal static class NativeMethods
    {
        private const string Library = "Olvexlib.dll";

        internal const int Fail = -1;
        internal const int ErrOpen = 0x10001;
        internal const int PathSize = 260;
        internal const int ErrorOperationAborted = 995;

        [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true, SetLastError = true)]
        internal static extern int OLVEX_EnumDEV(out int count);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true, SetLastError = true)]
        internal static extern int OLVEX_Connect(out ConnectionHandle connection, byte[] pathOut, int index);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true, SetLastError = true)]
        internal static extern int OLVEX_DoCommand(ConnectionHandle connection, byte[] command, int commandLength,
                                                   byte[] response, out int responseLength);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true, SetLastError = true)]
        internal static extern int OLVEX_Disconnect(IntPtr connection);

        internal const uint ThreadTerminate = 0x0001;  // the access CancelSynchronousIo needs

        [DllImport("kernel32.dll", ExactSpelling = true)]
        internal static extern IntPtr GetCurrentThread();

        [DllImport("kernel32.dll", ExactSpelling = true)]
        internal static extern IntPtr GetCurrentProcess();

        [DllImport("kernel32.dll", ExactSpelling = true, SetLastError = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        internal static extern bool DuplicateHandle(IntPtr sourceProcess, IntPtr source, IntPtr targetProcess,
                                                    out IntPtr target, uint access,
                                                    [MarshalAs(UnmanagedType.Bool)] bool inherit, uint options);

        [DllImport("kernel32.dll", ExactSpelling = true, SetLastError = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        internal static extern bool CancelSynchronousIo(IntPtr thread);

        [DllImport("kernel32.dll", ExactSpelling = true, SetLastError = true)]
        [return: MarshalAs(UnmanagedType.Bool)]
        internal static extern bool CloseHandle(IntPtr handle);
    }
}
