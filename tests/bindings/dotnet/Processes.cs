// What the .NET test programs share: starting a program under Wine, which
// under load now and then fails a CreateProcess with ERROR_INTERNAL_ERROR
// (1359) that the next attempt does not; and running a table's rows.
using System;
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

static class Rows
{
    // Runs rows 0..count-1; `run` returns why a row failed, null or "" when
    // it passed. Prints `ok NAME` or `FAILED NAME: why` per row, and
    // `completed: WHAT, N rows` last only when every row passed; a table
    // with no rows proves nothing and fails. Returns the program's exit code.
    public static int Report(int count, Func<int, string> name, Func<int, string> run, string what)
    {
        if (count == 0)
        {
            Console.WriteLine("FAILED " + what + ": the table has no rows");
            return 1;
        }
        int failures = 0;
        for (int i = 0; i < count; i++)
        {
            string why;
            try
            {
                why = run(i);
            }
            catch (Exception e)
            {
                why = e.ToString();
            }
            if (string.IsNullOrEmpty(why)) Console.WriteLine("ok " + name(i));
            else
            {
                failures++;
                Console.WriteLine("FAILED " + name(i) + ": " + why);
            }
        }
        if (failures > 0)
        {
            Console.WriteLine(failures + " of " + count + " " + what + " rows failed");
            return 1;
        }
        Console.WriteLine("completed: " + what + ", " + count + " rows");
        return 0;
    }
}
