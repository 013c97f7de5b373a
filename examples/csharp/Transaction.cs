// Commands that must go together (select, verify, compute) in one
// transaction, through the .NET binding: no other program's command reaches
// the key between them. Build: mcs Transaction.cs -r:Olvexlib.Net.dll
using System;
using Olvexlib;

public static class Transaction
{
    public static int Main()
    {
        if (Keys.Enumerate() == 0) return 0;
        using (KeyConnection key = Keys.Open(0))
        using (KeyTransaction tx = key.BeginTransaction(TimeSpan.FromSeconds(2)))  // the key's lock, had within 2 s
        {
            tx.Exchange(new byte[] { 0x00, 0xA4, 0x04, 0x00 });  // select
            tx.Exchange(new byte[] { 0x00, 0x20, 0x00, 0x01 });  // verify
            KeyResponse r = tx.ExchangeAsync(new byte[] { 0x80, 0x2A }, TimeSpan.FromSeconds(5)).GetAwaiter().GetResult();
            Console.WriteLine("transaction: status " + r.Status.ToString("X4"));
        }  // Dispose ends it; the lock goes back once the key owes nothing
        return 0;
    }
}
