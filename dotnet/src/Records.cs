using System;
using System.Collections.Generic;
using System.Runtime.InteropServices;

namespace Lumsdk
{
    /// <summary>One LED's colour: an LED id (0 to 499) and red, green and blue.
    /// Immutable, and laid out as the C <c>VelmoraLedColor</c> so that arrays of
    /// it go to the library without a copy.</summary>
    [StructLayout(LayoutKind.Sequential)]
    public struct LedColor : IEquatable<LedColor>
    {
        private readonly int ledId;
        private readonly int r;
        private readonly int g;
        private readonly int b;

        public LedColor(int ledId, byte r, byte g, byte b)
        {
            this.ledId = ledId;
            this.r = r;
            this.g = g;
            this.b = b;
        }

        public int LedId => ledId;
        public byte R => (byte)r;
        public byte G => (byte)g;
        public byte B => (byte)b;

        internal int Red => r;
        internal int Green => g;
        internal int Blue => b;

        public bool Equals(LedColor other) =>
            ledId == other.ledId && r == other.r && g == other.g && b == other.b;
        public override bool Equals(object obj) => obj is LedColor other && Equals(other);
        public override int GetHashCode() => (ledId * 397) ^ (r << 16 | g << 8 | b);
        public override string ToString() => $"LED {ledId} = #{r:x2}{g:x2}{b:x2}";
    }

    /// <summary>Versions exchanged at a handshake.</summary>
    public sealed class ProtocolDetails
    {
        internal ProtocolDetails(Native.ProtocolDetailsC c)
        {
            SdkVersion = Marshal.PtrToStringAnsi(c.SdkVersion) ?? "";
            ServerVersion = c.ServerVersion == IntPtr.Zero ? null : Utf8(c.ServerVersion);
            SdkProtocolVersion = c.SdkProtocolVersion;
            ServerProtocolVersion = c.ServerProtocolVersion;
            BreakingChanges = c.BreakingChanges != 0;
        }

        public string SdkVersion { get; }
        /// <summary>The host's version text; null when no host answered.</summary>
        public string ServerVersion { get; }
        public int SdkProtocolVersion { get; }
        public int ServerProtocolVersion { get; }
        public bool BreakingChanges { get; }

        internal static string Utf8(IntPtr text)
        {
            if (text == IntPtr.Zero) return "";
            int length = 0;
            while (Marshal.ReadByte(text, length) != 0) length++;
            var bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return System.Text.Encoding.UTF8.GetString(bytes);
        }
    }

    /// <summary>A device attached to a channel of another device.</summary>
    public sealed class ChannelDevice
    {
        internal ChannelDevice(int type, int ledCount)
        {
            Type = type;
            LedCount = ledCount;
        }

        public int Type { get; }
        public int LedCount { get; }
    }

    /// <summary>A channel of a device and what is attached to it.</summary>
    public sealed class Channel
    {
        internal Channel(int totalLeds, IReadOnlyList<ChannelDevice> devices)
        {
            TotalLeds = totalLeds;
            Devices = devices;
        }

        public int TotalLeds { get; }
        public IReadOnlyList<ChannelDevice> Devices { get; }
    }

    /// <summary>The description of one device, copied out of the library's record.</summary>
    public sealed class DeviceInfo
    {
        internal DeviceInfo(int index, Native.DeviceInfoC c)
        {
            Index = index;
            Type = c.Type;
            Model = ProtocolDetails.Utf8(c.Model);
            PhysicalLayout = c.PhysicalLayout;
            LogicalLayout = c.LogicalLayout;
            CapsMask = c.CapsMask;
            LedsCount = c.LedsCount;
            var channels = new Channel[Math.Max(c.Channels.ChannelsCount, 0)];
            int channelSize = Marshal.SizeOf(typeof(Native.ChannelInfoC));
            int deviceSize = Marshal.SizeOf(typeof(Native.ChannelDeviceInfoC));
            for (int i = 0; i < channels.Length; i++)
            {
                var channel = Marshal.PtrToStructure<Native.ChannelInfoC>(
                    c.Channels.Channels + i * channelSize);
                var devices = new ChannelDevice[channel.Devices == IntPtr.Zero
                                                    ? 0 : Math.Max(channel.DevicesCount, 0)];
                for (int d = 0; d < devices.Length; d++)
                {
                    var device = Marshal.PtrToStructure<Native.ChannelDeviceInfoC>(
                        channel.Devices + d * deviceSize);
                    devices[d] = new ChannelDevice(device.Type, device.DeviceLedCount);
                }
                channels[i] = new Channel(channel.TotalLedsCount, devices);
            }
            Channels = channels;
        }

        public int Index { get; }
        public int Type { get; }
        public string Model { get; }
        public int PhysicalLayout { get; }
        public int LogicalLayout { get; }
        public int CapsMask { get; }
        public int LedsCount { get; }
        public IReadOnlyList<Channel> Channels { get; }
    }

    /// <summary>Where one LED sits, in the host's units.</summary>
    public sealed class LedPosition
    {
        internal LedPosition(Native.LedPositionC c)
        {
            LedId = c.LedId;
            Top = c.Top;
            Left = c.Left;
            Height = c.Height;
            Width = c.Width;
        }

        public int LedId { get; }
        public double Top { get; }
        public double Left { get; }
        public double Height { get; }
        public double Width { get; }
    }

    /// <summary>A key press or release; <see cref="VendorKey"/> is the host's key id.</summary>
    public struct KeyEvent
    {
        public KeyEvent(int vendorKey, bool pressed)
        {
            VendorKey = vendorKey;
            Pressed = pressed;
        }

        public int VendorKey { get; }
        public bool Pressed { get; }
        public override string ToString() => $"key {VendorKey} {(Pressed ? "pressed" : "released")}";
    }

    /// <summary>What the connection to the host went through.</summary>
    public enum ConnectionState
    {
        /// <summary>The first handshake succeeded (once per client).</summary>
        Connected,
        /// <summary>The host went away; calls fail with HostUnreachable until restored.</summary>
        Lost,
        /// <summary>Reconnected, and priority, control, key presses and colours restored.</summary>
        Restored,
        /// <summary>The host's devices differ from those seen before.</summary>
        DevicesChanged,
    }

    public sealed class StateChangedEventArgs : EventArgs
    {
        internal StateChangedEventArgs(ConnectionState state)
        {
            State = state;
        }

        public ConnectionState State { get; }
    }
}
