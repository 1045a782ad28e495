// The library's C interface as declared in LUMSDK.h: records, callback types
// and the 18 exports. Records are blittable (bool fields as byte) so that the
// marshaller pins or copies them without conversion; RecordLayoutTests checks
// every size and offset against the C compiler's.
using System;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Threading;

namespace Lumsdk
{
    internal static class Native
    {
        // One name on every system: Windows loads LUMSDK.x64_2012.dll; Mono maps
        // it to libLUMSDK.so.3 through Lumsdk.dll.config; .NET Core 3+ through
        // the resolver registered below.
        internal const string Library = "LUMSDK.x64_2012";
        internal const CallingConvention Call = CallingConvention.Cdecl;

        static Native()
        {
            InstallResolver();
        }

        [StructLayout(LayoutKind.Sequential)]
        internal struct ProtocolDetailsC
        {
            public IntPtr SdkVersion;
            public IntPtr ServerVersion;
            public int SdkProtocolVersion;
            public int ServerProtocolVersion;
            public byte BreakingChanges;
        }

        [StructLayout(LayoutKind.Sequential)]
        internal struct ChannelDeviceInfoC
        {
            public int Type;
            public int DeviceLedCount;
        }

        [StructLayout(LayoutKind.Sequential)]
        internal struct ChannelInfoC
        {
            public int TotalLedsCount;
            public int DevicesCount;
            public IntPtr Devices;
        }

        [StructLayout(LayoutKind.Sequential)]
        internal struct ChannelsInfoC
        {
            public int ChannelsCount;
            public IntPtr Channels;
        }

        [StructLayout(LayoutKind.Sequential)]
        internal struct DeviceInfoC
        {
            public int Type;
            public IntPtr Model;
            public int PhysicalLayout;
            public int LogicalLayout;
            public int CapsMask;
            public int LedsCount;
            public ChannelsInfoC Channels;
        }

        [StructLayout(LayoutKind.Sequential)]
        internal struct LedPositionC
        {
            public int LedId;
            public double Top;
            public double Left;
            public double Height;
            public double Width;
        }

        [StructLayout(LayoutKind.Sequential)]
        internal struct LedPositionsC
        {
            public int PositionsCount;
            public IntPtr Positions;
        }

        // The public LedColor has the C layout of VelmoraLedColor and is passed
        // to the library as it is.

        [UnmanagedFunctionPointer(Call)]
        internal delegate void AsyncCallback(IntPtr context, byte result, int error);

        [UnmanagedFunctionPointer(Call)]
        internal delegate void KeypressCallback(IntPtr context, int vendorKey, byte pressed);

        // Every call passes the exit gate (see Gate), so the library can be
        // unloaded at process exit once no thread is inside it.
        internal static ProtocolDetailsC VelmoraPerformProtocolHandshake()
        {
            if (!Gate.Enter()) return default(ProtocolDetailsC);
            try { return NativeMethods.VelmoraPerformProtocolHandshake(); }
            finally { Gate.Exit(); }
        }

        internal static int VelmoraGetLastError() =>
            Gate.Refused ? 1 : NativeMethods.VelmoraGetLastError();

        internal static int VelmoraGetDeviceCount()
        {
            if (!Gate.Enter()) return -1;
            try { return NativeMethods.VelmoraGetDeviceCount(); }
            finally { Gate.Exit(); }
        }

        internal static IntPtr VelmoraGetDeviceInfo(int deviceIndex)
        {
            if (!Gate.Enter()) return IntPtr.Zero;
            try { return NativeMethods.VelmoraGetDeviceInfo(deviceIndex); }
            finally { Gate.Exit(); }
        }

        internal static IntPtr VelmoraGetLedPositions()
        {
            if (!Gate.Enter()) return IntPtr.Zero;
            try { return NativeMethods.VelmoraGetLedPositions(); }
            finally { Gate.Exit(); }
        }

        internal static IntPtr VelmoraGetLedPositionsByDeviceIndex(int deviceIndex)
        {
            if (!Gate.Enter()) return IntPtr.Zero;
            try { return NativeMethods.VelmoraGetLedPositionsByDeviceIndex(deviceIndex); }
            finally { Gate.Exit(); }
        }

        internal static int VelmoraGetLedIdForKeyName(byte keyName)
        {
            if (!Gate.Enter()) return 0;
            try { return NativeMethods.VelmoraGetLedIdForKeyName(keyName); }
            finally { Gate.Exit(); }
        }

        internal static bool VelmoraRequestControl(int accessMode)
        {
            if (!Gate.Enter()) return false;
            try { return NativeMethods.VelmoraRequestControl(accessMode); }
            finally { Gate.Exit(); }
        }

