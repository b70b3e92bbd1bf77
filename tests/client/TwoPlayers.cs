// Two players on a real server through the C# binding: both connect, both move, each sees the
// other's move relayed, both disconnect. Exit 0 when all of that happened, 1 otherwise.
// Usage: mono two_players.exe [server-address [port [first-id]]]
using System;
using System.Net;
using System.Net.Sockets;
using System.Threading;
using Velantis.Client;

internal static class TwoPlayers
{
    private static int Main(string[] args)
    {
        string server = args.Length > 0 ? args[0] : "127.0.0.1";
        ushort port = args.Length > 1 ? ushort.Parse(args[1]) : (ushort)15000;
        ulong firstId = args.Length > 2 ? ulong.Parse(args[2]) : 4001;
        if ((Client.Version >> 16) != 1)
        {
            Console.Error.WriteLine("TwoPlayers: library version " + Client.Version.ToString("x"));
            return 1;
        }
        var ids = new[] { firstId, firstId + 1 };
        bool namesSeen = false;
        var players = new Client[2];
        var seen = new bool[2, 2];
        try
        {
            for (int i = 0; i < 2; ++i)
            {
                players[i] = new Client(server, ids[i], port);
                players[i].Connect(Name + i, 0, 0);
            }
            Event e;
            for (int round = 0; round < 1000 && !(players[0].State == State.Connected &&
                                                  players[1].State == State.Connected); ++round)
            {
                foreach (Client player in players)
                {
                    while (player.Service(out e, 10))
                    {
                        if (e.Type == EventType.ConnectFailed)
                        {
                            Console.Error.WriteLine("TwoPlayers: " + e.Text());
                            return 1;
                        }
                        if (e.Type == EventType.PlayerJoined && e.PlayerId == ids[1] &&
                            player == players[0] && player.TextOf(e) == Name + 1)
                        {
                            namesSeen = true;
                        }
                    }
                }
            }
            // Datagrams from anyone but the server are dropped and counted, never events.
            using (var stranger = new UdpClient(new IPEndPoint(IPAddress.Loopback, 0)))
            {
                var target = new IPEndPoint(IPAddress.Loopback, players[0].LocalPort);
                stranger.Send(new byte[100], 100, target);
                stranger.Send(new byte[1056], 1056, target);
                int events = 0;
                for (int round = 0; round < 3000 && players[0].Stats.RejectedSource < 2; ++round)
                {
                    while (players[0].Service(out e, 10))
                    {
                        if (e.Type == EventType.Rejected) ++events;
                        // A library that sends its first update at once is announced by now.
                        if (e.Type == EventType.PlayerJoined && e.PlayerId == ids[1] &&
                            players[0].TextOf(e) == Name + 1)
                        {
                            namesSeen = true;
                        }
                    }
                }
                if (events != 0 || players[0].Stats.RejectedSource != 2)
                {
                    Console.Error.WriteLine("TwoPlayers: a stranger's datagrams were not dropped");
                    return 1;
                }
            }
            for (int i = 0; i < 2; ++i)
            {
                if (players[i].State != State.Connected || players[i].EntityId == 0)
                {
                    Console.Error.WriteLine("TwoPlayers: player " + ids[i] + " not welcomed");
                    return 1;
                }
                players[i].SendPosition(10 + i, -2.5f, players[i].EntityId, Move);
            }
            for (int round = 0; round < 3000 && !(seen[0, 0] && seen[0, 1] && seen[1, 0] &&
                                                 seen[1, 1]); ++round)
            {
                for (int i = 0; i < 2; ++i)
                {
                    while (players[i].Service(out e, 10))
                    {
                        // A server that has the players prove their addresses announces each to
                        // the other once its first update has arrived.
                        if (e.Type == EventType.PlayerJoined && e.PlayerId == ids[1] && i == 0 &&
                            players[0].TextOf(e) == Name + 1)
                        {
                            namesSeen = true;
                        }
                        if (e.Type != EventType.PositionUpdate) continue;
                        for (int j = 0; j < 2; ++j)
                        {
                            if (e.PlayerId == ids[j] && e.X == 10 + j && e.Y == -2.5f &&
                                e.EntityId == players[j].EntityId &&
                                e.Text() == Move)
                            {
                                seen[i, j] = true;
                            }
                        }
                    }
                }
            }
            for (int i = 0; i < 2; ++i)
            {
                for (int j = 0; j < 2; ++j)
                {
                    if (!seen[i, j])
                    {
                        Console.Error.WriteLine("TwoPlayers: player " + ids[i] +
                                                " never saw player " + ids[j] + " move");
                        return 1;
                    }
                }
                Counters counters = players[i].Counters;
                Console.WriteLine("player " + ids[i] + ": entity " + players[i].EntityId + ", " +
                                  counters.Sent + " sent, " + counters.Received + " received, " +
                                  counters.ConnectTries + " connect tries");
            }
            if (!namesSeen)
            {
                Console.Error.WriteLine("TwoPlayers: the non-ASCII name did not come back intact");
                return 1;
            }
            if (!StaleTextRefused(players[0], players[1]) || !FrameEnds(players[0], players[1]))
            {
                return 1;
            }
            for (int i = 0; i < 2; ++i)
            {
                players[i].Disconnect();
                if (players[i].State != State.Idle) return 1;
            }
            try
            {
                players[0].SendPosition(0, 0, 1);
                Console.Error.WriteLine("TwoPlayers: sending after Disconnect did not fail");
                return 1;
            }
            catch (VelantisException error)
            {
                if (error.Result != Result.ErrorState) throw;
            }
        }
        catch (VelantisException error)
        {
            Console.Error.WriteLine("TwoPlayers: " + error.Result + ": " + error.Message);
            return 1;
        }
        finally
        {
            foreach (Client player in players)
            {
                if (player != null) player.Dispose();
            }
        }
        if (!StandInServer()) return 1;
        Console.WriteLine("two C# players connected, saw each other move and disconnected");
        return 0;
    }

