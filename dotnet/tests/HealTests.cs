// Healing across a lumhost killed with SIGKILL and started again on the
// same pipes.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Threading;

namespace Lumsdk.Tests
{
    public static class HealTests
    {
        private sealed class States
        {
            private readonly List<ConnectionState> seen = new List<ConnectionState>();
            public void Add(object sender, StateChangedEventArgs e) { lock (seen) seen.Add(e.State); }
            public string Text { get { lock (seen) return string.Join(",", seen); } }
            public void Wait(string text) => Assert.Eventually(() => Text == text, "states " + text + " (have " + Text + ")");
        }

        private static LumsdkClient Healing(States states) => new LumsdkClient(new ClientOptions
        {
            ProbeInterval = TimeSpan.FromMilliseconds(100),
            StateChanged = states.Add,
        });

        // Priority, control, key registration and the latest colours (set
        // before the loss and while lost) come back on the new host; key
        // presses reach the handler once each.
        [Test(Order = 400)]
        public static void IntentIsRestoredOnTheNewHost()
        {
            var states = new States();
            var host = Host.Shared;
            using (var client = Healing(states))
            {
                states.Wait("Connected");
                int presses = 0;
                client.SubscribeKeys(k => Interlocked.Increment(ref presses));
                client.SetPriority(200);
                Assert.True(client.RequestControl(), "control");
                client.SetColors(new LedColor(1, 255, 0, 0), new LedColor(2, 0, 255, 0));
                client.SetColorsAsync(new LedColor(3, 0, 0, 255)).Wait(20000);

                host.Kill();
                states.Wait("Connected,Lost");  // found by the idle probe
                Assert.True(!client.IsConnected, "lost");
                Assert.Fails(ErrorCode.HostUnreachable, () => client.SetColors(new LedColor(2, 9, 9, 9)), "set while lost");
                Assert.Fails(ErrorCode.HostUnreachable, () => client.SetBuffer(0, new LedColor(4, 4, 4, 4)), "buffer while lost");
                Assert.Fails(ErrorCode.HostUnreachable, () => client.Flush(), "flush while lost");
                Assert.Fails(ErrorCode.HostUnreachable, () => client.GetDeviceCount(), "count while lost");

                host = Host.Shared;
                states.Wait("Connected,Lost,Restored");
                Assert.Equal("LED 1 = #ff0000;LED 2 = #090909;LED 3 = #0000ff;LED 4 = #040404",
                             string.Join(";", client.GetColors(1, 2, 3, 4)), "colours");
                string state = host.Ask("state", "layer priority");
                Assert.True(state.Contains("layer priority 200") && state.Contains("holds control"), "host state: " + state);
                host.Type("tap A");
                Assert.Eventually(() => Volatile.Read(ref presses) >= 2, "key events after restore");
                Thread.Sleep(100);
                Assert.Equal(2, Volatile.Read(ref presses), "each key event once");
                Assert.Equal(200, client.Priority, "priority");
            }
        }

        // A call that meets the dead host reports the loss at once; a host
        // with other devices brings DevicesChanged after Restored; a state
        // handler that throws is counted and the healer carries on.
        [Test(Order = 410)]
        public static void ACallFindsTheLossAndChangedDevicesAreReported()
        {
            var states = new States();
            var host = Host.Shared;
            long errors = CallbackErrors.Count;
            using (var client = new LumsdkClient(new ClientOptions
            {
                ProbeInterval = TimeSpan.FromSeconds(30),
                StateChanged = states.Add,
            }))
            {
                client.StateChanged += (s, e) => throw new InvalidOperationException("state handler");
                client.StateChanged += (s, e) => ((LumsdkClient)s).TrySetColors(new[] { new LedColor(7, 7, 7, 7) }, out _);
                states.Wait("Connected");
                host.Kill();
                Assert.Fails(ErrorCode.HostUnreachable, () => client.GetDeviceCount(), "the call that meets the loss");
                states.Wait("Connected,Lost");
                using (var other = Host.Start("--profile " + Host.Data("sample_profile.json")))
                {
                    states.Wait("Connected,Lost,Restored,DevicesChanged");
                    Assert.Equal(2, client.GetDeviceCount(), "devices of the new host");
                }
                Assert.Fails(ErrorCode.HostUnreachable, () => client.GetDeviceCount(), "after the host quit");
                states.Wait("Connected,Lost,Restored,DevicesChanged,Lost");
                Assert.True(CallbackErrors.Count >= errors + 4, "throwing state handler counted");
            }
        }

        [Test(Order = 420)]
        public static void DisposeStopsTheHealerWhileLost()
        {
            var states = new States();
            Host.StopShared();
            var client = Healing(states);
            Assert.True(!client.IsConnected, "no host");
            client.Dispose();
            Assert.Equal("", states.Text, "no events");
            Assert.Throws<ObjectDisposedException>(() => client.GetDeviceCount(), "after dispose");
        }
    }
}
