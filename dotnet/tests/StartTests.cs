// What runs before any host exists and before the first handshake of the
// process (the library's session is per process): these go first.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Runtime.InteropServices;
using System.Text.RegularExpressions;
using System.Threading;

namespace Lumsdk.Tests
{
    public static class StartTests
    {
        // Each export's failure value and error before any handshake: the
        // signatures are exercised once each, with arguments the library
        // would accept after a handshake.
        [Test(Order = 0)]
        public static void EveryExportFailsWithHandshakeRequiredBeforeTheHandshake()
        {
            var colors = new[] { new LedColor(1, 1, 2, 3) };
            var cases = new Dictionary<string, Func<bool>>
            {
                ["GetDeviceCount"] = () => Native.VelmoraGetDeviceCount() == -1,
                ["GetDeviceInfo"] = () => Native.VelmoraGetDeviceInfo(0) == IntPtr.Zero,
                ["GetLedPositions"] = () => Native.VelmoraGetLedPositions() == IntPtr.Zero,
                ["GetLedPositionsByDeviceIndex"] = () => Native.VelmoraGetLedPositionsByDeviceIndex(0) == IntPtr.Zero,
                ["GetLedIdForKeyName"] = () => Native.VelmoraGetLedIdForKeyName((byte)'A') == 0,
                ["RequestControl"] = () => !Native.VelmoraRequestControl(0),
                ["ReleaseControl"] = () => !Native.VelmoraReleaseControl(0),
                ["SetLayerPriority"] = () => !Native.VelmoraSetLayerPriority(1),
                ["SetLedsColors"] = () => !Native.VelmoraSetLedsColors(1, colors),
                ["GetLedsColors"] = () => !Native.VelmoraGetLedsColors(1, colors),
                ["GetLedsColorsByDeviceIndex"] = () => !Native.VelmoraGetLedsColorsByDeviceIndex(0, 1, colors),
                ["SetLedsColorsAsync"] = () => !Native.VelmoraSetLedsColorsAsync(1, colors, Completions.Thunk, IntPtr.Zero),
                ["SetLedsColorsBufferByDeviceIndex"] = () => !Native.VelmoraSetLedsColorsBufferByDeviceIndex(0, 1, colors),
                ["SetLedsColorsFlushBuffer"] = () => !Native.VelmoraSetLedsColorsFlushBuffer(),
                ["SetLedsColorsFlushBufferAsync"] = () => !Native.VelmoraSetLedsColorsFlushBufferAsync(Completions.Thunk, IntPtr.Zero),
                ["RegisterKeypressCallback"] = () => !Native.VelmoraRegisterKeypressCallback(KeyHub.Thunk, IntPtr.Zero),
            };
            foreach (var c in cases)
            {
                Assert.True(c.Value(), c.Key + " returned success");
                Assert.Equal((int)ErrorCode.HandshakeRequired, Native.VelmoraGetLastError(), c.Key);
            }
            Assert.Equal(16, cases.Count, "exports besides the handshake and the last error");
        }

        [Test(Order = 1)]
        public static void WithoutHealingAClientNeedsAHost()
        {
            Assert.Fails(ErrorCode.HostUnreachable,
                         () => new LumsdkClient(new ClientOptions { Heal = false }), "constructor");
        }

        // A healing client made before any host exists: calls fail at once
        // but colours are remembered, and the first host brings Connected and
        // the remembered frame.
        [Test(Order = 2)]
        public static void HealingClientMadeBeforeTheHostConnectsWhenItComes()
        {
            var states = new List<ConnectionState>();
            var options = new ClientOptions
            {
                ProbeInterval = TimeSpan.FromMilliseconds(100),
                StateChanged = (s, e) => { lock (states) states.Add(e.State); },
            };
            using (var client = new LumsdkClient(options))
            {
                Assert.True(!client.IsConnected, "connected without a host");
                Assert.Fails(ErrorCode.HostUnreachable, () => client.GetDeviceCount(), "device count");
                Assert.Fails(ErrorCode.HostUnreachable, () => client.SetColors(new LedColor(5, 0, 0, 255)), "set");
                var host = Host.Shared;
                Assert.Eventually(() => { lock (states) return states.Contains(ConnectionState.Connected); }, "Connected");
                Assert.True(client.IsConnected, "connected");
                Assert.Equal(new LedColor(5, 0, 0, 255), client.GetColors(5)[0], "remembered colour");
                lock (states) Assert.Equal("Connected", string.Join(",", states), "states");
                Assert.True(host.Output.Contains("connected"), "host saw the client");
            }
        }