        internal static bool VelmoraReleaseControl(int accessMode)
        {
            if (!Gate.Enter()) return false;
            try { return NativeMethods.VelmoraReleaseControl(accessMode); }
            finally { Gate.Exit(); }
        }

        internal static bool VelmoraSetLayerPriority(int priority)
        {
            if (!Gate.Enter()) return false;
            try { return NativeMethods.VelmoraSetLayerPriority(priority); }
            finally { Gate.Exit(); }
        }

        internal static bool VelmoraSetLedsColors(int size, LedColor[] ledsColors)
        {
            if (!Gate.Enter()) return false;
            try { return NativeMethods.VelmoraSetLedsColors(size, ledsColors); }
            finally { Gate.Exit(); }
        }

        internal static bool VelmoraGetLedsColors(int size, LedColor[] ledsColors)
        {
            if (!Gate.Enter()) return false;
            try { return NativeMethods.VelmoraGetLedsColors(size, ledsColors); }
            finally { Gate.Exit(); }
        }

        internal static bool VelmoraGetLedsColorsByDeviceIndex(int deviceIndex, int size, LedColor[] ledsColors)
        {
            if (!Gate.Enter()) return false;
            try { return NativeMethods.VelmoraGetLedsColorsByDeviceIndex(deviceIndex, size, ledsColors); }
            finally { Gate.Exit(); }
        }

        internal static bool VelmoraSetLedsColorsAsync(int size, LedColor[] ledsColors, AsyncCallback callback,
                                                       IntPtr context)
        {
            if (!Gate.Enter()) return false;
            try { return NativeMethods.VelmoraSetLedsColorsAsync(size, ledsColors, callback, context); }
            finally { Gate.Exit(); }
        }

        internal static bool VelmoraSetLedsColorsBufferByDeviceIndex(int deviceIndex, int size, LedColor[] ledsColors)
        {
            if (!Gate.Enter()) return false;
            try { return NativeMethods.VelmoraSetLedsColorsBufferByDeviceIndex(deviceIndex, size, ledsColors); }
            finally { Gate.Exit(); }
        }

        internal static bool VelmoraSetLedsColorsFlushBuffer()
        {
            if (!Gate.Enter()) return false;
            try { return NativeMethods.VelmoraSetLedsColorsFlushBuffer(); }
            finally { Gate.Exit(); }
        }

        internal static bool VelmoraSetLedsColorsFlushBufferAsync(AsyncCallback callback, IntPtr context)
        {
            if (!Gate.Enter()) return false;
            try { return NativeMethods.VelmoraSetLedsColorsFlushBufferAsync(callback, context); }
            finally { Gate.Exit(); }
        }

        internal static bool VelmoraRegisterKeypressCallback(KeypressCallback callback, IntPtr context)
        {
            if (!Gate.Enter()) return false;
            try { return NativeMethods.VelmoraRegisterKeypressCallback(callback, context); }
            finally { Gate.Exit(); }
        }

        // .NET Core 3 and later ignore Mono's dll map; there the same mapping is
        // a DllImportResolver. netstandard2.0 cannot name that API, so it is
        // found by reflection and simply absent on Mono and .NET Framework.
        private static int resolverInstalled;

        internal static void InstallResolver()
        {
            if (System.Threading.Interlocked.Exchange(ref resolverInstalled, 1) != 0) return;
            try
            {
                var nativeLibrary = Type.GetType("System.Runtime.InteropServices.NativeLibrary");
                var resolverType = Type.GetType("System.Runtime.InteropServices.DllImportResolver");
                if (nativeLibrary == null || resolverType == null) return;
                var set = nativeLibrary.GetMethod("SetDllImportResolver",
                                                  new[] { typeof(Assembly), resolverType });
                var resolve = typeof(Native).GetMethod(nameof(Resolve),
                                                       BindingFlags.NonPublic | BindingFlags.Static);
                if (set == null || resolve == null) return;
                set.Invoke(null, new object[] { typeof(Native).Assembly,
                                                Delegate.CreateDelegate(resolverType, resolve) });
            }
            catch (Exception)
            {
                // Another resolver is already set for this assembly: the
                // application chose how the library is found.
            }
        }

