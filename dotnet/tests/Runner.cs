// A small test runner: every public method marked [Test] in this assembly,
// in (Order, class, name) order, each on a thread of its own with a time-out
// against hangs. Prints one line per test and "N passed, N failed".
//   mono Lumsdk.Tests.exe [NAME-SUBSTRING...]
//   mono Lumsdk.Tests.exe --child MODE      (programs that other tests start)
using System;
using System.Collections.Generic;
using System.Linq;
using System.Reflection;
using System.Threading;

namespace Lumsdk.Tests
{
    [AttributeUsage(AttributeTargets.Method)]
    public sealed class TestAttribute : Attribute
    {
        // Tests run in ascending order: the library's session is per process,
        // so what runs before the first handshake must come first.
        public int Order { get; set; } = 100;
    }

    public sealed class AssertionException : Exception
    {
        public AssertionException(string message) : base(message)
        {
        }
    }

    public static class Assert
    {
        public static void True(bool condition, string what)
        {
            if (!condition) throw new AssertionException(what);
        }

        public static void Equal<T>(T expected, T actual, string what = "")
        {
            if (!EqualityComparer<T>.Default.Equals(expected, actual))
                throw new AssertionException($"{what}: expected {expected}, got {actual}");
        }

        public static T Throws<T>(Action action, string what = "") where T : Exception
        {
            try
            {
                action();
            }
            catch (T e)
            {
                return e;
            }
            catch (Exception e)
            {
                throw new AssertionException($"{what}: expected {typeof(T).Name}, got {e.GetType().Name}: {e.Message}");
            }
            throw new AssertionException($"{what}: expected {typeof(T).Name}, nothing thrown");
        }

        public static void Fails(ErrorCode code, Action action, string what = "")
        {
            var e = Throws<LumsdkException>(action, what);
            Equal(code, e.Code, what + " (" + e.Message + ")");
        }

        // Waits for a condition; the bound only turns a hang into a failure.
        public static void Eventually(Func<bool> condition, string what, int seconds = 20)
        {
            var deadline = DateTime.UtcNow.AddSeconds(seconds);
            while (!condition())
            {
                if (DateTime.UtcNow > deadline) throw new AssertionException("timed out waiting for " + what);
                Thread.Sleep(10);
            }
        }
    }

    public static class Runner
    {
        private const int TestTimeoutSeconds = 120;

        public static int Main(string[] args)
        {
            if (args.Length >= 2 && args[0] == "--child") return Child.Run(args[1]);
            if (args.Length >= 1 && args[0] == "--bench") return Bench.Run(args);
            Environment.SetEnvironmentVariable(
                "LUMSDK_PIPE_BASE", "lumsdk-dotnet-" + System.Diagnostics.Process.GetCurrentProcess().Id);

            var tests = typeof(Runner).Assembly.GetTypes()
                .SelectMany(t => t.GetMethods(BindingFlags.Public | BindingFlags.Static | BindingFlags.Instance))
                .Select(m => new { Method = m, Attribute = m.GetCustomAttribute<TestAttribute>() })
                .Where(t => t.Attribute != null)
                .Where(t => args.Length == 0 || args.Any(a => Name(t.Method).Contains(a)))
                .OrderBy(t => t.Attribute.Order).ThenBy(t => t.Method.DeclaringType.Name)
                .ThenBy(t => t.Method.Name).ToList();

            int passed = 0, failed = 0;
            try
            {
                foreach (var test in tests)
                {
                    string name = Name(test.Method);
                    Exception error = RunOne(test.Method);
                    if (error == null)
                    {
                        passed++;
                        Console.WriteLine("ok   " + name);
                    }
                    else
                    {
                        failed++;
                        Console.WriteLine("FAIL " + name + ": " + error);
                    }
                }
            }
            finally
            {
                Host.StopAll();
            }
            Console.WriteLine($"{passed} passed, {failed} failed");
            return failed == 0 && passed > 0 ? 0 : 1;
        }

        private static string Name(MethodInfo m) => m.DeclaringType.Name + "." + m.Name;

        private static Exception RunOne(MethodInfo method)
        {
            Exception error = null;
            var thread = new Thread(() =>
            {
                object fixture = null;
                try
                {
                    fixture = method.IsStatic ? null : Activator.CreateInstance(method.DeclaringType);
                    method.Invoke(fixture, null);
                }
                catch (TargetInvocationException e)
                {
                    error = e.InnerException;
                }
                catch (Exception e)
                {
                    error = e;
                }
                finally
                {
                    (fixture as IDisposable)?.Dispose();
                }
            }) { IsBackground = true, Name = method.Name };
            thread.Start();
            if (!thread.Join(TimeSpan.FromSeconds(TestTimeoutSeconds)))
                return new TimeoutException("still running after " + TestTimeoutSeconds + " s");
            return error;
        }
    }
}
