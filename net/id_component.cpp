#include "net/id_component.h"

namespace signposter::net {

TIdComponent::TIdComponent(TIdComponent* owner) : TIdBaseComponent(owner) {}

TIdComponent::~TIdComponent() = default;

void TIdComponent::BeginProgress(TWorkMode mode, std::int32_t total) {
    ProgressRecord& record = Record(mode);
    // Nested transfers report as one: only the outermost begins and ends the notification.
    if (++record.level == 1) {
        record.total = total;
        record.count = 0;
        if (m_onWorkBegin)
            m_onWorkBegin(this, mode, total);
    }
}

void TIdComponent::Progress(TWorkMode mode, std::int32_t count) {
    ProgressRecord& record = Record(mode);
    if (record.level < 1)
        return;
    // 32-bit like the record itself: an upload past 2 GiB wraps the count instead of overflowing.
    record.count = static_cast<std::int32_t>(static_cast<std::uint32_t>(record.count) +
                                             static_cast<std::uint32_t>(count));
    if (m_onWork)
        m_onWork(this, mode, record.count);
}

void TIdComponent::EndProgress(TWorkMode mode) {
    ProgressRecord& record = Record(mode);
    if (record.level == 1 && m_onWorkEnd)
        m_onWorkEnd(this, mode);
    --record.level;
}

std::string TIdComponent::StatusText(TIdStatus status, const std::string& argument) {
    switch (status) {
        case TIdStatus::Resolving:
            return "Resolving hostname " + argument + ".";
        case TIdStatus::Connecting:
            return "Connecting to " + argument + ".";
        case TIdStatus::Connected:
            return "Connected.";
        case TIdStatus::Disconnecting:
            return "Disconnecting from " + argument + ".";
        case TIdStatus::Disconnected:
            return "Not connected.";
        case TIdStatus::Text:
            return argument;
    }
    return argument;
}

void TIdComponent::NotifyStatus(TIdStatus status, const std::string& argument) {
    if (m_onStatus)
        m_onStatus(this, status, StatusText(status, argument));
}

}  // namespace signposter::net
