using System;
using System.ComponentModel;
using System.Runtime.InteropServices;
using System.Text;

namespace Olvexlib
{
    // The attached keys. The native key list is process-wide and must not be
    // rebuilt while a key is being opened, so every listing and opening of
    // this process goes through one lock.
    public static class Keys
    {
        public const int MaxCommand = 65532;
        public const int MaxResponseBody = 51195;

        private static readonly object ListLock = new object();

        // Rebuilds the key list; returns the number of attached keys. Indexes
        // 0..count-1, oldest first, are what Open takes until the next call.
        public static int Enumerate()
        {
            lock (ListLock)
            {
                int count;
                if (NativeMethods.OLVEX_EnumDEV(out count) != 0)
                    throw Failure("listing keys", Marshal.GetLastWin32Error());
                return count;
            }
        }

        // Device paths of the attached keys, oldest first; null for a key
        // that cannot be opened. Opens each key briefly through Olvexlib.dll,
        // since a path is only reported by opening.
        public static string[] List()
        {
            lock (ListLock)
            {
                int count = Enumerate();
                var paths = new string[count];
                for (int i = 0; i < count; i++)
                {
                    var path = new byte[NativeMethods.PathSize];  // zero-filled: the path comes without terminator
                    IntPtr connection;
                    int result = NativeMethods.OLVEX_Connect(out connection, path, i);
                    int error = Marshal.GetLastWin32Error();
                    if (result == NativeMethods.ErrOpen) continue;
                    if (result != 0) throw Failure("opening key " + i, error);
                    NativeMethods.OLVEX_Disconnect(connection);
                    paths[i] = PathString(path);
                }
                return paths;
            }
        }

        // Opens key `index` of the last Enumerate or List.
        public static KeyConnection Open(int index)
        {
            var path = new byte[NativeMethods.KitPathSize];
            ConnectionHandle handle;
            uint error;
            lock (ListLock) error = NativeMethods.OLVEXKIT_Open(out handle, index, path);
            if (error != 0)
            {
                handle.Dispose();
                // The kit reports OLVEX_Connect's failures by their cause alone:
                // bad arguments and exhaustion are the caller's or the process's,
                // anything else is the key's.
                if (error == NativeMethods.ErrorInvalidParameter || error == NativeMethods.ErrorNotEnoughMemory)
                    throw Failure("opening key " + index, (int)error);
                throw new KeyOpenException(index, (int)error);
            }
            return new KeyConnection(handle, PathString(path));
        }

        private static string PathString(byte[] path)
        {
            int length = Array.IndexOf(path, (byte)0);
            return Encoding.ASCII.GetString(path, 0, length < 0 ? path.Length : length);
        }

        internal static Win32Exception Failure(string what, int error)
        {
            return new Win32Exception(error, "Olvexlib: " + what + " failed: " + new Win32Exception(error).Message);
        }
    }
}
