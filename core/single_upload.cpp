#include "core/single_upload.h"

#include "core/publishing_core.h"
#include "ftp/id_ftp.h"
#include "platform/files.h"
#include "platform/text.h"
#include "sftp/sftp_client.h"

namespace signposter {

namespace {

// Status texts may hold CR LF (the socket errors do): one escaped line per line.
std::string EscapedLines(const std::string& message) {
    std::string out;
    for (const std::string& part : text::SplitLines(message))
        out += (out.empty() ? "" : "\n") + text::Printable(part);
    return out;
}

void TraceHandshake(const std::function<void(const std::string&)>& line, const net::TlsPeerInfo& info,
                    bool dataConnection) {
    const std::string which = dataConnection ? "data" : "control";
    line("-- TLS " + which + " connection: " + text::Printable(info.protocol) + ", " +
         text::Printable(info.cipher));
    if (dataConnection) {
        line(std::string("-- TLS session resumed: ") + (info.resumed ? "yes" : "no"));
        return;
    }
    line("-- TLS certificate subject: " + text::Printable(info.subject));
    line("-- TLS certificate issuer: " + text::Printable(info.issuer));
    line("-- TLS certificate SHA-256: " + net::FormatFingerprint(info.fingerprint));
    line("-- TLS certificate accepted by: " + info.acceptedBy);
}

}  // namespace

std::string MaskPasswordCommand(const std::string& sentLine) {
    constexpr std::size_t kVerb = 5;  // "pass "
    if (sentLine.size() < kVerb || text::UpperAscii(sentLine.substr(0, kVerb)) != "PASS ")
        return sentLine;
    return sentLine.substr(0, kVerb) + std::string(sentLine.size() - kVerb, '*');
}

void TraceSessions(PublishingCore& core, std::function<void(const std::string&)> line) {
    ftp::TIdFTP& client = core.Client();
    client.SetOnStatus([line](ftp::TIdComponent*, ftp::TIdStatus, const std::string& status) {
        line("-- " + EscapedLines(status));
    });
    client.SetTraceHandler([line](ftp::TraceDirection direction, const std::string& text) {
        const bool sent = direction == ftp::TraceDirection::Sent;
        line((sent ? "> " : "< ") + text::Printable(sent ? MaskPasswordCommand(text) : text));
    });
    client.SetOnTlsEstablished([line](const net::TlsPeerInfo& info, bool dataConnection) {
        TraceHandshake(line, info, dataConnection);
    });
    core.Sftp().SetOnStep([line](const std::string& step) { line("-- " + text::Printable(step)); });
}

void UploadOnce(PublishingCore& core, const std::string& localFile, const std::string& remoteName) {
    core.GetPublisher().ConfigureClient();
    const std::string bytes = platform::ReadWholeFile(localFile);
    if (core.GetPublisher().UsesSftp()) {
        core.Sftp().OpenSession();
        core.Sftp().StoreAtomically(bytes, remoteName);
        core.Sftp().CloseConnection();
        return;
    }
    ftp::TIdFTP& client = core.Client();
    client.OpenSession(true);
    if (core.State().AtomicUpload)
        client.StoreBytesAtomically(bytes, remoteName);
    else
        client.StoreBytes(bytes, remoteName, false);
    client.CloseConnection();
}

AttemptFailure DescribeUploadFailure(PublishingCore& core, const std::exception& error,
                                     const std::string& remoteName) {
    ftp::TIdFTP& client = core.Client();
    AttemptFailure failure =
        CaptureFailure(error, ChoosesSftp(core.State()) ? std::string() : client.LastCommandVerb());
    failure.sentence = DescribeFailure(failure, {client.Host(), client.Port(), client.User(), remoteName});
    return failure;
}

CheckReport ProbeConfiguredServer(PublishingCore& core, const std::string& trustFile) {
    ftp::TIdFTP& client = core.Client();
    try {
        core.GetPublisher().ConfigureClient();
        return ProbeServer(client, trustFile);
    } catch (...) {
        client.CloseConnection();
        throw;
    }
}

}  // namespace signposter
