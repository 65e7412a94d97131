#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The few packets of the SSH file transfer protocol, version 3 (draft-ietf-secsh-filexfer-02), that an
// upload needs. libssh carries them on its channel; its own SFTP layer waits without our clock, so the
// packets are built and read here.
namespace signposter::sftp {

enum PacketType : std::uint8_t {
    kFxpInit = 1,
    kFxpVersion = 2,
    kFxpOpen = 3,
    kFxpClose = 4,
    kFxpWrite = 6,
    kFxpLstat = 7,
    kFxpOpendir = 11,
    kFxpReaddir = 12,
    kFxpRemove = 13,
    kFxpRename = 18,
    kFxpStatus = 101,
    kFxpHandle = 102,
    kFxpName = 104,
    kFxpAttrs = 105,
    kFxpExtended = 200,
};

enum StatusCode : std::uint32_t {
    kFxOk = 0,
    kFxEof = 1,
    kFxNoSuchFile = 2,
    kFxPermissionDenied = 3,
    kFxFailure = 4,
    kFxOpUnsupported = 8,
    // From later drafts; some servers send them in version 3 too.
    kFxNoSpaceOnFilesystem = 14,
    kFxQuotaExceeded = 15,
};

enum OpenFlags : std::uint32_t { kFxfWrite = 0x02, kFxfCreat = 0x08, kFxfTrunc = 0x10, kFxfExcl = 0x20 };
inline constexpr std::uint32_t kAttrPermissions = 0x04;

// One packet being built: type and request id first, the length prefixed by Finish().
class PacketWriter {
public:
    explicit PacketWriter(PacketType type);
    PacketWriter& U32(std::uint32_t value);
    PacketWriter& U64(std::uint64_t value);
    PacketWriter& String(std::string_view value);
    // The whole packet, length first.
    std::string Finish() const;

private:
    std::string m_body;
};

// Reads one packet's body. Every read is checked against the end: a short packet raises
// ESftpProtocolError instead of reading past it.
class PacketReader {
public:
    explicit PacketReader(std::string_view body) : m_rest(body) {}
    std::uint8_t U8();
    std::uint32_t U32();
    std::uint64_t U64();
    std::string String();
    // Reads an ATTRS structure, giving its permissions (file type bits included) when it has them, and to
    // `modified` its modification time (seconds since 1970) when it has one.
    std::optional<std::uint32_t> Attributes(std::optional<std::uint32_t>* modified = nullptr);
    bool AtEnd() const { return m_rest.empty(); }

private:
    std::string_view Take(std::size_t count);
    std::string_view m_rest;
};

// Cuts the channel's bytes into packets. A length over kMaxPacket raises ESftpProtocolError: the replies
// an upload gets are small, and without a limit a hostile server could make us buffer gigabytes.
class PacketAssembler {
public:
    static constexpr std::uint32_t kMaxPacket = 256 * 1024;
    void Append(const char* data, std::size_t count) { m_buffer.append(data, count); }
    // The next whole packet's body (type first), or nothing yet.
    std::optional<std::string> Next();

private:
    std::string m_buffer;
};

struct ServerVersion {
    std::uint32_t version = 0;
    bool posixRename = false;  // posix-rename@openssh.com: a rename that replaces the target atomically
};
ServerVersion ParseVersion(std::string_view body);

struct Status {
    std::uint32_t id = 0;
    std::uint32_t code = 0;
    std::string message;
};
// A STATUS body (type byte included).
Status ParseStatus(std::string_view body);
// The name SFTP gives a status code, for messages.
std::string StatusName(std::uint32_t code);

}  // namespace signposter::sftp
