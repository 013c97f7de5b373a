using System;
using System.ComponentModel;
using System.Runtime.InteropServices;
using System.Text;

namespace Olvexlib
{
    // The attached keys. The native key list is process-wide and must not be
    // rebuilt while a key is being opened, so every listing and opening of
    // this process goes through one lock. A KeyWatcher lists on its own
    // (inside the kit, under the kit's lock): while one runs, name keys by path.
    public static class Keys
    {
        public const int MaxCommand = 65532;
        public const int MaxResponseBody = 51195;

        internal static readonly object ListLock = new object();
        // The count of this process's last Enumerate; -1 before the first.
        private static int listed = -1;
        // Rebuilds the key list; returns the number of attached keys. Indexes
        // 0..count-1, oldest first, are what Open takes until the next call.
        // A KeyWatcher lists the keys anew on its own: while one runs, name
        // keys by path (List, Open(path)).
        public static int Enumerate()
        {
            lock (ListLock)
            {
                // Through the kit, whose lock keeps it apart from a watcher's listings.
                int count;
                uint error = NativeMethods.OLVEXKIT_KeyCount(out count);
                if (error != 0) throw Failure("listing keys", (int)error);
                listed = count;
                return count;
            }
        }

        // Every attached key: first those the library lists, oldest first,
        // each with its Index and attach time; then any other attached key,
        // with CanOpen false and WhyNot saying why (beyond the 10 keys the
        // library lists, or the platform's cause in Error). A key's path names
        // it for as long as it stays attached; indexes change whenever keys
        // come and go.
        public static KeyInfo[] List()
        {
            var records = new NativeMethods.KeyStateRecord[16];
            for (;;)
            {
                int count;
                uint error;
                lock (ListLock) error = NativeMethods.OLVEXKIT_AllKeys(records, records.Length, out count);
                if (error != 0) throw Failure("listing keys", (int)error);
                if (count <= records.Length)
                {
                    var keys = new KeyInfo[count];
                    for (int i = 0; i < count; i++) keys[i] = new KeyInfo(records[i]);
                    return keys;
                }
                records = new NativeMethods.KeyStateRecord[count];
            }
        }

        // Opens the attached key with this device path (as List or a
        // KeyWatcher give it), whatever its index now. KeyRemovedException when
        // no attached key has it.
        public static KeyConnection Open(string path)
        {
            if (path == null) throw new ArgumentNullException(nameof(path));
            ConnectionHandle handle;
            uint error;
            lock (ListLock) error = NativeMethods.OLVEXKIT_OpenPath(out handle, path);
            if (error != 0)
            {
                handle.Dispose();
                if (error == NativeMethods.ErrorDeviceNotConnected) throw new KeyRemovedException(path);
                throw Failure("opening " + path, (int)error);
            }
            return new KeyConnection(handle, path);
        }

        // Opens the attached key whose serial (KeyInfo.Serial; case does not
        // count) is `serial`, whatever its index. Win32Exception 1167 when no
        // attached key has it; 15250 when several do, opening none, its
        // message naming their paths.
        public static KeyConnection OpenSerial(string serial)
        {
            if (serial == null) throw new ArgumentNullException(nameof(serial));
            var path = new byte[NativeMethods.KitPathSize];
            var other = new byte[NativeMethods.KitPathSize];
            ConnectionHandle handle;
            uint error;
            lock (ListLock) error = NativeMethods.OLVEXKIT_OpenSerial(out handle, serial, path, other);
            if (error == 0) return new KeyConnection(handle, PathString(path));
            handle.Dispose();
            string what = "opening the key with serial " + serial;
            if (error == NativeMethods.ErrorAmbiguousSystemDevice)
                what += " (claimed by " + PathString(path) + " and " + PathString(other) + ")";
            throw Failure(what, (int)error);
        }

        // Opens key `index` of the last Enumerate (List's order is the same,
        // less the keys that cannot be opened).
        public static KeyConnection Open(int index)
        {
            var path = new byte[NativeMethods.KitPathSize];
            ConnectionHandle handle;
            uint error;
            lock (ListLock)
            {
                if (listed < 0 || index < 0 || index >= listed) throw IndexOutOfRange(index);
                error = NativeMethods.OLVEXKIT_Open(out handle, index, path);
            }
            if (error != 0)
            {
                handle.Dispose();
                // The kit reports OLVEX_Connect's failures by their cause alone:
                // bad arguments and exhaustion are the caller's or the process's,
                // anything else is the key's.
                if (error == NativeMethods.ErrorInvalidParameter) throw IndexOutOfRange(index);
                if (error == NativeMethods.ErrorNotEnoughMemory) throw Failure("opening key " + index, (int)error);
                throw new KeyOpenException(index, (int)error);
            }
            return new KeyConnection(handle, PathString(path));
        }


