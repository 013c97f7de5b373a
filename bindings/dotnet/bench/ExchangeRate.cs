// ExchangeRate SLOT SLOTS TURNS SHORT_COUNT LONG_COUNT: KeyConnection.Exchange's
// time on keys 0 and 1, taking turns with the other programs of
// bench/bindings-bench.sh as bench/binding_rate.c describes. Also the same
// exchanges under a 5 s limit (tshort, tlong), and awaited ExchangeAsync calls
// under that limit (ashort, along), in the same turn as the untimed ones and
// alternately before and after them, so that their ratios are paired.
using System;
using System.Diagnostics;
using System.Threading;
using System.Threading.Tasks;
using Olvexlib;

static class ExchangeRate
{
    const int WarmUp = 25;  // turn 0 is this many turns long, as in binding_rate.c
    static readonly byte[] Command = { 0x80, 0x01, 0x02, 0x03 };

    static readonly TimeSpan Limit = TimeSpan.FromSeconds(5);

    static double Time(KeyConnection key, int count)
    {
        var clock = Stopwatch.StartNew();
        for (int i = 0; i < count; i++)
            if (key.Exchange(Command).Status != 0x9000) throw new Exception("unexpected status");
        return clock.Elapsed.TotalSeconds;
    }

    static double TimeLimited(KeyConnection key, int count)
    {
        var clock = Stopwatch.StartNew();
        for (int i = 0; i < count; i++)
            if (key.Exchange(Command, Limit).Status != 0x9000) throw new Exception("unexpected status");
        return clock.Elapsed.TotalSeconds;
    }

    static async Task<double> TimeAsync(KeyConnection key, int count)
    {
        var clock = Stopwatch.StartNew();
        for (int i = 0; i < count; i++)
            if ((await key.ExchangeAsync(Command, Limit)).Status != 0x9000) throw new Exception("unexpected status");
        return clock.Elapsed.TotalSeconds;
    }

    static double TimeReusing(KeyConnection key, int count)
    {
        var response = new byte[Keys.MaxResponseBody];
        var clock = Stopwatch.StartNew();
        for (int i = 0; i < count; i++)
        {
            int length;
            if (key.Exchange(Command, response, out length) != 0x9000) throw new Exception("unexpected status");
        }
        return clock.Elapsed.TotalSeconds;
    }

    // The runtime's first generation is tens of megabytes here, and the first
    // pass through it lands each new array in memory never touched before: a
    // page fault a page, 10-20 us each on our test machines. A program that
    // runs for more than a moment pays that once, so the bodies are timed
    // after the first generation has been collected a few times.
    static void WarmHeap()
    {
        int start = GC.CollectionCount(0);
        for (int i = 0; i < 100000 && GC.CollectionCount(0) < start + 3; i++)
            GC.KeepAlive(new byte[Keys.MaxResponseBody]);
    }

    static EventWaitHandle Turn(int slot)
    {
        return new EventWaitHandle(false, EventResetMode.AutoReset, @"Local\olvex-bench-turn-" + slot);
    }

    static int Main(string[] args)
    {
        if (args.Length != 5 || Keys.Enumerate() < 2)
        {
            Console.Error.WriteLine("usage: ExchangeRate SLOT SLOTS TURNS SHORT_COUNT LONG_COUNT, with two keys plugged");
            return 2;
        }
        int slot = int.Parse(args[0]), slots = int.Parse(args[1]), turns = int.Parse(args[2]);
        int shortCount = int.Parse(args[3]), longCount = int.Parse(args[4]);
        WarmHeap();
        using (KeyConnection shortKey = Keys.Open(0))
        using (KeyConnection longKey = Keys.Open(1))
        using (EventWaitHandle mine = Turn(slot), next = Turn((slot + 1) % slots))
        {
            for (int t = 0; t <= turns; t++)
            {
                if ((t > 0 || slot > 0) && !mine.WaitOne(TimeSpan.FromMinutes(2)))
                    throw new Exception("no turn within two minutes");
                Thread.Sleep(20);  // as binding_rate.c does
                int w = t == 0 ? WarmUp : 1;
                double ts = 0, tl = 0, xs = 0, xl = 0;
                Action limited = () =>
                {
                    ts = TimeLimited(shortKey, w * shortCount);
                    tl = TimeLimited(longKey, w * longCount);
                    xs = TimeAsync(shortKey, w * shortCount).GetAwaiter().GetResult();
                    xl = TimeAsync(longKey, w * longCount).GetAwaiter().GetResult();
                };
                if (t % 2 == 1) limited();
                double s = Time(shortKey, w * shortCount), l = Time(longKey, w * longCount),
                       u = TimeReusing(longKey, w * longCount);
                if (t % 2 == 0) limited();
                next.Set();
                if (t > 0)
                    Console.WriteLine("short " + s.ToString("F7") + "\nlong " + l.ToString("F7") + "\nreuse " + u.ToString("F7") +
                                      "\ntshort " + ts.ToString("F7") + "\ntlong " + tl.ToString("F7") +
                                      "\nashort " + xs.ToString("F7") + "\nalong " + xl.ToString("F7"));
            }
        }
        return 0;
    }
}
