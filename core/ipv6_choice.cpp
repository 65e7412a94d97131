#include "core/ipv6_choice.h"

#include <tuple>

#include "core/address_class.h"
#include "platform/text.h"

namespace signposter {

namespace {

// Where a usable address came from, best first for the stable kind.
enum class Origin { ByHand, Dhcpv6, Slaac, Temporary };

Origin OriginOf(const platform::InterfaceAddress& address) {
    if (address.IsTemporary())
        return Origin::Temporary;
    if (address.IsFromPrefix())
        return Origin::Slaac;
    if (address.IsPermanent())
        return Origin::ByHand;
    // A DHCPv6 client adds a single address (/128) with the lease's lifetimes; anything else with
    // lifetimes was derived from a prefix, as SLAAC does.
    return address.prefixLength == 128 ? Origin::Dhcpv6 : Origin::Slaac;
}

const char* OriginText(Origin origin) {
    switch (origin) {
        case Origin::ByHand:
            return "configured by hand";
        case Origin::Dhcpv6:
            return "from DHCPv6";
        case Origin::Slaac:
            return "stable SLAAC";
        case Origin::Temporary:
            return "temporary";
    }
    return "";
}

// Why an address can never be the one published; empty when it can.
std::string Unusable(const platform::InterfaceAddress& address) {
    if (address.DadFailed())
        return "duplicate address detection failed";
    if (address.IsTentative())
        return "tentative: duplicate address detection still running";
    if (address.IsDeprecated())
        return "deprecated: its preferred lifetime is over";
    if (address.HasLinkScope() || ClassifyAddress(address.Text()) == AddressClass::LinkLocal6)
        return "link-local";
    return {};
}

std::string Lifetime(std::uint32_t seconds) {
    return seconds == platform::kForever ? std::string("forever") : std::to_string(seconds) + " s";
}

}  // namespace

std::string IPv6Candidate::Describe() const {
    const std::string flags = address.FlagNames();
    return address.Text() + "/" + std::to_string(address.prefixLength) + " (" +
           (flags.empty() ? "" : flags + "; ") + "preferred " + Lifetime(address.preferredSeconds) +
           ", valid " + Lifetime(address.validSeconds) + "): " + verdict;
}

IPv6Choice ChooseIPv6(const std::vector<platform::InterfaceAddress>& dump, unsigned index, IPv6Kind kind) {
    IPv6Choice choice;
    // The best usable candidate: reachable before flagged, then by origin (stable) or the newest (temporary);
    // among equals the oldest stays, so that a new address of the same kind does not move the page.
    std::optional<std::size_t> best;
    std::tuple<bool, int, std::int64_t> bestRank{};
    for (const platform::InterfaceAddress& address : dump) {
        if (!address.IsIPv6() || address.index != index)
            continue;
        IPv6Candidate candidate{address, false, Unusable(address)};
        const Origin origin = OriginOf(address);
        if (candidate.verdict.empty()) {
            if (kind == IPv6Kind::Stable && origin == Origin::Temporary)
                candidate.verdict = "temporary: taken only with IPv6Kind=temporary";
            else if (kind == IPv6Kind::Temporary && origin != Origin::Temporary)
                candidate.verdict = std::string(OriginText(origin)) + ", not temporary";
        }
        if (candidate.verdict.empty()) {
            const bool flagged = IsUnreachable(ClassifyAddress(address.Text()));
            const std::int64_t age = kind == IPv6Kind::Temporary ? -std::int64_t{address.createdCentiseconds}
                                                                 : std::int64_t{address.createdCentiseconds};
            const std::tuple<bool, int, std::int64_t> rank{flagged, static_cast<int>(origin), age};
            if (!best || rank < bestRank) {
                best = choice.candidates.size();
                bestRank = rank;
            }
        }
        choice.candidates.push_back(std::move(candidate));
    }
    if (choice.candidates.empty()) {
        choice.reason = "the interface has no IPv6 address";
        return choice;
    }
    if (!best) {
        choice.reason = kind == IPv6Kind::Temporary ? "no temporary IPv6 address that is still preferred"
                                                    : "no usable IPv6 address";
        return choice;
    }
    const IPv6Candidate& chosen = choice.candidates[*best];
    const Origin chosenOrigin = OriginOf(chosen.address);
    for (std::size_t i = 0; i < choice.candidates.size(); ++i) {
        IPv6Candidate& candidate = choice.candidates[i];
        if (i == *best) {
            candidate.chosen = true;
            candidate.verdict = std::string("chosen, ") + OriginText(chosenOrigin);
            const AddressClass addressClass = ClassifyAddress(candidate.address.Text());
            if (IsUnreachable(addressClass))
                candidate.verdict += "; " + ClassPhrase(addressClass);
        } else if (candidate.verdict.empty()) {
            const Origin origin = OriginOf(candidate.address);
            const AddressClass addressClass = ClassifyAddress(candidate.address.Text());
            if (IsUnreachable(addressClass) && !IsUnreachable(ClassifyAddress(chosen.address.Text())))
                candidate.verdict = ClassPhrase(addressClass) + ", after a reachable one";
            else if (origin == chosenOrigin)
                candidate.verdict = kind == IPv6Kind::Temporary ? "an older temporary address"
                                                                : std::string(OriginText(origin)) + ", newer";
            else
                candidate.verdict = std::string(OriginText(origin)) + ", after " + OriginText(chosenOrigin);
        }
    }
    choice.address = chosen.address.Text();
    return choice;
}

}  // namespace signposter
