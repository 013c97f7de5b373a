// What the .NET test programs share: starting a program under Wine, which
// under load now and then fails a CreateProcess with ERROR_INTERNAL_ERROR
// (1359) that the next attempt does not.
using System.ComponentModel;
using System.Diagnostics;
using System.Threading;

static class Processes
{
    public static Process Start(ProcessStartInfo start)
    {
        for (int attempt = 1; ; attempt++)
        {
            try
            {
                return Process.Start(start);
            }
            catch (Win32Exception e) when (e.NativeErrorCode == 1359 && attempt < 5)
            {
                Thread.Sleep(200 * attempt);
            }
        }
    }
}
