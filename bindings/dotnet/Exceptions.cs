using System.ComponentModel;

namespace Olvexlib
{
    // OLVEX_Connect's OLVEX_ERR_OPEN: the key is listed but cannot be opened
    // (unplugged since it was listed, held exclusively, refused by its
    // driver). NativeErrorCode is the platform's reason.
    public class KeyOpenException : Win32Exception
    {
        public KeyOpenException(int index, int error)
            : base(error, "Olvexlib: key " + index + " cannot be opened: " + NativeMethods.Message(error) + " (error " + error + ")")
        {
            Index = index;
        }

        public int Index { get; }
    }

    // ERROR_DEVICE_NOT_CONNECTED (1167): no attached key has the path (Open),
    // or the key went away during or before an exchange. Every later exchange
    // on that connection fails the same way; disposing it is still fine, and
    // Keys.Open(Path) reaches the key again once it is back.
    public class KeyRemovedException : Win32Exception
    {
        public KeyRemovedException(string path)
            : base(NativeMethods.ErrorDeviceNotConnected, "Olvexlib: the key " + path + " is not attached")
        {
            Path = path;
        }

        public string Path { get; }
    }
}
