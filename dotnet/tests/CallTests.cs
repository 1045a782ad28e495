// Every call of the client against lumhost: success and failure paths.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Threading;
using System.Threading.Tasks;

namespace Lumsdk.Tests
{
    public sealed class CallTests : IDisposable
    {
        private readonly Host host = Host.Shared;
        private readonly LumsdkClient client = new LumsdkClient(new ClientOptions { Heal = false });

        public void Dispose() => client.Dispose();

        private static LedColor C(int led, byte r, byte g, byte b) => new LedColor(led, r, g, b);

        [Test]
        public void HandshakeReportsBothVersions()
        {
            var p = client.Protocol;
            Assert.Equal(Environment.GetEnvironmentVariable("LUMSDK_VERSION"), p.SdkVersion, "sdk version");
            Assert.Equal(5, p.SdkProtocolVersion, "sdk protocol");
            Assert.Equal(5, p.ServerProtocolVersion, "server protocol");
            Assert.True(!string.IsNullOrEmpty(p.ServerVersion), "server version");
            Assert.True(!p.BreakingChanges, "breaking changes");
            Assert.Equal(5, client.Reconnect().ServerProtocolVersion, "again");
        }

        [Test]
        public void DevicesAreCopiedOutWithTheirChannels()
        {
            var devices = client.GetDevices();
            Assert.Equal(client.GetDeviceCount(), devices.Count, "count");
            Assert.True(devices.All(d => d.Model.Length > 0 && d.LedsCount > 0), "model and LEDs of every device");
            Assert.Equal(string.Join(",", Enumerable.Range(0, devices.Count)), string.Join(",", devices.Select(d => d.Index)), "indexes");
            var hub = devices.Single(d => d.Channels.Count > 0);
            Assert.True(hub.Channels.All(c => c.Devices.Count > 0 && c.TotalLeds == c.Devices.Sum(d => d.LedCount)),
                        "channel totals");
            Assert.True(client.TryGetDevice(0, out var first) && first.Model == devices[0].Model, "TryGetDevice");
            Assert.True(!client.TryGetDevice(99, out var none) && none == null, "TryGetDevice(99)");
        }

        [Test]
        public void PositionsOfAllAndOfOneDevice()
        {
            var all = client.GetLedPositions();
            Assert.True(all.Count > 0 && all.All(p => p.LedId >= 1 && p.LedId <= 499 && p.Width > 0 && p.Height > 0),
                        "all positions");
            var first = client.GetLedPositions(0);
            Assert.Equal(client.GetDevice(0).LedsCount, first.Count, "device 0");
            Assert.True(first.All(p => all.Any(a => a.LedId == p.LedId)), "device 0 LEDs among all");
        }

        [Test]
        public void KeyLookupCaseAndAbsence()
        {
            Assert.True(client.GetLedIdForKey('A').HasValue, "A");
            Assert.True(client.TryGetLedIdForKey('A', out int a) && a == client.GetLedIdForKey('A'), "TryGet A");
        }

        [Test]
        public void SetColorsAreReadBackInTheOrderAsked()
        {
            client.SetColors(C(10, 1, 2, 3), C(11, 255, 0, 128));
            Assert.Equal("LED 11 = #ff0080;LED 10 = #010203", string.Join(";", client.GetColors(11, 10)), "read back");
            Assert.True(client.TrySetColors(new[] { C(10, 9, 9, 9) }, out var error) && error == ErrorCode.None, "TrySet");
            Assert.Equal(C(10, 9, 9, 9), client.GetDeviceColors(0, 10)[0], "device 0");
            client.SetColors(new List<LedColor> { C(12, 7, 7, 7) });
            Assert.Equal(C(12, 7, 7, 7), client.GetColors(12)[0], "from a list");
        }

        [Test]
        public void AsyncSetAndBufferFlushes()
        {
            Assert.True(client.SetColorsAsync(C(20, 5, 6, 7)).Wait(20000), "async set");
            Assert.Equal(C(20, 5, 6, 7), client.GetColors(20)[0], "after async");
            client.SetBuffer(0, C(21, 1, 1, 1));
            client.SetBuffer(0, C(22, 2, 2, 2));
            client.Flush();
            Assert.Equal("LED 21 = #010101;LED 22 = #020202", string.Join(";", client.GetColors(21, 22)), "after flush");
            client.SetBuffer(0, C(23, 3, 3, 3));
            Assert.True(client.FlushAsync().Wait(20000), "flush async");
            Assert.Equal(C(23, 3, 3, 3), client.GetColors(23)[0], "after flush async");
        }

