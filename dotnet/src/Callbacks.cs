// The two C callbacks of the process and what they dispatch to. Both
// delegates live in static fields for the life of the process, so the
// garbage collector never frees a function pointer the library still holds.
using System;
using System.Collections.Concurrent;
using System.Collections.Generic;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Threading;
using System.Threading.Tasks;

namespace Lumsdk
{
    /// <summary>Exceptions thrown by application code that the binding called
    /// (key handlers, state handlers): caught, counted, never passed to the
    /// library.</summary>
    public static class CallbackErrors
    {
        private static long count;
        private static Exception last;

        /// <summary>How many exceptions application callbacks have thrown.</summary>
        public static long Count => Interlocked.Read(ref count);

        /// <summary>The latest of them, or null.</summary>
        public static Exception Last => Volatile.Read(ref last);

        internal static void Add(Exception e)
        {
            Volatile.Write(ref last, e);
            Interlocked.Increment(ref count);
        }
    }

    internal static class Shutdown
    {
        // Set when the process exits: a library thread that calls back after
        // that returns at once instead of running application code in a
        // runtime that is tearing down.
        internal static volatile bool Exiting;

        static Shutdown()
        {
            AppDomain.CurrentDomain.ProcessExit += (s, e) =>
            {
                Exiting = true;
                UnloadLibrary();
            };
        }

        private const int RTLD_NOW = 2, RTLD_NOLOAD = 4;

        [DllImport("libdl.so.2")]
        private static extern IntPtr dlopen(string file, int mode);

        [DllImport("libdl.so.2")]
        private static extern int dlclose(IntPtr handle);

        // Unloads the library while the runtime can still run callbacks: the
        // library then stops its threads, waiting for a callback in progress
        // (which returns at once now), and sends no callback after. Left to
        // itself it would unload only after the runtime is gone, and a
        // completion or key press arriving in between would call into a dead
        // runtime. On Windows the system ends every thread before unloading.
        private static void UnloadLibrary()
        {
            if (RuntimeInformation.IsOSPlatform(OSPlatform.Windows)) return;
            // Calls in progress end within the library's own time-out (5 s);
            // a library still in use stays loaded.
            if (!Gate.Close(TimeSpan.FromSeconds(6))) return;
            try
            {
                for (int i = 0; i < 8; i++)
                {
                    IntPtr handle = dlopen("libLUMSDK.so.3", RTLD_NOW | RTLD_NOLOAD);
                    if (handle == IntPtr.Zero) return;
                    dlclose(handle);  // this reference
                    dlclose(handle);  // the runtime's
                }
            }
            catch (Exception)
            {
                // No libdl (not Linux): leave it to the system.
            }
        }

        internal static void Touch()
        {
        }

        [ThreadStatic] private static bool adopted;

        // Mono's flag for threads that its shutdown neither waits for nor
        // aborts (MONO_THREAD_FLAG_DONT_MANAGE), and where it lives.
        private const long DontManage = 1;
        private static readonly FieldInfo internalThread =
            Type.GetType("Mono.Runtime") == null
                ? null
                : typeof(Thread).GetField("internal_thread", BindingFlags.NonPublic | BindingFlags.Instance);
        private static readonly FieldInfo threadFlags =
            internalThread?.FieldType.GetField("flags", BindingFlags.NonPublic | BindingFlags.Instance);

        // A library thread that calls into managed code is attached to the
        // runtime, and Mono's shutdown aborts every attached thread and waits
        // for it to end. The library's workers run in native code until the
        // library unloads (after the runtime has shut down), so the process
        // would never exit. Called first by every callback: tells Mono to
        // leave this thread alone, and elsewhere makes it a background thread.
        internal static void Adopt()
        {
            if (adopted) return;
            adopted = true;
            var thread = Thread.CurrentThread;
            thread.IsBackground = true;
            if (threadFlags == null || threadFlags.FieldType != typeof(IntPtr)) return;
            object inner = internalThread.GetValue(thread);
            if (inner == null) return;
            long flags = ((IntPtr)threadFlags.GetValue(inner)).ToInt64();
            threadFlags.SetValue(inner, new IntPtr(flags | DontManage));
        }
    }

    /// <summary>Tasks waiting for an asynchronous call's completion. Each call
    /// passes a number of its own as the C context; the completion takes its
    /// entry out of the table, so a task completes exactly once.</summary>
    internal static class Completions
    {
        internal struct Pending
        {
            public TaskCompletionSource<bool> Source;
            public LumsdkClient Owner;
            public string What;
            public int At;  // the owner's connection epoch when queued
        }

        private static readonly ConcurrentDictionary<long, Pending> pending =
            new ConcurrentDictionary<long, Pending>();
        private static long lastNumber;

        internal static readonly Native.AsyncCallback Thunk = OnDone;

        internal static long Add(LumsdkClient owner, string what, int at, out Task task)
        {
            var source = new TaskCompletionSource<bool>(
                TaskCreationOptions.RunContinuationsAsynchronously);
            long number = Interlocked.Increment(ref lastNumber);
            pending[number] = new Pending { Source = source, Owner = owner, What = what, At = at };
            task = source.Task;
            return number;
        }

        internal static void Forget(long number)
        {
            pending.TryRemove(number, out _);
        }

        internal static int Count => pending.Count;

