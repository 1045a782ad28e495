using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Runtime.InteropServices;
using System.Text;
using System.Threading;
using System.Threading.Tasks;

namespace Lumsdk
{
    /// <summary>The process's connection to the lighting host. Every method may
    /// be called from any thread, including key handlers, state handlers and
    /// task continuations. The library has one session per process: clients
    /// share it, and one healing client per process is the supported case.</summary>
    public sealed class LumsdkClient : IDisposable
    {
        public const int MaxLedId = 499;

        private readonly ClientOptions options;
        private readonly bool heal;
        private readonly Thread healer;

        // Locks, in the order they may be taken together (KeyHub.Registration
        // comes before both):
        //   healSync: connection state (lost, epoch, lastCall, disposed) and the
        //     queue of state events; wakes the healer. Never held during an
        //     export or while application code runs.
        //   intent: what the application asked for (colours, priority, control,
        //     the mirror of the library's buffer); innermost.
        private readonly object healSync = new object();
        private bool lost;
        private bool everConnected;
        private int epoch;
        private long lastCall;
        private bool disposed;
        private bool wakeNow;
        private readonly Queue<ConnectionState> events = new Queue<ConnectionState>();

        private readonly object intent = new object();
        private readonly int[] colors = NewColorMap();    // LED id -> 0xRRGGBB, -1: none
        private readonly int[] buffered = NewColorMap();  // what this client put in the buffer
        private int? priority;
        private bool controlHeld;

        private ProtocolDetails protocol;
        private string signature;  // devices at the latest connect; healer thread only
        private int knownCount = -1;
        private readonly List<KeyValuePair<Action<KeyEvent>, KeySubscription>> keyEvents =
            new List<KeyValuePair<Action<KeyEvent>, KeySubscription>>();

        /// <summary>Connects with the default options (healing on).</summary>
        public LumsdkClient() : this(null)
        {
        }

        /// <summary>Connects to the host. Without healing a failed handshake
        /// throws; with healing the client starts lost and connects as soon as a
        /// host answers, raising <c>Connected</c>.</summary>
        public LumsdkClient(ClientOptions options)
        {
            this.options = options ?? new ClientOptions();
            heal = this.options.Heal;
            if (this.options.StateChanged != null) StateChanged += this.options.StateChanged;
            Shutdown.Touch();
            lastCall = Stopwatch.GetTimestamp();
            int error = HandshakeAndRegister(out protocol);
            if (error != 0)
            {
                if (!heal || error != (int)ErrorCode.HostUnreachable)
                    throw LumsdkException.For(error, "handshake");
                lost = true;
            }
            else
            {
                everConnected = true;
                if (heal) events.Enqueue(ConnectionState.Connected);
            }
            if (heal)
            {
                healer = new Thread(HealerLoop) { IsBackground = true, Name = "Lumsdk healer" };
                healer.Start();
            }
        }

        /// <summary>Raised on the client's healer thread: Connected, Lost,
        /// Restored, DevicesChanged. Exceptions from handlers are caught and
        /// counted in <see cref="CallbackErrors"/>.</summary>
        public event EventHandler<StateChangedEventArgs> StateChanged;

        /// <summary>Versions of the latest successful handshake (null while a
        /// healing client has never connected).</summary>
        public ProtocolDetails Protocol => Volatile.Read(ref protocol);

        /// <summary>True while calls reach the host (as far as the client knows).</summary>
        public bool IsConnected
        {
            get { lock (healSync) return !lost && (everConnected || !heal); }
        }

        /// <summary>The layer priority last set through this client, or null.</summary>
        public int? Priority
        {
            get { lock (intent) return priority; }
        }

        // ------------------------------------------------------------------
        // Lifetime

        /// <summary>Handshakes again. Without healing this reconnects when the
        /// host went away. With healing it wakes the healer and waits up to
        /// 10 s for it to restore the connection.</summary>
        public ProtocolDetails Reconnect()
        {
            CheckOpen();
            if (heal)
            {
                var deadline = DateTime.UtcNow + TimeSpan.FromSeconds(10);
                lock (healSync)
                {
                    wakeNow = true;
                    Monitor.PulseAll(healSync);
                    while (lost && !disposed && DateTime.UtcNow < deadline)
                        Monitor.Wait(healSync, TimeSpan.FromMilliseconds(50));
                    if (lost) throw Unreachable("reconnect");
                }
                return Protocol;
            }
            int error = HandshakeAndRegister(out var details);
            if (error != 0) throw LumsdkException.For(error, "handshake");
            Volatile.Write(ref protocol, details);
            return details;
        }

