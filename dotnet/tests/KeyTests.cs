// Key subscriptions: delivery, disposal, the event form, throwing handlers.
using System;
using System.Collections.Generic;
using System.Linq;
using System.Threading;

namespace Lumsdk.Tests
{
    public sealed class KeyTests : IDisposable
    {
        private readonly Host host = Host.Shared;
        private readonly LumsdkClient client = new LumsdkClient(new ClientOptions { Heal = false });

        public void Dispose() => client.Dispose();

        // Records what a handler received.
        private sealed class Log
        {
            private readonly List<KeyEvent> events = new List<KeyEvent>();
            public void Add(KeyEvent e) { lock (events) events.Add(e); }
            public int Count { get { lock (events) return events.Count; } }
            public string Text { get { lock (events) return string.Join(",", events.Select(e => e.Pressed ? "down" : "up")); } }
        }

        // Taps A and waits until `log` has `count` events, then a little more
        // so that a duplicate would arrive.
        private void Tap(Log log, int count)
        {
            host.Type("tap A");
            Assert.Eventually(() => log.Count >= count, count + " key events");
            Thread.Sleep(100);
        }

        [Test]
        public void EverySubscriberGetsEachPressOnceUntilDisposed()
        {
            Log first = new Log(), second = new Log();
            var a = client.SubscribeKeys(first.Add);
            var b = client.SubscribeKeys(second.Add);
            Tap(second, 2);
            Assert.Equal("down,up", first.Text, "first");
            Assert.Equal("down,up", second.Text, "second");
            a.Dispose();
            Assert.True(!a.Active && b.Active, "active flags");
            Tap(second, 4);
            Assert.Equal("down,up", first.Text, "first after dispose");
            Assert.Equal("down,up,down,up", second.Text, "second after dispose");
            b.Dispose();
            b.Dispose();
        }

        [Test]
        public void TheEventFormAddsAndRemoves()
        {
            Log log = new Log(), witness = new Log();
            Action<KeyEvent> handler = log.Add;
            client.KeyPressed += handler;
            using (client.SubscribeKeys(witness.Add))
            {
                Tap(witness, 2);
                client.KeyPressed -= handler;
                Tap(witness, 4);
            }
            Assert.Equal("down,up", log.Text, "event handler");
        }

        [Test]
        public void AThrowingHandlerCostsOnlyItsOwnCall()
        {
            long before = CallbackErrors.Count;
            var log = new Log();
            using (client.SubscribeKeys(k => throw new InvalidOperationException("from a handler")))
            using (client.SubscribeKeys(log.Add))
            {
                Tap(log, 2);
                Tap(log, 4);
            }
            Assert.Equal("down,up,down,up", log.Text, "the other handler");
            Assert.Equal(before + 4, CallbackErrors.Count, "counted");
            Assert.Equal("from a handler", CallbackErrors.Last.Message, "last");
        }

        // A handler may dispose itself and call the client; Dispose from
        // another thread waits for a call in progress.
        [Test]
        public void DisposalFromInsideAndWhileRunning()
        {
            var log = new Log();
            KeySubscription self = null;
            int selfCalls = 0;
            self = client.SubscribeKeys(k =>
            {
                Interlocked.Increment(ref selfCalls);
                client.SetColors(new LedColor(30, 1, 2, 3));
                self.Dispose();
            });
            var started = new ManualResetEventSlim();
            int finished = 0;
            var slow = client.SubscribeKeys(k =>
            {
                started.Set();
                Thread.Sleep(300);
                Volatile.Write(ref finished, 1);
            });
            using (client.SubscribeKeys(log.Add))
            {
                host.Type("press A");
                Assert.True(started.Wait(20000), "slow handler started");
                slow.Dispose();
                Assert.Equal(1, Volatile.Read(ref finished), "Dispose returned before the running call ended");
                Assert.Eventually(() => log.Count >= 1, "press");
                host.Type("release A");
                Assert.Eventually(() => log.Count >= 2, "release");
            }
            Assert.Equal(1, Volatile.Read(ref selfCalls), "self-disposing handler calls");
            Assert.Equal(new LedColor(30, 1, 2, 3), client.GetColors(30)[0], "handler's call");
        }
    }
}
