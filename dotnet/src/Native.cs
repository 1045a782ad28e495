// The library's C interface as declared in LUMSDK.h: records, callback types
// and the 18 exports. Records are blittable (bool fields as byte) so that the
// marshaller pins or copies them without conversion; RecordLayoutTests checks
// every size and offset against the C compiler's.
using System;
using System.Reflection;
using System.Runtime.InteropServices;

namespace Lumsdk
{
    internal static class Native
    {
        // One name on every system: Windows loads LUMSDK.x64_2012.dll; Mono maps
        // it to libLUMSDK.so.3 through Lumsdk.dll.config; .NET Core 3+ through
        // the resolver registered below.
        internal const string Library = "LUMSDK.x64_2012";
        internal const CallingConvention Call = CallingConvention.Cdecl;

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

        [DllImport(Library, CallingConvention = Call)]
        internal static extern ProtocolDetailsC VelmoraPerformProtocolHandshake();

        [DllImport(Library, CallingConvention = Call)]
        internal static extern int VelmoraGetLastError();

        [DllImport(Library, CallingConvention = Call)]
        internal static extern int VelmoraGetDeviceCount();

        [DllImport(Library, CallingConvention = Call)]
        internal static extern IntPtr VelmoraGetDeviceInfo(int deviceIndex);

        [DllImport(Library, CallingConvention = Call)]
        internal static extern IntPtr VelmoraGetLedPositions();

        [DllImport(Library, CallingConvention = Call)]
        internal static extern IntPtr VelmoraGetLedPositionsByDeviceIndex(int deviceIndex);

        [DllImport(Library, CallingConvention = Call)]
        internal static extern int VelmoraGetLedIdForKeyName(byte keyName);

        [DllImport(Library, CallingConvention = Call)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool VelmoraRequestControl(int accessMode);

        [DllImport(Library, CallingConvention = Call)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool VelmoraReleaseControl(int accessMode);

        [DllImport(Library, CallingConvention = Call)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool VelmoraSetLayerPriority(int priority);

        [DllImport(Library, CallingConvention = Call)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool VelmoraSetLedsColors(int size, [In] LedColor[] ledsColors);

        [DllImport(Library, CallingConvention = Call)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool VelmoraGetLedsColors(int size, [In, Out] LedColor[] ledsColors);

        [DllImport(Library, CallingConvention = Call)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool VelmoraGetLedsColorsByDeviceIndex(int deviceIndex, int size,
                                                                      [In, Out] LedColor[] ledsColors);

        [DllImport(Library, CallingConvention = Call)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool VelmoraSetLedsColorsAsync(int size, [In] LedColor[] ledsColors,
                                                              AsyncCallback callback, IntPtr context);

        [DllImport(Library, CallingConvention = Call)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool VelmoraSetLedsColorsBufferByDeviceIndex(int deviceIndex, int size,
                                                                            [In] LedColor[] ledsColors);

        [DllImport(Library, CallingConvention = Call)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool VelmoraSetLedsColorsFlushBuffer();

        [DllImport(Library, CallingConvention = Call)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool VelmoraSetLedsColorsFlushBufferAsync(AsyncCallback callback,
                                                                         IntPtr context);

        [DllImport(Library, CallingConvention = Call)]
        [return: MarshalAs(UnmanagedType.U1)]
        internal static extern bool VelmoraRegisterKeypressCallback(KeypressCallback callback,
                                                                    IntPtr context);

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
}
