// ScenarioDriver TABLE: runs the timed-exchange scenarios of TABLE
// (tests/scenarios/timed-exchange.txt, whose header says what a row means)
// through the .NET binding, each on a fresh virtual key plugged with keysim.exe
// (beside this program). Prints `ok NAME` or `FAILED NAME: why` per row, and
// `completed: ...` last only when every row passed.
using System;
using System.ComponentModel;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Threading;
using System.Threading.Tasks;
using Olvexlib;

static class ScenarioDriver
{
    const byte FirstCommand = 0x01, LaterCommand = 0x0b;

    sealed class RowFailed : Exception
    {
        public RowFailed(string why) : base(why) { }
    }

    sealed class Row
    {
        public string Name, Key, Expect, Then;
        public int Hold, Limit, Cancel, Requests, WithinMin, WithinMax;
    }

    static int Main(string[] args)
    {
        if (args.Length != 1)
        {
            Console.WriteLine("usage: ScenarioDriver TABLE");
            return 2;
        }
        Row[] rows;
        try
        {
            rows = Parse(File.ReadAllLines(args[0]));
        }
        catch (Exception e)
        {
            Console.WriteLine("FAILED reading " + args[0] + ": " + e.Message);
            return 1;
        }
        if (rows.Length == 0)
        {
            Console.WriteLine("FAILED " + args[0] + " has no rows");
            return 1;
        }
        string arch = Environment.Is64BitProcess ? "x64" : "x86";
        int failures = 0;
        for (int i = 0; i < rows.Length; i++)
        {
            string serial = (Environment.Is64BitProcess ? "dn64-" : "dn32-") + (i + 1);
            try
            {
                string detail = Run(rows[i], serial);
                Console.WriteLine("ok " + rows[i].Name + " (" + detail + ")");
            }
            catch (Exception e)
            {
                failures++;
                Console.WriteLine("FAILED " + rows[i].Name + ": " + (e is RowFailed ? e.Message : e.ToString()));
            }
        }
        if (failures > 0)
        {
            Console.WriteLine(failures + " of " + rows.Length + " scenarios failed");
            return 1;
        }
        Console.WriteLine("completed: dotnet scenarios " + arch + ", " + rows.Length + " rows");
        return 0;
    }

    static Row[] Parse(string[] lines)
    {
        return lines.Select((text, n) => new { text = text.Trim(), n = n + 1 })
            .Where(l => l.text.Length > 0 && !l.text.StartsWith("#"))
            .Select(l =>
            {
                string[] c = l.text.Split('|').Select(s => s.Trim()).ToArray();
                if (c.Length != 9) throw new FormatException("line " + l.n + ": 9 columns expected, got " + c.Length);
                int[] within = Range(c[6]);
                return new Row
                {
                    Name = c[0], Key = c[1], Hold = Number(c[2]), Limit = Number(c[3]), Cancel = Number(c[4]),
                    Expect = c[5], WithinMin = within[0], WithinMax = within[1], Then = c[7], Requests = Number(c[8])
                };
            }).ToArray();
    }

    static int Number(string s)
    {
        return int.Parse(s, NumberStyles.None, CultureInfo.InvariantCulture);
    }

    static int[] Range(string s)
    {
        string[] ends = s.Split('-');
        if (ends.Length != 2) throw new FormatException("MIN-MAX expected, got " + s);
        return new[] { Number(ends[0]), Number(ends[1]) };
    }

