// lumhost on this process's private pipes (LUMSDK_PIPE_BASE, set by the
// runner before the first handshake): started, typed into, killed and
// restarted by the tests.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Text;
using System.Threading;

namespace Lumsdk.Tests
{
    public sealed class Host : IDisposable
    {
        private static readonly List<Host> running = new List<Host>();
        private readonly Process process;
        private readonly StringBuilder output = new StringBuilder();

        public static string Program =>
            Environment.GetEnvironmentVariable("LUMHOST") ?? throw new InvalidOperationException("LUMHOST is not set");

        public static string Data(string file) =>
            System.IO.Path.Combine(Environment.GetEnvironmentVariable("LUMSDK_TEST_DATA") ?? ".", file);

        private Host(string arguments)
        {
            var start = new ProcessStartInfo(Program, "--no-view " + arguments)
            {
                UseShellExecute = false,
                RedirectStandardInput = true,
                RedirectStandardOutput = true,
                RedirectStandardError = true,
            };
            process = Process.Start(start);
            process.OutputDataReceived += (s, e) => { lock (output) output.AppendLine(e.Data); };
            process.ErrorDataReceived += (s, e) => { lock (output) output.AppendLine(e.Data); };
            process.BeginOutputReadLine();
            process.BeginErrorReadLine();
            lock (running) running.Add(this);
            Assert.Eventually(() => Output.Contains("lumhost: serving") || process.HasExited, "lumhost to start");
            if (process.HasExited) throw new InvalidOperationException("lumhost did not start: " + Output);
        }

        /// <summary>A host serving this process's pipes: the built-in desk, or
        /// the given options (e.g. "--protocol 3").</summary>
        public static Host Start(string arguments = "") => new Host(arguments);

        public string Output
        {
            get { lock (output) return output.ToString(); }
        }

        public void Type(string command)
        {
            process.StandardInput.WriteLine(command);
            process.StandardInput.Flush();
        }

        /// <summary>Types a command and waits until the host has printed text
        /// containing <paramref name="expected"/> after it.</summary>
        public string Ask(string command, string expected)
        {
            int from = Output.Length;
            Type(command);
            string answer = "";
            Assert.Eventually(() => (answer = Output.Substring(from)).Contains(expected),
                              "lumhost to answer '" + command + "' with '" + expected + "'");
            return answer;
        }

        /// <summary>SIGKILL: the host vanishes without closing anything.</summary>
        public void Kill()
        {
            if (!process.HasExited) process.Kill();
            process.WaitForExit();
            lock (running) running.Remove(this);
        }

        public void Dispose()
        {
            if (!process.HasExited)
            {
                try
                {
                    Type("quit");
                }
                catch (Exception)
                {
                    // Gone already.
                }
                if (!process.WaitForExit(10000)) process.Kill();
            }
            process.WaitForExit();
            lock (running) running.Remove(this);
        }

        internal static void StopAll()
        {
            Host[] all;
            lock (running) all = running.ToArray();
            foreach (var host in all) host.Dispose();
        }

        // The host of the tests that need just any host; started on first use.
        private static Host shared;

        public static Host Shared
        {
            get
            {
                lock (running)
                    if (shared != null && running.Contains(shared) && !shared.process.HasExited) return shared;
                shared = Start();
                return shared;
            }
        }

        /// <summary>Stops the shared host (tests that need another one).</summary>
        public static void StopShared()
        {
            shared?.Dispose();
            shared = null;
        }
    }
}
