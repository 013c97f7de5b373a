// TransactionDriver TABLE: the transaction table (its header says what a row
// means) through the .NET binding, one freshly plugged key per row. keysim.exe
// and olvex.exe are beside this program. Prints `ok NAME` or `FAILED NAME:
// why` per row, and `completed: ...` last only when every row passed.
// TransactionDriver --owner PATH READY HOW: the child of an owner step: inside
// its transaction, one exchange answered, then the named event READY set and
// one more exchange sent, which it waits for until it is killed (HOW killed),
// or gives 100 ms and then ends the program, all left open (HOW exit).
using System;
using System.Collections.Generic;
using System.ComponentModel;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Text.RegularExpressions;
using System.Threading;
using Olvexlib;

static class TransactionDriver
{
    class Step
    {
        public string Verb;
        public int Value;  // begin, in: ms (0: no limit); wait, owner: ms; hammer, othertx, together: a count
        public int Code;
        public bool Exits;  // owner: the child ends itself rather than being killed
    }

    class Row
    {
        public string Name;
        public string Key;
        public List<Step> Steps = new List<Step>();
        public int Requests;
    }

    static readonly string Here = AppDomain.CurrentDomain.BaseDirectory;
    static readonly byte[] First = { 0x01 };

    static int Owner(string path, string ready, string how)
    {
        KeyConnection key = Keys.Open(path);
        KeyTransaction tx = key.BeginTransaction();
        tx.Exchange(First);
        EventWaitHandle.OpenExisting(ready).Set();
        if (how == "exit")
        {
            try
            {
                tx.Exchange(First, TimeSpan.FromMilliseconds(100));
            }
            catch (TimeoutException e) when ((e.InnerException as Win32Exception)?.NativeErrorCode == 1460)
            {
                // Left open on purpose: the program's end must give the owed answer its grace.
                Environment.Exit(0);
            }
            return 7;
        }
        tx.ExchangeAsync(First).Wait();
        Thread.Sleep(Timeout.Infinite);
        return 0;
    }

    static List<Row> Load(string file)
    {
        var rows = new List<Row>();
        foreach (string line in File.ReadAllLines(file))
        {
            if (line.Trim().Length == 0 || line.TrimStart().StartsWith("#")) continue;
            string[] c = line.Split('|').Select(s => s.Trim()).ToArray();
            if (c.Length != 4) throw new Exception("not a row: " + line);
            var row = new Row { Name = c[0], Key = c[1], Requests = int.Parse(c[3]) };
            foreach (string s in c[2].Split(','))
            {
                string[] f = s.Trim().Split(':');
                bool exits = f[0] == "owner" && f.Length == 3 && f[2] == "exit";
                row.Steps.Add(new Step
                {
                    Verb = f[0],
                    Value = f.Length > 1 && f[1] != "none" ? int.Parse(f[1]) : 0,
                    Code = f.Length > 2 && !exits ? int.Parse(f[2]) : 0,
                    Exits = exits
                });
            }
            rows.Add(row);
        }
        return rows;
    }

    // Runs a program of this folder to its end: its exit code and output.
    static int Run(string program, string arguments, out string output)
    {
        var start = new ProcessStartInfo(Path.Combine(Here, program), arguments)
        {
            UseShellExecute = false,
            RedirectStandardOutput = true
        };
        using (Process p = Processes.Start(start))
        {
            output = p.StandardOutput.ReadToEnd();
            p.WaitForExit();
            return p.ExitCode;
        }
    }

    static int Keysim(string arguments)
    {
        string ignored;
        return Run("keysim.exe", arguments, out ignored);
    }

    // The key's requests, oldest first: the process that sent each.
    static List<int> RequestLog(string serial)
    {
        string output;
        if (Run("keysim.exe", "log --serial " + serial, out output) != 0) throw new Exception("keysim log failed");
        return Regex.Matches(output, @"^request \d+ connection \d+ process (\d+)", RegexOptions.Multiline)
                    .Cast<Match>().Select(m => int.Parse(m.Groups[1].Value)).ToList();
    }

    static bool SeesMore(string serial, int seen)
    {
        for (int i = 0; i < 1000; i++, Thread.Sleep(20))
            if (RequestLog(serial).Count > seen) return true;
        return false;
    }

    // Empty when the requests not made by `hammer` are `n` in a row, with the
    // hammer's before and after them.
    static string Together(string serial, int hammer, int n)
    {
        string order = new string(RequestLog(serial).Select(p => p == hammer ? 'h' : 'T').ToArray());
        int first = order.IndexOf('T'), last = order.LastIndexOf('T'), count = order.Count(c => c == 'T');
        if (count != n) return count + " requests besides the hammer's: " + order;
        if (last - first + 1 != n) return "another program's request came between: " + order;
        if (first == 0 || last + 1 == order.Length) return "the hammer did not run around them: " + order;
        return "";
    }

    // 0, or the Windows code the exchange failed with (inner Win32Exception).
    static string CodeOf(Func<KeyResponse> call)
    {
        try
        {
            KeyResponse r = call();
            return r.Status == 0x9000 && r.Body.Length > 0 && r.Body[0] == 0x01 ? "0" : "another answer";
        }
        catch (AggregateException e)
        {
            return Code(e.InnerException);
        }
        catch (Exception e)
        {
            return Code(e);
        }
    }

    static string Code(Exception e)
    {
        var w = e as Win32Exception ?? e.InnerException as Win32Exception;
        return w != null ? w.NativeErrorCode.ToString() : e.GetType().Name + ": " + e.Message;
    }