    private const string Name = "Zo\u00eb \u00fc\u4e16\U0001F3AE ";
    private const string Move = "jump:fire \u00e9\u00e8 \u03c0";

    // An event's text after the next call, or after Dispose, is refused rather than read from
    // memory that is no longer the event's.
    private static bool StaleTextRefused(Client sender, Client receiver)
    {
        sender.SendPosition(1, 1, sender.EntityId, "stale?");
        Event e = new Event();
        bool got = false;
        for (int round = 0; round < 3000 && !got; ++round)
        {
            got = receiver.Service(out e, 10) && e.Type == EventType.PositionUpdate &&
                  e.Text() == "stale?";
        }
        if (!got)
        {
            Console.Error.WriteLine("TwoPlayers: the update with text did not arrive");
            return false;
        }
        Event kept = e;
        receiver.Service(out e, 0);
        try
        {
            receiver.TextOf(kept);
            Console.Error.WriteLine("TwoPlayers: text after the next call was not refused");
            return false;
        }
        catch (InvalidOperationException)
        {
        }
        var lone = new Client("127.0.0.1", 4999, 15999);
        lone.Service(out e, 0);
        kept = e;
        lone.Dispose();
        try
        {
            kept.Text();
            Console.Error.WriteLine("TwoPlayers: text after Dispose was not refused");
            return false;
        }
        catch (InvalidOperationException)
        {
        }
        return true;
    }

    // The loop of docs/client-library.md: wait once, then take what is there.
    private static int DocumentedFrame(Client client)
    {
        int events = 0;
        Event e;
        for (bool got = client.Service(out e, 16); got; got = client.Service(out e, 0))
        {
            ++events;
        }
        return events;
    }

    // While a player streams updates every 2 ms for 2 s, one frame of the loop ends before the
    // stream does: it never waits per event.
    private static bool FrameEnds(Client listener, Client sender)
    {
        var stream = new Thread(() =>
        {
            for (int k = 0; k < 1000; ++k)
            {
                sender.SendPosition(k, 0, sender.EntityId);
                Thread.Sleep(2);
            }
        });
        stream.Start();
        Thread.Sleep(50);
        var clock = System.Diagnostics.Stopwatch.StartNew();
        int events = DocumentedFrame(listener);
        long ms = clock.ElapsedMilliseconds;
        bool streaming = stream.IsAlive;
        stream.Join();
        Console.WriteLine("documented frame loop: " + events + " events in " + ms +
                          " ms while updates kept coming");
        if (!streaming)
        {
            Console.Error.WriteLine("TwoPlayers: the documented frame loop waited for the stream");
        }
        Event e;
        while (listener.Service(out e, 10))
        {
        }
        return streaming;
    }

    // A socket of the test's stands in for the server: what it sends that is no packet arrives
    // as rejections with their reason, and Dispose of a connected player sends it a Disconnect.
    private static bool StandInServer()
    {
        using (var fake = new UdpClient(new IPEndPoint(IPAddress.Loopback, 0)))
        {
            ushort port = (ushort)((IPEndPoint)fake.Client.LocalEndPoint).Port;
            var player = new Client("127.0.0.1", 4998, port);
            player.Connect("leaving", 0, 0);
            var from = new IPEndPoint(IPAddress.Any, 0);
            fake.Client.ReceiveTimeout = 60000;
            byte[] connect = fake.Receive(ref from);
            fake.Send(Welcome(), 1056, from);
            fake.Send(new byte[100], 100, from);
            fake.Send(new byte[1056], 1056, from);  // all zero: the checksum fails
            var reasons = new bool[4];
            Event e;
            for (int round = 0; round < 3000 && !(reasons[1] && reasons[2]); ++round)
            {
                while (player.Service(out e, 10))
                {
                    if (e.Type == EventType.Rejected) reasons[(int)e.RejectReason] = true;
                }
            }
            Counters counters = player.Counters;
            if (player.State != State.Connected || connect[24] != 1 ||
                !reasons[(int)RejectReason.Size] || !reasons[(int)RejectReason.Checksum] ||
                counters.RejectedSize != 1 || counters.RejectedChecksum != 1)
            {
                Console.Error.WriteLine("TwoPlayers: the stand-in server's Welcome was not " +
                                        "taken or its bad datagrams not reported");
                return false;
            }
            player.Dispose();
            // The player's first updates and its goodbyes come before the Disconnect; a socket
            // that stays silent for the receive timeout ends the wait with an exception.
            byte[] last = fake.Receive(ref from);
            for (int datagrams = 0; last[24] != 3 && datagrams < 64; ++datagrams)
            {
                last = fake.Receive(ref from);
            }
            if (last[24] != 3)
            {
                Console.Error.WriteLine("TwoPlayers: Dispose sent no Disconnect");
                return false;
            }
        }
        return true;
    }

    private static byte[] Welcome()
    {
        var packet = new byte[1056];
        packet[0] = 1;
        packet[24] = 2;
        packet[1048] = 7;
        ulong checksum = 0xcbf29ce484222325UL;
        foreach (byte b in packet) checksum = (checksum ^ b) * 0x100000001b3UL;
        BitConverter.GetBytes(checksum).CopyTo(packet, 8);
        return packet;
    }
}