        private static IntPtr Resolve(string name, Assembly assembly, DllImportSearchPath? path)
        {
            if (name != Library || RuntimeInformation.IsOSPlatform(OSPlatform.Windows))
                return IntPtr.Zero;
            var nativeLibrary = Type.GetType("System.Runtime.InteropServices.NativeLibrary");
            var tryLoad = nativeLibrary?.GetMethod(
                "TryLoad", new[] { typeof(string), typeof(Assembly), typeof(DllImportSearchPath?),
                                   typeof(IntPtr).MakeByRefType() });
            if (tryLoad == null) return IntPtr.Zero;
            var args = new object[] { "libLUMSDK.so.3", assembly, path, IntPtr.Zero };
            return (bool)tryLoad.Invoke(null, args) ? (IntPtr)args[3] : IntPtr.Zero;
        }
    }

    // The exports themselves. Only Native's gated wrappers call them (and the
    // benchmark, as the baseline).
    internal static class NativeMethods
    {
        [DllImport(Native.Library, CallingConvention = Native.Call)]
        internal static extern Native.ProtocolDetailsC VelmoraPerformProtocolHandshake();

        [DllImport(Native.Library, CallingConvention = Native.Call)]
        internal static extern int VelmoraGetLastError();

        [DllImport(Native.Library, CallingConvention = Native.Call)]
        internal static extern int VelmoraGetDeviceCount();

        [DllImport(Native.Library, CallingConvention = Native.Call)]
        internal static extern IntPtr VelmoraGetDeviceInfo(int deviceIndex);

        [DllImport(Native.Library, CallingConvention = Native.Call)]
        internal static extern IntPtr VelmoraGetLedPositions();

        [DllImport(Native.Library, CallingConvention = Native.Call)]
        internal static extern IntPtr VelmoraGetLedPositionsByDeviceIndex(int deviceIndex);

        [DllImport(Native.Library, CallingConvention = Native.Call)]
        internal static extern int VelmoraGetLedIdForKeyName(byte keyName);

        [DllImport(Native.Library, CallingConvention = Native.Call)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool VelmoraRequestControl(int accessMode);

        [DllImport(Native.Library, CallingConvention = Native.Call)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool VelmoraReleaseControl(int accessMode);

        [DllImport(Native.Library, CallingConvention = Native.Call)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool VelmoraSetLayerPriority(int priority);

        [DllImport(Native.Library, CallingConvention = Native.Call)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool VelmoraSetLedsColors(int size, [In] LedColor[] ledsColors);

        [DllImport(Native.Library, CallingConvention = Native.Call)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool VelmoraGetLedsColors(int size, [In, Out] LedColor[] ledsColors);

        [DllImport(Native.Library, CallingConvention = Native.Call)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool VelmoraGetLedsColorsByDeviceIndex(int deviceIndex, int size,
                                                                      [In, Out] LedColor[] ledsColors);

        [DllImport(Native.Library, CallingConvention = Native.Call)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool VelmoraSetLedsColorsAsync(int size, [In] LedColor[] ledsColors,
                                                              Native.AsyncCallback callback, IntPtr context);

        [DllImport(Native.Library, CallingConvention = Native.Call)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool VelmoraSetLedsColorsBufferByDeviceIndex(int deviceIndex, int size,
                                                                            [In] LedColor[] ledsColors);

        [DllImport(Native.Library, CallingConvention = Native.Call)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool VelmoraSetLedsColorsFlushBuffer();

        [DllImport(Native.Library, CallingConvention = Native.Call)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool VelmoraSetLedsColorsFlushBufferAsync(Native.AsyncCallback callback,
                                                                         IntPtr context);

        [DllImport(Native.Library, CallingConvention = Native.Call)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool VelmoraRegisterKeypressCallback(Native.KeypressCallback callback,
                                                                    IntPtr context);
    }

    /// <summary>Counts the threads inside the library so that it is unloaded at
    /// process exit only when none is. Once closed, calls return their failure
    /// value at once and the calling thread's last error reads 1.</summary>
    internal static class Gate
    {
        private static int busy;
        private static int closed;
        [ThreadStatic] private static bool refused;

        internal static bool Refused => refused;

        internal static bool Enter()
        {
            Interlocked.Increment(ref busy);
            if (Volatile.Read(ref closed) == 0)
            {
                refused = false;
                return true;
            }
            Interlocked.Decrement(ref busy);
            refused = true;
            return false;
        }

        internal static void Exit() => Interlocked.Decrement(ref busy);

        /// <summary>Refuses new calls and waits up to <paramref name="timeout"/>
        /// for those in progress; false when some are still running.</summary>
        internal static bool Close(TimeSpan timeout)
        {
            Interlocked.Exchange(ref closed, 1);
            var deadline = DateTime.UtcNow + timeout;
            while (Volatile.Read(ref busy) != 0)
            {
                if (DateTime.UtcNow > deadline) return false;
                Thread.Sleep(1);
            }
            return true;
        }
    }
}
