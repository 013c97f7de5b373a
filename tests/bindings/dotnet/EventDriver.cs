// EventDriver TABLE: runs the key-events table (tests/scenarios/key-events.txt,
// whose header says what a row means) through KeyWatcher, plugging virtual
// keys with keysim.exe (beside this program): key K of row N is serial
// "dn" + N + K. No other key may be attached meanwhile. Prints `ok NAME` or
// `FAILED NAME: why` per row, and `completed: ...` last only when every row
// passed.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Threading;
using Olvexlib;

static class EventDriver
{
    sealed class Row
    {
        public string Name;
        public string[] Actions, Events;
    }

    static int Main(string[] args)
    {
        if (args.Length != 1)
        {
            Console.WriteLine("usage: EventDriver TABLE");
            return 2;
        }
        Row[] rows;
        try
        {
            rows = File.ReadAllLines(args[0]).Select(l => l.Trim()).Where(l => l.Length > 0 && !l.StartsWith("#"))
                .Select(Parse).ToArray();
        }
        catch (Exception e)
        {
            Console.WriteLine("FAILED reading " + args[0] + ": " + e.Message);
            return 1;
        }
        return Rows.Report(rows.Length, i => rows[i].Name, i => Run(rows[i], i),
                           "dotnet key events " + (Environment.Is64BitProcess ? "x64" : "x86"));
    }

    static Row Parse(string line)
    {
        string[] c = line.Split('|').Select(s => s.Trim()).ToArray();
        if (c.Length != 3) throw new FormatException("3 columns expected: " + line);
        return new Row
        {
            Name = c[0],
            Actions = List(c[1]),
            Events = c[2] == "none" ? new string[0] : List(c[2])
        };
    }

    static string[] List(string column)
    {
        return column.Split(',').Select(s => s.Trim()).Where(s => s.Length > 0).ToArray();
    }

    static string Serial(int row, string key)
    {
        return "dn" + row + key;
    }

    // What the row saw differs from its events: why; else null.
    static string Run(Row row, int number)
    {
        var seen = new List<string>();
        Action<string> record = what =>
        {
            lock (seen) seen.Add(what);
        };
        var plugged = new List<string>();
        KeyWatcher watcher = null;
        try
        {
            foreach (string action in row.Actions)
            {
                string[] words = action.Split(new[] { ' ' }, 3, StringSplitOptions.RemoveEmptyEntries);
                string verb = words[0], key = words.Length > 1 ? words[1] : "", rest = words.Length > 2 ? words[2] : "";
                switch (verb)
                {
                case "plug":
                    if (!Keysim("plug --serial " + Serial(number, key) + " " + rest)) return "cannot " + action;
                    plugged.Add(key + " " + rest);
                    break;
                case "open":
                    record(OpenBySerial(number, key, plugged));
                    break;
                case "unplug":
                    if (!Keysim("unplug --serial " + Serial(number, key))) return "cannot " + action;
                    break;
                case "wait":
                    Thread.Sleep(int.Parse(key));
                    break;
                case "watch":
                    string options = key + " " + rest;
                    watcher = new KeyWatcher(TimeSpan.FromMilliseconds(100));
                    Subscribe(watcher, number, Option(options, "stop-on="), Option(options, "exchange-on="), record);
                    watcher.Start();
                    break;
                default:
                    return "unknown action " + action;
                }
            }
            if (watcher != null) Thread.Sleep(2000);
        }
        finally
        {
            if (watcher != null) watcher.Dispose();
            foreach (string key in plugged) Keysim("unplug --serial " + Serial(number, key.Split(' ')[0]) + " " +
                                                   key.Substring(key.IndexOf(' ') + 1));
        }
        string[] got;
        lock (seen) got = seen.ToArray();
        if (got.SequenceEqual(row.Events)) return null;
        return "expected [" + string.Join(", ", row.Events) + "], saw [" + string.Join(", ", got) + "]";
    }

