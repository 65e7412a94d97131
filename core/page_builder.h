#pragma once

#include <optional>
#include <string>

#include "core/line_list.h"
#include "core/live_settings.h"
#include "core/program_state.h"
#include "core/user_interface.h"

// Builds the page the publisher uploads: the redirect page for an address, from one of three templates,
// or the offline notice. The page is written to the temporary directory under the page name.
namespace signposter {

inline constexpr char kAddressMacro[] = "{IPADDRESS}";
// Bare addresses of each family for user templates, empty when unknown; filled only once AddressFamily is
// given, so that a template of an old installation comes out as it always did.
inline constexpr char kIPv4AddressMacro[] = "{IPV4ADDRESS}";
inline constexpr char kIPv6AddressMacro[] = "{IPV6ADDRESS}";

// The address as it stands in a URL's host: a dotted quad as it is, an IPv6 address in brackets.
std::string AddressForUrl(const std::string& address);
inline constexpr int kRedirectLineIndex = 3;

// The internal template's 19 lines, compiled into the program from resources/internal_template.htm.
const LineList& InternalTemplate();
const LineList& OfflinePage();

// The temporary directory without a trailing separator.
std::string GetTempDir();
// Sets state.LocalPageFile from the temporary directory and the page name field (as typed).
void SetLocalPageFile(const LiveSettings& fields, ProgramState& state);

// Replaces every occurrence of `macro` in every line. Each search resumes after the inserted text, so a
// replacement that itself contains the macro cannot loop for ever.
void ReplaceMacro(LineList& lines, const std::string& macro, const std::string& replacement);

// Writes the address page to state.LocalPageFile, {IPADDRESS} as AddressForUrl(address), and returns its
// bytes, which are what a publication uploads; another publication may rewrite the file meanwhile. The bare
// macros take the other family's address from state.CurrentIP or state.CurrentIP6, as the family allows.
// A UTF-16 user template (by its byte order mark) is read as text and the page written in UTF-8.
// Returns nothing, after telling the user, when the user template is chosen but missing or not text (a NUL
// byte, broken UTF-16): the publication is then abandoned and nothing is written. Raises "Cannot open file %s" / "Cannot create file %s" when the
// template cannot be read or the page written. The file is replaced atomically and never through a link:
// readers see a whole page.
std::optional<std::string> BuildAddressPage(const LiveSettings& fields, const ProgramState& state,
                                            UserInterface& ui, const std::string& address);
// Writes the offline notice to state.LocalPageFile and returns its bytes.
std::string BuildOfflinePage(const ProgramState& state);

}  // namespace signposter
