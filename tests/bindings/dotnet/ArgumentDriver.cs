// ArgumentDriver TABLE SERIAL: the first-program table (first-program.txt) through the .NET
// binding, on the plugged echo key SERIAL. The first row runs before this
// process lists any key.
using System;
using System.ComponentModel;
using System.IO;
using System.Linq;
using Olvexlib;

static class ArgumentDriver
{
    static KeyConnection key;
    static string serial;

    static KeyConnection EchoKey()
    {
        if (key == null) key = Keys.Open(Keys.List().First(k => k.Path.Contains("#" + serial + "#")).Path);
        return key;
    }

    // The row's call; false when it has no form in .NET.
    static bool Call(string call)
    {
        string[] parts = call.Split(':');
        string arg = parts.Length > 1 ? parts[1] : "";
        switch (parts[0])
        {
        case "open-index": Keys.Open(arg == "count" ? Keys.Enumerate() : int.Parse(arg)); return true;
        case "open-path-null": Keys.Open((string)null); return true;
        case "exchange-null": EchoKey().Exchange(null); return true;
        case "exchange": EchoKey().Exchange(new byte[int.Parse(arg)]); return true;
        case "timeout":
            EchoKey().ExchangeAsync(new byte[] { 1 }, TimeSpan.FromMilliseconds(int.Parse(arg))).GetAwaiter().GetResult();
            return true;
        case "timeout-text": return false;  // a TimeSpan cannot be text
        default: throw new Exception("unknown call " + call);
        }
    }

    static bool Fits(string expect, Exception e)
    {
        switch (expect)
        {
        case "index":
        case "range": return e is ArgumentOutOfRangeException;
        case "type": return e is ArgumentNullException;
        case "87": return e is Win32Exception && ((Win32Exception)e).NativeErrorCode == 87;
        default: throw new Exception("unknown expectation " + expect);
        }
    }

    static int Main(string[] args)
    {
        serial = args[1];
        var rows = File.ReadAllLines(args[0]).Where(l => l.Trim().Length > 0 && !l.StartsWith("#"))
                       .Select(l => l.Split('|').Select(c => c.Trim()).ToArray()).ToList();
        int failed = 0;
        foreach (string[] row in rows)
        {
            string name = row[0], call = row[1], expect = row[2], says = row[3];
            Exception error = null;
            try
            {
                if (!Call(call))
                {
                    Console.WriteLine("ok " + name + " (not applicable: the argument is typed)");
                    continue;
                }
            }
            catch (Exception e)
            {
                error = e;
            }
            string why = error == null ? "no exception, want " + expect
                       : !Fits(expect, error) ? "want " + expect + ", got " + error.GetType().Name + ": " + error.Message
                       : says != "-" && !error.Message.Contains(says) ? "the message lacks \"" + says + "\": " + error.Message
                       : null;
            if (why == null) Console.WriteLine("ok " + name + " (" + error.GetType().Name + ": " + error.Message.Split('\n')[0] + ")");
            else
            {
                failed++;
                Console.WriteLine("FAILED " + name + ": " + why);
            }
        }
        if (key != null) key.Dispose();
        if (failed > 0)
        {
            Console.WriteLine(failed + " of " + rows.Count + " rows failed");
            return 1;
        }
        Console.WriteLine("completed: dotnet bad arguments, " + rows.Count + " rows");
        return 0;
    }
}
