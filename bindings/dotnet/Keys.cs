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
        // that cannot be opened. Opens each key briefly, since a path is only
        // reported by opening.
        public static string[] List()
        {
            lock (ListLock)
            {
                int count = Enumerate();
                var paths = new string[count];
                for (int i = 0; i < count; i++)
                {
                    try
                    {
                        using (KeyConnection key = Open(i)) paths[i] = key.Path;
                    }
                    catch (KeyOpenException)
                    {
                        paths[i] = null;
                    }
                }
                return paths;
            }
        }

        // Opens key `index` of the last Enumerate or List.
        public static KeyConnection Open(int index)
        {
            var path = new byte[NativeMethods.PathSize];  // zero-filled: the path comes without terminator
            ConnectionHandle handle;
            int result, error;
            lock (ListLock)
            {
                result = NativeMethods.OLVEX_Connect(out handle, path, index);
                error = Marshal.GetLastWin32Error();
            }
            if (result != 0)
            {
                handle.Dispose();
                if (result == NativeMethods.ErrOpen) throw new KeyOpenException(index, error);
                throw Failure("opening key " + index, error);
            }
            int length = Array.IndexOf(path, (byte)0);
            return new KeyConnection(handle, Encoding.ASCII.GetString(path, 0, length < 0 ? path.Length : length));
        }

        internal static Win32Exception Failure(string what, int error)
        {
            return new Win32Exception(error, "Olvexlib: " + what + " failed: " + new Win32Exception(error).Message);
        }
    }
}
