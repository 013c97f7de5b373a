// Lists the attached keys and sends each one command, through the .NET
// binding (bindings/dotnet, shipped as bin/Olvexlib.Net.dll beside
// Olvexlib.dll and Olvexkit.dll). Build: mcs Example.cs -r:Olvexlib.Net.dll
using System;
using System.ComponentModel;
using System.Threading;
using System.Threading.Tasks;
using Olvexlib;

public static class Example
{
    public static int Main()
    {
        KeyInfo[] keys = Keys.List();
        Console.WriteLine(keys.Length + " key(s) attached; Olvexlib.dll " + Keys.LibraryVersion);
        byte[] command = { 0x80, 0xCA, 0x9F, 0x7F, 0x00 };
        foreach (KeyInfo info in keys)
        {
            try
            {
                // By path: it still names this key if others come and go meanwhile.
                using (KeyConnection key = Keys.Open(info.Path))
                {
                    KeyResponse r = key.Exchange(command, TimeSpan.FromSeconds(5));
                    Console.WriteLine(info.Path + " (attached " + info.Attached.ToLocalTime() + "): status " +
                                      r.Status.ToString("X4") + ", " + r.Body.Length + " byte(s)");
                    // No thread waits meanwhile; the token ends this call alone.
                    using (var cts = new CancellationTokenSource(TimeSpan.FromSeconds(1)))
                    {
                        Task<KeyResponse> call = key.ExchangeAsync(command, TimeSpan.FromSeconds(2), cts.Token);
                        Console.WriteLine("again: status " + call.GetAwaiter().GetResult().Status.ToString("X4"));
                    }
                }
            }
            catch (KeyRemovedException)
            {
                Console.Error.WriteLine(info.Path + " was unplugged");
            }
            catch (OperationCanceledException)
            {
                Console.Error.WriteLine(info.Path + ": cancelled after 1 s");
            }
            catch (TimeoutException e)
            {
                // Busy (another program held it) or silent; either way the
                // connection is still fine: a late answer is discarded.
                Console.Error.WriteLine(info.Path + ": " + e.Message);
            }
            catch (Win32Exception e)
            {
                Console.Error.WriteLine(info.Path + ": error " + e.NativeErrorCode + ": " + e.Message);
            }
        }
        return 0;
    }
}