    // One row on key `serial`: the key is unplugged however the row ends.
    static string Run(Row row, string serial)
    {
        KeyConnection first = null, second = null;
        try
        {
            Keysim("plug --serial " + serial + " " + row.Key, "plugging the key");
            KeyInfo listed = Keys.List().FirstOrDefault(
                k => k.Path.IndexOf("#" + serial + "#", StringComparison.OrdinalIgnoreCase) >= 0);
            if (listed == null) throw new RowFailed("key " + serial + " is not listed");
            first = Keys.Open(listed.Path);
            if (row.Hold > 0)
                Keysim("hold --serial " + serial + " --ms " + row.Hold, "holding the key's lock");

            string got;
            var clock = Stopwatch.StartNew();
            if (row.Cancel > 0)
            {
                using (var source = new CancellationTokenSource())
                {
                    Task<KeyResponse> call = first.ExchangeAsync(new[] { FirstCommand }, TimeSpan.FromMilliseconds(row.Limit),
                                                                 source.Token);
                    source.CancelAfter(row.Cancel);
                    got = Outcome(() => call.GetAwaiter().GetResult(), FirstCommand, source.Token);
                }
            }
            else
            {
                got = Outcome(() => first.Exchange(new[] { FirstCommand }, TimeSpan.FromMilliseconds(row.Limit)),
                              FirstCommand, default(CancellationToken));
            }
            long took = clock.ElapsedMilliseconds;
            if (got != row.Expect) throw new RowFailed("expected " + row.Expect + ", got " + got + " after " + took + " ms");
            if (took < row.WithinMin || took > row.WithinMax)
                throw new RowFailed(got + " after " + took + " ms, outside " + row.WithinMin + "-" + row.WithinMax);
            string detail = got + " in " + took + " ms";

            foreach (string step in row.Then.Split(',').Select(s => s.Trim()))
            {
                string[] parts = step.Split(':');
                switch (parts[0])
                {
                case "same":
                case "second":
                    KeyConnection on = first;
                    if (parts[0] == "second") on = second = second ?? Keys.Open(listed.Path);
                    else if (first.Handle.IsClosed) throw new RowFailed("step " + step + " after close");
                    string want = parts.Length > 2 ? parts[2] : "ok";
                    string later = parts.Length > 1
                        ? Outcome(() => on.Exchange(new[] { LaterCommand }, TimeSpan.FromMilliseconds(Number(parts[1]))),
                                  LaterCommand, default(CancellationToken))
                        : Outcome(() => on.Exchange(new[] { LaterCommand }), LaterCommand, default(CancellationToken));
                    if (later != want) throw new RowFailed("step " + step + ": expected " + want + ", got " + later);
                    break;
                case "process":
                    Keysim("exchange --serial " + serial + " 0b --timeout 10000",
                           "step process: another program's exchange got no answer of its own");
                    break;
                case "close":
                    int[] range = Range(parts[1]);
                    clock.Restart();
                    first.Dispose();
                    took = clock.ElapsedMilliseconds;
                    if (took < range[0] || took > range[1])
                        throw new RowFailed("step " + step + ": closing took " + took + " ms");
                    detail += ", closed in " + took + " ms";
                    break;
                case "none":
                    break;
                default:
                    throw new RowFailed("unknown step " + step);
                }
            }
            Keysim("check --serial " + serial + " --requests " + row.Requests,
                   "the key shows interleaved or misdelivered requests, or not " + row.Requests + " requests");
            return detail;
        }
        finally
        {
            if (second != null) second.Dispose();
            if (first != null) first.Dispose();
            Keysim("unplug --serial " + serial, null);
        }
    }

    // "ok" for the command's own answer, else the Windows code the exchange
    // failed with, as long as it came in the exception the binding promises.
    static string Outcome(Func<KeyResponse> exchange, byte command, CancellationToken token)
    {
        try
        {
            KeyResponse r = exchange();
            if (r.Body.Length > 0 && r.Body[0] == command) return "ok";
            return "another answer (" + (r.Body.Length > 0 ? r.Body[0].ToString("x2") : "empty") + ")";
        }
        catch (TimeoutException e)
        {
            var inner = e.InnerException as Win32Exception;
            if (inner != null && (inner.NativeErrorCode == 258 || inner.NativeErrorCode == 1460))
                return inner.NativeErrorCode.ToString(CultureInfo.InvariantCulture);
            return "TimeoutException without 258 or 1460 inside: " + e;
        }
        catch (OperationCanceledException e)
        {
            var inner = e.InnerException as Win32Exception;
            if (inner == null || inner.NativeErrorCode != 995)
                return "OperationCanceledException without 995 inside: " + e;
            if (token.CanBeCanceled && e.CancellationToken != token)
                return "OperationCanceledException without the cancelled token";
            return "995";
        }
        catch (Win32Exception e)
        {
            if (e.NativeErrorCode == 258 || e.NativeErrorCode == 1460 || e.NativeErrorCode == 995)
                return "a bare Win32Exception " + e.NativeErrorCode;
            return e.NativeErrorCode.ToString(CultureInfo.InvariantCulture);
        }
    }

    // Runs keysim.exe to its end; `failure` (null: none expected) unless it exits 0.
    static void Keysim(string arguments, string failure)
    {
        var start = new ProcessStartInfo(Path.Combine(AppDomain.CurrentDomain.BaseDirectory, "keysim.exe"), arguments)
        {
            UseShellExecute = false
        };
        using (Process p = Process.Start(start))
        {
            p.WaitForExit();
            if (p.ExitCode != 0 && failure != null)
                throw new RowFailed(failure + " (keysim " + arguments + ": exit " + p.ExitCode + ")");
        }
    }
}
