using System.Reflection;
using System.Runtime.CompilerServices;

[assembly: InternalsVisibleTo("Lumsdk.Tests")]