        /// <summary>Stops the healer and this client's key subscriptions. The
        /// connection stays for other clients and ends with the process.</summary>
        public void Dispose()
        {
            lock (healSync)
            {
                if (disposed) return;
                disposed = true;
                Monitor.PulseAll(healSync);
            }
            // Not joined from the healer itself (a state handler), nor from a
            // key handler: a restore under way may be waiting for that very
            // thread to stop. The healer ends by itself then.
            if (healer != null && healer != Thread.CurrentThread && !KeyHub.OnDeliveringThread)
                healer.Join();
            KeyHub.RemoveOwnedBy(this);
        }

        // ------------------------------------------------------------------
        // Devices and LEDs

        public int GetDeviceCount()
        {
            int at = Enter("device count");
            int count = Native.VelmoraGetDeviceCount();
            if (count < 0) throw Fail(Native.VelmoraGetLastError(), "device count", at);
            return count;
        }

        public DeviceInfo GetDevice(int index)
        {
            if (!TryGetDeviceCore(index, out var device, out int error, out int at))
                throw Fail(error, "device " + index, at);
            return device;
        }

        /// <summary>False when the host has no device <paramref name="index"/>;
        /// throws for other failures.</summary>
        public bool TryGetDevice(int index, out DeviceInfo device)
        {
            if (TryGetDeviceCore(index, out device, out int error, out int at)) return true;
            if (error == (int)ErrorCode.BadArgument) return false;
            throw Fail(error, "device " + index, at);
        }

        private bool TryGetDeviceCore(int index, out DeviceInfo device, out int error, out int at)
        {
            device = null;
            if (index < 0) throw BadArgument("device index must be 0 or above, not " + index);
            at = Enter("device " + index);
            IntPtr info = Native.VelmoraGetDeviceInfo(index);
            if (info == IntPtr.Zero)
            {
                error = Native.VelmoraGetLastError();
                return false;
            }
            error = 0;
            device = new DeviceInfo(index, Marshal.PtrToStructure<Native.DeviceInfoC>(info));
            return true;
        }

        public IReadOnlyList<DeviceInfo> GetDevices()
        {
            int count = GetDeviceCount();
            var devices = new List<DeviceInfo>(count);
            for (int i = 0; i < count; i++) devices.Add(GetDevice(i));
            return devices;
        }

        /// <summary>Positions of every LED.</summary>
        public IReadOnlyList<LedPosition> GetLedPositions()
        {
            int at = Enter("LED positions");
            return Positions(Native.VelmoraGetLedPositions(), "LED positions", at);
        }

        /// <summary>Positions of one device's LEDs.</summary>
        public IReadOnlyList<LedPosition> GetLedPositions(int deviceIndex)
        {
            if (deviceIndex < 0)
                throw BadArgument("device index must be 0 or above, not " + deviceIndex);
            string what = "LED positions of device " + deviceIndex;
            int at = Enter(what);
            return Positions(Native.VelmoraGetLedPositionsByDeviceIndex(deviceIndex), what, at);
        }

        private IReadOnlyList<LedPosition> Positions(IntPtr record, string what, int at)
        {
            if (record == IntPtr.Zero) throw Fail(Native.VelmoraGetLastError(), what, at);
            var p = Marshal.PtrToStructure<Native.LedPositionsC>(record);
            int size = Marshal.SizeOf(typeof(Native.LedPositionC));
            var result = new LedPosition[p.Positions == IntPtr.Zero ? 0 : Math.Max(p.PositionsCount, 0)];
            for (int i = 0; i < result.Length; i++)
                result[i] = new LedPosition(
                    Marshal.PtrToStructure<Native.LedPositionC>(p.Positions + i * size));
            return result;
        }

        /// <summary>The LED of the key for an ASCII letter (case matters), or
        /// null when the host has none.</summary>
        public int? GetLedIdForKey(char key)
        {
            return TryGetLedIdForKey(key, out int led) ? led : (int?)null;
        }

