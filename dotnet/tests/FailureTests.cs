// Hosts too old for a call, and hosts gone, with healing off.
using System;
using System.Collections.Generic;
using System.Threading;
using System.Threading.Tasks;

namespace Lumsdk.Tests
{
    public static class FailureTests
    {
        private static LedColor C(int led) => new LedColor(led, 1, 2, 3);

        [Test(Order = 200)]
        public static void OlderHostsRefuseNewerCalls()
        {
            Host.StopShared();
            // protocol: the calls that need more than that
            var gates = new Dictionary<int, Dictionary<string, Action<LumsdkClient>>>
            {
                [4] = new Dictionary<string, Action<LumsdkClient>>
                {
                    ["device colours"] = c => c.GetDeviceColors(0, 1),
                    ["buffer"] = c => c.SetBuffer(0, C(1)),
                    ["flush"] = c => c.Flush(),
                    ["flush async"] = c => c.FlushAsync(),
                },
                [3] = new Dictionary<string, Action<LumsdkClient>>
                {
                    ["priority"] = c => c.SetPriority(1),
                    ["colours"] = c => c.GetColors(1),
                    ["keys"] = c => c.SubscribeKeys(k => { }),
                },
                [1] = new Dictionary<string, Action<LumsdkClient>>
                {
                    ["release"] = c => c.ReleaseControl(),
                    ["positions of a device"] = c => c.GetLedPositions(0),
                },
            };
            foreach (var protocol in new[] { 4, 3, 1 })
            {
                using (Host.Start("--protocol " + protocol))
                using (var client = new LumsdkClient(new ClientOptions { Heal = false }))
                {
                    Assert.Equal(protocol, client.Protocol.ServerProtocolVersion, "protocol");
                    foreach (var p in gates)
                        foreach (var call in p.Value)
                        {
                            string what = call.Key + " at protocol " + protocol;
                            if (protocol <= p.Key)
                                Assert.Fails(ErrorCode.ProtocolMismatch, () => call.Value(client), what);
                        }
                    client.SetColors(C(1));  // every protocol
                }
            }
        }

        // Without healing a broken connection stays broken, for every call,
        // until Reconnect; key subscriptions carry over.
        [Test(Order = 210)]
        public static void WithoutHealingAGoneHostFailsEveryCallUntilReconnect()
        {
            var host = Host.Shared;
            using (var client = new LumsdkClient(new ClientOptions { Heal = false }))
            {
                int presses = 0;
                using (client.SubscribeKeys(k => Interlocked.Increment(ref presses)))
                {
                    host.Kill();
                    var calls = new Dictionary<string, Action>
                    {
                        ["count"] = () => client.GetDeviceCount(),
                        ["device"] = () => client.GetDevice(0),
                        ["positions"] = () => client.GetLedPositions(),
                        ["positions of a device"] = () => client.GetLedPositions(0),
                        ["key"] = () => client.GetLedIdForKey('A'),
                        ["set"] = () => client.SetColors(C(1)),
                        ["get"] = () => client.GetColors(1),
                        ["device colours"] = () => client.GetDeviceColors(0, 1),
                        ["buffer"] = () => client.SetBuffer(0, C(1)),
                        ["flush"] = () => client.Flush(),
                        ["request"] = () => client.RequestControl(),
                        ["release"] = () => client.ReleaseControl(),
                        ["priority"] = () => client.SetPriority(1),
                    };
                    foreach (var call in calls) Assert.Fails(ErrorCode.HostUnreachable, call.Value, call.Key);
                    Assert.True(!client.TrySetColors(new[] { C(1) }, out var error) && error == ErrorCode.HostUnreachable,
                                "TrySetColors");
                    // Queued without a check; the completion carries the failure.
                    var task = client.SetColorsAsync(C(1));
                    var e = Assert.Throws<AggregateException>(() => task.Wait(20000), "async set");
                    Assert.Equal(ErrorCode.HostUnreachable, ((LumsdkException)e.InnerException).Code, "async error");

                    host = Host.Shared;
                    Assert.Fails(ErrorCode.HostUnreachable, () => client.GetDeviceCount(), "still broken");
                    client.Reconnect();
                    Assert.Equal(5, client.GetDeviceCount(), "after reconnect");
                    host.Type("tap A");
                    Assert.Eventually(() => Volatile.Read(ref presses) >= 2, "key events after reconnect");
                    Thread.Sleep(100);
                    Assert.Equal(2, Volatile.Read(ref presses), "each once");
                }
            }
        }
    }
}
