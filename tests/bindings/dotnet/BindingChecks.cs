// The .NET binding against the virtual keys that dotnet-test.sh plugs, in
// this order: echo, length 51197, wrong-lead, echo with 400 ms latency,
// silent, and one the checks unplug. Prints `completed: ...` last, and only
// when every check held.
using System;
using System.ComponentModel;
using System.Diagnostics;
using System.Linq;
using System.Runtime.CompilerServices;
using System.Runtime.InteropServices;
using System.Threading;
using System.Threading.Tasks;
using Olvexlib;

static class BindingChecks
{
    const int Echo = 0, Long = 1, WrongLead = 2, Slow = 3, Silent = 4, Gone = 5, KeyCount = 6;
    static readonly string[] Serials = { "bd-echo", "bd-long", "bd-wrong", "bd-slow", "bd-silent", "bd-gone" };

    static int checks, failures;

    static void Check(string name, Action body)
    {
        checks++;
        try
        {
            body();
            Console.WriteLine("ok    " + name);
        }
        catch (Exception e)
        {
            failures++;
            Console.WriteLine("FAIL  " + name + ": " + e);
        }
    }

    static void Expect(bool condition, string what)
    {
        if (!condition) throw new Exception("expected " + what);
    }

    static T Throws<T>(Action action) where T : Exception
    {
        try
        {
            action();
        }
        catch (T e)
        {
            return e;
        }
        throw new Exception("expected " + typeof(T).Name);
    }

    static void ExpectWin32(int code, Action action)
    {
        var e = Throws<Win32Exception>(action);
        Expect(e.NativeErrorCode == code, "error " + code + ", got " + e.NativeErrorCode + " (" + e.Message + ")");
        Expect(!(e is KeyOpenException), "a plain failure, not a KeyOpenException");
    }

    static void Keysim(string arguments, bool mustSucceed = true)
    {
        if (KeysimCode(arguments) != 0 && mustSucceed) throw new Exception("keysim " + arguments + " failed");
    }

    static int KeysimCode(string arguments)
    {
        var start = new ProcessStartInfo(System.IO.Path.Combine(AppDomain.CurrentDomain.BaseDirectory, "keysim.exe"), arguments)
        {
            UseShellExecute = false
        };
        using (Process p = Processes.Start(start))
        {
            p.WaitForExit();
            return p.ExitCode;
        }
    }

    // A connection left to the finalizer with an answer owed, which a close
    // on the finalizer's thread would wait for.
    [MethodImpl(MethodImplOptions.NoInlining)]
    static void Drop(int index)
    {
        KeyConnection key = Keys.Open(index);
        Throws<TimeoutException>(() => key.Exchange(new byte[] { 1 }, TimeSpan.FromMilliseconds(100)));
    }

    // The call's result, failing the check (not hanging the run) when it
    // takes longer than `ms`.
    static T Within<T>(Task<T> call, int ms)
    {
        if (Task.WhenAny(call, Task.Delay(ms)).Result != call)
            throw new Exception("the call still running after " + ms + " ms");
        return call.GetAwaiter().GetResult();
    }

    static int RecordSize(string name)
    {
        return Marshal.SizeOf(typeof(Keys).Assembly.GetType("Olvexlib.NativeMethods+" + name, true));
    }

    static KeyInfo Listed(string serial)
    {
        KeyInfo key = Keys.List().FirstOrDefault(k => k.Path.IndexOf("#" + serial + "#", StringComparison.OrdinalIgnoreCase) >= 0);
        if (key == null) throw new Exception(serial + " is not listed");
        return key;
    }

    static byte[] Bytes(int n, int seed)
    {
        var b = new byte[n];
        for (int i = 0; i < n; i++) b[i] = (byte)(i * 7 + seed);
        return b;
    }

