#include "sftp/sftp_packets.h"

#include "sftp/sftp_exceptions.h"

namespace signposter::sftp {

namespace {

void PutU32(std::string& out, std::uint32_t value) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((value >> shift) & 0xFF);
}

}  // namespace

PacketWriter::PacketWriter(PacketType type) {
    m_body += static_cast<char>(type);
}

PacketWriter& PacketWriter::U32(std::uint32_t value) {
    PutU32(m_body, value);
    return *this;
}

PacketWriter& PacketWriter::U64(std::uint64_t value) {
    U32(static_cast<std::uint32_t>(value >> 32));
    return U32(static_cast<std::uint32_t>(value));
}

PacketWriter& PacketWriter::String(std::string_view value) {
    U32(static_cast<std::uint32_t>(value.size()));
    m_body.append(value);
    return *this;
}

std::string PacketWriter::Finish() const {
    std::string out;
    out.reserve(m_body.size() + 4);
    PutU32(out, static_cast<std::uint32_t>(m_body.size()));
    return out + m_body;
}

std::string_view PacketReader::Take(std::size_t count) {
    if (count > m_rest.size())
        throw ESftpProtocolError("The server sent a truncated SFTP packet.");
    const std::string_view taken = m_rest.substr(0, count);
    m_rest.remove_prefix(count);
    return taken;
}

std::uint8_t PacketReader::U8() {
    return static_cast<std::uint8_t>(Take(1)[0]);
}

std::uint32_t PacketReader::U32() {
    const std::string_view bytes = Take(4);
    std::uint32_t value = 0;
    for (char c : bytes) value = (value << 8) | static_cast<std::uint8_t>(c);
    return value;
}

std::uint64_t PacketReader::U64() {
    const std::uint64_t high = U32();
    return (high << 32) | U32();
}

std::string PacketReader::String() {
    return std::string(Take(U32()));
}

std::optional<std::uint32_t> PacketReader::Attributes(std::optional<std::uint32_t>* modified) {
    const std::uint32_t flags = U32();
    std::optional<std::uint32_t> permissions;
    if (flags & 0x01)
        U64();  // size
    if (flags & 0x02) {
        U32();  // uid
        U32();  // gid
    }
    if (flags & kAttrPermissions)
        permissions = U32();
    if (flags & 0x08) {
        U32();  // atime
        const std::uint32_t mtime = U32();
        if (modified)
            *modified = mtime;
    }
    if (flags & 0x80000000u) {
        for (std::uint32_t count = U32(); count > 0; --count) {
            String();
            String();
        }
    }
    return permissions;
}

std::optional<std::string> PacketAssembler::Next() {
    if (m_buffer.size() < 4)
        return std::nullopt;
    PacketReader lengthReader(std::string_view(m_buffer).substr(0, 4));
    const std::uint32_t length = lengthReader.U32();
    if (length == 0 || length > kMaxPacket)
        throw ESftpProtocolError("The server sent an SFTP packet of " + std::to_string(length) + " bytes.");
    if (m_buffer.size() < 4 + static_cast<std::size_t>(length))
        return std::nullopt;
    std::string body = m_buffer.substr(4, length);
    m_buffer.erase(0, 4 + static_cast<std::size_t>(length));
    return body;
}

ServerVersion ParseVersion(std::string_view body) {
    PacketReader reader(body);
    if (reader.U8() != kFxpVersion)
        throw ESftpProtocolError("The server did not answer the SFTP greeting with its version.");
    ServerVersion result;
    result.version = reader.U32();
    while (!reader.AtEnd()) {
        const std::string name = reader.String();
        reader.String();
        if (name == "posix-rename@openssh.com")
            result.posixRename = true;
    }
    return result;
}

Status ParseStatus(std::string_view body) {
    PacketReader reader(body);
    if (reader.U8() != kFxpStatus)
        throw ESftpProtocolError("The server sent an unexpected SFTP packet.");
    Status status;
    status.id = reader.U32();
    status.code = reader.U32();
    // Version 3 servers may leave out the message and language.
    if (!reader.AtEnd())
        status.message = reader.String();
    return status;
}

std::string StatusName(std::uint32_t code) {
    switch (code) {
        case kFxOk:
            return "OK";
        case kFxEof:
            return "end of file";
        case kFxNoSuchFile:
            return "no such file";
        case kFxPermissionDenied:
            return "permission denied";
        case kFxFailure:
            return "failure";
        case kFxOpUnsupported:
            return "operation unsupported";
        case kFxNoSpaceOnFilesystem:
            return "no space on the file system";
        case kFxQuotaExceeded:
            return "quota exceeded";
        default:
            return "status " + std::to_string(code);
    }
}

}  // namespace signposter::sftp