        [Test]
        public void ControlAndPriority()
        {
            Assert.True(client.RequestControl(), "request");
            client.ReleaseControl();
            using (client.TakeControl())
                Assert.True(host.Ask("state", "holds control").Contains("holds control"), "held");
            Assert.True(!host.Ask("state", "layer priority").Contains("holds control"), "released");
            Assert.Equal(null, client.Priority, "before");
            client.SetPriority(201);
            Assert.Equal(201, client.Priority, "after");
            Assert.True(host.Ask("state", "layer priority 201").Contains("layer priority 201"), "host");
            client.SetPriority(128);
        }

        // Rejected before anything is sent; the message names the value.
        [Test]
        public void BadArgumentsAreRejectedWithTheirValue()
        {
            var cases = new Dictionary<string, Action>
            {
                ["LED id must be 0 to 499, not 500"] = () => client.SetColors(C(500, 0, 0, 0)),
                ["LED id must be 0 to 499, not -1"] = () => client.SetColorsAsync(C(-1, 0, 0, 0)),
                ["LED id 3 appears twice"] = () => client.SetColors(C(3, 0, 0, 0), C(4, 0, 0, 0), C(3, 1, 1, 1)),
                ["no colours given"] = () => client.SetColors(),
                ["no colours given "] = () => client.SetColors((LedColor[])null),
                ["device index must be 0 or above, not -1"] = () => client.SetBuffer(-1, C(1, 0, 0, 0)),
                ["device index must be 0 or above, not -2"] = () => client.GetDevice(-2),
                ["device index must be 0 or above, not -3"] = () => client.GetLedPositions(-3),
                ["device index must be 0 or above, not -4"] = () => client.GetDeviceColors(-4, 1),
                ["no LED ids given"] = () => client.GetColors(),
                ["LED id must be 0 to 499, not 600"] = () => client.GetColors(600),
                ["key must be one ASCII letter A-Z or a-z, not '1'"] = () => client.GetLedIdForKey('1'),
                ["priority must be 0 to 255, not 256"] = () => client.SetPriority(256),
                ["SubscribeKeys needs a handler"] = () => client.SubscribeKeys(null),
            };
            foreach (var c in cases)
            {
                var e = Assert.Throws<LumsdkException>(c.Value, c.Key);
                Assert.Equal(ErrorCode.BadArgument, e.Code, c.Key);
                Assert.Equal(c.Key.Trim(), e.Message, "message");
            }
        }

        // Answers without a usable result.
        [Test]
        public void TheHostsRefusalsBecomeErrors()
        {
            Assert.Fails(ErrorCode.BadArgument, () => client.GetDevice(99), "device 99");
            Assert.Fails(ErrorCode.BadArgument, () => client.GetLedPositions(99), "positions 99");
            Assert.Fails(ErrorCode.BadArgument, () => client.GetDeviceColors(99, 1), "colours of device 99");
        }

        [Test]
        public void DisposedClientRefuses()
        {
            var other = new LumsdkClient(new ClientOptions { Heal = false });
            other.Dispose();
            other.Dispose();
            Assert.Throws<ObjectDisposedException>(() => other.GetDeviceCount(), "after dispose");
            Assert.Throws<ObjectDisposedException>(() => other.SubscribeKeys(k => { }), "subscribe after dispose");
        }

        // 8 threads queue sets and flushes at once: every task completes,
        // exactly once, with success.
        [Test]
        public void CompletionsUnderEightThreadsCompleteExactlyOnce()
        {
            const int threads = 8, perThread = 150;
            var tasks = new Task[threads * perThread];
            int continuations = 0;
            var workers = Enumerable.Range(0, threads).Select(t => new Thread(() =>
            {
                for (int i = 0; i < perThread; i++)
                {
                    int n = t * perThread + i;
                    Task task = i % 10 == 9
                        ? FlushAfterBuffer(t, i)
                        : client.SetColorsAsync(C(1 + t * 50 + i % 50, (byte)i, (byte)t, 0));
                    task.ContinueWith(_ => Interlocked.Increment(ref continuations),
                                      TaskContinuationOptions.ExecuteSynchronously);
                    tasks[n] = task;
                }
            })).ToList();
            workers.ForEach(w => w.Start());
            workers.ForEach(w => w.Join());
            Assert.True(Task.WaitAll(tasks, 60000), "every task completed");
            Assert.True(tasks.All(t => t.Status == TaskStatus.RanToCompletion), "every task succeeded");
            Assert.Eventually(() => Volatile.Read(ref continuations) == tasks.Length, "every continuation");
            Thread.Sleep(100);  // a second completion would show up here
            Assert.Equal(tasks.Length, Volatile.Read(ref continuations), "continuations");
            Assert.Equal(0, Completions.Count, "completions left waiting");
        }

        private Task FlushAfterBuffer(int t, int i)
        {
            client.SetBuffer(0, C(1 + t * 50 + i % 50, 0, (byte)i, (byte)t));
            return client.FlushAsync();
        }
    }
}
