// C# binding of the velantis client library (include/velantis/client.h): the same calls, the same
// structs laid out as in C, nothing of its own. C# 7.3, so that Unity's compiler and Debian's
// mono both build it. The native library is velantis-client.dll on Windows and
// libvelantis-client.so on Linux (the development package's link, or a copy beside the game).
//
// A Client is one player and belongs to one thread at a time. Service() fills an Event struct the
// caller owns: no allocation per event. An event's text stays in the library until the next call
// on the same Client; client.TextOf(e) (or e.Text()) makes a string of it until then, and throws
// InvalidOperationException afterwards or once the Client is disposed, instead of reading memory
// that is no longer the event's. Every string crosses as UTF-8, both ways, on every platform.
using System;
using System.Runtime.InteropServices;
using System.Text;
using Microsoft.Win32.SafeHandles;

namespace Velantis.Client
{
    public enum EventType
    {
        None = 0,
        Welcome = 1,
        PlayerJoined = 2,
        PositionUpdate = 3,
        Rejected = 4,
        ConnectFailed = 5,
        ConnectionLost = 6,
        PlayerLeft = 7,
        Text = 8
    }

    [Flags]
    public enum ConfigFlags : uint
    {
        None = 0,
        NoReconnect = 1,
        AnyServerPort = 2,
        TextEvents = 4,
        Snapshots = 8
    }

    public enum RejectReason
    {
        None = 0,
        Size = 1,
        Checksum = 2,
        Type = 3
    }

    public enum State
    {
        Idle = 0,
        Connecting = 1,
        Connected = 2,
        Failed = 3
    }

    public enum Result
    {
        Ok = 0,
        ErrorArgument = -1,
        ErrorState = -2,
        ErrorSocket = -3
    }

    // velantis_config. ServerAddress is set by Client from a string; leave it zero.
    [StructLayout(LayoutKind.Sequential)]
    public struct Config
    {
        public IntPtr ServerAddress;
        public ulong ClientId;
        public ushort ServerPort;
        public ushort LocalPort;
        public uint FirstResendMs;
        public uint MaxResendMs;
        public uint TriesBeforeRestart;
        public uint ConnectTimeoutMs;
        public uint Size;
        public uint KeepaliveMs;
        public uint TimeoutMs;
        public uint PlayerTimeoutMs;
        public uint MaxPlayers;
        public ConfigFlags Flags;
        public uint Reserved;
        public uint ReconnectMaxTries;
        public uint InterpolationDelayMs;

        public static Config Default()
        {
            Config config;
            Native.velantis_config_init_sized(out config, (UIntPtr)Marshal.SizeOf(typeof(Config)));
            config.ServerAddress = IntPtr.Zero;
            return config;
        }
    }

    // velantis_event, as the library fills it.
    [StructLayout(LayoutKind.Sequential)]
    internal struct NativeEvent
    {
        public EventType Type;
        public RejectReason RejectReason;
        public ulong PlayerId;
        public ulong ClientId;
        public uint EntityId;
        public uint MessageNumber;
        public float X;
        public float Y;
        public IntPtr TextPointer;
        public uint TextLength;
        public int DatagramSize;
        public uint FromAddress;
        public ushort FromPort;
        public byte MessageType;
        public byte Reserved;
    }

    // One event: velantis_event's fields, and which call on which Client it came from, so that
    // its text is read only while it is still there.
    public struct Event
    {
        public EventType Type;
        public RejectReason RejectReason;
        public ulong PlayerId;
        public ulong ClientId;
        public uint EntityId;
        public uint MessageNumber;
        public float X;
        public float Y;
        public IntPtr TextPointer;
        public uint TextLength;
        public int DatagramSize;
        public uint FromAddress;
        public ushort FromPort;
        public byte MessageType;
        public byte Reserved;
        internal Client Source;
        internal ulong Call;

        internal Event(ref NativeEvent native, Client source, ulong call)
        {
            Type = native.Type;
            RejectReason = native.RejectReason;
            PlayerId = native.PlayerId;
            ClientId = native.ClientId;
            EntityId = native.EntityId;
            MessageNumber = native.MessageNumber;
            X = native.X;
            Y = native.Y;
            TextPointer = native.TextPointer;
            TextLength = native.TextLength;
            DatagramSize = native.DatagramSize;
            FromAddress = native.FromAddress;
            FromPort = native.FromPort;
            MessageType = native.MessageType;
            Reserved = native.Reserved;
            Source = source;
            Call = call;
        }

        // The packet's text: the same as client.TextOf(this).
        public string Text()
        {
            if (Source == null) throw new InvalidOperationException("no Client made this event");
            return Source.TextOf(this);
        }
    }

