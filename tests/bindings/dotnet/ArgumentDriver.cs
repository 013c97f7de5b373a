// ArgumentDriver TABLE SERIAL: the bad-argument table (bad-arguments.txt) through
// the .NET binding, on the plugged echo key SERIAL. The first row runs before
// this process lists any key.
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

    // The row's call ("open index 5", "exchange timeout 0"...); false when it
    // has no form in .NET.
    static bool Call(string call)
    {
        string[] w = call.Split(' ');
        string what = w[0] + " " + w[1], arg = w.Length > 2 ? w[2] : "";
        switch (what)
        {
        case "open index": Keys.Open(arg == "count" ? Keys.Enumerate() : int.Parse(arg)); return true;
        case "open path": Keys.Open(arg == "null" ? null : arg); return true;
        case "exchange bytes": EchoKey().Exchange(arg == "null" ? null : new byte[int.Parse(arg)]); return true;
        case "exchange timeout":
            if (arg == "text") return false;  // a TimeSpan cannot be text
            EchoKey().ExchangeAsync(new byte[] { 1 }, TimeSpan.FromMilliseconds(int.Parse(arg))).GetAwaiter().GetResult();
            return true;
        case "exchange closed":
            KeyConnection closed = Keys.Open(EchoKey().Path);
            closed.Dispose();
            closed.Exchange(new byte[] { 1 });
            return true;
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
        case "closed": return e is ObjectDisposedException;
        default:
            int code;
            if (!int.TryParse(expect, out code)) throw new Exception("unknown expectation " + expect);
            return e is Win32Exception && ((Win32Exception)e).NativeErrorCode == code;
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
            string name = row[0], call = row[1], expect = row[6], says = row[7];
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
