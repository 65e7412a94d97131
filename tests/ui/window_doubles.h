#pragma once

// What the window's tests and the tray benchmark put around the window: a host lookup with fixed answers,
// so that nothing leaves the machine, and a tray shell that records the tooltip.
#include <QString>
#include <optional>
#include <string>
#include <vector>

#include "core/address_discovery.h"
#include "ui/cool_tray_icon.h"

namespace signposter::ui {

class FixedLookup final : public HostLookup {
public:
    std::optional<std::string> HostName() override { return "workstation"; }
    std::optional<std::vector<std::string>> ResolveIPv4(const std::string&) override {
        return std::vector<std::string>{"203.0.113.7"};
    }
    std::vector<std::string> InterfaceIPv4() override { return {"192.168.1.5"}; }
    std::vector<platform::InterfaceEntry> Interfaces() override {
        return {{"lo", true, "127.0.0.1"},
                {"eth0", true, ""},
                {"eth0", true, "192.168.1.5"},
                {"ppp0", true, "100.64.7.7"},
                {"wlan0", false, ""}};
    }
};

class TipRecorder final : public TrayShell {
public:
    explicit TipRecorder(QString& tip) : m_tip(tip) {}
    void Add(const TrayEntry& entry) override { m_tip = entry.tip; }
    void Modify(const TrayEntry& entry) override { m_tip = entry.tip; }
    void Delete() override {}

private:
    QString& m_tip;
};

}  // namespace signposter::ui
