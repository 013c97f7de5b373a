using System.ComponentModel;

namespace Olvexlib
{
    // OLVEX_Connect's OLVEX_ERR_OPEN: the key is listed but cannot be opened
    // (unplugged since it was listed, held exclusively, refused by its
    // driver). NativeErrorCode is the platform's reason.
    public class KeyOpenException : Win32Exception
    {
        public KeyOpenException(int index, int error)
            : base(error, "Olvexlib: key " + index + " cannot be opened: " + new Win32Exception(error).Message)
        {
            Index = index;
        }

        public int Index { get; }
    }
}