        private static void OnDone(IntPtr context, byte result, int error)
        {
            // Runs on a worker thread of the library: nothing may escape.
            try
            {
                Shutdown.Adopt();
                if (Shutdown.Exiting) return;
                if (!pending.TryRemove(context.ToInt64(), out var entry)) return;
                if (result != 0)
                {
                    entry.Source.TrySetResult(true);
                }
                else
                {
                    entry.Owner?.Observe(error, entry.At);
                    entry.Source.TrySetException(LumsdkException.For(error, entry.What));
                }
            }
            catch (Exception e)
            {
                CallbackErrors.Add(e);
            }
        }
    }

    /// <summary>A key-press subscription; disposing it stops the calls. On
    /// return from Dispose the handler is not running and will not run again,
    /// unless Dispose was called from inside the handler itself.</summary>
    public sealed class KeySubscription : IDisposable
    {
        internal readonly Action<KeyEvent> Handler;
        internal readonly LumsdkClient Owner;
        internal bool Listed;  // guarded by KeyHub's lock

        internal KeySubscription(Action<KeyEvent> handler, LumsdkClient owner)
        {
            Handler = handler;
            Owner = owner;
        }

        public bool Active => KeyHub.IsListed(this);

        public void Dispose() => KeyHub.Remove(this);
    }

    /// <summary>The one key-press callback of the process and the handlers it
    /// calls.
    ///
    /// The library cannot unregister a callback, so each registration passes a
    /// new generation number as its context, and presses are delivered only
    /// for the latest successful registration: a registration that survived a
    /// handshake is never heard twice, and one refused is never heard at all.
    ///
    /// Locks, in the order they may be taken together:
    ///   1. Registration: serialises handshakes and registrations (and a
    ///      healer's whole restore), so no subscription slips in between a
    ///      handshake and the registration after it. Held during exports;
    ///      never taken on the delivering thread.
    ///   2. delivery: held by the delivering thread for one whole press.
    ///   3. sync: the list and delivery state; innermost, never held while a
    ///      handler or an export runs.</summary>
    internal static class KeyHub
    {
        internal static readonly object Registration = new object();
        private static readonly object delivery = new object();
        private static readonly object sync = new object();

        internal static readonly Native.KeypressCallback Thunk = OnKey;

        private static readonly List<KeySubscription> entries = new List<KeySubscription>();
        private static long lastGeneration;    // guarded by Registration
        private static long activeGeneration;  // 0: never registered
        private static bool stale;             // a handshake ran since that registration
        private static KeySubscription running;
        private static Thread deliverer;

        internal static bool OnDeliveringThread
        {
            get { lock (sync) return deliverer == Thread.CurrentThread; }
        }

        internal static bool HasSubscriptions
        {
            get { lock (sync) return entries.Count > 0; }
        }

        internal static bool Registered
        {
            get { lock (sync) return activeGeneration != 0 && !stale; }
        }

        internal static bool IsListed(KeySubscription s)
        {
            lock (sync) return s.Listed;
        }

        internal static void Add(KeySubscription s)
        {
            lock (sync)
            {
                s.Listed = true;
                entries.Add(s);
            }
        }

        /// <summary>Stops deliveries to s, waiting for a call of it in progress on
        /// another thread.</summary>
        internal static void Remove(KeySubscription s)
        {
            lock (sync)
            {
                if (!s.Listed) return;
                s.Listed = false;
                entries.Remove(s);
                while (running == s && deliverer != Thread.CurrentThread) Monitor.Wait(sync);
            }
        }

        internal static void RemoveOwnedBy(LumsdkClient owner)
        {
            KeySubscription[] owned;
            lock (sync) owned = entries.FindAll(e => e.Owner == owner).ToArray();
            foreach (var s in owned) Remove(s);
        }

        /// <summary>A handshake ran (caller holds Registration): the library may
        /// have forgotten the registration.</summary>
        internal static void MarkStale()
        {
            lock (sync) stale = true;
        }

        /// <summary>Registers the C callback anew; caller holds Registration.
        /// Returns the library's error, 0 on success.</summary>
        internal static int RegisterLocked()
        {
            long generation = ++lastGeneration;
            if (!Native.VelmoraRegisterKeypressCallback(Thunk, new IntPtr(generation)))
                return Native.VelmoraGetLastError();
            lock (sync)
            {
                activeGeneration = generation;
                stale = false;
            }
            return 0;
        }

        private static void OnKey(IntPtr context, int vendorKey, byte pressed)
        {
            // Runs on the library's notification thread: nothing may escape.
            try
            {
                Shutdown.Adopt();
                if (Shutdown.Exiting) return;
                Deliver(context.ToInt64(), new KeyEvent(vendorKey, pressed != 0));
            }
            catch (Exception e)
            {
                CallbackErrors.Add(e);
            }
        }

        // Calls every subscription listed when the press arrived, in
        // subscription order, without sync held, so a handler may subscribe
        // and dispose subscriptions (its own included).
        private static void Deliver(long generation, KeyEvent key)
        {
            lock (delivery)
            {
                KeySubscription[] snapshot;
                lock (sync)
                {
                    if (generation != activeGeneration) return;
                    deliverer = Thread.CurrentThread;
                    snapshot = entries.ToArray();
                }
                try
                {
                    foreach (var s in snapshot)
                    {
                        lock (sync)
                        {
                            if (!s.Listed) continue;
                            running = s;
                        }
                        try
                        {
                            s.Handler(key);
                        }
                        catch (Exception e)
                        {
                            // A throwing handler costs only its own call.
                            CallbackErrors.Add(e);
                        }
                        finally
                        {
                            lock (sync)
                            {
                                running = null;
                                Monitor.PulseAll(sync);
                            }
                        }
                    }
                }
                finally
                {
                    lock (sync) deliverer = null;
                }
            }
        }
    }
}