        /// <summary>False when the host has no LED for the key.</summary>
        public bool TryGetLedIdForKey(char key, out int ledId)
        {
            if (!(key >= 'A' && key <= 'Z' || key >= 'a' && key <= 'z'))
                throw BadArgument("key must be one ASCII letter A-Z or a-z, not '" + key + "'");
            string what = "LED for key '" + key + "'";
            int at = Enter(what);
            ledId = Native.VelmoraGetLedIdForKeyName((byte)key);
            int error = Native.VelmoraGetLastError();
            if (error != 0) throw Fail(error, what, at);
            return ledId != 0;
        }

        // ------------------------------------------------------------------
        // Colours

        /// <summary>Sets colours and waits for the host.</summary>
        public void SetColors(params LedColor[] colors)
        {
            if (!SetColorsCore(colors, out int error, out int at))
                throw Fail(error, "setting " + colors.Length + " colours", at);
        }

        public void SetColors(IEnumerable<LedColor> colors) => SetColors(ToArray(colors));

        /// <summary>As <see cref="SetColors(LedColor[])"/>, but a failure of the
        /// library or the host is returned instead of thrown (for frame loops
        /// that carry on while the host is away). Bad arguments still throw.</summary>
        public bool TrySetColors(LedColor[] colors, out ErrorCode error)
        {
            if (SetColorsCore(colors, out int code, out int at))
            {
                error = ErrorCode.None;
                return true;
            }
            Observe(code, at);
            error = (ErrorCode)code;
            return false;
        }

        // False with the error (0 when the host said no without a code).
        private bool SetColorsCore(LedColor[] colors, out int error, out int at)
        {
            CheckColors(colors);
            error = 0;
            if (!TryEnter(out at))
            {
                Remember(colors, this.colors);
                error = (int)ErrorCode.HostUnreachable;
                return false;
            }
            if (Native.VelmoraSetLedsColors(colors.Length, colors))
            {
                Remember(colors, this.colors);
                return true;
            }
            error = Native.VelmoraGetLastError();
            if (error == (int)ErrorCode.HostUnreachable) Remember(colors, this.colors);
            return false;
        }

        /// <summary>The colours of the given LEDs as the user sees them, in the
        /// order asked.</summary>
        public LedColor[] GetColors(params int[] ledIds) => GetColorsCore(-1, ledIds);

        /// <summary>As <see cref="GetColors"/>, of one device's LEDs.</summary>
        public LedColor[] GetDeviceColors(int deviceIndex, params int[] ledIds)
        {
            if (deviceIndex < 0)
                throw BadArgument("device index must be 0 or above, not " + deviceIndex);
            return GetColorsCore(deviceIndex, ledIds);
        }

        private LedColor[] GetColorsCore(int deviceIndex, int[] ledIds)
        {
            if (ledIds == null || ledIds.Length == 0) throw BadArgument("no LED ids given");
            var records = new LedColor[ledIds.Length];
            for (int i = 0; i < ledIds.Length; i++) records[i] = new LedColor(ledIds[i], 0, 0, 0);
            CheckColors(records);
            string what = "reading " + ledIds.Length + " colours";
            int at = Enter(what);
            bool ok = deviceIndex < 0
                          ? Native.VelmoraGetLedsColors(records.Length, records)
                          : Native.VelmoraGetLedsColorsByDeviceIndex(deviceIndex, records.Length, records);
            if (!ok) throw Fail(Native.VelmoraGetLastError(), what, at);
            return records;
        }

        /// <summary>Queues colours and returns at once. The task completes, once,
        /// when the host has answered (on a worker thread of the library; its
        /// continuations run on the thread pool), or fails with a
        /// <see cref="LumsdkException"/>.</summary>
        public Task SetColorsAsync(params LedColor[] colors)
        {
            CheckColors(colors);
            string what = "setting " + colors.Length + " colours";
            if (!TryEnter(out int at))
            {
                Remember(colors, this.colors);
                throw Unreachable(what);
            }
            long number = Completions.Add(this, what, at, out var task);
            if (!Native.VelmoraSetLedsColorsAsync(colors.Length, colors, Completions.Thunk,
                                                  new IntPtr(number)))
            {
                Completions.Forget(number);
                throw Fail(Native.VelmoraGetLastError(), what, at);
            }
            Remember(colors, this.colors);
            return task;
        }

