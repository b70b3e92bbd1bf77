// Two players on a real server through the C# binding: both connect, both move, each sees the
// other's move relayed, both disconnect. Exit 0 when all of that happened, 1 otherwise.
// Usage: mono two_players.exe [server-address [port [first-id]]]
using System;
using System.Net;
using System.Net.Sockets;
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
        var players = new Client[2];
        var seen = new bool[2, 2];
        try
        {
            for (int i = 0; i < 2; ++i)
            {
                players[i] = new Client(server, ids[i], port);
                players[i].Connect("c sharp player " + i, 0, 0);
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
                    }
                }
            }
            // Datagrams that are no packet arrive as rejections with their reason.
            using (var stranger = new UdpClient(new IPEndPoint(IPAddress.Loopback, 0)))
            {
                var target = new IPEndPoint(IPAddress.Loopback, players[0].LocalPort);
                stranger.Send(new byte[100], 100, target);
                stranger.Send(new byte[1056], 1056, target);  // all zero: the checksum fails
                var reasons = new bool[4];
                for (int round = 0; round < 100 && !(reasons[1] && reasons[2]); ++round)
                {
                    while (players[0].Service(out e, 10))
                    {
                        if (e.Type == EventType.Rejected) reasons[(int)e.RejectReason] = true;
                    }
                }
                Counters counters = players[0].Counters;
                if (!reasons[(int)RejectReason.Size] || !reasons[(int)RejectReason.Checksum] ||
                    counters.RejectedSize != 1 || counters.RejectedChecksum != 1)
                {
                    Console.Error.WriteLine("TwoPlayers: rejections not reported");
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
                players[i].SendPosition(10 + i, -2.5f, players[i].EntityId);
            }
            for (int round = 0; round < 200 && !(seen[0, 0] && seen[0, 1] && seen[1, 0] &&
                                                 seen[1, 1]); ++round)
            {
                for (int i = 0; i < 2; ++i)
                {
                    while (players[i].Service(out e, 10))
                    {
                        if (e.Type != EventType.PositionUpdate) continue;
                        for (int j = 0; j < 2; ++j)
                        {
                            if (e.PlayerId == ids[j] && e.X == 10 + j && e.Y == -2.5f &&
                                e.EntityId == players[j].EntityId &&
                                e.Text() == "Player position update")
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
        Console.WriteLine("two C# players connected, saw each other move and disconnected");
        return 0;
    }
}