    static void Subscribe(KeyWatcher watcher, int number, string stopOn, string exchangeOn, Action<string> record)
    {
        Func<string, EventHandler<KeyEventArgs>> on = kind => (sender, e) =>
        {
            string letter = Letter(number, e.Key);
            string what = kind + " " + letter;
            record(what);
            if (what == stopOn) ((KeyWatcher)sender).Dispose();
            if (what == exchangeOn)
            {
                try
                {
                    using (KeyConnection key = Keys.Open(e.Key.Path))
                    {
                        KeyResponse r = key.Exchange(new byte[] { 1 }, TimeSpan.FromSeconds(2));
                        if (r.Body.SequenceEqual(new byte[] { 1 })) record("exchanged " + letter);
                    }
                }
                catch (Exception x)
                {
                    record("exchange failed (" + x.Message + ")");
                }
            }
        };
        watcher.Attached += on("attached");
        watcher.Removed += on("removed");
    }

    // The row's key letter, told by the key's serial; "?" for a key of no
    // row's, or one whose path is not keysim's for its serial and ids.
    static string Letter(int number, KeyInfo key)
    {
        for (char k = 'A'; k <= 'Z'; k++)
        {
            string serial = Serial(number, k.ToString());
            if (string.Equals(key.Serial, serial, StringComparison.OrdinalIgnoreCase) &&
                key.Path == PathOf(serial, key.VendorId, key.ProductId))
                return k.ToString();
        }
        return "?";
    }

    // keysim's device path for a key.
    static string PathOf(string serial, ushort vendor, ushort product)
    {
        return ("\\\\?\\usb#vid_" + vendor.ToString("x4") + "&pid_" + product.ToString("x4") + "#" + serial +
                "#{925fad44-e331-4116-b409-78fc2b51ea21}").ToLowerInvariant();
    }

    // The paths of the keys plugged as `letter` ("A --pid 9999").
    static List<string> PathsOf(int number, string letter, List<string> plugged)
    {
        var paths = new List<string>();
        foreach (string p in plugged)
        {
            string[] words = p.Split(new[] { ' ' }, StringSplitOptions.RemoveEmptyEntries);
            if (words[0] != letter) continue;
            ushort vendor = 0x1234, product = 0x5678;
            for (int i = 1; i + 1 < words.Length; i++)
            {
                if (words[i] == "--vid") vendor = Convert.ToUInt16(words[i + 1], 16);
                if (words[i] == "--pid") product = Convert.ToUInt16(words[i + 1], 16);
            }
            paths.Add(PathOf(Serial(number, letter), vendor, product));
        }
        return paths;
    }

    // "opened K", "no key K", or "claimed twice K" when the failure names
    // both keys plugged as K; else what came instead.
    static string OpenBySerial(int number, string letter, List<string> plugged)
    {
        List<string> paths = PathsOf(number, letter, plugged);
        try
        {
            using (KeyConnection key = Keys.OpenSerial(Serial(number, letter)))
                return paths.Count == 1 && key.Path == paths[0] ? "opened " + letter : "opened " + key.Path;
        }
        catch (System.ComponentModel.Win32Exception e)
        {
            if (e.NativeErrorCode == 1167 && paths.Count == 0) return "no key " + letter;
            if (e.NativeErrorCode == 15250 && paths.Count == 2 && paths.All(p => e.Message.Contains(p)))
                return "claimed twice " + letter;
            return "open " + letter + ": " + e.Message;
        }
    }

    // "stop-on=attached:A" -> "attached A"; "" when not given.
    static string Option(string options, string name)
    {
        int at = options.IndexOf(name, StringComparison.Ordinal);
        if (at < 0) return "";
        string value = options.Substring(at + name.Length).Split(' ')[0];
        return value.Replace(':', ' ');
    }

    static bool Keysim(string arguments)
    {
        var start = new ProcessStartInfo(Path.Combine(AppDomain.CurrentDomain.BaseDirectory, "keysim.exe"), arguments)
        {
            UseShellExecute = false
        };
        using (Process p = Processes.Start(start))
        {
            p.WaitForExit();
            return p.ExitCode == 0;
        }
    }
}