        public Task SetColorsAsync(IEnumerable<LedColor> colors) => SetColorsAsync(ToArray(colors));

        /// <summary>Stores colours for one device in the library's buffer;
        /// nothing is sent until <see cref="Flush"/> or <see cref="FlushAsync"/>.</summary>
        public void SetBuffer(int deviceIndex, params LedColor[] colors)
        {
            if (deviceIndex < 0)
                throw BadArgument("device index must be 0 or above, not " + deviceIndex);
            CheckColors(colors);
            // The message is made only on failure: buffering is a per-frame call.
            if (!TryEnter(out int at))
            {
                Remember(colors, buffered);
                throw Unreachable(Buffering(colors, deviceIndex));
            }
            if (!Native.VelmoraSetLedsColorsBufferByDeviceIndex(deviceIndex, colors.Length, colors))
                throw Fail(Native.VelmoraGetLastError(), Buffering(colors, deviceIndex), at);
            Remember(colors, buffered);
        }

        private static string Buffering(LedColor[] colors, int deviceIndex) =>
            "buffering " + colors.Length + " colours for device " + deviceIndex;

        /// <summary>Sends the whole buffer and waits for the host.</summary>
        public void Flush()
        {
            const string what = "flushing the buffer";
            if (!TryEnter(out int at))
            {
                TakeBuffered();
                throw Unreachable(what);
            }
            if (Native.VelmoraSetLedsColorsFlushBuffer())
            {
                TakeBuffered();
                return;
            }
            int error = Native.VelmoraGetLastError();
            if (error == (int)ErrorCode.HostUnreachable) TakeBuffered();
            throw Fail(error, what, at);
        }

        /// <summary>Hands the buffer to a worker that sends it on its next pass;
        /// the task completes with the host's answer.</summary>
        public Task FlushAsync()
        {
            const string what = "flushing the buffer";
            if (!TryEnter(out int at))
            {
                TakeBuffered();
                throw Unreachable(what);
            }
            long number = Completions.Add(this, what, at, out var task);
            if (!Native.VelmoraSetLedsColorsFlushBufferAsync(Completions.Thunk, new IntPtr(number)))
            {
                Completions.Forget(number);
                throw Fail(Native.VelmoraGetLastError(), what, at);
            }
            TakeBuffered();
            return task;
        }

        // ------------------------------------------------------------------
        // Control and priority

        /// <summary>Asks for exclusive control; false when the host refuses
        /// (another application holds it).</summary>
        public bool RequestControl()
        {
            const string what = "requesting control";
            if (!TryEnter(out int at))
            {
                lock (intent) controlHeld = true;
                throw Unreachable(what);
            }
            if (Native.VelmoraRequestControl(0))
            {
                lock (intent) controlHeld = true;
                return true;
            }
            int error = Native.VelmoraGetLastError();
            if (error == 0) return false;
            if (error == (int)ErrorCode.HostUnreachable) lock (intent) controlHeld = true;
            throw Fail(error, what, at);
        }

        /// <summary>Gives exclusive control back.</summary>
        public void ReleaseControl()
        {
            const string what = "releasing control";
            if (!TryEnter(out int at))
            {
                lock (intent) controlHeld = false;
                throw Unreachable(what);
            }
            if (Native.VelmoraReleaseControl(0))
            {
                lock (intent) controlHeld = false;
                return;
            }
            int error = Native.VelmoraGetLastError();
            if (error == (int)ErrorCode.HostUnreachable) lock (intent) controlHeld = false;
            throw Fail(error, what, at);
        }

        /// <summary><c>using (client.TakeControl()) { ... }</c> holds exclusive
        /// control for the block; throws <see cref="ControlRefusedException"/>
        /// when the host refuses.</summary>
        public IDisposable TakeControl()
        {
            if (!RequestControl()) throw new ControlRefusedException();
            return new ControlGuard(this);
        }

        private sealed class ControlGuard : IDisposable
        {
            private LumsdkClient client;

            internal ControlGuard(LumsdkClient client)
            {
                this.client = client;
            }

            public void Dispose()
            {
                var owner = Interlocked.Exchange(ref client, null);
                if (owner == null) return;
                try
                {
                    owner.ReleaseControl();
                }
                catch (LumsdkException)
                {
                    // Released in intent; a host that went away dropped the
                    // control with the connection anyway.
                }
            }
        }

