// C# binding of the velantis client library (include/velantis/client.h): the same calls, the same
// structs laid out as in C, nothing of its own. C# 7.3, so that Unity's compiler and Debian's
// mono both build it. The native library is velantis-client.dll on Windows and
// libvelantis-client.so on Linux (the development package's link, or a copy beside the game).
//
// A Client is one player and belongs to one thread at a time. Service() fills an Event struct the
// caller owns: no allocation per event; Event.Text() makes a string only when asked, and only
// until the next call on the same Client.
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
        ConnectFailed = 5
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
        public uint Reserved;

        public static Config Default()
        {
            Config config;
            Native.velantis_config_init(out config);
            config.ServerAddress = IntPtr.Zero;
            return config;
        }
    }

    // velantis_event.
    [StructLayout(LayoutKind.Sequential)]
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

        // The packet's text (UTF-8 on the wire); valid until the next call on the Client.
        public string Text()
        {
            if (TextPointer == IntPtr.Zero || TextLength == 0) return string.Empty;
            var bytes = new byte[TextLength];
            Marshal.Copy(TextPointer, bytes, 0, bytes.Length);
            return Encoding.UTF8.GetString(bytes);
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

        // (major << 16) | (minor << 8) | patch of the loaded library.
        public static uint Version
        {
            get { return Native.velantis_client_version(); }
        }

        public Client(string serverAddress, Config config)
        {
            var error = new byte[256];
            IntPtr address = Marshal.StringToHGlobalAnsi(serverAddress);
            try
            {
                config.ServerAddress = address;
                handle = Native.velantis_client_create(ref config, error, (UIntPtr)error.Length);
            }
            finally
            {
                Marshal.FreeHGlobal(address);
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
            Check(Native.velantis_client_connect(handle, text, x, y));
        }

        // Resends what is due and returns the next event: true with `e` filled, false when none
        // came within the timeout (0: do not wait).
        public bool Service(out Event e, uint timeoutMs)
        {
            int result = Native.velantis_client_service(handle, out e, timeoutMs);
            if (result < 0) Check(result);
            return result == 1;
        }

        public void SendPosition(float x, float y, uint entityId)
        {
            Check(Native.velantis_client_send_position(handle, x, y, entityId));
        }

        public void Disconnect()
        {
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
            get { return Marshal.PtrToStringAnsi(Native.velantis_client_last_error(handle)); }
        }

        public void Dispose()
        {
            handle.Dispose();
        }

        private void Check(int result)
        {
            if (result < 0) throw new VelantisException((Result)result, LastError);
        }
    }

    internal static class Native
    {
        private const string Library = "velantis-client";

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern uint velantis_client_version();

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void velantis_config_init(out Config config);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern ClientHandle velantis_client_create(ref Config config,
            [Out] byte[] error, UIntPtr errorSize);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern void velantis_client_destroy(IntPtr client);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int velantis_client_connect(ClientHandle client,
            [MarshalAs(UnmanagedType.LPStr)] string text, float x, float y);

        [DllImport(Library, CallingConvention = CallingConvention.Cdecl)]
        internal static extern int velantis_client_service(ClientHandle client, out Event e,
            uint timeoutMs);

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
    }
}