    // velantis_counters.
    [StructLayout(LayoutKind.Sequential)]
    public struct Counters
    {
        public ulong Sent;
        public ulong Received;
        public ulong RejectedSize;
        public ulong RejectedChecksum;
        public ulong RejectedType;
        public ulong ReceiveErrors;
        public ulong ConnectTries;
        public ulong ConnectRestarts;
    }

    // velantis_stats (since 1.2.0; the fields from BytesSent on since 1.3.0).
    [StructLayout(LayoutKind.Sequential)]
    public struct Stats
    {
        public float RttLastMs;
        public float RttSmoothedMs;
        public float UpdateLoss;
        public float DatagramsInPerSecond;
        public float DatagramsOutPerSecond;
        public int ServerSilentMs;
        public ulong UpdatesSent;
        public ulong UpdatesReturned;
        public ulong UpdatesLost;
        public ulong KeepalivesSent;
        public ulong RejectedSource;
        public ulong RejectedWelcome;
        public ulong ConnectionsLost;
        public ulong PlayersUntracked;
        public uint Players;
        public uint Reserved;
        public ulong BytesSent;
        public ulong BytesReceived;
        public ulong UpdatesStale;
        public ulong OwnUnmatched;
        public ulong AnnouncementsIgnored;
        public ulong TextsSent;
        public ulong TextsConfirmed;
        public ulong TextsReceived;
        public uint TextsQueued;
        public float JitterMs;
        public int UnansweredMs;
        public uint Reserved2;
    }

    public sealed class VelantisException : Exception
    {
        public Result Result { get; private set; }

        public VelantisException(Result result, string message) : base(message)
        {
            Result = result;
        }
    }

    public sealed class ClientHandle : SafeHandleZeroOrMinusOneIsInvalid
    {
        private ClientHandle() : base(true)
        {
        }

        protected override bool ReleaseHandle()
        {
            Native.velantis_client_destroy(handle);
            return true;
        }
    }

    public sealed class Client : IDisposable
    {
        private readonly ClientHandle handle;
        // Counts the calls that may move or overwrite an event's text in the library.
        private ulong calls;
        private bool disposed;

        // (major << 16) | (minor << 8) | patch of the loaded library.
        public static uint Version
        {
            get { return Native.velantis_client_version(); }
        }

        public Client(string serverAddress, Config config)
        {
            var error = new byte[256];
            GCHandle address = GCHandle.Alloc(Utf8(serverAddress), GCHandleType.Pinned);
            try
            {
                config.ServerAddress = address.AddrOfPinnedObject();
                config.Size = (uint)Marshal.SizeOf(typeof(Config));
                handle = Native.velantis_client_create(ref config, error, (UIntPtr)error.Length);
            }
            finally
            {
                address.Free();
            }
            if (handle.IsInvalid)
            {
                int length = Array.IndexOf(error, (byte)0);
                throw new VelantisException(Result.ErrorSocket,
                    Encoding.UTF8.GetString(error, 0, length < 0 ? error.Length : length));
            }
        }

        public Client(string serverAddress, ulong clientId, ushort serverPort = 15000)
            : this(serverAddress, WithId(clientId, serverPort))
        {
        }

        private static Config WithId(ulong clientId, ushort serverPort)
        {
            Config config = Config.Default();
            config.ClientId = clientId;
            config.ServerPort = serverPort;
            return config;
        }

        public void Connect(string text, float x, float y)
        {
            ++calls;
            Check(Native.velantis_client_connect(handle, Utf8(text), x, y));
        }

        // Sends what is due and returns the next event: true with `e` filled, false when none
        // came within the timeout (0: do not wait). Wait once per frame, then poll with 0.
        public bool Service(out Event e, uint timeoutMs)
        {
            ++calls;
            NativeEvent native;
            int result = Native.velantis_client_service(handle, out native, timeoutMs);
            e = new Event(ref native, this, calls);
            if (result < 0) Check(result);
            return result == 1;
        }

        // The event's text, as UTF-8 decoded. Only for an event of this Client's last call:
        // InvalidOperationException after any later call or once the Client is disposed.
        public string TextOf(Event e)
        {
            if (disposed)
            {
                throw new ObjectDisposedException("Client", "the event's text went with it");
            }
            if (e.Source != this || e.Call != calls)
            {
                throw new InvalidOperationException(
                    "an event's text is only there until the next call on its Client");
            }
            if (e.TextPointer == IntPtr.Zero || e.TextLength == 0) return string.Empty;
            var bytes = new byte[e.TextLength];
            Marshal.Copy(e.TextPointer, bytes, 0, bytes.Length);
            return Encoding.UTF8.GetString(bytes);
        }

        public void SendPosition(float x, float y, uint entityId)
        {
            ++calls;
            Check(Native.velantis_client_send_position(handle, x, y, entityId));
        }