        /// <summary>Sets this application's layer priority, 0 to 255 (the host's
        /// default is 128).</summary>
        public void SetPriority(int value)
        {
            if (value < 0 || value > 255) throw BadArgument("priority must be 0 to 255, not " + value);
            string what = "setting priority " + value;
            if (!TryEnter(out int at))
            {
                lock (intent) priority = value;
                throw Unreachable(what);
            }
            if (Native.VelmoraSetLayerPriority(value))
            {
                lock (intent) priority = value;
                return;
            }
            int error = Native.VelmoraGetLastError();
            if (error == (int)ErrorCode.HostUnreachable) lock (intent) priority = value;
            throw Fail(error, what, at);
        }

        // ------------------------------------------------------------------
        // Key presses

        /// <summary>Calls <paramref name="handler"/> for every key press and
        /// release, on the library's notification thread, one press at a time.
        /// Dispose the result to stop. Exceptions from the handler are caught
        /// and counted in <see cref="CallbackErrors"/>.</summary>
        public KeySubscription SubscribeKeys(Action<KeyEvent> handler)
        {
            if (handler == null) throw BadArgument("SubscribeKeys needs a handler");
            CheckOpen();
            var subscription = new KeySubscription(handler, this);
            if (KeyHub.OnDeliveringThread)
            {
                // A press is being delivered, so a registration is working.
                KeyHub.Add(subscription);
                return subscription;
            }
            lock (KeyHub.Registration)
            {
                KeyHub.Add(subscription);
                if (KeyHub.Registered || !TryEnter(out int at)) return subscription;
                int error = KeyHub.RegisterLocked();
                if (error != 0)
                {
                    KeyHub.Remove(subscription);
                    throw Fail(error, "key-press registration", at);
                }
            }
            return subscription;
        }

        /// <summary>The same as <see cref="SubscribeKeys"/>, as an event.</summary>
        public event Action<KeyEvent> KeyPressed
        {
            add
            {
                var subscription = SubscribeKeys(value);
                lock (keyEvents)
                    keyEvents.Add(new KeyValuePair<Action<KeyEvent>, KeySubscription>(value, subscription));
            }
            remove
            {
                KeySubscription found = null;
                lock (keyEvents)
                {
                    int i = keyEvents.FindLastIndex(e => e.Key == value);
                    if (i < 0) return;
                    found = keyEvents[i].Value;
                    keyEvents.RemoveAt(i);
                }
                found.Dispose();
            }
        }

        // ------------------------------------------------------------------
        // The call gate and healing

        private void CheckOpen()
        {
            if (Volatile.Read(ref disposed)) throw new ObjectDisposedException(nameof(LumsdkClient));
        }

        // Returns the connection epoch the call runs in; throws while lost.
        private int Enter(string what)
        {
            if (!TryEnter(out int at)) throw Unreachable(what);
            return at;
        }

        private bool TryEnter(out int at)
        {
            lock (healSync)
            {
                if (disposed) throw new ObjectDisposedException(nameof(LumsdkClient));
                at = epoch;
                if (heal && lost) return false;
                lastCall = Stopwatch.GetTimestamp();
                return true;
            }
        }

        private LumsdkException Fail(int error, string what, int at)
        {
            Observe(error, at);
            return LumsdkException.For(error, what);
        }

        private LumsdkException Unreachable(string what) =>
            LumsdkException.For((int)ErrorCode.HostUnreachable, what);

        private static LumsdkException BadArgument(string message) =>
            new LumsdkException(ErrorCode.BadArgument, message);

        // A call of connection epoch `at` failed with `error`: host
        // unreachable means lost, unless the connection was restored since.
        internal void Observe(int error, int at = -1)
        {
            if (!heal || error != (int)ErrorCode.HostUnreachable || Shutdown.Exiting) return;
            lock (healSync)
            {
                if (lost || disposed || (at >= 0 && at != epoch)) return;
                lost = true;
                events.Enqueue(ConnectionState.Lost);
                Monitor.PulseAll(healSync);
            }
        }

        internal int Epoch
        {
            get { lock (healSync) return epoch; }
        }

