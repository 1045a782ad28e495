using System;

namespace Lumsdk
{
    /// <summary>How a <see cref="LumsdkClient"/> behaves when the host goes away.</summary>
    public sealed class ClientOptions
    {
        /// <summary>Reconnect and restore by itself (default). Off: a broken
        /// connection stays broken until <see cref="LumsdkClient.Reconnect"/>.</summary>
        public bool Heal { get; set; } = true;

        /// <summary>How long the client may be idle before the healer checks the host.</summary>
        public TimeSpan ProbeInterval { get; set; } = TimeSpan.FromSeconds(1);

        /// <summary>First wait between reconnection attempts; doubles after each failure.</summary>
        public TimeSpan BackoffInitial { get; set; } = TimeSpan.FromMilliseconds(50);

        /// <summary>Longest wait between reconnection attempts.</summary>
        public TimeSpan BackoffMax { get; set; } = TimeSpan.FromSeconds(2);

        /// <summary>Attached to <see cref="LumsdkClient.StateChanged"/> before the
        /// client starts, so it also sees the first <c>Connected</c>.</summary>
        public EventHandler<StateChangedEventArgs> StateChanged { get; set; }
    }
}
