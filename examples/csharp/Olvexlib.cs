// P/Invoke declarations for Olvexlib.dll. The exports are stdcall on x86 and
// use the single x64 convention on x64; CallingConvention.StdCall is right for
// both (it is ignored on x64).
using System;
using System.Runtime.InteropServices;
using System.Text;

public static class Olvexlib
{
    public const int OK = 0;
    public const int FAIL = -1;
    public const int ERR_OPEN = 0x10001;
    public const int PathSize = 260;
    public const int MaxResponseBody = 51195;
    public const int MaxCommand = 65532;

    [DllImport("Olvexlib.dll", CallingConvention = CallingConvention.StdCall)]
    public static extern int OLVEX_EnumDEV(out int count);

    // pathOut receives the path without terminator: pass a zero-filled buffer of PathSize bytes.
    [DllImport("Olvexlib.dll", CallingConvention = CallingConvention.StdCall)]
    public static extern int OLVEX_Connect(out IntPtr connection, byte[] pathOut, int index);

    // Returns the key's status word (0..65535) or FAIL.
    [DllImport("Olvexlib.dll", CallingConvention = CallingConvention.StdCall)]
    public static extern int OLVEX_DoCommand(IntPtr connection, byte[] command, int commandLength,
                                             byte[] response, out int responseLength);

    [DllImport("Olvexlib.dll", CallingConvention = CallingConvention.StdCall)]
    public static extern int OLVEX_Disconnect(IntPtr connection);

    public static string PathOf(byte[] pathOut)
    {
        int n = Array.IndexOf(pathOut, (byte)0);
        return Encoding.ASCII.GetString(pathOut, 0, n < 0 ? pathOut.Length : n);
    }
}

public static class Example
{
    public static int Main()
    {
        if (Olvexlib.OLVEX_EnumDEV(out int count) != Olvexlib.OK) return 1;
        Console.WriteLine($"{count} key(s) attached");
        for (int i = 0; i < count; i++)
        {
            var path = new byte[Olvexlib.PathSize];
            int rc = Olvexlib.OLVEX_Connect(out IntPtr key, path, i);
            if (rc != Olvexlib.OK) { Console.Error.WriteLine($"key {i}: connect failed ({rc})"); continue; }
            var body = new byte[Olvexlib.MaxResponseBody];
            byte[] command = { 0x80, 0xCA, 0x9F, 0x7F, 0x00 };
            int status = Olvexlib.OLVEX_DoCommand(key, command, command.Length, body, out int length);
            Console.WriteLine(status == Olvexlib.FAIL
                ? $"key {i}: exchange failed"
                : $"key {i} ({Olvexlib.PathOf(path)}): status {status:X4}, {length} byte(s)");
            Olvexlib.OLVEX_Disconnect(key);
        }
        return 0;
    }
}
