#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "net/id_stack.h"

namespace signposter::net {

enum class TIdStatus {
    Resolving = 0,      // "Resolving hostname %s."
    Connecting = 1,     // "Connecting to %s."
    Connected = 2,      // "Connected."
    Disconnecting = 3,  // "Disconnecting from %s."
    Disconnected = 4,   // "Not connected."
    Text = 5,           // "%s"
};

enum class TWorkMode { Read = 0, Write = 1 };

class TIdComponent;
using TIdStatusEvent = std::function<void(TIdComponent* sender, TIdStatus status, const std::string& text)>;
using TWorkEvent = std::function<void(TIdComponent* sender, TWorkMode mode, std::int32_t count)>;
using TWorkBeginEvent = std::function<void(TIdComponent* sender, TWorkMode mode, std::int32_t total)>;
using TWorkEndEvent = std::function<void(TIdComponent* sender, TWorkMode mode)>;
using TNotifyEvent = std::function<void(TIdComponent* sender)>;

class TIdBaseComponent {
public:
    explicit TIdBaseComponent(TIdBaseComponent* owner = nullptr) : m_owner(owner) {}
    virtual ~TIdBaseComponent() = default;
    TIdBaseComponent(const TIdBaseComponent&) = delete;
    TIdBaseComponent& operator=(const TIdBaseComponent&) = delete;
    TIdBaseComponent* Owner() const { return m_owner; }

private:
    TIdBaseComponent* m_owner;
};

// A network component: keeps the shared stack alive while it lives and offers the status and progress
// notifications. Every handler is optional and called synchronously.
class TIdComponent : public TIdBaseComponent {
public:
    explicit TIdComponent(TIdComponent* owner = nullptr);
    ~TIdComponent() override;

    const TIdStatusEvent& OnStatus() const { return m_onStatus; }
    void SetOnStatus(TIdStatusEvent handler) { m_onStatus = std::move(handler); }
    const TWorkEvent& OnWork() const { return m_onWork; }
    void SetOnWork(TWorkEvent handler) { m_onWork = std::move(handler); }
    const TWorkBeginEvent& OnWorkBegin() const { return m_onWorkBegin; }
    void SetOnWorkBegin(TWorkBeginEvent handler) { m_onWorkBegin = std::move(handler); }
    const TWorkEndEvent& OnWorkEnd() const { return m_onWorkEnd; }
    void SetOnWorkEnd(TWorkEndEvent handler) { m_onWorkEnd = std::move(handler); }

    virtual void BeginProgress(TWorkMode mode, std::int32_t total);
    virtual void Progress(TWorkMode mode, std::int32_t count);
    virtual void EndProgress(TWorkMode mode);
    void NotifyStatus(TIdStatus status, const std::string& argument);

    std::int32_t WorkCount(TWorkMode mode) const { return Record(mode).count; }
    std::int32_t WorkTotal(TWorkMode mode) const { return Record(mode).total; }
    std::int32_t WorkLevel(TWorkMode mode) const { return Record(mode).level; }

    static std::string StatusText(TIdStatus status, const std::string& argument);

private:
    struct ProgressRecord {
        std::int32_t count = 0;
        std::int32_t total = 0;
        std::int32_t level = 0;
    };
    ProgressRecord& Record(TWorkMode mode) { return m_progress[static_cast<int>(mode)]; }
    const ProgressRecord& Record(TWorkMode mode) const { return m_progress[static_cast<int>(mode)]; }

    TIdStackReference m_stack{true};
    TIdStatusEvent m_onStatus;
    TWorkEvent m_onWork;
    TWorkBeginEvent m_onWorkBegin;
    TWorkEndEvent m_onWorkEnd;
    ProgressRecord m_progress[2];
};

}  // namespace signposter::net
