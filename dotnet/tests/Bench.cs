// The binding's cost over a raw P/Invoke: SetColors of 100 LEDs through
// LumsdkClient (checks, remembered colours, error handling) against
// VelmoraSetLedsColors called directly, in one run, alternating rounds.
//   mono Lumsdk.Tests.exe --bench [CALLS-PER-ROUND] [ROUNDS]   (a host must serve)
using System;
using System.Diagnostics;
using System.Linq;

namespace Lumsdk.Tests
{
    public static class Bench
    {
        public static int Run(string[] args)
        {
            int calls = args.Length > 1 ? int.Parse(args[1]) : 2000;
            int rounds = args.Length > 2 ? int.Parse(args[2]) : 7;
            var colors = Enumerable.Range(1, 100).Select(i => new LedColor(i, (byte)i, 0, 0)).ToArray();
            using (var client = new LumsdkClient())
            {
                var raw = new double[rounds];
                var bound = new double[rounds];
                for (int r = -1; r < rounds; r++)  // round -1 warms up
                {
                    var watch = Stopwatch.StartNew();
                    for (int i = 0; i < calls; i++)
                        if (!NativeMethods.VelmoraSetLedsColors(colors.Length, colors)) throw new Exception("raw call failed");
                    double rawUs = watch.Elapsed.TotalMilliseconds * 1000 / calls;
                    watch.Restart();
                    for (int i = 0; i < calls; i++) client.SetColors(colors);
                    double boundUs = watch.Elapsed.TotalMilliseconds * 1000 / calls;
                    if (r < 0) continue;
                    raw[r] = rawUs;
                    bound[r] = boundUs;
                }
                Array.Sort(raw);
                Array.Sort(bound);
                double rawMedian = raw[rounds / 2], boundMedian = bound[rounds / 2];
                Console.WriteLine($"SetLedsColors(100): raw P/Invoke {rawMedian:F1} us, LumsdkClient.SetColors {boundMedian:F1} us " +
                                  $"(median of {rounds} rounds of {calls}); ratio {boundMedian / rawMedian:F3}");
            }
            return 0;
        }
    }
}
