// Whole programs: the examples, and processes that end with callbacks
// pending.
using System;
using System.Diagnostics;
using System.IO;
using System.Threading;

namespace Lumsdk.Tests
{
    public static class ProcessTests
    {
        // Runs of the exit test; LUMSDK_EXIT_RUNS raises it for a soak.
        private static int Runs => int.Parse(Environment.GetEnvironmentVariable("LUMSDK_EXIT_RUNS") ?? "8");

        private static string Mono => Environment.GetEnvironmentVariable("MONO") ?? "mono";

        private static Process Start(string arguments)
        {
            var start = new ProcessStartInfo(Mono, arguments)
            {
                UseShellExecute = false,
                RedirectStandardOutput = true,
                RedirectStandardError = true,
            };
            return Process.Start(start);
        }

        private static string Self => typeof(ProcessTests).Assembly.Location;

        private static string Example(string name) =>
            Path.Combine(Environment.GetEnvironmentVariable("LUMSDK_DOTNET_EXAMPLES") ?? ".", name);

        // Ends and waits; the bound only turns a hang into a failure.
        private static string Finish(Process process, string what)
        {
            var output = process.StandardOutput.ReadToEndAsync();
            var errors = process.StandardError.ReadToEndAsync();
            if (!process.WaitForExit(30000))
            {
                process.Kill();
                throw new AssertionException(what + " did not end: " + output.Result + errors.Result);
            }
            process.WaitForExit();
            Assert.Equal(0, process.ExitCode, what + " exit code; output: " + output.Result + errors.Result);
            return output.Result;
        }

        // Programs that end right after queueing completions, with a key
        // handler that calls the library and a host pressing keys all along.
        [Test(Order = 500)]
        public static void ProcessesEndCleanlyWithCallbacksPending()
        {
            var host = Host.Shared;
            int runs = 0;
            var typing = new Thread(() =>
            {
                while (Volatile.Read(ref runs) >= 0)
                {
                    host.Type("tap A");
                    Thread.Sleep(5);
                }
            });
            typing.Start();
            try
            {
                for (int i = 0; i < Runs; i++)
                {
                    // Alternately: completions pending, and threads still calling.
                    string mode = i % 2 == 0 ? "exit-pending" : "exit-busy";
                    string output = Finish(Start(Self + " --child " + mode), mode + " run " + i);
                    Assert.True(output.Contains("queued"), "run " + i + ": " + output);
                    runs++;
                }
            }
            finally
            {
                Volatile.Write(ref runs, -1);
                typing.Join();
            }
        }

        [Test(Order = 150)]
        public static void ListDevicesExample()
        {
            Host.Shared.Type("state");
            string output = Finish(Start(Example("ListDevices.exe")), "ListDevices");
            Assert.True(output.Contains("Demo Keyboard") && output.Contains("channel"), output);
        }

        [Test(Order = 150)]
        public static void KeyReactiveExample()
        {
            var host = Host.Shared;
            var process = Start(Example("KeyReactive.exe") + " 3");
            string line;
            while ((line = process.StandardOutput.ReadLine()) != null && !line.StartsWith("ready"))
            {
            }
            Assert.True(line != null, "no line \"ready\"");
            host.Type("tap A");
            string output = Finish(process, "KeyReactive");
            Assert.True(output.Contains("pressed"), output);
        }
    }

    // The programs ProcessTests starts: mono Lumsdk.Tests.exe --child MODE.
    public static class Child
    {
        public static int Run(string mode)
        {
            var client = new LumsdkClient();
            if (mode == "exit-busy")
            {
                // Background threads inside the library when Main returns.
                for (int t = 0; t < 4; t++)
                    new Thread(() =>
                    {
                        var frame = new[] { new LedColor(1, 1, 2, 3), new LedColor(2, 4, 5, 6) };
                        try
                        {
                            for (;;)
                            {
                                client.TrySetColors(frame, out _);
                                client.TrySetColorsAsyncIgnoringErrors(3);
                            }
                        }
                        catch (Exception)
                        {
                            // Mono aborts background threads at exit, and
                            // may wrap the abort in another exception.
                        }
                    }) { IsBackground = true }.Start();
                Thread.Sleep(200);
                Console.WriteLine("queued");
                return 0;
            }
            if (mode != "exit-pending") return 2;
            client.SubscribeKeys(k => client.TrySetColorsAsyncIgnoringErrors(k.VendorKey));
            for (int i = 0; i < 300; i++) client.SetColorsAsync(new LedColor(1 + i % 400, (byte)i, 0, 0));
            client.SetBuffer(0, new LedColor(1, 1, 1, 1));
            client.FlushAsync();
            Console.WriteLine("queued");
            return 0;  // no Dispose, tasks not awaited
        }

        private static void TrySetColorsAsyncIgnoringErrors(this LumsdkClient client, int key)
        {
            try
            {
                client.SetColorsAsync(new LedColor(key % 500, 1, 2, 3));
            }
            catch (LumsdkException)
            {
                // Lost or closing: fine here.
            }
        }
    }
}
