using System.Reflection;
using System.Runtime.CompilerServices;

[assembly: AssemblyVersion("3.0.171.0")]
[assembly: AssemblyInformationalVersion("3.0.171")]
[assembly: InternalsVisibleTo("Lumsdk.Tests")]
