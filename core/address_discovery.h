#pragma once

#include <string>

#include "platform/host_lookup.h"

namespace signposter {

// The machine's own name and addresses come from the platform's lookup.
using HostLookup = platform::HostLookup;
using SystemHostLookup = platform::SystemHostLookup;

// The address the monitor publishes: the last IPv4 address of the host name's entry, or empty text on any
// failure. When the resolver gives only loopback addresses (Debian maps the host name to 127.0.1.1), the
// last address of the up, non-loopback interfaces is taken instead.
std::string GetLocalAddress(HostLookup& lookup);

}  // namespace signposter
