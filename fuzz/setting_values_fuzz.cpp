// The settings table's validators fed arbitrary values, as `set`, the dialog and a hand-edited file give
// them. The first byte picks the key; the rest is the value. Whatever the value, validation answers, and a
// value it accepts, once taken into the program's values and written back as the file would hold it, is
// accepted again: otherwise `set` would take a value that the next start refuses.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/extended_settings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace signposter;
    const auto keys = SettingKeys();
    if (size == 0 || keys.empty())
        return 0;
    const SettingKey& key = keys[data[0] % keys.size()];
    const std::string value(reinterpret_cast<const char*>(data) + 1, size - 1);

    const auto problem = ValueProblem(key, value);
    if (problem && problem->empty())
        __builtin_trap();
    // A key of the window's fields lives outside the program-wide values: its value alone is checked.
    ProgramState state;
    if (key.put)
        key.put(state, value);
    if (!problem && key.check && key.put && key.get && ValueProblem(key, key.get(state)))
        __builtin_trap();
    for (const SettingProblem& found : ExtendedSettingsProblems(state)) {
        if (!FindSettingKey(found.key) || found.message.empty())
            __builtin_trap();
    }
    return 0;
}
