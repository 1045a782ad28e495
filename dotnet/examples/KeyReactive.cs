// A key-reactive effect: every key lights up white when pressed and fades
// to a dim blue afterwards. Runs for the given number of seconds (default
// until Enter), and survives the host going away and coming back.
//   mono KeyReactive.exe [SECONDS]
using System;
using System.Collections.Generic;
using System.Linq;
using System.Threading;
using Lumsdk;

public static class KeyReactive
{
    private static readonly LedColor Dim = new LedColor(0, 0, 0, 40);

    public static int Main(string[] args)
    {
        double seconds = args.Length > 0 ? double.Parse(args[0]) : double.PositiveInfinity;
        var heat = new Dictionary<int, double>();  // LED id -> 1.0 just pressed, fading to 0
        int refresh = 1;  // read the LEDs again: connected, restored, other devices
        var options = new ClientOptions
        {
            StateChanged = (s, e) =>
            {
                Console.WriteLine("host: " + e.State);
                if (e.State != ConnectionState.Lost) Interlocked.Exchange(ref refresh, 1);
            },
        };
        using (var client = new LumsdkClient(options))
        using (client.SubscribeKeys(key =>
               {
                   Console.WriteLine($"key {key.VendorKey} {(key.Pressed ? "pressed" : "released")}");
                   if (key.Pressed && key.VendorKey >= 0 && key.VendorKey <= LumsdkClient.MaxLedId)
                       lock (heat) heat[key.VendorKey] = 1.0;
               }))
        {
            var leds = new int[0];
            Console.WriteLine("ready: press keys on the host" + (double.IsInfinity(seconds) ? "; Enter ends" : ""));
            var end = DateTime.UtcNow.AddSeconds(seconds);
            while (DateTime.UtcNow < end && !(double.IsInfinity(seconds) && Console.KeyAvailable))
            {
                if (Interlocked.Exchange(ref refresh, 0) == 1)
                {
                    try
                    {
                        leds = client.GetLedPositions().Select(p => p.LedId).Distinct().ToArray();
                    }
                    catch (LumsdkException)
                    {
                        refresh = 1;  // not connected yet
                    }
                }
                LedColor[] frame;
                lock (heat)
                {
                    frame = leds.Select(id =>
                    {
                        heat.TryGetValue(id, out double h);
                        byte v = (byte)(h * 255);
                        return new LedColor(id, v, v, (byte)Math.Max(v, Dim.B));
                    }).ToArray();
                    foreach (var id in heat.Keys.ToList())
                        if ((heat[id] -= 0.05) <= 0) heat.Remove(id);
                }
                if (frame.Length > 0) client.TrySetColors(frame, out _);  // host away: try again next frame
                Thread.Sleep(33);
            }
        }
        return 0;
    }
}