    static int Main()
    {
        // First of all: nothing of this process has listed the keys yet.
        Check("an index before any listing says so; the library's file version is readable", () =>
        {
            var e = Throws<ArgumentOutOfRangeException>(() => Keys.Open(0));
            Expect(e.Message.Contains("before any Keys.Enumerate() in this process"), "the message to say so: " + e.Message);
            Expect(Keys.LibraryVersion == new Version(1, 0, 4, 0), "version 1.0.4.0, got " + Keys.LibraryVersion);
        });
        Check("lists the plugged keys oldest first, each with its UTC attach time, in records laid out as the kit's", () =>
        {
            int count = Keys.Enumerate();
            Expect(count == KeyCount, KeyCount + " keys, got " + count);
            KeyInfo[] keys = Keys.List();
            Expect(keys.Length == KeyCount, KeyCount + " keys listed, got " + keys.Length);
            DateTime now = DateTime.UtcNow;
            for (int i = 0; i < KeyCount; i++)
            {
                Expect(keys[i].Path.StartsWith(@"\\?\usb#") && keys[i].Path.Contains("#" + Serials[i] + "#"),
                       "key " + i + " to be " + Serials[i] + ", got " + keys[i].Path);
                Expect(keys[i].Attached.Kind == DateTimeKind.Utc, "a UTC time");
                Expect(Math.Abs((now - keys[i].Attached).TotalMinutes) < 10,
                       "key " + i + " attached minutes ago, not at " + keys[i].Attached.ToString("o"));
                Expect(i == 0 || keys[i].Attached > keys[i - 1].Attached, "key " + i + " attached after key " + (i - 1));
            }
            // OLVEXKIT_KEYINFO and OLVEXKIT_EVENT (x64 and x86 alike).
            Expect(RecordSize("KeyRecord") == 272, "a 272-byte key record, got " + RecordSize("KeyRecord"));
            Expect(RecordSize("EventRecord") == 280, "a 280-byte event record, got " + RecordSize("EventRecord"));
        });

        using (KeyConnection echo = Keys.Open(Echo))
        using (KeyConnection longKey = Keys.Open(Long))
        {
            Check("a short exchange returns the status word and the body", () =>
            {
                byte[] command = { 0x80, 0xCA, 0x9F, 0x7F, 0x00 };
                KeyResponse r = echo.Exchange(command);
                Expect(r.Status == 0x9000, "status 9000, got " + r.Status.ToString("X4"));
                Expect(r.Body.SequenceEqual(command), "the echoed body");
                Expect(echo.Exchange(new byte[0]).Body.Length == 0, "an empty body for an empty command");
            });

            Check("the longest body arrives whole, and the longest command is sent whole", () =>
            {
                KeyResponse r = longKey.Exchange(new byte[] { 0x10 });
                Expect(r.Body.Length == Keys.MaxResponseBody, Keys.MaxResponseBody + " bytes, got " + r.Body.Length);
                for (int i = 0; i < r.Body.Length; i++)
                    if (r.Body[i] != (byte)(i + 0x10)) throw new Exception("body byte " + i + " differs");
                // A key answers a malformed request with 6700, so 9000 means it got all of it.
                r = longKey.Exchange(Bytes(Keys.MaxCommand, 0x30));
                Expect(r.Status == 0x9000 && r.Body.Length == Keys.MaxResponseBody && r.Body[0] == 0x30,
                       "9000 and a whole body after the longest command, got " + r.Status.ToString("X4"));
            });

            Check("each body is the caller's own: later exchanges leave earlier bodies alone", () =>
            {
                KeyResponse shortOne = echo.Exchange(new byte[] { 1, 2, 3 });
                KeyResponse longOne = longKey.Exchange(new byte[] { 0x10 });
                echo.Exchange(new byte[] { 4, 5, 6, 7 });
                longKey.Exchange(new byte[] { 0x20 });
                Expect(shortOne.Body.SequenceEqual(new byte[] { 1, 2, 3 }), "the first short body unchanged");
                Expect(longOne.Body[0] == 0x10 && longOne.Body[100] == 0x74, "the first long body unchanged");
            });

            Check("an exchange into the caller's buffer fills it, and refuses one too small for any body", () =>
            {
                var response = new byte[Keys.MaxResponseBody];
                int length;
                Expect(echo.Exchange(new byte[] { 5, 6 }, response, out length) == 0x9000 && length == 2 &&
                       response[0] == 5 && response[1] == 6, "the body at the buffer's start");
                Expect(longKey.Exchange(new byte[] { 0x40 }, response, out length) == 0x9000 &&
                       length == Keys.MaxResponseBody && response[length - 1] == (byte)(0x40 + length - 1),
                       "the longest body filling it");
                Throws<ArgumentException>(() => echo.Exchange(new byte[] { 1 }, new byte[Keys.MaxResponseBody - 1], out length));
                Throws<ArgumentNullException>(() => echo.Exchange(new byte[] { 1 }, null, out length));
            });

            Check("threads exchanging on one connection each get their own body", () =>
            {
                var errors = new string[4];
                var threads = Enumerable.Range(0, 4).Select(t => new Thread(() =>
                {
                    for (int i = 0; i < 50 && errors[t] == null; i++)
                    {
                        byte[] command = Bytes(300 + t * 17, t * 31 + i);
                        KeyResponse r = (t % 2 == 0 ? echo : longKey).Exchange(command);
                        bool right = t % 2 == 0 ? r.Body.SequenceEqual(command)
                                                : r.Body.Length == Keys.MaxResponseBody && r.Body[5] == (byte)(command[0] + 5);
                        if (!right) errors[t] = "thread " + t + " exchange " + i + " got another body";
                    }
                })).ToArray();
                foreach (Thread th in threads) th.Start();
                foreach (Thread th in threads) th.Join();
                Expect(errors.All(e => e == null), "no mix-up: " + string.Join("; ", errors.Where(e => e != null)));
            });

            Check("bad arguments fail with ERROR_INVALID_PARAMETER", () =>
            {
                foreach (int index in new[] { KeyCount, -1 })
                {
                    var e = Throws<ArgumentOutOfRangeException>(() => Keys.Open(index));
                    Expect(e.Message.Contains("not one of the " + KeyCount + " key(s)"), "the message to say why: " + e.Message);
                }
                ExpectWin32(87, () => echo.Exchange(new byte[Keys.MaxCommand + 1]));
                Throws<ArgumentNullException>(() => echo.Exchange(null));
                Throws<ArgumentOutOfRangeException>(() => echo.Exchange(new byte[1], TimeSpan.Zero));
                Expect(echo.Exchange(new byte[] { 1 }).Status == 0x9000, "the connection to work afterwards");
            });
        }

        Check("a key unplugged since listing raises KeyOpenException with the platform's code", () =>
        {
            Expect(Keys.Enumerate() == KeyCount, "the key to be listed still");
            Keysim("unplug --serial " + Serials[Gone]);
            var e = Throws<KeyOpenException>(() => Keys.Open(Gone));
            Expect(e.NativeErrorCode == 2, "ERROR_FILE_NOT_FOUND, got " + e.NativeErrorCode + " (" + e.Message + ")");
            Expect(e.Index == Gone, "the index in the exception");
        });

        Check("a refused response fails with ERROR_INVALID_DATA", () =>
        {
            using (KeyConnection wrong = Keys.Open(WrongLead))
            {
                ExpectWin32(13, () => wrong.Exchange(new byte[] { 1, 2, 3 }));
                // In the words every layer uses (the kit's table).
                var e = Throws<Win32Exception>(() => wrong.Exchange(new byte[] { 1 }));
                Expect(e.Message.Contains("answer was refused: not a frame"), "the library's words, got " + e.Message);
            }
        });

        Check("a closed connection cannot be used, and closing twice is harmless", () =>
        {
            KeyConnection c = Keys.Open(Echo);
            c.Dispose();
            c.Dispose();
            Expect(c.Handle.IsClosed, "the handle closed");
            Throws<ObjectDisposedException>(() => c.Exchange(new byte[] { 1 }));
        });

        // What a timed exchange gives and when (late answers, held locks,
        // cancels, closing) is the scenario table's (ScenarioDriver); these are
        // the binding's own share: turning a TimeSpan and a token into the kit's call.
        Check("limits that are not positive are refused before sending, larger ones clamped, sub-millisecond ones rounded up", () =>
        {
            byte[] command = { 9, 8, 7 };
            using (KeyConnection slow = Keys.Open(Slow))
            {
                Throws<ArgumentOutOfRangeException>(() => slow.Exchange(command, TimeSpan.Zero));
                Throws<ArgumentOutOfRangeException>(() => slow.Exchange(command, TimeSpan.FromMilliseconds(-5)));
                Throws<ArgumentOutOfRangeException>(() => slow.ExchangeAsync(command, TimeSpan.Zero));
                Expect(slow.Exchange(command, TimeSpan.FromSeconds(10)).Body.SequenceEqual(command), "the answer within 10 s");
                Expect(slow.Exchange(command, TimeSpan.MaxValue).Body.SequenceEqual(command), "the answer within the largest limit");
                // A tick is a limit of 1 ms, not 0 (which the kit would refuse).
                var e = Throws<TimeoutException>(() => slow.Exchange(command, TimeSpan.FromTicks(1)));
                Expect(e.InnerException is Win32Exception, "a Win32Exception inside");
                int code = ((Win32Exception)e.InnerException).NativeErrorCode;
                Expect(code == 1460 || code == 258, "258 or 1460, got " + code);
                // The late answer of a request sent is discarded: each later exchange gets its own.
                byte[] other = { 0x0b, 1 };
                Expect(Within(slow.ExchangeAsync(other), 10000).Body.SequenceEqual(other), "its own answer, asynchronously");
                Expect(slow.Exchange(command).Body.SequenceEqual(command), "its own answer, untimed");
                Keysim("check --serial " + Serials[Slow] + " --requests " + (code == 1460 ? 5 : 4));
            }
        });

        // A cancel during a call is the scenario table's; these are the edges
        // of a token's way to its call.
        Check("a token cancelled before the call sends nothing; cancels landing around the call's start are never lost", () =>
        {
            using (KeyConnection silent = Keys.Open(Silent))
            {
                var cancelled = new CancellationToken(true);
                var early = Throws<AggregateException>(() => silent.ExchangeAsync(new byte[] { 1 }, TimeSpan.FromSeconds(5), cancelled).Wait());
                var oce = early.InnerException as OperationCanceledException;
                Expect(oce != null && oce.CancellationToken == cancelled, "OperationCanceledException with the token, got " + early.InnerException);
                Keysim("check --serial " + Serials[Silent] + " --requests 0");
                // The first call is sent and never answered; the others wait
                // behind it, timed or not, until their tokens end them.
                Task<KeyResponse> sent = silent.ExchangeAsync(new byte[] { 1 });
                for (int i = 0; i < 30; i++)
                {
                    using (var source = new CancellationTokenSource())
                    {
                        var clock = Stopwatch.StartNew();
                        Task<KeyResponse> call = i % 2 == 0 ? silent.ExchangeAsync(new byte[] { 1 }, TimeSpan.FromSeconds(20), source.Token)
                                                            : silent.ExchangeAsync(new byte[] { 1 }, source.Token);
                        if (i % 3 == 0) source.Cancel();
                        else source.CancelAfter(i % 3);
                        var thrown = Throws<OperationCanceledException>(() => Within(call, 5000));
                        Expect(call.IsCanceled && thrown.CancellationToken == source.Token, "cancelled with the token, got " + thrown);
                        Expect(clock.ElapsedMilliseconds < 5000, "cancel " + i + " to end the call, took " + clock.ElapsedMilliseconds + " ms");
                    }
                }
                Expect(!sent.IsCompleted, "the call without a token untouched by the others' tokens");
            }
            Keysim("check --serial " + Serials[Silent] + " --requests 1");
        });

        Check("Dispose ends pending and timed calls (995) within the grace and a bound, with the key's lock released; a dropped connection's close leaves the finalizer free", () =>
        {
            byte[] command = { 1 };
            KeyConnection key = Keys.Open(Silent);
            Task<KeyResponse> sent = key.ExchangeAsync(command), queued = key.ExchangeAsync(command, TimeSpan.FromSeconds(20));
            Exception timed = null;
            var other = new Thread(() =>
            {
                try { key.Exchange(command, TimeSpan.FromSeconds(20)); }
                catch (Exception e) { timed = e; }
            });
            other.Start();
            Thread.Sleep(300);
            var clock = Stopwatch.StartNew();
            key.Dispose();
            long took = clock.ElapsedMilliseconds;
            Expect(took >= 1800 && took < 4500, "Dispose to wait out the grace, then end the read: took " + took + " ms");
            foreach (Task<KeyResponse> call in new[] { sent, queued })
            {
                var e = Throws<OperationCanceledException>(() => Within(call, 1000));
                Expect(e.InnerException is Win32Exception && ((Win32Exception)e.InnerException).NativeErrorCode == 995, "995 inside, got " + e);
            }
            Expect(other.Join(1000) && timed is OperationCanceledException, "the timed call on another thread ended, got " + timed);
            // Exit 2: the lock had at once, and no answer from the silent key.
            Expect(KeysimCode("exchange --serial " + Serials[Silent] + " 01 --timeout 300") == 2, "the key's lock free");

            Drop(Silent);
            clock.Restart();
            GC.Collect();
            GC.WaitForPendingFinalizers();
            Expect(clock.ElapsedMilliseconds < 1000, "the finalizer not held for the grace: " + clock.ElapsedMilliseconds + " ms");
            // Taken, not exchanged on: the close on the pool lets go of the lock
            // just before the key's handle.
            clock.Restart();
            Keysim("hold --serial " + Serials[Silent] + " --ms 1");
            Expect(clock.ElapsedMilliseconds < 5000, "the key's lock free after the grace, took " + clock.ElapsedMilliseconds + " ms");
            Keysim("check --serial " + Serials[Silent] + " --requests 4");
        });

        Check("List shows a key that cannot be opened, with why, after the listed ones; Open by path reaches the same key after others came and went", () =>
        {
            Keysim("plug --serial bd-refuse --behaviour refuse");
            Keysim("plug --serial bd-before");
            Keysim("plug --serial bd-target");
            try
            {
                KeyInfo[] keys = Keys.List();
                KeyInfo refused = keys.Single(k => k.Path.Contains("#bd-refuse#"));
                Expect(!refused.CanOpen && refused.Index == null && refused.Error != 0 &&
                       refused.WhyNot.StartsWith("it does not open: "),
                       "the refusing key shown as not openable, with why, got " + refused.WhyNot);
                Expect(keys.Last() == refused && keys.Where(k => k.CanOpen).Select(k => k.Index).SequenceEqual(
                           Enumerable.Range(0, keys.Length - 1).Select(i => (int?)i)),
                       "the listed keys first, by index");
                Expect(RecordSize("KeyStateRecord") == 288, "OLVEXKIT_KEYSTATE's 288 bytes");
                string before = Listed("bd-before").Path, target = Listed("bd-target").Path;
                int index = Array.FindIndex(keys, k => k.Path == target);
                Keysim("unplug --serial bd-before");
                Keysim("plug --serial bd-after");
                Expect(Array.FindIndex(Keys.List(), k => k.Path == target) == index - 1, "the target's index to have changed");
                using (KeyConnection key = Keys.Open(target))
                {
                    Expect(key.Path == target, "the path it was opened by");
                    Expect(key.Exchange(new byte[] { 7 }).Body.SequenceEqual(new byte[] { 7 }), "the echo");
                }
                Keysim("check --serial bd-target --requests 1");
                Keysim("check --serial bd-after --requests 0");
                var gone = Throws<KeyRemovedException>(() => Keys.Open(before));
                Expect(gone.NativeErrorCode == 1167 && gone.Path == before, "1167 and the path, got " + gone.NativeErrorCode);
                Throws<ArgumentNullException>(() => Keys.Open(null));
            }
            finally
            {
                foreach (string serial in new[] { "bd-refuse", "bd-before", "bd-target", "bd-after" })
                    Keysim("unplug --serial " + serial, false);
            }
        });

        Check("a key unplugged during an exchange (untimed, timed, async) fails it and every later one with KeyRemovedException; Dispose is quick", () =>
        {
            foreach (string how in new[] { "untimed", "timed", "async" })
            {
                string serial = "bd-removed-" + how;
                Keysim("plug --serial " + serial + " --latency 2000");
                KeyConnection key = Keys.Open(Listed(serial).Path);
                var unplug = new Thread(() =>
                {
                    Thread.Sleep(300);
                    Keysim("unplug --serial " + serial, false);
                });
                unplug.Start();
                try
                {
                    byte[] command = { 1 };
                    KeyRemovedException e;
                    if (how == "untimed") e = Throws<KeyRemovedException>(() => key.Exchange(command));
                    else if (how == "timed") e = Throws<KeyRemovedException>(() => key.Exchange(command, TimeSpan.FromSeconds(10)));
                    else e = Throws<KeyRemovedException>(() => key.ExchangeAsync(command, TimeSpan.FromSeconds(10)).GetAwaiter().GetResult());
                    Expect(e.NativeErrorCode == 1167 && e.Path == key.Path, how + ": 1167 and the key's path, got " + e.NativeErrorCode);
                    Expect(Throws<KeyRemovedException>(() => key.Exchange(new byte[] { 2 }, TimeSpan.FromSeconds(1))).NativeErrorCode == 1167,
                           how + ": a later exchange fails the same way");
                    Expect(Throws<KeyRemovedException>(() => key.Exchange(new byte[] { 3 })).NativeErrorCode == 1167,
                           how + ": a later untimed exchange too");
                }
                finally
                {
                    unplug.Join();
                    var clock = Stopwatch.StartNew();
                    key.Dispose();
                    Expect(clock.ElapsedMilliseconds < 1500, how + ": Dispose within 1.5 s, took " + clock.ElapsedMilliseconds + " ms");
                }
            }
        });

        Check("a watcher raises nothing before Start, then the keys List gives, in its order; it refuses misuse and polls under Wine", () =>
        {
            Throws<ArgumentOutOfRangeException>(() => new KeyWatcher(TimeSpan.Zero));
            using (var idle = new KeyWatcher()) Expect(!idle.Notified, "not watching before Start");
            var raised = new System.Collections.Generic.List<KeyInfo>();
            var watcher = new KeyWatcher(TimeSpan.FromMilliseconds(50));
            watcher.Attached += (sender, e) =>
            {
                lock (raised) raised.Add(e.Key);
            };
            KeyInfo[] present = Keys.List();
            Thread.Sleep(300);
            lock (raised) Expect(raised.Count == 0, "no event before Start");
            watcher.Start();
            Func<int> count = () =>
            {
                lock (raised) return raised.Count;
            };
            for (int i = 0; i < 100 && count() < present.Length; i++) Thread.Sleep(50);
            lock (raised)
                Expect(raised.Select(k => k.Path + " " + k.Attached.Ticks + " " + k.Attached.Kind)
                           .SequenceEqual(present.Select(k => k.Path + " " + k.Attached.Ticks + " " + k.Attached.Kind)),
                       "the listed keys with their attach times, got " + string.Join(", ", raised));
            Throws<InvalidOperationException>(() => watcher.Start());
            Expect(!watcher.Notified, "polling: Wine has no device notifications");
            // Enumerate lists under the kit's lock, beside the watcher's listings.
            for (int i = 0; i < 20; i++) Expect(Keys.Enumerate() == present.Length, "Enumerate while watching");
            watcher.Dispose();
            watcher.Dispose();
            Throws<ObjectDisposedException>(() => watcher.Start());
            Expect(Keys.Enumerate() == present.Length, "Enumerate again once the watcher is disposed");
        });

        Check("a watcher raises its events on one background thread of its own; Dispose from another thread waits for the handler running, and none runs after", () =>
        {
            var threads = new System.Collections.Generic.List<Thread>();
            var first = new ManualResetEventSlim(false);
            int running = 0, after = 0;
            bool disposed = false;
            var watcher = new KeyWatcher();
            watcher.Attached += (sender, e) =>
            {
                Interlocked.Increment(ref running);
                lock (threads) threads.Add(Thread.CurrentThread.IsBackground ? Thread.CurrentThread : null);
                if (Volatile.Read(ref disposed)) Interlocked.Increment(ref after);
                first.Set();
                Thread.Sleep(400);
                Interlocked.Decrement(ref running);
            };
            watcher.Start();
            Expect(first.Wait(5000), "the present keys reported");
            var clock = Stopwatch.StartNew();
            watcher.Dispose();
            long took = clock.ElapsedMilliseconds;
            Volatile.Write(ref disposed, true);
            Expect(Volatile.Read(ref running) == 0, "no handler running once Dispose returned");
            Expect(took >= 250, "Dispose to wait for the running handler, took " + took + " ms");
            Thread.Sleep(600);
            Expect(Volatile.Read(ref after) == 0, "no handler after Dispose");
            lock (threads)
                Expect(threads.Count >= 1 && threads[0] != null && threads.All(t => t == threads[0]) &&
                       threads[0] != Thread.CurrentThread, "every event on one background thread, not the caller's");

            // A handler that disposed its watcher first still counts as running.
            var inside = new ManualResetEventSlim(false);
            int done = 0;
            watcher = new KeyWatcher();
            watcher.Attached += (sender, e) =>
            {
                ((KeyWatcher)sender).Dispose();
                inside.Set();
                Thread.Sleep(400);
                Interlocked.Exchange(ref done, 1);
            };
            watcher.Start();
            Expect(inside.Wait(5000), "the handler to dispose its watcher");
            watcher.Dispose();
            Expect(Volatile.Read(ref done) == 1, "Dispose to wait for the handler that disposed first");
        });

        Check("a transaction: one at a time per connection, others' exchanges after its end, nothing through it once disposed, and the connection's Dispose ends it", () =>
        {
            byte[] one = { 0x01, 0x02 }, later = { 0x0b };
            using (KeyConnection key = Keys.Open(Echo))
            {
                Task<KeyResponse> waiting;
                KeyTransaction tx = key.BeginTransaction(TimeSpan.FromSeconds(5));
                using (tx)
                {
                    Expect(tx.Exchange(one).Body[1] == 0x02, "the transaction's own answer");
                    var busy = Throws<InvalidOperationException>(() => key.BeginTransaction(TimeSpan.FromSeconds(5)));
                    Expect(((Win32Exception)busy.InnerException).NativeErrorCode == 170, "inner 170, got " + busy.InnerException);
                    waiting = key.ExchangeAsync(later);
                    Expect(!waiting.Wait(300), "the connection's own exchange to wait for the transaction's end");
                    Expect(tx.ExchangeAsync(one).Result.Status == 0x9000, "an asynchronous exchange inside");
                }
                Expect(waiting.Wait(5000) && waiting.Result.Body[0] == 0x0b, "the waiting exchange after the end");
                Throws<ObjectDisposedException>(() => tx.Exchange(one));

                KeyTransaction left = key.BeginTransaction();
                key.Dispose();
                Throws<ObjectDisposedException>(() => left.Exchange(one));
            }
            using (KeyConnection again = Keys.Open(Echo))
                Expect(again.Exchange(later, TimeSpan.FromSeconds(5)).Status == 0x9000, "the key free after a Dispose that ended a transaction");
        });

        if (failures > 0)
        {
            Console.WriteLine(failures + " of " + checks + " checks failed");
            return 1;
        }
        Console.WriteLine("completed: dotnet binding " + (Environment.Is64BitProcess ? "x64" : "x86") + ", " + checks + " checks");
        return 0;
    }
}