        private int HandshakeAndRegister(out ProtocolDetails details)
        {
            if (KeyHub.OnDeliveringThread)
                throw new InvalidOperationException("a key handler may not connect or reconnect");
            details = null;
            lock (KeyHub.Registration)
            {
                var c = Native.VelmoraPerformProtocolHandshake();
                int error = Native.VelmoraGetLastError();
                KeyHub.MarkStale();
                if (error != 0) return error;
                details = new ProtocolDetails(c);
                return KeyHub.HasSubscriptions ? KeyHub.RegisterLocked() : 0;
            }
        }

        private void HealerLoop()
        {
            var random = new Random();
            double backoff = options.BackoffInitial.TotalMilliseconds;
            long nextAttempt = Stopwatch.GetTimestamp() + Ticks(backoff * (0.5 + random.NextDouble() / 2));
            bool restored = !lost;
            if (restored) signature = Signature(out knownCount);
            for (;;)
            {
                RaiseQueued();
                bool probe = false, attempt = false;
                lock (healSync)
                {
                    if (disposed || Shutdown.Exiting) return;
                    if (events.Count > 0) continue;
                    long now = Stopwatch.GetTimestamp();
                    if (!lost)
                    {
                        if (!restored)
                        {
                            restored = true;  // lost and found again by Reconnect's wake-up
                        }
                        long due = lastCall + Ticks(options.ProbeInterval.TotalMilliseconds);
                        if (now >= due) probe = true;
                        else Monitor.Wait(healSync, Millis(due - now));
                    }
                    else
                    {
                        if (restored)
                        {
                            restored = false;
                            backoff = options.BackoffInitial.TotalMilliseconds;
                            nextAttempt = now + Ticks(backoff * (0.5 + random.NextDouble() / 2));
                        }
                        if (wakeNow || now >= nextAttempt)
                        {
                            wakeNow = false;
                            attempt = true;
                        }
                        else
                        {
                            Monitor.Wait(healSync, Millis(nextAttempt - now));
                        }
                    }
                }
                if (probe) Probe();
                if (attempt)
                {
                    if (Restore())
                    {
                        restored = true;
                    }
                    else
                    {
                        backoff = Math.Min(backoff * 2, options.BackoffMax.TotalMilliseconds);
                        nextAttempt = Stopwatch.GetTimestamp() +
                                      Ticks(backoff * (0.5 + random.NextDouble() / 2));
                    }
                }
            }
        }

        private void Probe()
        {
            int at;
            lock (healSync)
            {
                at = epoch;
                lastCall = Stopwatch.GetTimestamp();
            }
            int count = Native.VelmoraGetDeviceCount();
            if (count < 0)
            {
                Observe(Native.VelmoraGetLastError(), at);
                return;
            }
            if (count != knownCount)
            {
                knownCount = count;
                signature = Signature(out _);
                Emit(ConnectionState.DevicesChanged);
            }
        }

        // Reconnects and restores what the application asked for, in this
        // order: priority, control, key registration, colours. False when the
        // host is still (or again) unreachable.
        private bool Restore()
        {
            ProtocolDetails details;
            lock (KeyHub.Registration)
            {
                var c = Native.VelmoraPerformProtocolHandshake();
                int error = Native.VelmoraGetLastError();
                KeyHub.MarkStale();
                if (error != 0) return false;
                details = new ProtocolDetails(c);
                int? level;
                bool control;
                LedColor[] frame;
                lock (intent)
                {
                    level = priority;
                    control = controlHeld;
                    frame = ColorsOf(colors);
                }
                if (level.HasValue && !Native.VelmoraSetLayerPriority(level.Value) && Unreachable())
                    return false;
                if (control && !Native.VelmoraRequestControl(0) && Unreachable()) return false;
                if (KeyHub.HasSubscriptions &&
                    KeyHub.RegisterLocked() == (int)ErrorCode.HostUnreachable)
                    return false;
                if (frame.Length > 0 && !Native.VelmoraSetLedsColors(frame.Length, frame) &&
                    Unreachable())
                    return false;
            }
            Volatile.Write(ref protocol, details);
            bool first;
            lock (healSync)
            {
                first = !everConnected;
                everConnected = true;
                lost = false;
                epoch++;
                lastCall = Stopwatch.GetTimestamp();
                Monitor.PulseAll(healSync);
            }
            string before = signature;
            signature = Signature(out knownCount);
            Emit(first ? ConnectionState.Connected : ConnectionState.Restored);
            if (!first && before != null && signature != null && before != signature)
                Emit(ConnectionState.DevicesChanged);
            return true;
        }