        // A position update with text (at most 999 bytes once UTF-8 encoded).
        public void SendPosition(float x, float y, uint entityId, string text)
        {
            ++calls;
            Check(Native.velantis_client_send_position_text(handle, x, y, entityId, Utf8(text)));
        }

        // A chat line, sent reliably (at most 900 bytes once UTF-8 encoded).
        public void SendText(string text)
        {
            ++calls;
            Check(Native.velantis_client_send_text(handle, Utf8(text)));
        }

        // The library's clock, in microseconds; every time below is on it.
        public long TimeUs
        {
            get { return Native.velantis_client_time_us(handle); }
        }

        // When the datagram of the event Service() last returned was received.
        public long EventTimeUs
        {
            get { return Native.velantis_client_event_time_us(handle); }
        }

        // Where the player was at timeUs, interpolated; false when nothing is known of it.
        public bool PlayerPositionAt(ulong playerId, long timeUs, out float x, out float y)
        {
            return Native.velantis_client_player_position_at(handle, playerId, timeUs, out x,
                out y) == (int)Result.Ok;
        }

        public void Disconnect()
        {
            ++calls;
            Check(Native.velantis_client_disconnect(handle));
        }

        public State State
        {
            get { return (State)Native.velantis_client_state(handle); }
        }

        public uint EntityId
        {
            get { return Native.velantis_client_entity_id(handle); }
        }

        public ushort LocalPort
        {
            get { return Native.velantis_client_local_port(handle); }
        }

        // This player's id: the one configured, or the random one drawn for 0.
        public ulong Id
        {
            get { return Native.velantis_client_id(handle); }
        }

        public Stats Stats
        {
            get
            {
                Stats stats;
                Native.velantis_client_stats(handle, out stats,
                    (UIntPtr)Marshal.SizeOf(typeof(Stats)));
                return stats;
            }
        }

        public Counters Counters
        {
            get
            {
                Counters counters;
                Native.velantis_client_counters(handle, out counters);
                return counters;
            }
        }

        public string LastError
        {
            get { return FromUtf8(Native.velantis_client_last_error(handle)); }
        }

        // Leaves the game first (a Disconnect, so that no ghost stays on the server when a using
        // block ends with an exception), then frees the handle.
        public void Dispose()
        {
            if (disposed) return;
            ++calls;
            disposed = true;
            if (!handle.IsInvalid && !handle.IsClosed)
            {
                State state = State;
                if (state == State.Connecting || state == State.Connected)
                {
                    Native.velantis_client_disconnect(handle);
                }
            }
            handle.Dispose();
        }

        internal static byte[] Utf8(string text)
        {
            if (text == null) return null;
            int length = Encoding.UTF8.GetByteCount(text);
            var bytes = new byte[length + 1];
            Encoding.UTF8.GetBytes(text, 0, text.Length, bytes, 0);
            return bytes;
        }

        internal static string FromUtf8(IntPtr text)
        {
            if (text == IntPtr.Zero) return string.Empty;
            int length = 0;
            while (Marshal.ReadByte(text, length) != 0) ++length;
            var bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return Encoding.UTF8.GetString(bytes);
        }

        private void Check(int result)
        {
            if (result < 0) throw new VelantisException((Result)result, LastError);
        }
    }

    internal static class Native
    {
        // velantis-client.dll on Windows; on Linux the runtime package's link velantis-client
        // (to libvelantis-client.so.1), which mono and .NET load under this very name.
        private const string Library = "velantis-client";

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern uint velantis_client_version();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void velantis_config_init_sized(out Config config, UIntPtr size);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern ClientHandle velantis_client_create(ref Config config,
            [Out] byte[] error, UIntPtr errorSize);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void velantis_client_destroy(IntPtr client);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int velantis_client_connect(ClientHandle client, byte[] utf8Text,
            float x, float y);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int velantis_client_service(ClientHandle client, out NativeEvent e,
            uint timeoutMs);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int velantis_client_send_position_text(ClientHandle client, float x,
            float y, uint entityId, byte[] utf8Text);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern ulong velantis_client_id(ClientHandle client);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int velantis_client_stats(ClientHandle client, out Stats stats,
            UIntPtr size);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int velantis_client_send_position(ClientHandle client, float x,
            float y, uint entityId);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int velantis_client_disconnect(ClientHandle client);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int velantis_client_state(ClientHandle client);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern uint velantis_client_entity_id(ClientHandle client);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern ushort velantis_client_local_port(ClientHandle client);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void velantis_client_counters(ClientHandle client,
            out Counters counters);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern IntPtr velantis_client_last_error(ClientHandle client);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int velantis_client_send_text(ClientHandle client, byte[] utf8Text);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern long velantis_client_time_us(ClientHandle client);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern long velantis_client_event_time_us(ClientHandle client);
        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int velantis_client_player_position_at(ClientHandle client,
            ulong playerId, long timeUs, out float x, out float y);
    }
}
