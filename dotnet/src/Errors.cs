using System;

namespace Lumsdk
{
    /// <summary>The library's result codes (the C header's <c>VelmoraError</c>).
    /// Calls that pass the host's code through can report values outside this
    /// list; <see cref="LumsdkException.Code"/> then holds the raw number.</summary>
    public enum ErrorCode
    {
        /// <summary>Success; for pass-through calls, the host reported 0.</summary>
        None = 0,
        /// <summary>No connection, a broken connection, or no answer within 5 s.</summary>
        HostUnreachable = 1,
        /// <summary>Only ever passed through from the host.</summary>
        Reserved = 2,
        /// <summary>No handshake has succeeded yet in this process.</summary>
        HandshakeRequired = 3,
        /// <summary>The host's protocol version is too old for the call.</summary>
        ProtocolMismatch = 4,
        /// <summary>An argument was rejected, or the host's answer held no usable result.</summary>
        BadArgument = 5,
    }

    /// <summary>A call failed. <see cref="Code"/> says why.</summary>
    public class LumsdkException : Exception
    {
        public LumsdkException(ErrorCode code, string message) : base(message)
        {
            Code = code;
        }

        public ErrorCode Code { get; }

        internal static LumsdkException For(int code, string what)
        {
            var error = (ErrorCode)code;
            string why;
            switch (error)
            {
                case ErrorCode.None: why = "the host refused"; break;
                case ErrorCode.HostUnreachable: why = "the host is unreachable"; break;
                case ErrorCode.HandshakeRequired: why = "no handshake has succeeded yet"; break;
                case ErrorCode.ProtocolMismatch: why = "the host's protocol is too old"; break;
                case ErrorCode.BadArgument: why = "bad argument or no usable result"; break;
                default: why = "the host reported error " + code; break;
            }
            return new LumsdkException(error, what + ": " + why + " (" + error + ")");
        }
    }

    /// <summary>The host refused exclusive control: another application holds it.</summary>
    public class ControlRefusedException : LumsdkException
    {
        public ControlRefusedException()
            : base(ErrorCode.None, "the host refused exclusive control (another application holds it)")
        {
        }
    }
}
