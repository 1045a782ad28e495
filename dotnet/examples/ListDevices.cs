// Lists the host's devices with their channels and LED counts.
//   mono ListDevices.exe
using System;
using Lumsdk;

public static class ListDevices
{
    public static int Main()
    {
        try
        {
            using (var client = new LumsdkClient(new ClientOptions { Heal = false }))
            {
                Console.WriteLine($"host {client.Protocol.ServerVersion}, protocol {client.Protocol.ServerProtocolVersion}");
                foreach (var device in client.GetDevices())
                {
                    Console.WriteLine($"{device.Index}: {device.Model} (type {device.Type}), {device.LedsCount} LEDs");
                    for (int c = 0; c < device.Channels.Count; c++)
                    {
                        var channel = device.Channels[c];
                        Console.WriteLine($"   channel {c}: {channel.TotalLeds} LEDs on {channel.Devices.Count} devices");
                    }
                }
            }
            return 0;
        }
        catch (LumsdkException e)
        {
            Console.Error.WriteLine("ListDevices: " + e.Message);
            return 1;
        }
    }
}