    static string RunRow(Row row, string serial)
    {
        string path = @"\\?\usb#vid_1234&pid_5678#" + serial + "#{925fad44-e331-4116-b409-78fc2b51ea21}";
        if (Keysim("plug --serial " + serial + " " + row.Key) != 0) return "keysim plug " + row.Key + " failed";
        var others = new List<Process>();
        int hammer = 0;
        string script = null, why = "";
        KeyConnection key = null;
        KeyTransaction tx = null;
        Func<string, Process> start = args =>
        {
            Process p = Processes.Start(new ProcessStartInfo(Path.Combine(Here, "olvex.exe"), args) { UseShellExecute = false });
            others.Add(p);
            return p;
        };
        Func<string> join = () =>
        {
            string failed = "";
            foreach (Process p in others)
            {
                if (!p.WaitForExit(60000)) p.Kill();
                p.WaitForExit();
                if (p.ExitCode != 0 && failed == "") failed = "another program exited " + p.ExitCode;
                p.Dispose();
            }
            others.Clear();
            return failed;
        };
        string quoted = "\"" + path + "\"";
        try
        {
            key = Keys.Open(path);
            foreach (Step step in row.Steps)
            {
                if (why != "") break;
                switch (step.Verb)
                {
                case "begin":
                {
                    var clock = Stopwatch.StartNew();
                    string got;
                    try
                    {
                        tx = step.Value > 0 ? key.BeginTransaction(TimeSpan.FromMilliseconds(step.Value)) : key.BeginTransaction();
                        got = "0";
                    }
                    catch (Exception e)
                    {
                        got = Code(e);
                    }
                    double ms = clock.Elapsed.TotalMilliseconds;
                    if (got != step.Code.ToString()) why = "begin: error " + got;
                    else if (step.Code != 0 && step.Value > 0 && (ms < step.Value - 20 || ms > step.Value + 500))
                        why = "begin failed after " + (int)ms + " ms";
                    break;
                }
                case "in":
                {
                    // Untimed: the synchronous call; timed: the asynchronous one.
                    KeyTransaction inside = tx;
                    string got = step.Value > 0
                        ? CodeOf(() => inside.ExchangeAsync(First, TimeSpan.FromMilliseconds(step.Value)).Result)
                        : CodeOf(() => inside.Exchange(First));
                    if (got != step.Code.ToString()) why = "in: " + got + ", want " + step.Code;
                    break;
                }
                case "end":
                    tx.Dispose();
                    tx = null;
                    break;
                case "close":
                    key.Dispose();
                    break;
                case "wait":
                    Thread.Sleep(step.Value);
                    break;
                case "hammer":
                case "othertx":
                {
                    int seen = RequestLog(serial).Count;
                    if (step.Verb == "hammer")
                    {
                        hammer = start("bench --key " + quoted + " --size 1 --count " + step.Value).Id;
                    }
                    else
                    {
                        script = Path.GetTempFileName();
                        File.WriteAllText(script, string.Concat(Enumerable.Range(0, step.Value).Select(i => "0c" + i.ToString("x2") + " => 9000\n")));
                        start("run --transaction --key " + quoted + " \"" + script + "\"");
                    }
                    if (!SeesMore(serial, seen)) why = step.Verb + ": the key saw no request of it";
                    break;
                }
                case "bystander":
                    start("send --key " + quoted + " 0b");
                    break;
                case "owner":
                {
                    string ready = "olvex-tx-owner-" + Process.GetCurrentProcess().Id + "-" + serial;
                    int seen = RequestLog(serial).Count;
                    using (var inside = new EventWaitHandle(false, EventResetMode.ManualReset, ready))
                    using (Process owner = Processes.Start(new ProcessStartInfo(Process.GetCurrentProcess().MainModule.FileName,
                                                                             "\"" + Path.Combine(Here, "TransactionDriver.exe") + "\" --owner " + quoted + " " + ready + (step.Exits ? " exit" : " killed"))
                                                          { UseShellExecute = false }))
                    {
                        if (WaitHandle.WaitAny(new WaitHandle[] { inside }, 30000) != 0 || owner.HasExited)
                            why = "owner: the child did not get inside its transaction";
                        else if (!SeesMore(serial, seen + 1))
                            why = "owner: the key never saw the child's second command";
                        else
                            start("send --key " + quoted + " 0b");
                        if (why == "") Thread.Sleep(step.Value);
                        if (step.Exits && owner.WaitForExit(20000) && owner.ExitCode != 0 && why == "")
                            why = "owner: the child exited " + owner.ExitCode;
                        if (!owner.HasExited) owner.Kill();
                        owner.WaitForExit();
                    }
                    break;
                }
                case "join":
                    why = join();
                    break;
                case "together":
                    why = Together(serial, hammer, step.Value);
                    break;
                case "process":
                    if (Keysim("exchange --serial " + serial + " 0b") != 0) why = "another program did not get its own answer";
                    break;
                default:
                    why = "unknown step " + step.Verb;
                    break;
                }
            }
        }
        finally
        {
            if (tx != null) tx.Dispose();
            if (key != null) key.Dispose();
            string left = join();
            if (why == "") why = left;
            if (script != null) File.Delete(script);
        }
        if (why == "" && Keysim("check --serial " + serial + " --requests " + row.Requests) != 0)
            why = "keysim check: interleaved, misdelivered or request count (see its output)";
        if (Keysim("unplug --serial " + serial) != 0 && why == "") why = "keysim unplug failed";
        return why;
    }

    static int Main(string[] args)
    {
        if (args.Length == 4 && args[0] == "--owner") return Owner(args[1], args[2], args[3]);
        List<Row> rows = Load(args[0]);
        return Rows.Report(rows.Count, i => rows[i].Name,
                           i => RunRow(rows[i], (Environment.Is64BitProcess ? "dt64-" : "dt32-") + (i + 1)),
                           "dotnet transactions");
    }
}