        private static bool Unreachable() =>
            Native.VelmoraGetLastError() == (int)ErrorCode.HostUnreachable;

        // Count, and each device's type, model and LED count; null on failure.
        private static string Signature(out int count)
        {
            count = Native.VelmoraGetDeviceCount();
            if (count < 0) return null;
            var text = new StringBuilder().Append(count);
            for (int i = 0; i < count; i++)
            {
                IntPtr info = Native.VelmoraGetDeviceInfo(i);
                if (info == IntPtr.Zero) return null;
                var d = Marshal.PtrToStructure<Native.DeviceInfoC>(info);
                text.Append('|').Append(d.Type).Append(',').Append(ProtocolDetails.Utf8(d.Model))
                    .Append(',').Append(d.LedsCount);
            }
            return text.ToString();
        }

        private void RaiseQueued()
        {
            for (;;)
            {
                ConnectionState state;
                lock (healSync)
                {
                    if (events.Count == 0) return;
                    state = events.Dequeue();
                }
                Emit(state);
            }
        }

        // Runs each handler on its own: one that throws costs only its call.
        private void Emit(ConnectionState state)
        {
            var handlers = StateChanged;
            if (handlers == null) return;
            var args = new StateChangedEventArgs(state);
            foreach (EventHandler<StateChangedEventArgs> handler in handlers.GetInvocationList())
            {
                try
                {
                    handler(this, args);
                }
                catch (Exception e)
                {
                    CallbackErrors.Add(e);
                }
            }
        }

        private static long Ticks(double milliseconds) =>
            (long)(milliseconds * Stopwatch.Frequency / 1000.0);

        private static int Millis(long ticks) =>
            (int)Math.Max(1, Math.Min(int.MaxValue, ticks * 1000 / Stopwatch.Frequency + 1));

        // ------------------------------------------------------------------
        // Colours: checks and the remembered frame

        private static int[] NewColorMap()
        {
            var map = new int[MaxLedId + 1];
            for (int i = 0; i < map.Length; i++) map[i] = -1;
            return map;
        }

        private void Remember(LedColor[] set, int[] map)
        {
            if (!heal) return;
            lock (intent)
                foreach (var c in set) map[c.LedId] = c.Red << 16 | c.Green << 8 | c.Blue;
        }

        private void TakeBuffered()
        {
            if (!heal) return;
            lock (intent)
                for (int i = 0; i < buffered.Length; i++)
                    if (buffered[i] >= 0)
                    {
                        colors[i] = buffered[i];
                        buffered[i] = -1;
                    }
        }

        private static LedColor[] ColorsOf(int[] map)
        {
            var frame = new List<LedColor>();
            for (int i = 0; i < map.Length; i++)
                if (map[i] >= 0)
                    frame.Add(new LedColor(i, (byte)(map[i] >> 16), (byte)(map[i] >> 8), (byte)map[i]));
            return frame.ToArray();
        }

        // Per-thread marks for the duplicate check: a mark equal to the call's
        // stamp means "seen in this call", so nothing needs clearing.
        [ThreadStatic] private static int[] marks;
        [ThreadStatic] private static int stamp;

        private static void CheckColors(LedColor[] set)
        {
            if (set == null || set.Length == 0) throw BadArgument("no colours given");
            var seen = marks ?? (marks = new int[MaxLedId + 1]);
            if (++stamp == int.MaxValue)
            {
                Array.Clear(seen, 0, seen.Length);
                stamp = 1;
            }
            int mark = stamp;
            for (int i = 0; i < set.Length; i++)
            {
                int id = set[i].LedId;
                if ((uint)id > MaxLedId)
                    throw BadArgument("LED id must be 0 to " + MaxLedId + ", not " + id);
                if (seen[id] == mark) throw BadArgument("LED id " + id + " appears twice");
                seen[id] = mark;
            }
        }

        private static LedColor[] ToArray(IEnumerable<LedColor> colors)
        {
            if (colors == null) throw BadArgument("no colours given");
            return colors as LedColor[] ?? new List<LedColor>(colors).ToArray();
        }
    }
}