        internal static string PathString(byte[] path)
        {
            int length = Array.IndexOf(path, (byte)0);
            return Encoding.ASCII.GetString(path, 0, length < 0 ? path.Length : length);
        }

        // An index names a key of this process's last Enumerate, and nothing before one.
        private static ArgumentOutOfRangeException IndexOutOfRange(int index)
        {
            return new ArgumentOutOfRangeException(nameof(index), index, listed < 0
                ? "Olvexlib: key " + index + " was asked for before any Keys.Enumerate() in this process: enumerate first, or open by path"
                : "Olvexlib: key " + index + " is not one of the " + listed + " key(s) of the last Keys.Enumerate()");
        }

        internal static Win32Exception Failure(string what, int error)
        {
            return new Win32Exception(error, "Olvexlib: " + what + " failed: " + Reason(error) + " (error " + error + ")");
        }

        // What a code means coming from this library, in the words every
        // layer uses (the kit's table). Asked on the thread that just failed,
        // it may say more than the code alone (a 258 this connection's own
        // late exchange caused).
        internal static string Reason(int error)
        {
            return NativeMethods.Message(error);
        }

        // The file version of the Olvexlib.dll this process loaded, e.g. 1.0.4.0.
        public static Version LibraryVersion
        {
            get
            {
                NativeMethods.OLVEX_Disconnect(IntPtr.Zero);  // does nothing but load it
                var file = new StringBuilder(1024);
                int n = NativeMethods.GetModuleFileNameW(NativeMethods.GetModuleHandleW("Olvexlib.dll"), file, file.Capacity);
                if (n <= 0) throw new Win32Exception(Marshal.GetLastWin32Error());
                var info = System.Diagnostics.FileVersionInfo.GetVersionInfo(file.ToString());
                return new Version(info.FileMajorPart, info.FileMinorPart, info.FileBuildPart, info.FilePrivatePart);
            }
        }
    }

    // An attached key: its device path, which names it while it stays
    // attached, and when it was attached (UTC). A key unplugged and plugged
    // back has the same path and a later Attached. VendorId, ProductId and
    // Serial are what the path says the key is (0, 0 and "" where it does
    // not say): the serial tells a key that came back, whatever its path.
    public sealed class KeyInfo
    {
        public KeyInfo(string path, DateTime attached)
        {
            Path = path;
            Attached = attached;
            var serial = new byte[NativeMethods.KitPathSize];
            ushort vendor, product;
            if (path != null && NativeMethods.OLVEXKIT_Identify(path, out vendor, out product, serial) == 0)
            {
                VendorId = vendor;
                ProductId = product;
            }
            Serial = Keys.PathString(serial);
        }

        internal KeyInfo(NativeMethods.KeyRecord record)
            : this(record.Path, DateTime.FromFileTimeUtc(record.Attached))
        {
        }

        internal KeyInfo(NativeMethods.KeyStateRecord record)
            : this(record.Key.Path, record.Key.Attached == 0 ? DateTime.MinValue : DateTime.FromFileTimeUtc(record.Key.Attached))
        {
            CanOpen = record.State == NativeMethods.Openable;
            Index = CanOpen ? record.Index : (int?)null;
            Error = record.State == NativeMethods.OpenFailed ? (int)record.Error : 0;
            WhyNot = record.State == NativeMethods.NotListed ? "beyond the 10 keys the library lists (the oldest ones)"
                   : record.State == NativeMethods.Undated ? "the platform keeps no attach time for it, so the library does not list it"
                   : record.State == NativeMethods.OpenFailed ? "it does not open: " + NativeMethods.Message(Error) + " (error " + Error + ")"
                   : null;
        }

        public string Path { get; }
        // DateTime.MinValue when the platform keeps no attach time for it.
        public DateTime Attached { get; }
        // Whether Keys.Open(Index) or Keys.Open(Path) can open it; if not,
        // why (WhyNot), and the platform's code when it did not open (Error).
        public bool CanOpen { get; } = true;
        public int? Index { get; }
        public string WhyNot { get; }
        public int Error { get; }
        public ushort VendorId { get; }
        public ushort ProductId { get; }
        public string Serial { get; }

        public override string ToString() => Path + " (attached " + Attached.ToString("o") + ")";
    }
}
