// Clock and number formatting for the run's display.
#include "core/run_state.h"

#include <chrono>
#include <locale>
#include <sstream>

namespace brenvale {

std::uint32_t SteadyTickClock::Ticks() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

namespace {

std::locale UserLocale() {
    try {
        return std::locale("");
    } catch (const std::runtime_error&) {
        return std::locale::classic();
    }
}

} // namespace

std::string FormatCount(std::int32_t value) {
    static const std::locale locale = UserLocale();
    std::ostringstream out;
    out.imbue(locale);
    out << value;
    return out.str();
}

} // namespace brenvale
