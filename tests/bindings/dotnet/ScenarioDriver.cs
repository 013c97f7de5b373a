// ScenarioDriver TABLE: runs the timed-exchange scenarios of TABLE
// (tests/scenarios/timed-exchange.txt, whose header says what a row means)
// through the .NET binding, each on a fresh virtual key plugged with keysim.exe
// (beside this program). Prints `ok NAME` or `FAILED NAME: why` per row, and
// `completed: ...` last only when every row passed.
// ScenarioDriver --child TABLE NAME PATH HOW FILE: the child program of an
// exit row, which makes the row's calls, writes their outcomes to FILE and
// ends as HOW says without disposing its connection.
using System;
using System.Collections.Generic;
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
    static readonly byte[] First = { 0x01 }, Later = { 0x0b };
    // The pool's size for the runtime step: as many threads as the table's
    // pending calls, so that calls holding pool threads would starve it.
    const int PoolThreads = 4;
    const int SettleMs = 60000;

    sealed class RowFailed : Exception
    {
        public RowFailed(string why) : base(why) { }
    }

    sealed class Step
    {
        public string Kind, How;
        public int Limit, Code;  // Limit 0: none; Code 0: its own answer
        public int[] Within;  // close: MIN, MAX
    }

    sealed class Row
    {
        public string Name, Key, Peer;
        public int PeerMs, Limit, Calls, Cancel, Expect, Requests;
        public int[] Within;  // MIN, MAX
        public bool Pending;
        public List<Step> Then = new List<Step>();
        public bool Has(string kind) => Then.Any(s => s.Kind == kind);
    }

    // What one exchange came to: Code 0 and Own when it got its own answer;
    // Odd when it failed in a form the binding does not promise.
    sealed class Outcome
    {
        public int Code;
        public bool Own;
        public long Ms;
        public string Odd;
        public override string ToString() =>
            (Odd ?? (Code != 0 ? "error " + Code : Own ? "its own answer" : "another answer")) + " after " + Ms + " ms";
    }

    static int Main(string[] args)
    {
        if (args.Length == 6 && args[0] == "--child") return Child(args[1], args[2], args[3], args[4], args[5]);
        if (args.Length != 1)
        {
            Console.WriteLine("usage: ScenarioDriver TABLE");
            return 2;
        }
        Row[] rows;
        try
        {
            rows = Load(args[0]);
        }
        catch (Exception e)
        {
            Console.WriteLine("FAILED reading " + args[0] + ": " + e.Message);
            return 1;
        }
        int workers = Math.Max(PoolThreads, Environment.ProcessorCount), io, ignored;
        ThreadPool.GetMaxThreads(out ignored, out io);
        if (!ThreadPool.SetMinThreads(workers, Environment.ProcessorCount) || !ThreadPool.SetMaxThreads(workers, io))
        {
            Console.WriteLine("FAILED: cannot size the thread pool to " + workers + " threads");
            return 1;
        }
        // A runtime's first exception loads its machinery (a few hundred ms
        // under Wine), which is no row's time.
        Of(() => { throw new TimeoutException("", new Win32Exception(1460)); }, First, CancellationToken.None, new Stopwatch());
        int failures = 0;
        for (int i = 0; i < rows.Length; i++)
        {
            // The binding ends every connection only at the process's end.
            if (rows[i].Has("closeall"))
            {
                Console.WriteLine("not for this layer: " + rows[i].Name);
                continue;
            }
            string serial = (Environment.Is64BitProcess ? "dn64-" : "dn32-") + (i + 1);
            try
            {
                Console.WriteLine("ok " + rows[i].Name + " (" + Run(rows[i], serial, args[0]) + ")");
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
        Console.WriteLine("completed: dotnet scenarios " + (Environment.Is64BitProcess ? "x64" : "x86") + ", " +
                          rows.Length + " rows");
        return 0;
    }

    static Row[] Load(string table)
    {
        Row[] rows = File.ReadAllLines(table).Select((text, n) => new { text = text.Trim(), n = n + 1 })
            .Where(l => l.text.Length > 0 && !l.text.StartsWith("#"))
            .Select(l =>
            {
                string[] c = l.text.Split('|').Select(s => s.Trim()).ToArray();
                if (c.Length != 10) throw new FormatException("line " + l.n + ": 10 columns expected, got " + c.Length);
                string[] peer = c[2].Split(':');
                var row = new Row
                {
                    Name = c[0], Key = c[1], Peer = peer[0], PeerMs = peer.Length > 1 ? Number(peer[1]) : 0,
                    Limit = Limit(c[3]), Calls = Number(c[4]), Cancel = Number(c[5]), Pending = c[6] == "pending",
                    Expect = c[6] == "ok" || c[6] == "pending" ? 0 : Number(c[6]), Requests = Number(c[9]),
                    Within = c[6] == "pending" ? null : Range(c[7])
                };
                if (c[8] != "none") row.Then.AddRange(c[8].Split(',').Select(s => ParseStep(s.Trim())));
                if (row.Then.Skip(1).Any(s => s.Kind == "exit")) throw new FormatException("line " + l.n + ": exit comes first");
                return row;
            }).ToArray();
        if (rows.Length == 0) throw new FormatException("no rows");
        return rows;
    }

    static Step ParseStep(string text)
    {
        string[] f = text.Split(':');
        var step = new Step { Kind = f[0] };
        switch (f[0])
        {
        case "close":
            step.Within = Range(f[1]);
            break;
        case "exit":
            step.How = f[1];
            if (step.How != "exit" && step.How != "return" && step.How != "closing")
                throw new FormatException("exit:" + step.How);
            break;
        case "other":
        case "wait":
        case "fresh":
            step.Limit = Number(f[1]);
            break;
        case "same":
        case "second":
        case "with":
            step.Limit = f.Length > 1 ? Limit(f[1]) : 0;
            step.Code = f.Length > 2 ? Number(f[2]) : 0;
            break;
        case "process":
        case "replug":
        case "runtime":
        case "closeall":
        case "scribble":
            break;
        default:
            throw new FormatException("unknown step " + text);
        }
        return step;
    }

    static int Number(string s) => int.Parse(s, NumberStyles.None, CultureInfo.InvariantCulture);

    static int Limit(string s) => s == "none" ? 0 : Number(s);

    static int[] Range(string s)
    {
        string[] ends = s.Split('-');
        if (ends.Length != 2) throw new FormatException("MIN-MAX expected, got " + s);
        return new[] { Number(ends[0]), Number(ends[1]) };
    }

    // A row's calls on one connection, together: the first ones of 01 (the
    // first with the token that the cancel column fires), then the `with`
    // ones of 0b. Each outcome is taken by a continuation, which needs the
    // thread pool, and timed from the start.
    sealed class Calls
    {
        readonly Stopwatch clock = Stopwatch.StartNew();
        readonly List<Task<Outcome>> outcomes = new List<Task<Outcome>>();
        readonly Thread canceller;

        public Calls(KeyConnection key, Row row)
        {
            if (row.Calls == 1 && row.Cancel == 0 && !row.Pending && row.Limit == 0 && !row.Has("with"))
            {
                outcomes.Add(Task.FromResult(Of(() => key.Exchange(First), First, CancellationToken.None, clock)));
                return;
            }
            var source = new CancellationTokenSource();
            for (int i = 0; i < row.Calls; i++)
                Add(key, First, row.Limit, i == 0 && row.Cancel > 0 ? source.Token : CancellationToken.None);
            foreach (Step with in row.Then.Where(s => s.Kind == "with")) Add(key, Later, with.Limit, CancellationToken.None);
            if (row.Cancel == 0) return;
            canceller = new Thread(() =>
            {
                Thread.Sleep(row.Cancel);
                source.Cancel();
            });
            canceller.Start();
        }

        void Add(KeyConnection key, byte[] command, int limit, CancellationToken token)
        {
            Task<KeyResponse> call = limit > 0 ? key.ExchangeAsync(command, TimeSpan.FromMilliseconds(limit), token)
                                               : key.ExchangeAsync(command, token);
            outcomes.Add(call.ContinueWith(t => Of(() => t.GetAwaiter().GetResult(), command, token, clock),
                                           TaskContinuationOptions.ExecuteSynchronously));
        }

        // The outcomes, once every call settled and the cancel fired.
        public Outcome[] Settle()
        {
            if (!Task.WaitAll(outcomes.ToArray(), SettleMs)) throw new RowFailed("calls still running after a minute");
            if (canceller != null) canceller.Join();
            return outcomes.Select(t => t.Result).ToArray();
        }

        public int Settled() => outcomes.Count(t => t.IsCompleted);
    }

    // The exchange's outcome, as long as a failure came in the exception the
    // binding promises for it.
    static Outcome Of(Func<KeyResponse> exchange, byte[] command, CancellationToken token, Stopwatch clock)
    {
        var o = new Outcome();
        try
        {
            KeyResponse r = exchange();
            o.Own = r.Status == 0x9000 && r.Body.Length > 0 && r.Body[0] == command[0];
        }
        catch (TimeoutException e)
        {
            o.Code = NativeCode(e.InnerException);
            if (o.Code != 258 && o.Code != 1460) o.Odd = "TimeoutException without 258 or 1460 inside: " + e;
        }
        catch (OperationCanceledException e)
        {
            // By its own token: cancelled with it; by Dispose: 995 inside.
            o.Code = 995;
            if (token.IsCancellationRequested ? e.CancellationToken != token : NativeCode(e.InnerException) != 995)
                o.Odd = "OperationCanceledException without " + (token.IsCancellationRequested ? "its token" : "995") + ": " + e;
        }
        catch (Win32Exception e)
        {
            o.Code = e.NativeErrorCode;
            if (o.Code == 258 || o.Code == 1460 || o.Code == 995) o.Odd = "a bare Win32Exception " + o.Code;
            if (o.Code == 1167 && !(e is KeyRemovedException)) o.Odd = "1167 without KeyRemovedException";
        }
        catch (Exception e)
        {
            o.Code = -1;
            o.Odd = e.ToString();
        }
        o.Ms = clock.ElapsedMilliseconds;
        return o;
    }

    static int NativeCode(Exception e) => e is Win32Exception ? ((Win32Exception)e).NativeErrorCode : -1;

    static bool Inside(long ms, int[] within) => ms >= within[0] && ms <= within[1];

    // Empty when the calls met the row: the row's calls first, then the with calls.
    static string Judge(Row row, Outcome[] got)
    {
        int next = 0;
        for (; next < got.Length && next < row.Calls; next++)
        {
            Outcome o = got[next];
            int expect = row.Pending ? 995 : row.Expect;
            if (o.Odd != null || o.Code != expect || (expect == 0 && !o.Own) ||
                (!row.Pending && !Inside(o.Ms, row.Within)))
                return "call " + (next + 1) + ": " + o;
        }
        if (next < row.Calls) return "only " + next + " calls settled";
        foreach (Step with in row.Then.Where(s => s.Kind == "with"))
        {
            Outcome o = got[next++];
            if (o.Odd != null || o.Code != with.Code || (with.Code == 0 && !o.Own)) return "with: " + o;
        }
        return "";
    }

    static string PathOf(string serial)
    {
        KeyInfo listed = Keys.List().FirstOrDefault(
            k => k.Path.IndexOf("#" + serial + "#", StringComparison.OrdinalIgnoreCase) >= 0);
        if (listed == null) throw new RowFailed("key " + serial + " is not listed");
        return listed.Path;
    }

    // One row on key `serial`; the keys it plugged are unplugged however it ends.
    static string Run(Row row, string serial, string table)
    {
        KeyConnection first = null, second = null, other = null;
        Calls calls = null;
        bool closed = false;
        int reportedAtClose = 0;
        try
        {
            Keysim("plug --serial " + serial + " " + row.Key, "plugging the key");
            string path = PathOf(serial);
            bool child = row.Then.Count > 0 && row.Then[0].Kind == "exit";
            if (!child) first = Keys.Open(path);
            if (row.Peer == "hold") Keysim("hold --serial " + serial + " --ms " + row.PeerMs, "holding the key's lock");
            // It dies holding the lock: its exit code is its killer's.
            if (row.Peer == "killed" && Keysim("exchange --serial " + serial + " 0a --die-after " + row.PeerMs, null) == 0)
                throw new RowFailed("keysim exchange --die-after lived on");
            if (row.Peer == "died") Keysim("hold --serial " + serial + " --die-after " + row.PeerMs, "holding the key's lock");
            string why = "";
            if (child)
            {
                why = Judge(row, InChild(row, table, path, row.Then[0].How));
            }
            else
            {
                calls = new Calls(first, row);
                if (!row.Pending) why = Judge(row, calls.Settle());
            }
            if (why != "") throw new RowFailed(why);
            foreach (Step step in row.Then)
            {
                if (row.Pending && !closed && step.Kind != "close" && calls.Settled() != 0)
                    throw new RowFailed("a call settled before the close");
                Outcome o;
                switch (step.Kind)
                {
                case "close":
                    var clock = Stopwatch.StartNew();
                    first.Dispose();
                    reportedAtClose = calls?.Settled() ?? 0;
                    closed = true;
                    if (!Inside(clock.ElapsedMilliseconds, step.Within))
                        throw new RowFailed("close took " + clock.ElapsedMilliseconds + " ms");
                    if (row.Pending && (why = Judge(row, calls.Settle())) != "") throw new RowFailed(why);
                    break;
                case "process":
                    Keysim("exchange --serial " + serial + " 0b", "another program did not get its own answer");
                    break;
                case "replug":
                    Keysim("unplug --serial " + serial, "unplugging the key");
                    Keysim("plug --serial " + serial + " " + row.Key, "plugging the key back");
                    break;
                case "other":
                    if (other == null)
                    {
                        Keysim("plug --serial " + serial + "o", "plugging another key");
                        other = Keys.Open(PathOf(serial + "o"));
                    }
                    o = Settled(other.ExchangeAsync(Later, TimeSpan.FromMilliseconds(step.Limit)));
                    if (o.Odd != null || o.Code != 0 || !o.Own || o.Ms > step.Limit) throw new RowFailed("other: " + o);
                    break;
                case "runtime":
                    if (!RuntimeGoesOn(500)) throw new RowFailed("the thread pool's work did not settle within 500 ms");
                    break;
                case "wait":
                    Thread.Sleep(step.Limit);
                    break;
                case "scribble":
                    // Every call's task completed by the time Dispose returned.
                    if (reportedAtClose != row.Calls)
                        throw new RowFailed((row.Calls - reportedAtClose) + " calls had not settled when Dispose returned");
                    break;
                case "same":
                case "second":
                    KeyConnection on = first;
                    if (step.Kind == "second") on = second = second ?? Keys.Open(path);
                    var timer = Stopwatch.StartNew();
                    o = Of(() => step.Limit > 0 ? on.Exchange(Later, TimeSpan.FromMilliseconds(step.Limit)) : on.Exchange(Later),
                           Later, CancellationToken.None, timer);
                    if (o.Odd != null || o.Code != step.Code || (step.Code == 0 && !o.Own))
                        throw new RowFailed(step.Kind + ": " + o);
                    break;
                }
            }
            foreach (KeyConnection c in new[] { first, second, other }) c?.Dispose();
            Keysim("check --serial " + serial + " --requests " + row.Requests,
                   "the key shows interleaved or misdelivered requests, or not " + row.Requests + " requests");
            return calls == null ? "in a child" : string.Join(", ", calls.Settle().Select(c => c.ToString()));
        }
        finally
        {
            foreach (KeyConnection c in new[] { first, second, other }) c?.Dispose();
            Keysim("unplug --serial " + serial, null);
            if (other != null) Keysim("unplug --serial " + serial + "o", null);
        }
    }

    // One call's outcome, taken on the thread pool as any awaiting code would.
    static Outcome Settled(Task<KeyResponse> call)
    {
        var clock = Stopwatch.StartNew();
        Task<Outcome> outcome = call.ContinueWith(t => Of(() => t.GetAwaiter().GetResult(), Later, CancellationToken.None, clock),
                                                  TaskContinuationOptions.ExecuteSynchronously);
        if (!outcome.Wait(SettleMs)) throw new RowFailed("a call still running after a minute");
        return outcome.Result;
    }

    // Whether every thread of the pool runs a work item of ours at once
    // within `ms`: none may be held by a call.
    static bool RuntimeGoesOn(int ms)
    {
        int workers, io;
        ThreadPool.GetMaxThreads(out workers, out io);
        var running = new CountdownEvent(workers);
        for (int i = 0; i < workers; i++)
            ThreadPool.QueueUserWorkItem(_ =>
            {
                running.Signal();
                running.Wait(ms);
            });
        return running.Wait(ms);
    }

    // The row's calls in a child program of this one; their outcomes.
    static Outcome[] InChild(Row row, string table, string path, string how)
    {
        string file = Path.GetTempFileName();
        try
        {
            string host = Process.GetCurrentProcess().MainModule.FileName;
            string args = "\"" + typeof(ScenarioDriver).Assembly.Location + "\" --child \"" + table + "\" " + row.Name +
                          " \"" + path + "\" " + how + " \"" + file + "\"";
            using (Process p = Processes.Start(new ProcessStartInfo(host, args) { UseShellExecute = false }))
            {
                if (!p.WaitForExit(SettleMs)) p.Kill();
                p.WaitForExit();
                if (p.ExitCode != 0) throw new RowFailed("the child program exited " + p.ExitCode);
            }
            Outcome[] got = File.ReadAllLines(file).Where(l => l.Length > 0).Select(l => l.Split(' ')).Select(
                f => new Outcome { Code = int.Parse(f[0]), Own = f[1] == "1", Ms = long.Parse(f[2]), Odd = f.Length > 3 ? f[3] : null })
                .ToArray();
            if (got.Length == 0) throw new RowFailed("the child program told nothing");
            return got;
        }
        finally
        {
            File.Delete(file);
        }
    }

    // Kept reachable, never disposed: the program's end must give what it owes its grace.
    static KeyConnection s_left;

    static int Child(string table, string name, string path, string how, string file)
    {
        Row row = Load(table).FirstOrDefault(r => r.Name == name);
        if (row == null) return 3;
        s_left = Keys.Open(path);
        Outcome[] got = new Calls(s_left, row).Settle();
        File.WriteAllLines(file, got.Select(o => o.Code + " " + (o.Own ? 1 : 0) + " " + o.Ms + (o.Odd != null ? " odd" : "")));
        if (how == "closing")
        {
            // The program ends while another of its threads is closing.
            new Thread(() => s_left.Dispose()).Start();
            Thread.Sleep(100);
            Environment.Exit(0);
        }
        if (how == "exit") Environment.Exit(0);
        return 0;
    }

    // Runs keysim.exe to its end: its exit code; `failure` (null: none
    // expected) unless it exits 0.
    static int Keysim(string arguments, string failure)
    {
        var start = new ProcessStartInfo(Path.Combine(AppDomain.CurrentDomain.BaseDirectory, "keysim.exe"), arguments)
        {
            UseShellExecute = false
        };
        using (Process p = Processes.Start(start))
        {
            p.WaitForExit();
            if (p.ExitCode != 0 && failure != null)
                throw new RowFailed(failure + " (keysim " + arguments + ": exit " + p.ExitCode + ")");
            return p.ExitCode;
        }
    }
}
