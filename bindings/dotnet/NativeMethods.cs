using System;
using System.Runtime.InteropServices;

namespace Olvexlib
{
    // Counting keys and opening by index go through Olvexlib.dll's exports;
    // listing with attach times, opening by path, watching and connections
    // through Olvexkit.dll, which does them exactly as the C++ API does. StdCall is the exports' convention on x86 and is ignored
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

        internal const int ErrorInvalidHandle = 6;
        internal const int ErrorNotEnoughMemory = 8;
        internal const int ErrorInvalidData = 13;
        internal const int ErrorInvalidParameter = 87;
        internal const int ErrorBusy = 170;
        internal const int WaitTimeout = 258;
        internal const int ErrorOperationAborted = 995;
        internal const int ErrorTimeout = 1460;
        internal const int ErrorNoMoreItems = 259;
        internal const int ErrorDeviceNotConnected = 1167;
        internal const int ErrorAmbiguousSystemDevice = 15250;

        internal const int Attached = 1;
        internal const int Removed = 2;

        // OLVEXKIT_KEYSTATE's states.
        internal const int Openable = 0;
        internal const int NotListed = 1;
        internal const int OpenFailed = 2;
        internal const int Undated = 3;

        // OLVEXKIT_KEYSTATE: 288 bytes everywhere.
        [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Ansi)]
        internal struct KeyStateRecord
        {
            internal KeyRecord Key;
            internal int Index;
            internal int State;
            internal uint Error;
            internal int Reserved;
        }

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_AllKeys([Out] KeyStateRecord[] keys, int capacity, out int count);

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_ErrorMessage(uint code, [Out] byte[] text, int capacity, out int needed);

        // What a code means in the library's words (the kit's table).
        internal static string Message(int code)
        {
            var text = new byte[512];
            int needed;
            if (OLVEXKIT_ErrorMessage((uint)code, text, text.Length, out needed) != 0) return "Windows error " + code;
            if (needed > text.Length)
            {
                text = new byte[needed];
                if (OLVEXKIT_ErrorMessage((uint)code, text, text.Length, out needed) != 0) return "Windows error " + code;
            }
            int length = Array.IndexOf(text, (byte)0);
            return System.Text.Encoding.ASCII.GetString(text, 0, length < 0 ? text.Length : length);
        }

        // OLVEXKIT_KEYINFO: 272 bytes everywhere (264 is a multiple of 8).
        [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Ansi)]
        internal struct KeyRecord
        {
            [MarshalAs(UnmanagedType.ByValTStr, SizeConst = KitPathSize)] internal string Path;
            internal long Attached;  // FILETIME, UTC
        }

        // OLVEXKIT_EVENT: 280 bytes.
        [StructLayout(LayoutKind.Sequential, CharSet = CharSet.Ansi)]
        internal struct EventRecord
        {
            internal KeyRecord Key;
            internal int What;
            internal int Reserved;
        }

        [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true, SetLastError = true)]
        internal static extern int OLVEX_Connect(out IntPtr connection, byte[] pathOut, int index);

        [DllImport(Library, CallingConvention = CallingConvention.StdCall, ExactSpelling = true, SetLastError = true)]
        internal static extern int OLVEX_Disconnect(IntPtr connection);

        [DllImport("kernel32.dll", CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern IntPtr GetModuleHandleW(string name);

        [DllImport("kernel32.dll", CharSet = CharSet.Unicode, ExactSpelling = true)]
        internal static extern int GetModuleFileNameW(IntPtr module, System.Text.StringBuilder name, int size);

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_KeyCount(out int count);

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_Open(out ConnectionHandle key, int index, byte[] pathOut);

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_Exchange(SafeHandle key, byte[] command, int commandLength,
                                                      byte[] response, out int responseLength, out int status,
                                                      uint timeoutMs);

        // OLVEXKIT_DONE. The kit calls it on a thread of the system's pool.
        [UnmanagedFunctionPointer(CallingConvention.StdCall)]
        internal delegate void CallDone(IntPtr context, ulong call, uint error, int status, int responseLength);

        // `response` is pinned by the caller until `done` comes; `done` is a
        // delegate's pointer that lives as long as the process.
        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        // flags 0: callbacks on any thread of the pool, several at once (a
        // continuation that blocks holds up no other call).
        internal static extern uint OLVEXKIT_Start(SafeHandle key, byte[] command, int commandLength,
                                                   IntPtr response, uint timeoutMs, uint flags, IntPtr done,
                                                   IntPtr context, out ulong call);

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_CancelCall(SafeHandle key, ulong call);

        // With done NULL: returns once the key's lock is had, or not.
        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_Begin(ConnectionHandle key, uint timeoutMs, uint flags, IntPtr done,
                                                   IntPtr context, out TransactionHandle tx);

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_End(IntPtr tx);

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_CloseAll(uint graceMs);

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_CloseAsync(IntPtr key, uint graceMs, IntPtr done, IntPtr context);

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_Cancel(IntPtr key);

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_Close(IntPtr key, uint graceMs);

        // Disposes `handle`, so that no call starts on it, and ends the calls
        // running on it; the kit's object goes once the last call inside it
        // returns. False when it was disposed already.
        internal static bool Retire(SafeHandle handle)
        {
            bool held = false;
            try
            {
                // Keeps the kit's object alive past the handle's own Dispose.
                handle.DangerousAddRef(ref held);
            }
            catch (ObjectDisposedException)
            {
                return false;
            }
            try
            {
                handle.Dispose();
                OLVEXKIT_Cancel(handle.DangerousGetHandle());
            }
            finally
            {
                handle.DangerousRelease();
            }
            return true;
        }

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_Keys([Out] KeyRecord[] keys, int capacity, out int count);

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        internal static extern uint OLVEXKIT_OpenPath(out ConnectionHandle key, string path);

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        internal static extern uint OLVEXKIT_Identify(string path, out ushort vendorId, out ushort productId,
                                                      byte[] serial);

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true, CharSet = CharSet.Ansi,
                   BestFitMapping = false, ThrowOnUnmappableChar = true)]
        internal static extern uint OLVEXKIT_OpenSerial(out ConnectionHandle key, string serial, byte[] pathOut,
                                                        byte[] otherPathOut);

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_Watch(out IntPtr watcher, uint intervalMs);

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_NextEvent(IntPtr watcher, ref EventRecord ev, uint waitMs);

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_WatchNotified(IntPtr watcher, out int notified);

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_StopWatch(IntPtr watcher);

        [DllImport(Kit, CallingConvention = CallingConvention.StdCall, ExactSpelling = true)]
        internal static extern uint OLVEXKIT_CloseWatch(IntPtr watcher);
    }
}