        [Test(Order = 5)]
        public static void RecordLayoutsMatchTheCCompilers()
        {
            var probe = Environment.GetEnvironmentVariable("LUMSDK_LAYOUT_PROBE");
            Assert.True(probe != null, "LUMSDK_LAYOUT_PROBE is not set");
            var types = new Dictionary<string, Type>
            {
                ["VelmoraProtocolDetails"] = typeof(Native.ProtocolDetailsC),
                ["VelmoraChannelDeviceInfo"] = typeof(Native.ChannelDeviceInfoC),
                ["VelmoraChannelInfo"] = typeof(Native.ChannelInfoC),
                ["VelmoraChannelsInfo"] = typeof(Native.ChannelsInfoC),
                ["VelmoraDeviceInfo"] = typeof(Native.DeviceInfoC),
                ["VelmoraLedPosition"] = typeof(Native.LedPositionC),
                ["VelmoraLedPositions"] = typeof(Native.LedPositionsC),
                ["VelmoraLedColor"] = typeof(LedColor),
            };
            int checkedLines = 0;
            var sized = new HashSet<string>();
            foreach (var line in RunProgram(probe).Split('\n').Where(l => l.Length > 0))
            {
                var m = Regex.Match(line, @"^(\w+)(?:\.(\w+))? (size|offset) (\d+)$");
                Assert.True(m.Success, "probe line: " + line);
                Assert.True(types.ContainsKey(m.Groups[1].Value), "no .NET record for " + m.Groups[1].Value);
                var type = types[m.Groups[1].Value];
                long expected = long.Parse(m.Groups[4].Value);
                if (m.Groups[3].Value == "size")
                {
                    Assert.Equal(expected, (long)Marshal.SizeOf(type), line);
                    sized.Add(m.Groups[1].Value);
                }
                else
                {
                    var field = type.GetFields(System.Reflection.BindingFlags.Instance |
                                               System.Reflection.BindingFlags.Public |
                                               System.Reflection.BindingFlags.NonPublic)
                        .SingleOrDefault(f => string.Equals(f.Name, m.Groups[2].Value, StringComparison.OrdinalIgnoreCase));
                    Assert.True(field != null, "no field for " + line);
                    Assert.Equal(expected, Marshal.OffsetOf(type, field.Name).ToInt64(), line);
                }
                checkedLines++;
            }
            Assert.Equal(types.Count, sized.Count, "records the probe sized");
            Assert.True(checkedLines >= 38, "only " + checkedLines + " layout lines checked");
        }

        // The C header's error table is the source of truth for ErrorCode.
        [Test(Order = 5)]
        public static void ErrorCodesMatchTheHeader()
        {
            var header = Environment.GetEnvironmentVariable("LUMSDK_HEADER");
            Assert.True(header != null && File.Exists(header), "LUMSDK_HEADER names no file: " + header);
            var fromHeader = HeaderErrors(File.ReadAllText(header));
            Assert.True(fromHeader.Count > 0, "no error codes found in " + header);
            var fromEnum = Enum.GetValues(typeof(ErrorCode)).Cast<ErrorCode>().ToDictionary(e => e.ToString(), e => (int)e);
            Assert.Equal(string.Join(",", fromHeader.OrderBy(p => p.Value).Select(p => p.Key + "=" + p.Value)),
                         string.Join(",", fromEnum.OrderBy(p => p.Value).Select(p => p.Key + "=" + p.Value)),
                         "header vs ErrorCode");
        }

        // Entries "VelmoraErrorName = N" of the enum, or, for a table of
        // X-macro rows, "(Name, N" with or without the prefix.
        internal static Dictionary<string, int> HeaderErrors(string text)
        {
            text = Regex.Replace(text, @"/\*.*?\*/|//[^\n]*", "", RegexOptions.Singleline);
            var found = new Dictionary<string, int>();
            foreach (Match m in Regex.Matches(text, @"\bVelmoraError(\w+)\s*=\s*(\d+)"))
                found[m.Groups[1].Value] = int.Parse(m.Groups[2].Value);
            if (found.Count == 0)
                foreach (Match m in Regex.Matches(text, @"\(\s*(?:VelmoraError)?([A-Z]\w*)\s*,\s*(\d+)\s*[,)]"))
                    found[m.Groups[1].Value] = int.Parse(m.Groups[2].Value);
            return found;
        }

        [Test(Order = 5)]
        public static void TheHeaderParserReadsBothForms()
        {
            var plain = HeaderErrors("typedef enum VelmoraError {\n VelmoraErrorNone = 0, /* ok = 9 */\n VelmoraErrorBadArgument = 5\n} VelmoraError;");
            Assert.Equal("None=0,BadArgument=5", string.Join(",", plain.Select(p => p.Key + "=" + p.Value)), "enum form");
            var table = HeaderErrors("#define VELMORA_ERRORS(X) \\\n X(None, 0, \"success\") \\\n X(HostUnreachable, 1, \"no host\")");
            Assert.Equal("None=0,HostUnreachable=1", string.Join(",", table.Select(p => p.Key + "=" + p.Value)), "X-macro form");
        }

        internal static string RunProgram(string path, string arguments = "")
        {
            var start = new ProcessStartInfo(path, arguments)
            {
                UseShellExecute = false,
                RedirectStandardOutput = true,
            };
            using (var process = Process.Start(start))
            {
                string output = process.StandardOutput.ReadToEnd();
                process.WaitForExit();
                Assert.Equal(0, process.ExitCode, path + " exit code");
                return output;
            }
        }
    }
}
