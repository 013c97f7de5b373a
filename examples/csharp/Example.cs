// Lists the attached keys and sends each one command, through the .NET
// binding (bindings/dotnet, shipped as bin/Olvexlib.Net.dll beside
// Olvexlib.dll and Olvexkit.dll). Build: mcs Example.cs -r:Olvexlib.Net.dll
using System;
using System.ComponentModel;
using Olvexlib;

public static class Example
{
    public static int Main()
    {
        int count = Keys.Enumerate();
        Console.WriteLine(count + " key(s) attached");
        byte[] command = { 0x80, 0xCA, 0x9F, 0x7F, 0x00 };
        for (int i = 0; i < count; i++)
        {
            try
            {
                using (KeyConnection key = Keys.Open(i))
                {
                    KeyResponse r = key.Exchange(command, TimeSpan.FromSeconds(5));
                    Console.WriteLine("key " + i + " (" + key.Path + "): status " + r.Status.ToString("X4") + ", " +
                                      r.Body.Length + " byte(s)");
                }
            }
            catch (KeyOpenException e)
            {
                Console.Error.WriteLine("key " + i + " cannot be opened: " + e.Message);
            }
            catch (TimeoutException e)
            {
                // Busy (another program held it) or silent; either way the
                // connection is still fine: a late answer is discarded.
                Console.Error.WriteLine("key " + i + ": " + e.Message);
            }
            catch (Win32Exception e)
            {
                Console.Error.WriteLine("key " + i + ": error " + e.NativeErrorCode + ": " + e.Message);
            }
        }
        return 0;
    }
}
